// The outside library's binding with a real libhostlink.so of ours: calls it
// claims never reach the command table, declined ones do, and its calls of page
// functions arrive with every argument type, from its own threads at the next
// tick; a library without one of its functions is not bound.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <string>

#include "frontend/interoplibrary.h"
#include "tests/frontend/frontend_support.h"

namespace {

using frontendtest::ModelTest;
using V = std::vector<std::string>;

class HostlinkTest : public ModelTest {
  protected:
    int OpenWithLibrary(const char *library) {
        std::string target = dir_ / "libhostlink.so";
        testsupport::WriteFile(target, testsupport::ReadFile(library));
        return Open();
    }
    // The library's own counters (0 Init, 1 Remove, 2 ReceiveEvent calls).
    int Count(int which) {
        void *handle = dlopen((dir_ / "libhostlink.so").c_str(), RTLD_NOW | RTLD_NOLOAD);
        if (handle == nullptr)
            return -1;
        auto count = reinterpret_cast<int (*)(int)>(dlsym(handle, "HostlinkTest_Count"));
        int value = count != nullptr ? count(which) : -1;
        dlclose(handle);
        return value;
    }
    int LastResult(int which) {
        void *handle = dlopen((dir_ / "libhostlink.so").c_str(), RTLD_NOW | RTLD_NOLOAD);
        if (handle == nullptr)
            return -1;
        auto result = reinterpret_cast<int (*)(int)>(dlsym(handle, "HostlinkTest_LastResult"));
        int value = result != nullptr ? result(which) : -1;
        dlclose(handle);
        return value;
    }
    bool Logged(const std::string &part) {
        model->Tick();
        for (const std::string &line : model->GetLogLines())
            if (line.find(part) != std::string::npos)
                return true;
        return false;
    }
};

TEST_F(HostlinkTest, ClaimedCallsNeverReachTheCommandTable) {
    ASSERT_EQ(OpenWithLibrary(PORTICO_HOSTLINK_TEST), 1);
    EXPECT_EQ(Count(0), 1);
    EXPECT_EQ(Page()->CallBool("claimMe", "int:1"), 1);
    EXPECT_EQ(Count(2), 1);
    EXPECT_FALSE(Logged("Unhandled event [claimMe]"));
    // Declined: the command table answers.
    EXPECT_EQ(Page()->CallBool("minimize"), 1);
    EXPECT_EQ(view.calls, V({"Navigate:" + Folder() + "skin/en/index.html", "Minimize"}));
    EXPECT_EQ(Page()->CallBool("unknownToBoth"), 0);
    EXPECT_TRUE(Logged("Unhandled event [unknownToBoth]"));
    // "sendInteropEvent" passes its event once more.
    EXPECT_EQ(Page()->CallBool("sendInteropEvent", "string:x"), 1);
    EXPECT_EQ(Count(2), 5);
    // String calls are not offered to the library.
    Page()->CallString(SCRIPT_DISPID_RETURNSETTINGS, "getSettings");
    EXPECT_EQ(Count(2), 5);
}

TEST_F(HostlinkTest, PageFunctionsCalledByTheLibrary) {
    ASSERT_EQ(OpenWithLibrary(PORTICO_HOSTLINK_TEST), 1);
    const V expected = {"S:text from the library", "I:-42", "D:2.500000", "N:8000000000", "B:TRUE"};
    EXPECT_EQ(Page()->CallBool("callBack"), 1);
    auto calls = Page()->CallsOf("fromHostlink");
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].Arguments, expected);
    EXPECT_EQ(LastResult(0), 1);
    // From the library's own thread: copied, and made on this thread at the next tick.
    EXPECT_EQ(Page()->CallBool("callBackFromThread"), 1);
    EXPECT_EQ(LastResult(0), 1);
    EXPECT_EQ(Page()->CallsOf("fromHostlink").size(), 1u);
    model->Tick();
    calls = Page()->CallsOf("fromHostlink");
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[1].Arguments,
              V({"S:text from a thread", "I:-42", "D:2.500000", "N:8000000000", "B:TRUE"}));
    // More than 64 arguments or no name: refused.
    EXPECT_EQ(Page()->CallBool("callBackBad"), 1);
    EXPECT_EQ(LastResult(1), 0);
    EXPECT_EQ(LastResult(2), 0);
    model->Tick();
    EXPECT_EQ(Page()->CallsOf("fromHostlink").size(), 2u);
}

TEST_F(HostlinkTest, UnboundAtTheModelsEnd) {
    ASSERT_EQ(OpenWithLibrary(PORTICO_HOSTLINK_TEST), 1);
    EXPECT_EQ(Count(1), 0);
    CloseModel();
    EXPECT_EQ(Count(0), -1); // unloaded
}

TEST_F(HostlinkTest, ALibraryWithoutAllItsFunctionsIsNotBound) {
    ASSERT_EQ(OpenWithLibrary(PORTICO_HOSTLINK_BROKEN), 1);
    EXPECT_TRUE(Logged("Unable to initialize interop library"));
    EXPECT_EQ(Count(0), -1);
    EXPECT_EQ(Page()->CallBool("minimize"), 1);
    EXPECT_EQ(Page()->CallBool("claimMe"), 0);
}

TEST_F(HostlinkTest, WithoutTheFileEveryCallGoesToTheTable) {
    ASSERT_EQ(Open(), 1);
    EXPECT_EQ(static_cast<InteropLibraryPosix *>(model->GetInteropLibrary())->IsInitialized(), 0);
    EXPECT_EQ(Page()->CallBool("claimMe"), 0);
    EXPECT_EQ(Page()->CallBool("sendInteropEvent"), 1);
}

} // namespace
