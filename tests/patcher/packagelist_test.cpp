// The package list against nginx: its packages install one after another in
// document order, with the list's states reported; empty, failed and refused
// lists; the fetch schedule; entries that would leave the installation.
#include "tests/patcher/update_support.h"

#include "patcher/packagelist.h"

#include <unistd.h>

using namespace updatetest;

namespace {

std::string Entry(const std::string &name, const std::string &url, const std::string &path) {
    return "<Package><Name>" + name + "</Name><Url>" + url + "</Url><ExpansionPath>" + path +
           "</ExpansionPath></Package>";
}

std::string ListDocument(const std::string &packages) {
    return "<?xml version=\"1.0\"?>\n<PackageList PatcherVersion=\"2.0.8.5\"><Packages>" +
           packages + "</Packages></PackageList>\n";
}

// Runs in the installation folder: listed packages install below the current folder.
class PackageListTest : public UpdateFixture {
  protected:
    void SetUp() override {
        UpdateFixture::SetUp();
        ASSERT_TRUE(nginx_.ok()) << nginx_.error();
        ASSERT_NE(nullptr, getcwd(saved_, sizeof(saved_)));
        ASSERT_EQ(0, chdir(install_.c_str()));
    }
    void TearDown() override {
        UpdateFixture::TearDown();
        EXPECT_EQ(0, chdir(saved_));
    }
    // The list states without repeats in a row.
    std::vector<int> Distinct() const {
        std::vector<int> states;
        for (int state : recorder.ListStates())
            if (states.empty() || states.back() != state)
                states.push_back(state);
        return states;
    }
    bool Ended() const {
        std::vector<int> states = recorder.ListStates();
        return !states.empty() && (states.back() == 4 || states.back() == 5);
    }
    char saved_[4096] = "";
};

TEST_F(PackageListTest, TwoPackagesInstallInTurn) {
    std::string doc =
        PackageDocument("Incremental", {{1}, {2}}, "<PerformExpand>0</PerformExpand>");
    Serve("first.package", doc);
    Serve("second.package", doc);
    Serve("games.list", ListDocument(Entry("first", BaseUrl(), "") +
                                     Entry("second", BaseUrl(), "addons\\second")));
    WriteVersion(VersionPath("first"), 1);
    std::filesystem::create_directories(install_ + "addons/second");
    WriteVersion(install_ + "addons/second/second.version", 1);
    ASSERT_EQ(1,
              Patcher_AddPackageList(patcher, "games", nginx_.url("/games.list").c_str(), nullptr));
    ASSERT_TRUE(RunUntil([&] { return Ended(); }, 30, {"first", "second"})) << front.DumpLogs();
    EXPECT_EQ((std::vector<int>{1, 3, 1, 3, 4}), Distinct()) << front.DumpLogs();
    EXPECT_EQ(2, ReadInstalledVersion(VersionPath("first")));
    EXPECT_EQ(2, ReadInstalledVersion(install_ + "addons/second/second.version"));
    // Each package's records carry its name; the first comes before the second.
    std::vector<std::string> names;
    for (const auto &record : recorder.lists)
        if (record.PackageName[0] != 0 && (names.empty() || names.back() != record.PackageName))
            names.push_back(record.PackageName);
    EXPECT_EQ((std::vector<std::string>{"first", "second"}), names);
    EXPECT_STREQ("games", recorder.lists.back().ListName);
    // Only one listed package is filed at a time, and none once the list ended.
    int32_t active = 0;
    EXPECT_EQ(0, Patcher_GetPackageActive("first", 1, &active, patcher));
    EXPECT_EQ(0, Patcher_GetPackageActive("second", 1, &active, patcher));
}

TEST_F(PackageListTest, EmptyOrRefusedListsEndWithNothingInstalled) {
    const std::string documents[] = {
        ListDocument(""),
        "<PackageList PatcherVersion=\"1\"><Packages></Packages><Packages>" +
            Entry("first", BaseUrl(), "") + "</Packages></PackageList>",
        ListDocument(Entry("../up", BaseUrl(), "") + Entry("first", BaseUrl(), "/abs")),
        "not a list at all",
    };
    int n = 0;
    for (const std::string &document : documents) {
        SCOPED_TRACE(document);
        recorder.lists.clear();
        std::string name = "list" + std::to_string(n++);
        Serve(name, document);
        ASSERT_EQ(1, Patcher_AddPackageList(patcher, name.c_str(), nginx_.url("/" + name).c_str(),
                                            nullptr));
        ASSERT_TRUE(RunUntil([&] { return Ended(); })) << front.DumpLogs();
        EXPECT_EQ((std::vector<int>{1, 4}), Distinct());
        ASSERT_EQ(1, Patcher_RemovePackageList(name.c_str(), patcher));
    }
    EXPECT_TRUE(recorder.offers.empty());
    EXPECT_TRUE(recorder.changes.empty());
}

TEST_F(PackageListTest, AFailedPackageFailsTheListAndItStaysThere) {
    Serve("first.package", PackageDocument("Incremental", {{1}, {2}}));
    Serve("second.package", PackageDocument("Incremental", {{1}, {2}}));
    Serve("games.list",
          ListDocument(Entry("first", BaseUrl(), "") + Entry("second", BaseUrl(), "")));
    WriteVersion(VersionPath("first"), 1);
    autoDownload = false;
    ASSERT_EQ(1,
              Patcher_AddPackageList(patcher, "games", nginx_.url("/games.list").c_str(), nullptr));
    ScriptedDownloadInfo info;
    ASSERT_TRUE(RunUntil([&] { return ScriptedClient_GetDownload(client, "first", &info) == 1; }))
        << front.DumpLogs();
    ScriptedClient_SetState(client, "first", PATCHER_DOWNLOAD_STATE_FAILED);
    ASSERT_TRUE(RunUntil([&] { return Ended(); })) << front.DumpLogs();
    EXPECT_EQ(5, recorder.ListStates().back());
    EXPECT_STREQ("first", recorder.lists.back().PackageName);
    EXPECT_EQ(PATCHER_STATE_FAILED, recorder.lists.back().Status.State);
    RunUntil([] { return false; }, 1);
    EXPECT_EQ(5, recorder.ListStates().back());
    EXPECT_EQ(0, ScriptedClient_GetDownload(client, "second", &info));
}

// The list ticked by the test itself, so that its countdown follows the
// test's seconds.
TEST_F(PackageListTest, ThreeFailedFetchesFailTheList) {
    PackageList *list = nullptr;
    ASSERT_EQ(1, PackageList_Create(&list, "games", nginx_.url("/missing.list").c_str(), nullptr,
                                    patcher));
    auto tick = [&](double seconds) {
        Patcher_Lock(patcher);
        PackageList_Tick(seconds, list);
        int fetched = PackageList_BeginFetch(list);
        if (fetched) {
            PackageList_RunFetch(list);
            PackageList_EndFetch(list, 1);
        }
        Patcher_Unlock(patcher);
        Drain();
        return fetched;
    };
    EXPECT_EQ(1, tick(0));
    EXPECT_EQ(0, tick(1799));
    EXPECT_EQ(1, tick(1));
    EXPECT_EQ(1, tick(1800));
    EXPECT_EQ(0, tick(1800)); // failed: nothing more
    EXPECT_EQ((std::vector<int>{1, 5}), Distinct());
    int errors = 0;
    for (const auto &line : front.logs)
        errors += line.first == 1 &&
                  line.second.find("Unable to retrieve [" + nginx_.url("/missing.list") + "]") !=
                      std::string::npos;
    EXPECT_EQ(1, errors) << front.DumpLogs();
    PackageList_Destroy(&list);
}

TEST_F(PackageListTest, EntriesInDocumentOrderAndUnsafeOnesRefused) {
    PackageList *list = nullptr;
    ASSERT_EQ(1, PackageList_Create(&list, "l", "http://h/l", nullptr, patcher));
    std::string text = "<PackageList PatcherVersion=\"1\"><Packages>" + Entry("a", "u1", "") +
                       Entry("b", "u2", "sub\\dir") + Entry("c/d", "u", "") +
                       Entry("e", "u", "..\\up") + Entry("f", "u", "/abs") +
                       Entry("g", "u", "c:x") + Entry("..", "u", "") +
                       "<Package/><Package><Name>i</Name><Colour>red</Colour></Package></Packages>"
                       "<Packages>" +
                       Entry("j", "u3", "") + "</Packages></PackageList>";
    ASSERT_EQ(1, PackageList_Parse(list, text.c_str()));
    int32_t state = 0, count = 0;
    PackageList_GetState(list, &state, &count);
    EXPECT_EQ(4, count); // a, b, i, j
    Drain();
    auto logged = [&](const std::string &text) {
        for (const auto &line : front.logs)
            if (line.second.find(text) != std::string::npos)
                return true;
        return false;
    };
    for (const char *refused : {"[c/d] []", "[e] [../up]", "[f] [/abs]", "[g] [c:x]", "[..] []"})
        EXPECT_TRUE(logged(std::string("Refusing PackageList entry ") + refused))
            << refused << front.DumpLogs();
    EXPECT_TRUE(logged("PackageList.Package member has no children"));
    EXPECT_TRUE(logged("Unknown PackageList member [Colour]"));
    EXPECT_EQ(0, PackageList_Parse(list, "<Other/>"));
    Drain();
    EXPECT_TRUE(logged("Unable to locate PackageList member"));
    PackageList_Destroy(&list);
}

} // namespace
