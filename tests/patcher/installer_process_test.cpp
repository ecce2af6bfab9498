// Create-process, shell and COM-register commands with real programs: exit codes,
// arguments with blanks and quotes, stop requests, and a stand-in xdg-open placed
// first on PATH.
#include "tests/patcher/installer_support.h"

#include "patcher/installer/createprocesscommand.h"
#include "patcher/installer/macro.h"

#include <sys/stat.h>
#include <unistd.h>

namespace installertest {
namespace {

std::string Process(const std::string &app, const std::string &args, const std::string &expected,
                    const std::string &show = "true", const std::string &folder = "") {
    return Command("CreateProcessCommand", {{"App", app},
                                            {"Args", args},
                                            {"CurrentDirectory", folder},
                                            {"ShowWindow", show},
                                            {"ExpectedReturnCode", expected}});
}

void WriteScript(const std::string &path, const std::string &body) {
    testsupport::WriteFile(path, "#!/bin/sh\n" + body);
    chmod(path.c_str(), 0755);
}

// Waits (bounded) for a file a started program writes.
bool WaitForFile(const std::string &path) {
    for (int i = 0; i < 2000; i++) {
        if (testsupport::FileExists(path) && !testsupport::ReadFile(path).empty())
            return true;
        usleep(5000);
    }
    return false;
}

TEST_F(InstallerTest, ProcessExitCodesAgainstTheExpectedOne) {
    EXPECT_EQ(1, Run(List(Process("/bin/sh", "-c \"exit 3\"", "3")))) << Dump();
    EXPECT_EQ(1, Run(List(Process("/bin/sh", "-c \"exit 0\"", "0", "false"))));
    errors.clear();
    EXPECT_EQ(0, Run(List(Process("/bin/sh", "-c \"exit 3\"", "0"))));
    ASSERT_EQ(2u, errors.size());
    EXPECT_EQ("Process returned wrong response code. [Expected: 0] [Actual: 3] [App: /bin/sh] "
              "[Args: -c \"exit 3\"] [CurrentDirectory ]",
              errors[0].second);
    EXPECT_EQ(9, errors[0].first);
    // A program that cannot start fails even when -1 was expected.
    errors.clear();
    EXPECT_EQ(0, Run(List(Process("{RootPath}missing", "", "-1"))));
    ASSERT_FALSE(errors.empty());
    EXPECT_EQ("Process returned wrong response code. [Expected: -1] [Actual: -1] [App: " + root() +
                  "missing] [Args: ] [CurrentDirectory ]",
              errors[0].second);
    errors.clear();
    EXPECT_EQ(0, Run(List(Process("/bin/true", "", "0", "yes"))));
    EXPECT_EQ(1, ErrorCount("Unknown create process command ShowWindow type. [yes]"));
}

TEST_F(InstallerTest, ProcessGetsItsArgumentsAndFolder) {
    std::string folder = dir_ / "with blank";
    Zyl_CreateDirectory(folder.c_str(), 0, 0);
    std::string script = folder + "/args.sh";
    WriteScript(script, "pwd > out.txt\nfor a in \"$@\"; do printf '[%s]\\n' \"$a\" >> out.txt; "
                        "done\nexit 7\n");
    // Document paths may use '\'; the arguments stay as written.
    std::string app = script;
    for (char &c : app)
        if (c == '/')
            c = '\\';
    ASSERT_EQ(1, Run(List(Process(app, "\"a b\" &quot;say &quot;&quot;hi&quot;&quot;&quot; c\\d",
                                  "7", "true", folder))))
        << Dump();
    EXPECT_EQ(folder + "\n[a b]\n[say \"hi\"]\n[c\\d]\n",
              testsupport::ReadFile(folder + "/out.txt"));
}

TEST_F(InstallerTest, ProcessWaitGivesUpOnStop) {
    void *record = nullptr;
    CreateProcessCommand_SetDefaults(&record, "");
    CreateProcessCommand_SetProperty(record, "App", "/bin/sleep");
    CreateProcessCommand_SetProperty(record, "Args", "2");
    MacroListStruct *macros = nullptr;
    Macro_Create(&macros);
    StopFlag stop;
    StopFlag_Set(&stop, 1);
    EXPECT_EQ(0, CreateProcessCommand_Execute(record, macros, &stop));
    ASSERT_EQ(1u, errors.size());
    EXPECT_NE(std::string::npos, errors[0].second.find("[Actual: -1] [App: /bin/sleep]"));
    Macro_Destroy(&macros);
    CreateProcessCommand_Destroy(&record);
    EXPECT_EQ(nullptr, record);
}

std::string Shell(const std::string &operation, const std::string &file,
                  const std::string &parameters = "", const std::string &show = "Normal") {
    return Command("ShellCommand", {{"Operation", operation},
                                    {"File", file},
                                    {"Parameters", parameters},
                                    {"Directory", "{RootPath}"},
                                    {"Show", show}});
}

class ShellTest : public InstallerTest {
  protected:
    void SetUp() override {
        InstallerTest::SetUp();
        bin = dir_ / "bin";
        marker = dir_ / "opened.txt";
        Zyl_CreateDirectory(bin.c_str(), 0, 0);
        Zyl_CreateDirectory(root().c_str(), 0, 0);
        WriteScript(bin + "/xdg-open", "printf '%s|%s\\n' \"$#\" \"$1\" > '" + marker + "'\n");
        const char *path = getenv("PATH");
        setenv("PATH", (bin + ":" + (path ? path : "/usr/bin:/bin")).c_str(), 1);
    }
    std::string bin, marker;
};

TEST_F(ShellTest, OpensDocumentsAndFoldersThroughXdgOpen) {
    std::string document = root() + "read \"me\".txt";
    testsupport::WriteFile(document, "text");
    ASSERT_EQ(1, Run(List(Shell("open", "{RootPath}read &quot;me&quot;.txt")))) << Dump();
    ASSERT_TRUE(WaitForFile(marker));
    EXPECT_EQ("1|" + document + "\n", testsupport::ReadFile(marker));
    unlink(marker.c_str());
    ASSERT_EQ(1, Run(List(Shell("explore", "{RootPath}")))) << Dump();
    ASSERT_TRUE(WaitForFile(marker));
    EXPECT_EQ("1|" + root() + "\n", testsupport::ReadFile(marker));
    unlink(marker.c_str());
    ASSERT_EQ(1, Run(List(Shell("", "https://example.invalid/a b"))));
    ASSERT_TRUE(WaitForFile(marker));
    EXPECT_EQ("1|https://example.invalid/a b\n", testsupport::ReadFile(marker));
}

TEST_F(ShellTest, StartsExecutablesAndRefusesUnknownWords) {
    std::string program = root() + "tool.sh";
    std::string out = dir_ / "tool.txt";
    WriteScript(program, "printf '%s,' \"$@\" > '" + out + "'\n");
    ASSERT_EQ(1, Run(List(Shell("open", "{RootPath}tool.sh", "x \"y z\"", "Hide")))) << Dump();
    ASSERT_TRUE(WaitForFile(out));
    EXPECT_EQ("x,y z,", testsupport::ReadFile(out));

    EXPECT_EQ(0, Run(List(Shell("print", "{RootPath}tool.sh"))));
    EXPECT_EQ(1, ErrorCount("Shell operation not supported on this platform. [print]"));
    EXPECT_EQ(0, Run(List(Shell("open", "{RootPath}tool.sh", "", "Sideways"))));
    EXPECT_EQ(1, ErrorCount("Unknown shell command ShowCommand type. [Sideways]"));
    EXPECT_EQ(0, Run(List(Shell("open", ""))));
    EXPECT_EQ(1, ErrorCount("ShellExecute failed. [Return Code: 2]"));
    EXPECT_FALSE(testsupport::FileExists(marker)); // nothing reached the opener
}

TEST_F(InstallerTest, ComRegisterChecksItsWordsAndSucceeds) {
    ASSERT_EQ(1, Run(List(Command("ComRegisterCommand",
                                  {{"Path", "{RootPath}x.dll"}, {"Unregister", "true"}}))));
    EXPECT_EQ(1, LogCount("COM registration not supported on this platform"));
    EXPECT_EQ(1, LogCount("regsvr32 /s /u " + root() + "x.dll"));
    EXPECT_EQ(1, LogCount("Running [ComRegister] installer command."));
    EXPECT_EQ(0,
              Run(List(Command("ComRegisterCommand", {{"Path", "x.dll"}, {"Unregister", "1"}}))));
    EXPECT_EQ(1, ErrorCount("Unknown add com register command Unregister type. [1]"));
    EXPECT_EQ(0, Run(List(Command("ComRegisterCommand", {{"Path", std::string(316, 'p')}}))));
    EXPECT_EQ(1, ErrorCount("Regsvr32 Failed. [" + std::string(316, 'p') + "]"));
}

} // namespace
} // namespace installertest
