// File_Write on a short write: a child process limited to 1,000 bytes of file
// size (SIGXFSZ ignored) writes 4,000 bytes; the kernel takes the first 1,000,
// then refuses the rest. The call fails and reports the bytes really written.
#include "core/file.h"
#include "core/zyl.h"
#include "tests/support/support.h"

#include <csignal>
#include <gtest/gtest.h>
#include <string>
#include <sys/resource.h>

namespace {

PORTICO_TEST_CHILD(short_write) {
    if (args.size() != 1)
        return 10;
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit = {1000, 1000};
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0)
        return 11;
    FileStruct *file = nullptr;
    File_New(&file);
    if (!File_Open(file, args[0].c_str(), FILE_MODE_WRITE))
        return 12;
    std::string data(4000, 'w');
    int count = -1;
    int result = File_Write(file, data.data(), (int)data.size(), &count);
    File_Close(file);
    File_Delete(&file);
    if (result != 0)
        return 13;
    return count == 1000 ? 0 : 14;
}

TEST(FileShortWrite, ShortWriteFailsAndCountsTheBytesWritten) {
    testsupport::TempDir dir;
    std::string path = dir / "limited.dat";
    pid_t child = testsupport::SpawnChild("short_write", {path});
    ASSERT_GT(child, 0);
    EXPECT_EQ(0, testsupport::WaitChild(child));
    EXPECT_EQ(std::string(1000, 'w'), testsupport::ReadFile(path));
}

} // namespace
