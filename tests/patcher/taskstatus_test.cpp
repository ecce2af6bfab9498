// Task status record: Set and Copy keep each object's own command lists and
// deep-copy the commands; the element is written in the document's key order.
#include "tests/patcher/document_support.h"

#include "patcher/installer/installer.h"
#include "patcher/patcher_types.h"
#include "patcher/taskstatus.h"

namespace documenttest {
namespace {

class TaskStatusTest : public DocumentTest {};

int ParseOne(InstallerCommandList *list, const char *text) {
    XmlStruct *xml = nullptr;
    Xml_Create(&xml);
    Xml_ParseBuffer(xml, text);
    XmlNodeStruct *root = nullptr;
    Xml_GetRoot(xml, &root);
    int result = Installer_ParseCommands(list, xml, root);
    Xml_Destroy(&xml);
    return result;
}

TEST_F(TaskStatusTest, SetAndCopyDeepCopyTheLists) {
    PatcherTaskStatus *source = nullptr;
    PatcherTaskStatus *copy = nullptr;
    PatcherTaskStatus_Create(&source);
    PatcherTaskStatus_Create(&copy);
    InstallerCommandList *commands = nullptr;
    Installer_Create(&commands);
    ASSERT_EQ(1, ParseOne(commands, "<L><PreProcessCommand>a</PreProcessCommand>"
                                    "<PreProcessCommand>b</PreProcessCommand></L>"));
    PatcherTaskData values = {};
    values.PatcherState = PATCHER_STATE_SAVE; // Set always starts at IDLE
    values.TargetVersion = 4;
    values.PreProcessCommands = commands;
    values.UninstallCommands = commands;
    ASSERT_EQ(1, PatcherTaskStatus_Set(source, &values));
    PatcherTaskData *data = nullptr;
    PatcherTaskStatus_GetData(source, &data);
    EXPECT_EQ(PATCHER_STATE_IDLE, data->PatcherState);
    EXPECT_NE(commands, data->PreProcessCommands);
    Installer_Destroy(&commands); // the status holds copies

    PatcherTaskData *copied = nullptr;
    PatcherTaskStatus_GetData(copy, &copied);
    InstallerCommandList *own = copied->UninstallCommands;
    ASSERT_EQ(1, PatcherTaskStatus_Copy(copy, source));
    EXPECT_EQ(own, copied->UninstallCommands);
    EXPECT_EQ(4, copied->TargetVersion);
    int count = 0;
    Installer_GetCount(copied->UninstallCommands, &count);
    EXPECT_EQ(2, count);
    Installer_ClearCommands(data->UninstallCommands);
    Installer_GetCount(copied->UninstallCommands, &count);
    EXPECT_EQ(2, count);
    Installer_GetCount(copied->PostProcessCommands, &count);
    EXPECT_EQ(0, count);
    PatcherTaskStatus_Destroy(&source);
    PatcherTaskStatus_Destroy(&copy);
    EXPECT_EQ(nullptr, copy);
}

TEST_F(TaskStatusTest, ElementKeysInDocumentOrder) {
    PatcherTaskStatus *status = nullptr;
    PatcherTaskStatus_Create(&status);
    XmlStruct *xml = nullptr;
    Xml_Create(&xml);
    XmlNodeStruct *root = nullptr;
    Xml_AddElement(xml, nullptr, nullptr, &root, "Root");
    ASSERT_EQ(1, PatcherTaskStatus_Write(xml, status, root));
    std::string text = Print(xml);
    const char *keys[] = {"PatcherState",       "CurrentName",
                          "CurrentVersion",     "TargetName",
                          "TargetVersion",      "PackageName",
                          "SkinSource",         "MetaFile",
                          "RestartCommandLine", "PackageType",
                          "PrependDirectory",   "DestructiveUpdate",
                          "UseDeployExtension", "ProcessDeleteManifest",
                          "HasBaseLine",        "PackageDescriptorType",
                          "RestartRequired",    "AvailableReleases",
                          "PerformCopy",        "PerformDelete",
                          "OutputPath",         "CopyPath",
                          "AllowModifiedFiles", "DeployStamp",
                          "PreProcessCommands", "PostProcessCommands",
                          "UninstallCommands"};
    size_t at = 0;
    for (const char *key : keys) {
        size_t found = text.find(std::string("<") + key, at);
        ASSERT_NE(std::string::npos, found) << key << "\n" << text;
        at = found;
    }
    EXPECT_EQ(std::string::npos, text.find("BasePath"));
    // A status element without its own members is still found and read.
    EXPECT_EQ(1, PatcherTaskStatus_Read(xml, "/x/", status));
    Xml_Destroy(&xml);
    Xml_Create(&xml);
    Xml_ParseBuffer(xml, "<Other/>");
    EXPECT_EQ(0, PatcherTaskStatus_Read(xml, "/x/", status));
    EXPECT_EQ(1, Count(testsupport::CapturedAlerts(), "Unable to locate PatcherTaskStatus member"));
    Xml_Destroy(&xml);
    PatcherTaskStatus_Destroy(&status);
}

} // namespace
} // namespace documenttest
