// Version document and task status: fixture documents of each shape, save and
// load round trips, relative paths, refused and damaged documents, and a save
// that fails half-way leaving the previous document as it was.
#include "tests/patcher/document_support.h"

#include "core/oshelper.h"
#include "patcher/installer/installer.h"
#include "patcher/packageversion.h"
#include "patcher/patcher_types.h"
#include "patcher/taskstatus.h"

#include <csignal>
#include <sys/resource.h>

namespace documenttest {
namespace {

// Everything a saved document holds, as text, for comparisons.
std::string Saved(PackageVersion *version, const std::string &path) {
    EXPECT_EQ(1, PackageVersion_Save(version, path.c_str()));
    return testsupport::ReadFile(path);
}

PatcherTaskData *Data(PackageVersion *version) {
    PatcherTaskStatus *status = nullptr;
    PatcherTaskData *data = nullptr;
    PackageVersion_GetTaskStatus(version, &status);
    PatcherTaskStatus_GetData(status, &data);
    return data;
}

class VersionTest : public DocumentTest {
  protected:
    void SetUp() override {
        DocumentTest::SetUp();
        base = dir_.path() + "/";
        PackageVersion_Create(&version);
    }
    void TearDown() override {
        PackageVersion_Destroy(&version);
        DocumentTest::TearDown();
    }
    // Copies a fixture into the TempDir and loads it from there.
    int LoadFixture(const std::string &name, const std::string &as = "game.version") {
        testsupport::WriteFile(base + as, testsupport::ReadFile(Fixture(name)));
        return PackageVersion_LoadVersion(version, (base + as).c_str());
    }
    std::string base;
    PackageVersion *version = nullptr;
};

TEST_F(VersionTest, InstalledDocumentReadsAndSavesAgain) {
    ASSERT_EQ(1, LoadFixture("version_installed.version")) << Dump();
    int32_t number = 0, inProgress = 1;
    const char *name = nullptr;
    PackageVersion_GetVersion(version, &number);
    PackageVersion_GetName(version, &name);
    PackageVersion_GetInProgress(version, &inProgress);
    EXPECT_EQ(7, number);
    EXPECT_STREQ("1.7", name);
    EXPECT_EQ(0, inProgress);
    // Not in progress: the status carries the installed release as both ends.
    PatcherTaskData *data = Data(version);
    EXPECT_EQ(7, data->CurrentVersion);
    EXPECT_EQ(7, data->TargetVersion);
    EXPECT_STREQ("1.7", data->CurrentName);
    EXPECT_STREQ("1.7", data->TargetName);
    int count = 0;
    Installer_GetCount(data->UninstallCommands, &count);
    EXPECT_EQ(1, count);

    std::string first = Saved(version, base + "again.version");
    EXPECT_EQ(testsupport::ReadFile(Fixture("version_installed.version")), first);
    ExpectWellFormed(base + "again.version");
    EXPECT_EQ(1, Count(testsupport::CapturedAlerts(), "SaveVersion [7, FALSE] successful"));
}

TEST_F(VersionTest, InProgressDocumentKeepsEveryField) {
    ASSERT_EQ(1, LoadFixture("version_inprogress.version")) << Dump();
    PatcherTaskData *data = Data(version);
    EXPECT_EQ(PATCHER_STATE_PROCESS, data->PatcherState);
    EXPECT_EQ(3, data->CurrentVersion);
    EXPECT_EQ(4, data->TargetVersion);
    EXPECT_STREQ("1.4", data->TargetName);
    EXPECT_STREQ("game", data->PackageName);
    EXPECT_STREQ("-restart \"a b\"", data->RestartCommandLine);
    EXPECT_EQ(PACKAGE_TYPE_INCREMENTAL, data->PackageType);
    EXPECT_EQ(1, data->RestartRequired); // "TRUE" and "1" read alike
    EXPECT_EQ(1, data->PerformDelete);
    EXPECT_EQ(5, data->AvailableReleases);
    EXPECT_EQ(20261210, data->DeployStamp);
    EXPECT_STREQ("*.cfg;*.ini", data->AllowModifiedFiles);
    EXPECT_EQ(base, data->BasePath);
    EXPECT_EQ(base + "game_4/", data->OutputPath);
    EXPECT_EQ(base, data->CopyPath);
    const char *type = nullptr;
    ASSERT_EQ(1, Installer_GetCommandType(data->PostProcessCommands, 0, &type));
    EXPECT_STREQ("CreateProcessCommand", type);

    std::string saved = Saved(version, base + "game.version");
    ExpectWellFormed(base + "game.version");
    // Paths below the folder are stored relative; flags are written as 1 or 0.
    EXPECT_NE(std::string::npos, saved.find("<OutputPath>game_4/</OutputPath>")) << saved;
    EXPECT_NE(std::string::npos, saved.find("<RestartRequired>1</RestartRequired>"));
    EXPECT_NE(std::string::npos, saved.find("<CopyPath />"));
    // Loading what was saved and saving again gives the same bytes.
    PackageVersion *again = nullptr;
    PackageVersion_Create(&again);
    ASSERT_EQ(1, PackageVersion_LoadVersion(again, (base + "game.version").c_str()));
    EXPECT_EQ(saved, Saved(again, base + "second.version"));
    PackageVersion_Destroy(&again);

    // Loaded from another folder, the relative paths move with the document.
    std::string other = base + "moved/";
    Zyl_CreateDirectory(other.c_str(), 0, 0);
    testsupport::WriteFile(other + "game.version", saved);
    PackageVersion_Create(&again);
    ASSERT_EQ(1, PackageVersion_LoadVersion(again, (other + "game.version").c_str()));
    EXPECT_EQ(other + "game_4/", Data(again)->OutputPath);
    PackageVersion_Destroy(&again);
}

TEST_F(VersionTest, EveryStateSurvivesSetSaveAndLoad) {
    PatcherTaskStatus *status = nullptr;
    PatcherTaskStatus_Create(&status);
    PatcherTaskData values = {};
    values.CurrentVersion = 1;
    Zyl_StrCopy(values.CurrentName, "1.1", sizeof(values.CurrentName));
    values.TargetVersion = 2;
    Zyl_StrCopy(values.TargetName, "1.2", sizeof(values.TargetName));
    Zyl_StrCopy(values.PackageName, "game", sizeof(values.PackageName));
    Zyl_StrCopy(values.BasePath, base.c_str(), sizeof(values.BasePath));
    // Only a leading base path is taken away: this one holds it further in.
    std::string outside = "/elsewhere" + base + "out/";
    Zyl_StrCopy(values.OutputPath, outside.c_str(), sizeof(values.OutputPath));
    Zyl_StrCopy(values.CopyPath, base.c_str(), sizeof(values.CopyPath));
    values.PackageType = PACKAGE_TYPE_PROGRESSIVE_VCDIFF;
    values.PerformCopy = 7; // any non-zero flag is written as 1
    ASSERT_EQ(1, PatcherTaskStatus_Set(status, &values));
    PatcherTaskData *data = nullptr;
    PatcherTaskStatus_GetData(status, &data);
    EXPECT_EQ(PATCHER_STATE_IDLE, data->PatcherState);
    EXPECT_NE(nullptr, data->PreProcessCommands); // null source lists leave empty lists

    for (int state = PATCHER_STATE_IDLE; state <= PATCHER_STATE_FAILED; state++) {
        data->PatcherState = state;
        ASSERT_EQ(1, PackageVersion_SetFromTask(status, version, 1));
        std::string path = base + "game.version";
        std::string saved = Saved(version, path);
        ExpectWellFormed(path);
        PackageVersion *loaded = nullptr;
        PackageVersion_Create(&loaded);
        ASSERT_EQ(1, PackageVersion_LoadVersion(loaded, path.c_str())) << state << Dump();
        EXPECT_EQ(state, Data(loaded)->PatcherState);
        EXPECT_EQ(outside, Data(loaded)->OutputPath);
        EXPECT_EQ(1, Data(loaded)->PerformCopy);
        int32_t number = 0;
        PackageVersion_GetVersion(loaded, &number);
        EXPECT_EQ(1, number);
        EXPECT_EQ(saved, Saved(loaded, base + "again.version"));
        PackageVersion_Destroy(&loaded);
    }
    PatcherTaskStatus_Destroy(&status);
}

TEST_F(VersionTest, SavingInstalledDropsTaskFieldsButKeepsUninstallCommands) {
    ASSERT_EQ(1, LoadFixture("version_inprogress.version"));
    PatcherTaskData *data = Data(version);
    ASSERT_EQ(1, Installer_CopyCommands(data->UninstallCommands, data->PreProcessCommands));
    PatcherTaskStatus *status = nullptr;
    PackageVersion_GetTaskStatus(version, &status);
    ASSERT_EQ(1, PackageVersion_SetFromTask(status, version, 0));
    std::string saved = Saved(version, base + "game.version");
    ExpectWellFormed(base + "game.version");
    EXPECT_NE(std::string::npos, saved.find("<InProgress>FALSE</InProgress>"));
    EXPECT_EQ(std::string::npos, saved.find("PatcherState")) << saved;
    EXPECT_EQ(std::string::npos, saved.find("OutputPath"));
    EXPECT_NE(std::string::npos, saved.find("<UninstallCommands>\n            <Command "
                                            "xsi:type=\"RegistryCommand\">"))
        << saved;
}

TEST_F(VersionTest, MissingOldAndIncompleteDocumentsAreNotRead) {
    EXPECT_EQ(0, PackageVersion_LoadVersion(version, (base + "none.version").c_str()));
    int32_t number = 0;
    const char *name = nullptr;
    PackageVersion_GetVersion(version, &number);
    PackageVersion_GetName(version, &name);
    EXPECT_EQ(-1, number);
    EXPECT_STREQ("1.0", name);
    struct {
        std::string text;
        std::string alert; // expected Alert line, or "" for none
    } cases[] = {
        {"<Other/>", "Version document cut short [" + base + "bad.version]"},
        {"<PackageVersion><Version>2</Version></PackageVersion>",
         "Unable to locate PatcherVersion"},
        {"<PackageVersion PatcherVersion=\"1.0.0.9\"><Version>2</Version></PackageVersion>", ""},
        {"<PackageVersion PatcherVersion=\"2.0.8.5\"><InProgress>TRUE</InProgress>"
         "<PatcherTaskStatus><PreProcessCommands><Command xsi:type=\"ShellCommand\"><File>" +
             std::string(400, 'f') +
             "</File></Command></PreProcessCommands></PatcherTaskStatus>"
             "</PackageVersion>",
         "Unable to read member [PreProcessCommands]"},
    };
    for (const auto &c : cases) {
        testsupport::ClearAlerts();
        testsupport::WriteFile(base + "bad.version", c.text);
        EXPECT_EQ(0, PackageVersion_LoadVersion(version, (base + "bad.version").c_str())) << c.text;
        if (!c.alert.empty())
            EXPECT_EQ(1, Count(testsupport::CapturedAlerts(), c.alert)) << c.text << Dump();
        else
            EXPECT_TRUE(testsupport::CapturedAlerts().empty()) << Dump();
    }
    // Unknown members are logged and skipped.
    testsupport::WriteFile(base + "odd.version",
                           "<PackageVersion PatcherVersion=\"2.0.8.5\"><Version>4</Version>"
                           "<Colour>red</Colour></PackageVersion>");
    EXPECT_EQ(1, PackageVersion_LoadVersion(version, (base + "odd.version").c_str()));
    EXPECT_EQ(1, Count(testsupport::CapturedAlerts(), "Unknown package version member [Colour]"));
}

// A status element with one member replaced.
std::string WithMember(const std::string &member, const std::string &value) {
    std::string text = testsupport::ReadFile(Fixture("version_inprogress.version"));
    size_t start = text.find("<" + member + ">");
    size_t end = text.find("</" + member + ">");
    if (start == std::string::npos || end == std::string::npos)
        return text;
    start += member.size() + 2;
    return text.substr(0, start) + value + text.substr(end);
}

TEST_F(VersionTest, HostileTaskStatusValuesAreRefused) {
    struct {
        const char *member;
        std::string value;
        const char *refused;
    } cases[] = {
        {"OutputPath", "../../home/user/", "OutputPath"},
        {"OutputPath", "a/../../b/", "OutputPath"},
        {"OutputPath", "/", "OutputPath"},
        {"OutputPath", "", "OutputPath"},      // the installation itself, deleted later
        {"OutputPath", "/tmp/", "OutputPath"}, // an ancestor of the installation
        {"OutputPath", "out\x01/", "OutputPath"},
        {"CopyPath", "/", "CopyPath"},
        {"CopyPath", "..", "CopyPath"},
        {"PackageName", "../game", "PackageName"},
        {"PackageName", "a:b", "PackageName"},
        {"TargetName", "1.4/../../x", "TargetName"},
        {"PatcherState", "99", "PatcherState"},
        {"PatcherState", "-1", "PatcherState"},
        {"PackageType", "6", "PackageType"},
    };
    for (const auto &c : cases) {
        testsupport::ClearAlerts();
        testsupport::WriteFile(base + "game.version", WithMember(c.member, c.value));
        EXPECT_EQ(0, PackageVersion_LoadVersion(version, (base + "game.version").c_str()))
            << c.member << "=" << c.value;
        EXPECT_EQ(1, Count(testsupport::CapturedAlerts(),
                           std::string("Refused task status member [") + c.refused + "]"))
            << c.member << "=" << c.value << "\n"
            << Dump();
    }
    // A destructive update writes into the installation itself: no delete
    // follows, so the installation is a fine output path there.
    std::string text = WithMember("OutputPath", "");
    size_t at = text.find("<DestructiveUpdate>0");
    text.replace(at, 20, "<DestructiveUpdate>1");
    testsupport::WriteFile(base + "game.version", text);
    EXPECT_EQ(1, PackageVersion_LoadVersion(version, (base + "game.version").c_str())) << Dump();
    // Numbers too long for any integer saturate instead of stopping the program.
    testsupport::WriteFile(base + "game.version", WithMember("DeployStamp", std::string(100, '9')));
    EXPECT_EQ(1, PackageVersion_LoadVersion(version, (base + "game.version").c_str()));
    EXPECT_EQ(INT32_MAX, Data(version)->DeployStamp);
}

TEST_F(VersionTest, TruncatedDocumentsNeverReadOutOfBounds) {
    std::string text = testsupport::ReadFile(Fixture("version_inprogress.version"));
    int loaded = 0;
    for (size_t length = 0; length < text.size(); length += 7) {
        PackageVersion *cut = nullptr;
        PackageVersion_Create(&cut);
        testsupport::WriteFile(base + "cut.version", text.substr(0, length));
        loaded += PackageVersion_LoadVersion(cut, (base + "cut.version").c_str());
        PackageVersion_Destroy(&cut);
    }
    // A document cut anywhere before its end tag is refused, never read as
    // if the missing part had nothing in it; the whole one reads.
    EXPECT_EQ(0, loaded);
    testsupport::WriteFile(base + "cut.version", text);
    PackageVersion *whole = nullptr;
    PackageVersion_Create(&whole);
    EXPECT_EQ(1, PackageVersion_LoadVersion(whole, (base + "cut.version").c_str()));
    PackageVersion_Destroy(&whole);
}

// Saves a large document with writes limited to `limit` bytes per file.
PORTICO_TEST_CHILD(version_save_limited) {
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit = {(rlim_t)std::stoul(args[1]), (rlim_t)std::stoul(args[1])};
    setrlimit(RLIMIT_FSIZE, &limit);
    PackageVersion *version = nullptr;
    PackageVersion_Create(&version);
    PatcherTaskStatus *status = nullptr;
    PackageVersion_GetTaskStatus(version, &status);
    PatcherTaskData *data = nullptr;
    PatcherTaskStatus_GetData(status, &data);
    data->CurrentVersion = 9;
    for (int i = 0; i < (int)sizeof(data->RestartCommandLine) - 1; i++)
        data->RestartCommandLine[i] = 'r';
    PackageVersion_SetFromTask(status, version, 1);
    int result = PackageVersion_Save(version, args[0].c_str());
    PackageVersion_Destroy(&version);
    return result ? 0 : 3;
}

TEST_F(VersionTest, FailedSaveLeavesThePreviousDocument) {
    ASSERT_EQ(1, LoadFixture("version_installed.version"));
    std::string path = base + "game.version";
    std::string before = Saved(version, path);
    // The new document is larger than the limit: its write fails part-way.
    pid_t child = testsupport::SpawnChild("version_save_limited", {path, "1500"});
    EXPECT_EQ(3, testsupport::WaitChild(child));
    EXPECT_EQ(before, testsupport::ReadFile(path));
    // With room enough the same save replaces it.
    child = testsupport::SpawnChild("version_save_limited", {path, "1000000"});
    EXPECT_EQ(0, testsupport::WaitChild(child));
    EXPECT_NE(before, testsupport::ReadFile(path));
    ExpectWellFormed(path);
}

} // namespace
} // namespace documenttest
