// Putting a file that is not kept in place: on one file system a single rename
// (the installed file's inode becomes the source's), with the replaced file's
// mode kept and a new program made executable; across file systems a copy and
// a delete.
#include "core/stopflag.h"
#include "patcher/expansionhelper.h"
#include "tests/support/support.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

using testsupport::FileExists;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

struct stat Stat(const std::string &path) {
    struct stat info {};
    stat(path.c_str(), &info);
    return info;
}

class ExpansionMoveTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ExpansionHelper_Create(&helper_, nullptr, nullptr);
        ExpansionHelper_SetRetryPause(helper_, 0);
    }
    void TearDown() override { ExpansionHelper_Destroy(&helper_); }
    int Put(const std::string &destination, const std::string &source, int copyMode) {
        return ExpansionHelper_CopyFile(destination.c_str(), &stop_, helper_, source.c_str(),
                                        copyMode, 1, 0);
    }
    TempDir dir_;
    StopFlag stop_;
    ExpansionHelperStruct *helper_ = nullptr;
};

TEST_F(ExpansionMoveTest, OneRenameOnTheSameFileSystem) {
    struct Case {
        const char *name;
        bool installed; // a file of that name is installed (mode 0600)
        const char *content;
        int copyMode;
        int mode; // expected afterwards
    };
    const Case cases[] = {
        {"replaced.dat", true, "new data", 1, 0600},
        {"replaced.sh", true, "#!/bin/sh\n", 0, 0600},
        {"new.dat", false, "data", 1, 0644},
        {"sub/new.sh", false, "#!/bin/sh\necho\n", 1, 0755},
        {"copied mode.dat", false, "data", 0, 0640},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::string source = dir_ / (std::string("out/") + c.name);
        std::string target = dir_ / (std::string("install/") + c.name);
        std::filesystem::create_directories(std::filesystem::path(source).parent_path());
        std::filesystem::create_directories(std::filesystem::path(target).parent_path());
        WriteFile(source, c.content);
        chmod(source.c_str(), 0640);
        if (c.installed) {
            WriteFile(target, "old");
            chmod(target.c_str(), 0600);
        }
        ino_t inode = Stat(source).st_ino;
        ASSERT_EQ(1, Put(target, source, c.copyMode));
        EXPECT_FALSE(FileExists(source));
        EXPECT_EQ(c.content, ReadFile(target));
        EXPECT_EQ(inode, Stat(target).st_ino) << "one rename, no copy";
        EXPECT_EQ(c.mode, (int)(Stat(target).st_mode & 07777));
    }
}

TEST_F(ExpansionMoveTest, CopiesAndDeletesAcrossFileSystems) {
    std::string shm = "/dev/shm";
    struct stat shared = Stat(shm);
    if (!S_ISDIR(shared.st_mode) || shared.st_dev == Stat(dir_.path()).st_dev)
        GTEST_SKIP() << "no second file system to move across";
    std::string source = shm + "/portico-move-" + std::to_string(getpid());
    WriteFile(source, std::string(200000, 'x'));
    std::string target = dir_ / "big.dat";
    WriteFile(target, "old");
    chmod(target.c_str(), 0600);
    ASSERT_EQ(1, Put(target, source, 0));
    EXPECT_FALSE(FileExists(source));
    EXPECT_EQ(std::string(200000, 'x'), ReadFile(target));
    EXPECT_EQ(0600, (int)(Stat(target).st_mode & 07777));
}

} // namespace
