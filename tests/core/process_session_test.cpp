// Process launch on Linux: every started program leads a session of its own
// (the "new console"), so it leaves ours and our terminal's signals alone.
#include "core/process.h"
#include "core/zyl.h"
#include "tests/support/support.h"

#include <gtest/gtest.h>
#include <string>
#include <unistd.h>

namespace {

TEST(ProcessSession, ChildLeadsASessionOfItsOwn) {
    testsupport::TempDir dir;
    std::string out = dir / "session.txt";
    // Field 6 of /proc/<pid>/stat is the session id; a session leader's equals its pid.
    std::string arguments =
        "-c \"read -r p c s pp pg sid rest < /proc/$$/stat; echo $sid $$ > '" + out + "'\"";
    int code = -1;
    ASSERT_EQ(1, WinProcessHelper_LaunchWait(&code, "", nullptr, "/bin/sh", arguments.c_str(), 1));
    EXPECT_EQ(0, code);
    std::string text = testsupport::ReadFile(out);
    size_t blank = text.find(' ');
    ASSERT_NE(std::string::npos, blank) << text;
    std::string sid = text.substr(0, blank);
    std::string pid = text.substr(blank + 1, text.find('\n') - blank - 1);
    EXPECT_EQ(pid, sid);
    EXPECT_NE(std::to_string(getsid(0)), sid);
}

} // namespace
