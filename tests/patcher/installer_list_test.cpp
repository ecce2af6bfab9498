// Installer command lists: XML round trips for every command type, legacy and
// unknown elements, copies, and the run of a list (order, failure, stop).
#include "tests/patcher/installer_support.h"

#include "core/registry.h"
#include "patcher/installer/installer.h"

namespace installertest {
namespace {

// One command of every type with values that need escaping.
std::string EveryType() {
    return List(
        Command("RegistryCommand", {{"Class", "Machine"},
                                    {"Type", "Dword"},
                                    {"Path", "Software\\Vexil &amp; Co"},
                                    {"Name", "Count"},
                                    {"Value", "12"},
                                    {"DeleteKey", "true"}}) +
        Command("CreateProcessCommand", {{"App", "{RootPath}setup.exe"},
                                         {"Args", "/q &quot;a b&quot;"},
                                         {"CurrentDirectory", "{RootPath}"},
                                         {"ShowWindow", "false"},
                                         {"ExpectedReturnCode", "3"}}) +
        Command("DXCreateProcessCommand", {{"App", "dxsetup.exe"}, {"Args", "/silent"}}) +
        Command("ShellCommand", {{"Operation", "open"},
                                 {"File", "readme &lt;1&gt;.txt"},
                                 {"Parameters", "-x"},
                                 {"Directory", "{RootPath}"},
                                 {"Show", "Maximized"}}) +
        Command("ComRegisterCommand", {{"Path", "{RootPath}x.dll"}, {"Unregister", "true"}}) +
        Command("ShortcutCommand", {{"TargetFile", "{RootPath}game"},
                                    {"Args", "-windowed"},
                                    {"LinkFile", "{StartMenu}Game\\Game.lnk"},
                                    {"Description", "Play"},
                                    {"ShowWindowCommand", "Minimized"},
                                    {"CurrentDirectory", "{RootPath}"},
                                    {"IconFile", "{RootPath}game.png"},
                                    {"IconIndex", "0"},
                                    {"DeleteShortcut", "false"}}) +
        Command("AddUninstallerCommand", {{"ApplicationName", "Game"},
                                          {"UninstallerKey", "Game"},
                                          {"UninstallerPath", "{RootPath}uninstall"},
                                          {"Publisher", "Vexil"},
                                          {"DeleteUninstallKey", "false"}}));
}

TEST_F(InstallerTest, EveryTypeSurvivesWriteParseAndCopy) {
    InstallerCommandList *list = nullptr;
    InstallerCommandList *again = nullptr;
    InstallerCommandList *copy = nullptr;
    Installer_Create(&list);
    Installer_Create(&again);
    Installer_Create(&copy);
    ASSERT_EQ(1, ParseList(list, EveryType())) << Dump();
    int count = 0;
    Installer_GetCount(list, &count);
    ASSERT_EQ(7, count);
    const char *type = nullptr;
    ASSERT_EQ(1, Installer_GetCommandType(list, 2, &type));
    EXPECT_STREQ("DXCreateProcessCommand", type);

    std::string written = WriteList(list);
    // The written form names the alias and keeps escaped texts.
    EXPECT_NE(std::string::npos, written.find("xsi:type=\"DXCreateProcessCommand\"")) << written;
    EXPECT_NE(std::string::npos, written.find("Vexil &amp; Co")) << written;
    ASSERT_EQ(1, ParseList(again, written));
    EXPECT_EQ(written, WriteList(again));
    ASSERT_EQ(1, Installer_CopyCommands(copy, list));
    EXPECT_EQ(written, WriteList(copy));
    // A copy replaces what the target held.
    ASSERT_EQ(1, Installer_CopyCommands(copy, list));
    Installer_GetCount(copy, &count);
    EXPECT_EQ(7, count);
    EXPECT_TRUE(errors.empty()) << Dump();
    Installer_Destroy(&list);
    Installer_Destroy(&again);
    Installer_Destroy(&copy);
    EXPECT_EQ(nullptr, list);
}

TEST_F(InstallerTest, LegacyUnknownAndEmptyCommands) {
    InstallerCommandList *list = nullptr;
    Installer_Create(&list);
    ASSERT_EQ(1, ParseList(list, List("<PostProcessCommand>c:\\x\\y.exe</PostProcessCommand>"
                                      "<Something/>"
                                      "<Command><App>a</App></Command>"
                                      "<Command xsi:type=\"FormatDiskCommand\"/>"
                                      "<Command xsi:type=\"RegistryCommand\"/>")));
    int count = 0;
    Installer_GetCount(list, &count);
    ASSERT_EQ(2, count) << Dump();
    EXPECT_EQ(1, LogCount("Unknown command name. [Command Index: 1] [Name: Something]. "
                          "Skipping..."));
    EXPECT_EQ(1, LogCount("Command node found with no command \"type\" node. [Command Index: 2]. "
                          "Skipping..."));
    EXPECT_EQ(1, LogCount("Unknown command type. [Command Index: 3] [Type: FormatDiskCommand]. "
                          "Skipping..."));
    std::string written = WriteList(list);
    EXPECT_NE(std::string::npos,
              written.find("<Command xsi:type=\"CreateProcessCommand\">\n        "
                           "<App>c:\\x\\y.exe</App>"))
        << written;
    EXPECT_NE(std::string::npos, written.find("<ShowWindow>true</ShowWindow>"));
    EXPECT_NE(std::string::npos, written.find("<ExpectedReturnCode>0</ExpectedReturnCode>"));
    // The registry command without children holds every default.
    EXPECT_NE(std::string::npos, written.find("<Class>User</Class>"));
    EXPECT_NE(std::string::npos, written.find("<Type>Char</Type>"));
    EXPECT_NE(std::string::npos, written.find("<DeleteKey>false</DeleteKey>"));
    // Parsing again replaces the list.
    ASSERT_EQ(1, ParseList(list, List("")));
    Installer_GetCount(list, &count);
    EXPECT_EQ(0, count);
    Installer_Destroy(&list);
}

TEST_F(InstallerTest, OverlongPropertyAbortsTheParseKeepingEarlierCommands) {
    InstallerCommandList *list = nullptr;
    Installer_Create(&list);
    std::string longPath(320, 'p');
    EXPECT_EQ(0, ParseList(list, List(Command("RegistryCommand", {{"Path", "ok"}}) +
                                      Command("RegistryCommand", {{"Path", longPath}}) +
                                      Command("RegistryCommand", {{"Path", "later"}}))));
    int count = 0;
    Installer_GetCount(list, &count);
    EXPECT_EQ(1, count);
    EXPECT_EQ(1, ErrorCount("Failed to set property for command. [Path]"));
    EXPECT_EQ(1, ErrorCount("Command failed to execute. Aborting install. [Command Index: 1]"));
    // 319 characters still fit.
    EXPECT_EQ(1, ParseList(list, List(Command("RegistryCommand", {{"Path", longPath.substr(1)}}))));
    Installer_Destroy(&list);
}

TEST_F(InstallerTest, ListsHoldAtMostTheirLimit) {
    InstallerCommandList *list = nullptr;
    Installer_Create(&list);
    std::string commands;
    for (int i = 0; i < INSTALLER_MAX_COMMANDS + 6; i++)
        commands += "<Command xsi:type=\"ComRegisterCommand\"/>";
    ASSERT_EQ(1, ParseList(list, List(commands)));
    int count = 0;
    Installer_GetCount(list, &count);
    EXPECT_EQ(INSTALLER_MAX_COMMANDS, count);
    EXPECT_EQ(1, LogCount("Too many commands. [Command Index: " +
                          std::to_string(INSTALLER_MAX_COMMANDS + 5) + "]. Skipping..."));
    Installer_Destroy(&list);
}

TEST_F(InstallerTest, EmptyListRunsAndLogsStartAndEnd) {
    EXPECT_EQ(1, Run(List("")));
    EXPECT_EQ(1, LogCount("Installer execute starting."));
    EXPECT_EQ(1, LogCount("Installer execute complete."));
    // Without an "installer.config.xml" the run says so and goes on.
    EXPECT_EQ(1, LogCount("installer.config.xml not found."));
    EXPECT_TRUE(errors.empty());
}

std::string WriteValue(const std::string &name, const std::string &cls = "User") {
    return Command("RegistryCommand",
                   {{"Class", cls}, {"Path", "Software\\Run"}, {"Name", name}, {"Value", name}});
}

int ValueExists(const char *name) {
    RegistryStruct *key = nullptr;
    if (!Registry_OpenExistingKey(&key, REGISTRY_ROOT_CURRENT_USER, "Software\\Run"))
        return 0;
    char text[64];
    int found = Registry_GetString(key, name, text, sizeof(text));
    Registry_CloseKey(&key);
    return found;
}

TEST_F(InstallerTest, FailedCommandStopsTheRunAndIsReportedOnce) {
    EXPECT_EQ(0,
              Run(List(WriteValue("first") + WriteValue("second", "user") + WriteValue("third"))));
    EXPECT_EQ(1, ValueExists("first"));
    EXPECT_EQ(0, ValueExists("third"));
    EXPECT_EQ(1, ErrorCount("Installer failed."));
    EXPECT_EQ(1, ErrorCount("Unknown registry command Class type. [user]"));
    EXPECT_EQ(0, LogCount("Installer execute complete."));
    // Each command is logged before it runs; the third never was.
    EXPECT_EQ(2, LogCount("Running [Registry] installer command.")) << Dump();
    EXPECT_EQ(1, LogCount("Name: [second]"));
}

TEST_F(InstallerTest, StopRequestBeforeACommandReturnsZeroAndRunsNothingMore) {
    StopFlag stop;
    StopFlag_Set(&stop, 1);
    EXPECT_EQ(0, Run(List(WriteValue("first")), &stop));
    EXPECT_EQ(0, ValueExists("first"));
    EXPECT_EQ(0, LogCount("Installer execute complete."));
    EXPECT_EQ(0, ErrorCount("Installer failed."));
    // The same list runs to its end once the stop is lifted, and again the same.
    StopFlag_Set(&stop, 0);
    EXPECT_EQ(1, Run(List(WriteValue("first") + WriteValue("second")), &stop));
    EXPECT_EQ(1, Run(List(WriteValue("first") + WriteValue("second")), &stop));
    EXPECT_EQ(1, ValueExists("second"));
}

} // namespace
} // namespace installertest
