// Create-process command on Linux: a program killed by a signal returns -1,
// which is compared with the expected code like any other, and a started
// program reads nothing from our input (its standard input is /dev/null).
#include "tests/patcher/installer_support.h"

#include <sys/stat.h>

namespace installertest {
namespace {

std::string AuditProcess(const std::string &app, const std::string &args,
                         const std::string &expected, const std::string &folder = "") {
    return Command("CreateProcessCommand", {{"App", app},
                                            {"Args", args},
                                            {"CurrentDirectory", folder},
                                            {"ShowWindow", "true"},
                                            {"ExpectedReturnCode", expected}});
}

TEST_F(InstallerTest, AuditDeathBySignalIsMinusOne) {
    EXPECT_EQ(0, Run(List(AuditProcess("/bin/sh", "-c \"kill -9 $$\"", "0"))));
    ASSERT_FALSE(errors.empty()) << Dump();
    EXPECT_NE(std::string::npos, errors[0].second.find("[Expected: 0] [Actual: -1]"))
        << errors[0].second;
    // The program did start and its wait ended: -1 is its real result here.
    errors.clear();
    EXPECT_EQ(1, Run(List(AuditProcess("/bin/sh", "-c \"kill -9 $$\"", "-1")))) << Dump();
}

TEST_F(InstallerTest, AuditProgramInputIsEmpty) {
    std::string script = dir_ / "reader.sh";
    testsupport::WriteFile(script, "#!/bin/sh\nif read line; then exit 5; fi\nexit 0\n");
    chmod(script.c_str(), 0755);
    EXPECT_EQ(1, Run(List(AuditProcess(script, "", "0")))) << Dump();
}

} // namespace
} // namespace installertest
