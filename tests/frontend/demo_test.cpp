// `tools/demo` end to end, with the programs of this build: the bundled example
// published and served by nginx and an installation of release 1 updated until
// every installed file passes `sha1sum -c`; without a window by `patchctl`, and
// with `--window` by `portico` on the virtual display, from a launcher folder
// written beside the installation, through its window's engine.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "tests/frontend/xsession.h"

namespace {

// Runs tools/demo with options; its exit status, output in *output.
int Demo(const std::string &options, std::string *output) {
    std::string build = PORTICO_PROGRAM;
    build = build.substr(0, build.rfind('/'));
    setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
    return xtest::X(std::string(PORTICO_SOURCE_DIR) + "/tools/demo " + options + " --build '" +
                        build + "' 2>&1",
                    output);
}

void ExpectReleaseTwoChecked(const std::string &output) {
    EXPECT_NE(std::string::npos,
              output.find("== installed: <Version>2</Version> <InProgress>FALSE</InProgress>"))
        << output;
    for (const char *file : {"README.txt: OK", "bin/start.sh: OK", "game.dat: OK",
                             "levels/level 1.txt: OK", "levels/level 3.txt: OK", "scores.dat: OK"})
        EXPECT_NE(std::string::npos, output.find(file)) << file << "\n" << output;
    EXPECT_EQ(std::string::npos, output.find("FAILED")) << output;
}

TEST(DemoTest, PatchctlUpdatesTheBundledExampleUntilEveryFileChecks) {
    std::string output;
    EXPECT_EQ(0, Demo("", &output)) << output;
    EXPECT_NE(std::string::npos, output.find("patchctl: every update complete")) << output;
    ExpectReleaseTwoChecked(output);
}

TEST(DemoTest, PorticoWindowUpdatesTheBundledExampleUntilEveryFileChecks) {
    ASSERT_TRUE(xtest::StartDisplay(false));
    std::string output;
    EXPECT_EQ(0, Demo("--window --until-updated", &output)) << output;
    ExpectReleaseTwoChecked(output);
}

} // namespace
