// Create-process command on Linux: a program killed by a signal returns -1,
// which is compared with the expected code like any other, and a started
// program reads nothing from our input (its standard input is /dev/null).
#include "tests/patcher/installer_support.h"

#include <csignal>
#include <filesystem>
#include <sys/resource.h>
#include <sys/stat.h>

#include "core/registry.h"

namespace installertest {
namespace {

std::string ProcessCommand(const std::string &app, const std::string &args,
                           const std::string &expected, const std::string &folder = "") {
    return Command("CreateProcessCommand", {{"App", app},
                                            {"Args", args},
                                            {"CurrentDirectory", folder},
                                            {"ShowWindow", "true"},
                                            {"ExpectedReturnCode", expected}});
}

TEST_F(InstallerTest, DeathBySignalIsMinusOne) {
    EXPECT_EQ(0, Run(List(ProcessCommand("/bin/sh", "-c \"kill -9 $$\"", "0"))));
    ASSERT_FALSE(errors.empty()) << Dump();
    EXPECT_NE(std::string::npos, errors[0].second.find("[Expected: 0] [Actual: -1]"))
        << errors[0].second;
    // The program did start and its wait ended: -1 is its real result here.
    errors.clear();
    EXPECT_EQ(1, Run(List(ProcessCommand("/bin/sh", "-c \"kill -9 $$\"", "-1")))) << Dump();
}

TEST_F(InstallerTest, ProgramInputIsEmpty) {
    std::string script = dir_ / "reader.sh";
    testsupport::WriteFile(script, "#!/bin/sh\nif read line; then exit 5; fi\nexit 0\n");
    chmod(script.c_str(), 0755);
    EXPECT_EQ(1, Run(List(ProcessCommand(script, "", "0")))) << Dump();
}

std::string UninstallerCommand(const std::string &path) {
    return Command("AddUninstallerCommand", {{"ApplicationName", "G"},
                                             {"UninstallerKey", "Entry"},
                                             {"UninstallerPath", path},
                                             {"Publisher", ""},
                                             {"DeleteUninstallKey", "false"}});
}

// Size of the largest registry store file below folder.
int64_t LargestStore(const std::string &folder) {
    int64_t largest = 0;
    for (const auto &entry : std::filesystem::recursive_directory_iterator(folder))
        if (entry.is_regular_file() && entry.path().extension() == ".reg")
            largest = std::max<int64_t>(largest, (int64_t)entry.file_size());
    return largest;
}

// Runs the list args[1] with a file-size limit of args[0] bytes; exits with the
// list's result.
PORTICO_TEST_CHILD(limited_installer) {
    signal(SIGXFSZ, SIG_IGN);
    rlim_t size = (rlim_t)std::stoll(args[0]);
    struct rlimit limit = {size, size};
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0)
        return 10;
    XmlStruct *xml = nullptr;
    Xml_Create(&xml);
    Xml_ParseBuffer(xml, args[1].c_str());
    XmlNodeStruct *root = nullptr;
    Xml_GetRoot(xml, &root);
    InstallerCommandList *list = nullptr;
    Installer_Create(&list);
    int result = root && Installer_ParseCommands(list, xml, root) &&
                 Installer_Execute(args[2].c_str(), args[2].c_str(), list, args[3].c_str(),
                                   args[4].c_str(), nullptr);
    Installer_Destroy(&list);
    Xml_Destroy(&xml);
    return result;
}

// The entry's second write (a long UninstallString) fails on the file-size limit
// while the first and the last ones fit: the command still fails.
TEST_F(InstallerTest, UninstallerFailsWhenAMiddleWriteFails) {
    ASSERT_EQ(1, Run(List(UninstallerCommand("")))) << Dump();
    int64_t small = LargestStore(home);
    ASSERT_GT(small, 0);
    for (const auto &entry : std::filesystem::recursive_directory_iterator(home))
        if (entry.is_regular_file() && entry.path().extension() == ".reg")
            std::filesystem::remove(entry.path());
    std::string limit = std::to_string(small + 100);
    std::vector<std::string> args = {limit, List(UninstallerCommand(std::string(250, 'u'))), root(),
                                     dir_ / "output/", dir_ / "process/"};
    // Without the limit the same list succeeds.
    args[0] = "100000000";
    EXPECT_EQ(1, testsupport::WaitChild(testsupport::SpawnChild("limited_installer", args)));
    for (const auto &entry : std::filesystem::recursive_directory_iterator(home))
        if (entry.is_regular_file() && entry.path().extension() == ".reg")
            std::filesystem::remove(entry.path());
    args[0] = limit;
    EXPECT_EQ(0, testsupport::WaitChild(testsupport::SpawnChild("limited_installer", args)));
    // The first and the last values were written; only the middle one failed.
    RegistryStruct *key = nullptr;
    ASSERT_EQ(1, Registry_OpenExistingKey(
                     &key, REGISTRY_ROOT_LOCAL_MACHINE,
                     "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Entry"));
    char text[512];
    EXPECT_EQ(1, Registry_GetString(key, "DisplayName", text, sizeof(text)));
    EXPECT_EQ(1, Registry_GetString(key, "Publisher", text, sizeof(text)));
    EXPECT_EQ(0, Registry_GetString(key, "UninstallString", text, sizeof(text)));
    Registry_CloseKey(&key);
}

} // namespace
} // namespace installertest
