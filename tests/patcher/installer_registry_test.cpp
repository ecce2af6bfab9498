// Registry and add-uninstaller commands against the real file-backed store (in
// the fixture's TempDir): writes of each kind, deletes with cleanup of emptied
// keys, refused words, repeated runs, and the uninstall entry.
#include "tests/patcher/installer_support.h"

#include "core/registry.h"

#include <climits>

namespace installertest {
namespace {

std::string Registry(const std::string &path, const std::string &name, const std::string &value,
                     const std::string &type = "Char", const std::string &deleteKey = "false",
                     const std::string &cls = "User") {
    return Command("RegistryCommand", {{"Class", cls},
                                       {"Type", type},
                                       {"Path", path},
                                       {"Name", name},
                                       {"Value", value},
                                       {"DeleteKey", deleteKey}});
}

std::string Delete(const std::string &path, const std::string &name,
                   const std::string &type = "Char") {
    return Registry(path, name, "", type, "true");
}

TEST_F(InstallerTest, RegistryWritesEachKindAndOverwrites) {
    std::string list = List(Registry("Software\\Vexil", "Text", "a {RootPath}") +
                            Registry("Software\\Vexil", "Expand", "%HOME%/x", "ExpandChar") +
                            Registry("Software\\Vexil", "Count", "12", "Dword") +
                            Registry("Software\\Vexil", "Big", "99999999999", "Dword") +
                            Registry("Software\\Vexil", "Small", "-99999999999", "Dword") +
                            Registry("Software\\Vexil", "Text", "b", "Char", "false", "Machine"));
    // Run twice: values are overwritten, the outcome is the same.
    for (int run = 0; run < 2; run++) {
        ASSERT_EQ(1, Run(list)) << Dump();
        RegistryStruct *key = nullptr;
        ASSERT_EQ(1, Registry_OpenExistingKey(&key, REGISTRY_ROOT_CURRENT_USER, "software\\VEXIL"));
        char text[320];
        EXPECT_EQ(1, Registry_GetString(key, "text", text, sizeof(text)));
        EXPECT_EQ("a " + root(), std::string(text));
        EXPECT_EQ(1, Registry_GetExpandString(key, "Expand", text, sizeof(text)));
        EXPECT_STREQ("%HOME%/x", text);
        int32_t number = 0;
        EXPECT_EQ(1, Registry_GetInt32(key, "Count", &number));
        EXPECT_EQ(12, number);
        EXPECT_EQ(1, Registry_GetInt32(key, "Big", &number));
        EXPECT_EQ(INT_MAX, number);
        EXPECT_EQ(1, Registry_GetInt32(key, "Small", &number));
        EXPECT_EQ(INT_MIN, number);
        int subkeys = 0, values = 0;
        Registry_GetKeyInfo(key, &subkeys, &values);
        EXPECT_EQ(5, values);
        Registry_CloseKey(&key);
        ASSERT_EQ(1,
                  Registry_OpenExistingKey(&key, REGISTRY_ROOT_LOCAL_MACHINE, "Software\\Vexil"));
        EXPECT_EQ(1, Registry_GetString(key, "Text", text, sizeof(text)));
        EXPECT_STREQ("b", text);
        Registry_CloseKey(&key);
    }
}

TEST_F(InstallerTest, RegistryRefusesUnknownWordsAndUnsupportedKinds) {
    struct {
        std::string command;
        std::string error;
        int code;
    } cases[] = {
        {Registry("S\\A", "n", "v", "Char", "false", "user"),
         "Unknown registry command Class type. [user]", 2},
        {Registry("S\\A", "n", "v", "String"), "Unknown registry command Type type. [String]", 2},
        {Registry("S\\A", "n", "v", "Char", "TRUE"),
         "Unknown registry process command DeleteKey type. [TRUE]", 2},
        {Registry("S\\A", "n", "v", "REGISTRY_TYPEBINARY"),
         "Binary registry keys are not currently supported.", 2},
        {Registry("S\\A", "n", "v", "REGISTRY_TYPEINTMSB"),
         "Multi String registry keys are not currently supported.", 2},
    };
    for (const auto &c : cases) {
        errors.clear();
        EXPECT_EQ(0, Run(List(c.command))) << c.error;
        ASSERT_GE(errors.size(), 2u) << c.error;
        EXPECT_EQ(c.error, errors[0].second);
        EXPECT_EQ(c.code, errors[0].first);
        EXPECT_EQ("Installer failed.", errors.back().second);
    }
    // The refused writes created no key.
    EXPECT_EQ(0, Registry_KeyExists(REGISTRY_ROOT_CURRENT_USER, "S\\A"));
}

TEST_F(InstallerTest, RegistryDeleteCleansEmptiedKeysButNeverTopLevel) {
    ASSERT_EQ(1, Run(List(Registry("Software\\A\\B", "only", "1") +
                          Registry("Software\\Other", "keep", "1") + Registry("Top", "v", "1"))));
    // Names compare case-blind; the delete removes B, then the emptied A.
    ASSERT_EQ(1, Run(List(Delete("Software\\A\\B", "ONLY") + Delete("Top", "v")))) << Dump();
    EXPECT_EQ(0, Registry_KeyExists(REGISTRY_ROOT_CURRENT_USER, "Software\\A\\B"));
    EXPECT_EQ(0, Registry_KeyExists(REGISTRY_ROOT_CURRENT_USER, "Software\\A"));
    EXPECT_EQ(1, Registry_KeyExists(REGISTRY_ROOT_CURRENT_USER, "Software"));
    EXPECT_EQ(1, Registry_KeyExists(REGISTRY_ROOT_CURRENT_USER, "Top")); // top-level key stays
    EXPECT_EQ(1, LogCount("Successfully delete [Path: Software\\A\\B, Name: ONLY]"));
    EXPECT_EQ(1, LogCount("Delete parent [Directory: Software\\A\\B]"));
    EXPECT_EQ(1, LogCount("Delete parent [Directory: Software\\A]"));
    // Deleting again: the key is gone, which counts as deleted.
    logs.clear();
    ASSERT_EQ(1, Run(List(Delete("Software\\A\\B", "only") + Delete("Software\\Other", "missing") +
                          Delete("Software\\Other", "keep", "Dword") +
                          Delete("Software\\Other", "keep", "REGISTRY_TYPEBINARY"))))
        << Dump();
    EXPECT_EQ(1, LogCount("Registry entry not deleted because it wasn't found. "
                          "[key: 1 - Software\\A\\B]"));
    EXPECT_EQ(1, LogCount("Registry entry not deleted because it wasn't found. "
                          "[key: 1 - Software\\Other\\missing]"));
    // A value of another kind is not the one asked for, and binary deletes are
    // refused: both leave the value and count as done.
    EXPECT_EQ(2, LogCount("Registry entry not deleted because it wasn't found. "
                          "[key: 1 - Software\\Other\\keep]"))
        << Dump();
    EXPECT_EQ(1, ErrorCount("Binary registry keys are not currently supported."));
    EXPECT_EQ(1, Registry_KeyExists(REGISTRY_ROOT_CURRENT_USER, "Software\\Other"));
}

std::string Uninstaller(const std::string &key, const std::string &remove) {
    return Command("AddUninstallerCommand", {{"ApplicationName", "Vexil Game"},
                                             {"UninstallerKey", key},
                                             {"UninstallerPath", "{RootPath}uninstall.sh"},
                                             {"Publisher", "Vexil"},
                                             {"DeleteUninstallKey", remove}});
}

const char kUninstall[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";

TEST_F(InstallerTest, UninstallerEntryAddedTwiceAndRemoved) {
    testsupport::WriteFile(work + "/installer.config.xml",
                           "<Config><Expanders><Expander><Key>Id</Key><Value>VexilGame</Value>"
                           "</Expander></Expanders></Config>");
    ASSERT_EQ(1, Run(List(Uninstaller("Other", "false"))));
    for (int run = 0; run < 2; run++)
        ASSERT_EQ(1, Run(List(Uninstaller("{Id}", "false")))) << Dump();
    RegistryStruct *key = nullptr;
    std::string path = std::string(kUninstall) + "VexilGame";
    ASSERT_EQ(1, Registry_OpenExistingKey(&key, REGISTRY_ROOT_LOCAL_MACHINE, path.c_str()));
    char text[320];
    EXPECT_EQ(1, Registry_GetString(key, "DisplayName", text, sizeof(text)));
    EXPECT_STREQ("Vexil Game", text);
    EXPECT_EQ(1, Registry_GetString(key, "UninstallString", text, sizeof(text)));
    EXPECT_EQ(root() + "uninstall.sh", std::string(text));
    EXPECT_EQ(1, Registry_GetString(key, "Publisher", text, sizeof(text)));
    EXPECT_STREQ("Vexil", text);
    Registry_CloseKey(&key);

    ASSERT_EQ(1, Run(List(Uninstaller("{Id}", "true")))) << Dump();
    EXPECT_EQ(0, Registry_KeyExists(REGISTRY_ROOT_LOCAL_MACHINE, path.c_str()));
    EXPECT_EQ(1, Registry_KeyExists(REGISTRY_ROOT_LOCAL_MACHINE,
                                    (std::string(kUninstall) + "Other").c_str()));
    // Removing again: three "wasn't found" lines and success.
    logs.clear();
    ASSERT_EQ(1, Run(List(Uninstaller("VexilGame", "true"))));
    EXPECT_EQ(
        3, LogCount("Registry entry not deleted because it wasn't found. [key: 4 - " + path + "]"));
}

TEST_F(InstallerTest, UninstallerRefusesBadKeysAndFlags) {
    struct {
        std::string key, remove, error;
    } cases[] = {
        {"", "false", "Invalid uninstaller key. []"},
        {"..\\..\\Run", "true", "Invalid uninstaller key. [..\\..\\Run]"},
        {"a/b", "false", "Invalid uninstaller key. [a/b]"},
        {"Game", "yes", "Unknown add uninstaller command DeleteUninstallKey type. [yes]"},
    };
    for (const auto &c : cases) {
        errors.clear();
        EXPECT_EQ(0, Run(List(Uninstaller(c.key, c.remove)))) << c.key;
        ASSERT_FALSE(errors.empty());
        EXPECT_EQ(c.error, errors[0].second);
    }
    EXPECT_EQ(0, Registry_KeyExists(REGISTRY_ROOT_LOCAL_MACHINE, kUninstall));
}

} // namespace
} // namespace installertest
