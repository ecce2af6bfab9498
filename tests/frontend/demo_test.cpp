// `tools/demo --window` end to end on the virtual display: the bundled example
// published and served by nginx, a launcher folder written beside an
// installation of release 1, and `portico` updating it through its window's
// engine until every installed file passes `sha1sum -c`. The demo runs the
// programs of this build.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "tests/frontend/xsession.h"

namespace {

TEST(DemoWindowTest, PorticoUpdatesTheBundledExampleUntilEveryFileChecks) {
    ASSERT_TRUE(xtest::StartDisplay(false));
    std::string build = PORTICO_PROGRAM;
    build = build.substr(0, build.rfind('/'));
    setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
    std::string output;
    int status = xtest::X(std::string(PORTICO_SOURCE_DIR) +
                              "/tools/demo --window --until-updated --build '" + build + "' 2>&1",
                          &output);
    EXPECT_EQ(0, status) << output;
    EXPECT_NE(std::string::npos,
              output.find("== installed: <Version>2</Version> <InProgress>FALSE</InProgress>"))
        << output;
    for (const char *file : {"README.txt: OK", "bin/start.sh: OK", "game.dat: OK",
                             "levels/level 1.txt: OK", "levels/level 3.txt: OK", "scores.dat: OK"})
        EXPECT_NE(std::string::npos, output.find(file)) << file << "\n" << output;
    EXPECT_EQ(std::string::npos, output.find("FAILED")) << output;
}

} // namespace
