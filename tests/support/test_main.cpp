// Entry point of every test program: starts the core runtime once, then runs
// either a registered child entry or the tests, each checked for leaks.
#include <climits>
#include <gtest/gtest.h>

#include "core/zyl.h"
#include "tests/support/leak_check.h"
#include "tests/support/support.h"

namespace testsupport {
bool RunChildIfAsked(int argc, char **argv, int *status);
}

int main(int argc, char **argv) {
    // Messages are formatted (so console callbacks see them) but no log file is written.
    Zyl_Init("tests.log", ZYL_LOG_FORMAT_ALWAYS | ZYL_LOG_NO_MESSAGE_BOX);
    Zyl_MemoryInit(INT_MAX);
    int status = 0;
    if (testsupport::RunChildIfAsked(argc, argv, &status))
        return status;
    testing::InitGoogleTest(&argc, argv);
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    testsupport::InstallLeakCheck();
    return RUN_ALL_TESTS();
}
