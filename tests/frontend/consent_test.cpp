// The engine's questions end to end: the launcher's own package fetched from
// nginx, the page asked whether to apply the offered release and what to do
// about maintenance, commands called from inside the page's answer, and the
// target started once the launcher's package is complete.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "tests/frontend/frontend_support.h"
#include "tests/patcher/update_support.h"
#include "tests/support/nginx_server.h"

namespace {

using frontendtest::BoolAnswer;
using frontendtest::IntAnswer;
using frontendtest::kListTarget;
using frontendtest::ModelTest;

class ConsentTest : public ModelTest {
  protected:
    int OpenWithPackage(const std::string &document) {
        testsupport::WriteFile(nginx_.root() + "/game.package", document);
        updatetest::WriteVersion(Folder() + "game.version", 3);
        return Open(frontendtest::DefaultConfig() +
                    "<Launcher><PackageName>game</PackageName><Url>" + nginx_.url("/") +
                    "</Url></Launcher>");
    }
    // Ticks as the window's timer would, faster, until done() or 20 s.
    bool TickUntil(const std::function<bool()> &done) {
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (std::chrono::steady_clock::now() < end) {
            model->Tick();
            if (done())
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return done();
    }
    std::string Logs() {
        std::string text;
        for (const std::string &line : model->GetLogLines())
            text += line + "\n";
        return text;
    }

    nettest::NginxServer nginx_;
};

TEST_F(ConsentTest, ADeclinedUpdateCompletesTheLauncherPackageAndStartsTheTarget) {
    ASSERT_TRUE(nginx_.ok()) << nginx_.error();
    ASSERT_EQ(OpenWithPackage(updatetest::PackageDocument("Incremental", {{3}, {4}})), 1);
    std::vector<int> answers;
    Page()->answers["__Patcher_reportpackageUpdateAvailable"] = BoolAnswer(0);
    Page()->actions["__Patcher_reportpackageUpdateAvailable"] = [&] {
        answers.push_back(Page()->CallBool("getPackageActive", "string:game"));
        answers.push_back(
            Page()->CallBool("setSettings", "bool:1|bool:0|bool:0|string:10|string:20"));
        answers.push_back(Page()->CallBool("sendLog", "string:asked"));
    };
    model->Start();
    ASSERT_TRUE(TickUntil([&] { return model->IsTargetStarted() == 1; })) << Logs();
    auto offers = Page()->CallsOf("__Patcher_reportpackageUpdateAvailable");
    ASSERT_EQ(offers.size(), 1u);
    EXPECT_EQ(offers[0].Arguments,
              std::vector<std::string>({"S:game", "I:2", "S:v3", "I:3", "S:v4", "I:4"}));
    EXPECT_EQ(answers, std::vector<int>({1, 1, 1}));
    EXPECT_EQ(Page()->CallString(SCRIPT_DISPID_RETURNSETTINGS, "getSettings"), "1:0:0:10:20");
    PackageOptions options;
    EXPECT_EQ(LauncherLib_GetPackageListOptions(kListTarget, &options), 1);
    EXPECT_EQ(updatetest::ReadInstalledVersion(Folder() + "game.version"), 3);
    EXPECT_EQ(view.Count("Close"), 0);
}

TEST_F(ConsentTest, ACloseFromInsideTheQuestionTakesEffectAfterTheTick) {
    ASSERT_TRUE(nginx_.ok()) << nginx_.error();
    ASSERT_EQ(OpenWithPackage(updatetest::PackageDocument("Incremental", {{3}, {4}})), 1);
    Page()->answers["__Patcher_reportpackageUpdateAvailable"] = BoolAnswer(0);
    Page()->actions["__Patcher_reportpackageUpdateAvailable"] = [&] {
        EXPECT_EQ(Page()->CallBool("close"), 1);
    };
    model->Start();
    ASSERT_TRUE(TickUntil([&] { return view.Count("Close") == 1; })) << Logs();
    // The engine still runs: the window ends its loop, then the model goes.
    EXPECT_EQ(LauncherLib_IsInitialized(), 1);
    CloseModel();
    EXPECT_EQ(LauncherLib_IsInitialized(), 0);
}

TEST_F(ConsentTest, MaintenanceAsksThePageAndNavigates) {
    ASSERT_TRUE(nginx_.ok()) << nginx_.error();
    ASSERT_EQ(OpenWithPackage(updatetest::PackageDocument(
                  "Maintenance", {},
                  "  <MaintenanceOptions><MaintenanceUrl>http://status/</MaintenanceUrl>"
                  "<AdditionalInfo>Back at noon</AdditionalInfo></MaintenanceOptions>\n")),
              1);
    Page()->answers["__Patcher_reportpackageMaintenance"] = IntAnswer(1);
    model->Start();
    ASSERT_TRUE(TickUntil([&] { return view.Count("Navigate:http://status/") == 1; })) << Logs();
    EXPECT_EQ(Page()->CallsOf("__Patcher_reportpackageMaintenance").at(0).Arguments,
              std::vector<std::string>({"S:game", "S:http://status/", "S:Back at noon"}));
}

} // namespace
