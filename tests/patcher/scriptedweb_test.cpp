// The stand-in client's HTTP downloads, driven as plain downloads through
// patchctl against a site from tools/publish served by nginx: the files of a
// metafile arrive whole; a rerun keeps what is complete and repairs what is
// damaged; a served file that fails its piece check, a metafile naming a path
// outside the output folder and a missing metafile fail the download.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>

#include "tests/patcher/patcher_fixture.h"
#include "tests/support/nginx_server.h"
#include "tests/support/support.h"

namespace {

namespace fs = std::filesystem;
using testsupport::ReadFile;
using testsupport::WriteFile;

class ScriptedWebTest : public ::testing::Test {
  protected:
    void SetUp() override {
        environment_.Set("HOME", dir_.path());
        environment_.Set("XDG_CONFIG_HOME", dir_ / ".config");
        environment_.Set("XDG_STATE_HOME", dir_ / ".local/state");
        ASSERT_TRUE(nginx_.ok()) << nginx_.error();
        // Two releases, the second's folder holding its changed and new files.
        std::string v1 = dir_ / "trees/v1", v2 = dir_ / "trees/v2";
        fs::create_directories(v1 + "/data");
        fs::create_directories(v2 + "/data/deep");
        WriteFile(v1 + "/data/a.txt", "first\n");
        WriteFile(v2 + "/data/a.txt", "second\n");
        big_ = std::string(300000, 'x');
        for (size_t i = 0; i < big_.size(); i += 977)
            big_[i] = static_cast<char>('a' + i % 26);
        WriteFile(v2 + "/data/deep/big file.bin", big_);
        WriteFile(v2 + "/empty.dat", "");
        std::string output;
        ASSERT_EQ(0, testsupport::RunCommand(std::string(PORTICO_SOURCE_DIR) +
                                                 "/tools/publish --type Incremental "
                                                 "--piece-length 15 " +
                                                 nginx_.url("/") + " " + nginx_.root() + " " + v1 +
                                                 " " + v2 + " 2>&1",
                                             &output))
            << output;
        out_ = dir_ / "out/";
    }

    // Runs one download to its end; the exit status (-2 when it hung).
    int Download(const std::string &metafile) {
        fs::remove(dir_ / "patchctl.out");
        std::vector<std::string> command = {PORTICO_PATCHCTL_PATH,
                                            "--client",
                                            "web",
                                            "--registry",
                                            "Software\\Vexil\\ScriptedWebTest",
                                            "--download",
                                            "game",
                                            metafile,
                                            out_,
                                            nginx_.url("/game.settings")};
        pid_t pid = testsupport::SpawnLogged(command, dir_ / "patchctl.out");
        return testsupport::FinishChild(pid, 60);
    }
    std::string Output() const { return ReadFile(dir_ / "patchctl.out"); }

    testsupport::TempDir dir_;
    patchertest::ScopedEnvironment environment_;
    nettest::NginxServer nginx_;
    std::string out_;
    std::string big_;
};

TEST_F(ScriptedWebTest, DownloadsEveryFileAndRepairsWhatIsDamaged) {
    ASSERT_EQ(0, Download("game_2.torrent")) << Output();
    EXPECT_EQ("second\n", ReadFile(out_ + "data/a.txt"));
    EXPECT_EQ(big_, ReadFile(out_ + "data/deep/big file.bin"));
    EXPECT_TRUE(fs::exists(out_ + "empty.dat"));
    EXPECT_TRUE(fs::exists(out_ + "remove.manifest"));
    EXPECT_NE(std::string::npos,
              Output().find("DOWNLOADSTATUS [game] PATCHER_DOWNLOAD_STATE_COMPLETE"))
        << Output();
    // Damage: a changed byte in the middle, a cut file, a missing one.
    std::string damaged = big_;
    damaged[150000] ^= 1;
    WriteFile(out_ + "data/deep/big file.bin", damaged);
    WriteFile(out_ + "data/a.txt", "sec");
    fs::remove(out_ + "empty.dat");
    ASSERT_EQ(0, Download("game_2.torrent")) << Output();
    // Only the two damaged pieces of 32 KiB are fetched again.
    EXPECT_NE(std::string::npos,
              Output().find("PATCHER_DOWNLOAD_STATE_DOWNLOAD left 65536 of 300007"))
        << Output();
    EXPECT_EQ("second\n", ReadFile(out_ + "data/a.txt"));
    EXPECT_EQ(big_, ReadFile(out_ + "data/deep/big file.bin"));
    EXPECT_TRUE(fs::exists(out_ + "empty.dat"));
}

TEST_F(ScriptedWebTest, BadSourcesFailTheDownload) {
    struct Case {
        const char *name;
        std::function<void(const std::string &site)> spoil;
        const char *metafile;
    };
    const std::string reliable = nginx_.url("/releases/2/");
    const Case cases[] = {
        {"a served file differs from its pieces",
         [](const std::string &site) { WriteFile(site + "/releases/2/data/a.txt", "SECOND\n"); },
         "game_2.torrent"},
        {"a path outside the output folder",
         [&reliable](const std::string &site) {
             std::string pieces(20, '\0');
             std::string info = "d5:filesld6:lengthi6e4:pathl2:..4:evileee4:name1:x"
                                "12:piece lengthi32768e6:pieces20:" +
                                pieces + "e";
             WriteFile(site + "/evil.torrent", "d4:info" + info + "8:reliable" +
                                                   std::to_string(reliable.size()) + ":" +
                                                   reliable + "e");
         },
         "evil.torrent"},
        {"a metafile that is not bencoded",
         [](const std::string &site) { WriteFile(site + "/junk.torrent", "d4:infoi1"); },
         "junk.torrent"},
        {"a missing metafile", [](const std::string &) {}, "missing.torrent"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        c.spoil(nginx_.root());
        fs::remove_all(out_);
        EXPECT_EQ(1, Download(c.metafile)) << Output();
        EXPECT_NE(std::string::npos,
                  Output().find("DOWNLOADSTATUS [game] PATCHER_DOWNLOAD_STATE_FAILED"))
            << Output();
        EXPECT_FALSE(fs::exists(dir_ / "evil"));
    }
}

} // namespace
