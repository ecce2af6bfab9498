// Registry over the file-backed store: keys created with their parents, opened
// and enumerated case-blind, values typed and always terminated, trees deleted,
// and several processes writing one store at once. The store lives in a TempDir
// through XDG_CONFIG_HOME.
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <gtest/gtest.h>
#include <string>
#include <sys/wait.h>

#include "core/registry.h"
#include "core/zyl.h"
#include "platform/regstore.h"
#include "tests/support/log_capture.h"
#include "tests/support/support.h"

namespace {

// Points the store at a fresh folder for one test.
class RegistryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const char *old = getenv("XDG_CONFIG_HOME");
        hadOld_ = old != nullptr;
        if (hadOld_)
            old_ = old;
        setenv("XDG_CONFIG_HOME", dir_.path().c_str(), 1);
    }
    void TearDown() override {
        if (hadOld_)
            setenv("XDG_CONFIG_HOME", old_.c_str(), 1);
        else
            unsetenv("XDG_CONFIG_HOME");
    }
    std::string StoreFile(const char *root) {
        return dir_.path() + "/portico/registry/" + root + ".reg";
    }
    testsupport::TempDir dir_;
    bool hadOld_ = false;
    std::string old_;
};

TEST_F(RegistryTest, CreateKeyMakesMissingParentsAndReturnsTheLastOpen) {
    RegistryStruct *key = nullptr;
    ASSERT_EQ(1, Registry_CreateKey(&key, 1, "A"));
    Registry_CloseKey(&key);
    ASSERT_EQ(1, Registry_CreateKey(&key, 1, "A\\B\\C"));
    ASSERT_NE(nullptr, key);
    EXPECT_EQ(1, Registry_SetInt32(key, "Depth", 3)); // C is open
    Registry_CloseKey(&key);
    EXPECT_EQ(nullptr, key);
    EXPECT_EQ(1, Registry_KeyExists(1, "A\\B"));
    EXPECT_EQ(1, Registry_KeyExists(1, "A/B/C"));                 // either separator
    ASSERT_EQ(1, Registry_OpenExistingKey(&key, 1, "\\A\\B\\C")); // one leading '\' ignored
    int32_t depth = 0;
    EXPECT_EQ(1, Registry_GetInt32(key, "depth", &depth));
    EXPECT_EQ(3, depth);
    Registry_CloseKey(&key);
    EXPECT_EQ(0, Registry_OpenExistingKey(&key, 1, "A\\Missing"));
    EXPECT_EQ(nullptr, key);
    EXPECT_EQ(0, Registry_KeyExists(1, "A\\Missing"));
}

TEST_F(RegistryTest, NamesAreCaseBlindAndKeepTheirWrittenCase) {
    RegistryStruct *key = nullptr;
    ASSERT_EQ(1, Registry_OpenKey(&key, 4, "Software\\Acme"));
    Registry_CloseKey(&key);
    ASSERT_EQ(1, Registry_OpenKey(&key, 4, "SOFTWARE\\acme\\Launcher")); // no second Acme
    ASSERT_EQ(1, Registry_SetString(key, "InstallPath", "/opt/game"));
    ASSERT_EQ(1, Registry_SetString(key, "INSTALLPATH", "/opt/game2")); // same value
    char text[64];
    EXPECT_EQ(1, Registry_GetString(key, "installpath", text, sizeof(text)));
    EXPECT_STREQ("/opt/game2", text);
    int subkeys = 0, values = 0;
    EXPECT_EQ(1, Registry_GetKeyInfo(key, &subkeys, &values));
    EXPECT_EQ(0, subkeys);
    EXPECT_EQ(1, values);
    Registry_CloseKey(&key);

    ASSERT_EQ(1, Registry_OpenExistingKey(&key, 4, "software"));
    char name[64];
    EXPECT_EQ(1, Registry_EnumKey(key, 0, name, sizeof(name)));
    EXPECT_STREQ("Acme", name);
    EXPECT_EQ(0, Registry_EnumKey(key, 1, name, sizeof(name)));
    Registry_CloseKey(&key);
    // Other roots are other stores.
    EXPECT_EQ(0, Registry_KeyExists(1, "Software\\Acme"));
    EXPECT_TRUE(testsupport::FileExists(StoreFile("HKEY_LOCAL_MACHINE")));
}

TEST_F(RegistryTest, ValuesKeepTheirTypeAndBytes) {
    RegistryStruct *key = nullptr;
    ASSERT_EQ(1, Registry_OpenKey(&key, 1, "Types"));
    ASSERT_EQ(1, Registry_SetString(key, "Text", "hello"));
    ASSERT_EQ(1, Registry_SetExpandString(key, "Path", "$HOME/x"));
    ASSERT_EQ(1, Registry_SetInt32(key, "Count", -2));
    const uint8_t bytes[] = {0, 1, 2, 255, '\n', 0};
    ASSERT_EQ(1, Registry_SetBinary(key, "Blob", REGISTRY_TYPE_BINARY, bytes, sizeof(bytes)));
    ASSERT_EQ(1, Registry_SetString(key, nullptr, "default"));
    ASSERT_EQ(1, Registry_SetString(key, "Empty", ""));

    struct Expect {
        const char *Name;
        int Type;
        int Length;
    } expected[] = {{"Text", REGISTRY_TYPE_STRING, 5},        // no NUL stored
                    {"Path", REGISTRY_TYPE_EXPAND_STRING, 7}, //
                    {"Count", REGISTRY_TYPE_DWORD, 4},        //
                    {"Blob", REGISTRY_TYPE_BINARY, 6},        //
                    {"", REGISTRY_TYPE_STRING, 7},            // the default value
                    {"Empty", REGISTRY_TYPE_STRING, 0}};
    for (int i = 0; i < 6; i++) {
        char name[64];
        uint8_t data[64];
        int length = -1, type = -1;
        ASSERT_EQ(
            1, Registry_EnumValue(key, i, name, sizeof(name), data, sizeof(data), &length, &type))
            << i;
        EXPECT_STREQ(expected[i].Name, name);
        EXPECT_EQ(expected[i].Type, type) << name;
        EXPECT_EQ(expected[i].Length, length) << name;
    }
    char name[64];
    uint8_t small[2];
    int length = 0, type = 0;
    EXPECT_EQ(0, Registry_EnumValue(key, 6, name, sizeof(name), small, 2, &length, &type));
    // Data larger than the buffer still names the value and its full length.
    EXPECT_EQ(1, Registry_EnumValue(key, 3, name, sizeof(name), small, 2, &length, &type));
    EXPECT_EQ(6, length);
    EXPECT_EQ(0, small[0]);
    EXPECT_EQ(1, small[1]);

    char text[32];
    memset(text, 'x', sizeof(text));
    EXPECT_EQ(1, Registry_GetString(key, "Text", text, sizeof(text)));
    EXPECT_STREQ("hello", text);
    EXPECT_EQ(1, Registry_GetString(key, "", text, sizeof(text)));
    EXPECT_STREQ("default", text);
    EXPECT_EQ(1, Registry_GetString(key, "Empty", text, sizeof(text)));
    EXPECT_STREQ("", text);
    EXPECT_EQ(1, Registry_GetExpandString(key, "Path", text, sizeof(text)));
    EXPECT_STREQ("$HOME/x", text);
    int32_t count = 0;
    EXPECT_EQ(1, Registry_GetInt32(key, "Count", &count));
    EXPECT_EQ(-2, count);
    Registry_CloseKey(&key);
}

TEST_F(RegistryTest, ReadsOfTheWrongKindOrSizeFailTerminated) {
    RegistryStruct *key = nullptr;
    ASSERT_EQ(1, Registry_OpenKey(&key, 1, "Reads"));
    Registry_SetVerbose(key, 1);
    ASSERT_EQ(1, Registry_SetInt32(key, "Number", 5));
    ASSERT_EQ(1, Registry_SetString(key, "Text", "twelve chars"));
    char text[8];
    memset(text, 'x', sizeof(text));
    EXPECT_EQ(0, Registry_GetString(key, "Number", text, sizeof(text))); // a DWORD
    EXPECT_STREQ("", text);
    memset(text, 'x', sizeof(text));
    EXPECT_EQ(0, Registry_GetString(key, "Text", text, sizeof(text))); // does not fit
    EXPECT_STREQ("", text);
    char exact[13];
    EXPECT_EQ(1, Registry_GetString(key, "Text", exact, sizeof(exact))); // just fits
    EXPECT_STREQ("twelve chars", exact);
    EXPECT_EQ(0, Registry_GetExpandString(key, "Text", exact, sizeof(exact)));
    int32_t value = 77;
    EXPECT_EQ(0, Registry_GetInt32(key, "Text", &value));
    EXPECT_EQ(0, Registry_GetInt32(key, "Absent", &value));
    EXPECT_EQ(77, value); // left unchanged
    EXPECT_EQ(1, Registry_DeleteValue(key, "NUMBER"));
    EXPECT_EQ(0, Registry_DeleteValue(key, "Number"));
    EXPECT_EQ(0, Registry_GetInt32(key, "Number", &value));
    Registry_CloseKey(&key);
}

TEST_F(RegistryTest, DeleteKeyTreeRemovesEverythingBelow) {
    EXPECT_EQ(1, Registry_DeleteKeyTree(1, "Never\\Was")); // absent counts as deleted
    RegistryStruct *key = nullptr;
    ASSERT_EQ(1, Registry_CreateKey(&key, 1, "Top\\Mid\\Leaf"));
    Registry_SetString(key, "v", "1");
    Registry_CloseKey(&key);
    ASSERT_EQ(1, Registry_CreateKey(&key, 1, "Top\\Other"));
    Registry_CloseKey(&key);
    ASSERT_EQ(1, Registry_CreateKey(&key, 1, "Top\\Mid\\Leaf2"));

    EXPECT_EQ(1, Registry_DeleteKeyTree(1, "TOP\\mid"));
    EXPECT_EQ(0, Registry_KeyExists(1, "Top\\Mid"));
    EXPECT_EQ(0, Registry_KeyExists(1, "Top\\Mid\\Leaf"));
    EXPECT_EQ(1, Registry_KeyExists(1, "Top\\Other"));
    // An open key whose key was deleted by someone else no longer takes writes.
    EXPECT_EQ(0, Registry_SetString(key, "late", "x"));
    int subkeys = 0, values = 0;
    EXPECT_EQ(0, Registry_GetKeyInfo(key, &subkeys, &values));
    Registry_CloseKey(&key);
    EXPECT_EQ(0, Registry_DeleteKeyTree(1, "")); // a root is never deleted
}

TEST_F(RegistryTest, RootIndexesAndLimits) {
    EXPECT_EQ(1, Registry_GetRootKey(1));
    for (int root = 2; root <= 6; root++)
        EXPECT_EQ(root, Registry_GetRootKey(root));
    EXPECT_EQ(1, Registry_GetRootKey(0));
    EXPECT_EQ(1, Registry_GetRootKey(7));
    EXPECT_EQ(1, Registry_GetRootKey(-3));
    EXPECT_STREQ("HKEY_CLASSES_ROOT", Registry_GetRootName(5));
    EXPECT_STREQ("HKEY_CURRENT_USER", Registry_GetRootName(99));

    RegistryStruct *key = nullptr;
    std::string longPath(REGISTRY_PATH_SIZE, 'p');
    EXPECT_EQ(0, Registry_CreateKey(&key, 1, longPath.c_str())); // refused, not cut
    EXPECT_EQ(nullptr, key);
    std::string longName(REGSTORE_NAME_MAX + 1, 'n');
    EXPECT_EQ(0, Registry_CreateKey(&key, 1, longName.c_str()));
    ASSERT_EQ(1, Registry_OpenKey(&key, 1, "Limits"));
    EXPECT_EQ(0, Registry_SetString(key, longName.c_str(), "x"));
    Registry_CloseKey(&key);
}

TEST_F(RegistryTest, ADamagedStoreIsRefusedAndLeftAlone) {
    RegistryStruct *key = nullptr;
    ASSERT_EQ(1, Registry_OpenKey(&key, 1, "Good"));
    Registry_CloseKey(&key);
    const std::string damaged[] = {
        "garbage",
        "PORTICO-REGISTRY 1\nK 2 1\nx\n",               // a key two levels below its parent
        "PORTICO-REGISTRY 1\nV 1 4 99999\nname",        // data past the end
        "PORTICO-REGISTRY 1\nK 1 3\nabc\nK 1 3\nABC\n", // the same key twice
        "PORTICO-REGISTRY 1\nV 1 1 99999999999999999999\nn\n",
    };
    for (const std::string &bytes : damaged) {
        testsupport::WriteFile(StoreFile("HKEY_CURRENT_USER"), bytes);
        EXPECT_EQ(0, Registry_OpenKey(&key, 1, "Good")) << bytes;
        EXPECT_EQ(bytes, testsupport::ReadFile(StoreFile("HKEY_CURRENT_USER")));
        // The store only answers, with errno saying why; the core reports it once.
        testsupport::ConsoleCapture console;
        errno = 0;
        EXPECT_EQ(REGSTORE_IO_ERROR, RegStore_KeyExists("HKEY_CURRENT_USER", "Good"));
        EXPECT_EQ(EBADMSG, errno) << bytes;
        EXPECT_EQ("", console.Text());
        EXPECT_EQ(0, Registry_KeyExists(1, "Good"));
        std::string text = console.Text();
        const std::string line = "Registry_KeyExists() store HKEY_CURRENT_USER unusable";
        EXPECT_NE(std::string::npos, text.find(line)) << text;
        EXPECT_EQ(text.find(line), text.rfind(line)) << text;
        EXPECT_NE(std::string::npos, text.find(" " + std::to_string(EBADMSG) + "\n")) << text;
    }
}

// Writes 500 distinct values into one key, each in its own transaction.
PORTICO_TEST_CHILD(registry_writer) {
    RegistryStruct *key = nullptr;
    if (!Registry_OpenKey(&key, 1, "Shared\\Values"))
        return 2;
    for (int i = 0; i < 500; i++) {
        std::string name = args[0] + std::to_string(i);
        if (!Registry_SetString(key, name.c_str(), name.c_str()))
            return 3;
    }
    Registry_CloseKey(&key);
    return 0;
}

TEST_F(RegistryTest, TwoProcessesWritingAtOnceLoseNothing) {
    pid_t a = testsupport::SpawnChild("registry_writer", {"a"});
    pid_t b = testsupport::SpawnChild("registry_writer", {"b"});
    EXPECT_EQ(0, testsupport::WaitChild(a));
    EXPECT_EQ(0, testsupport::WaitChild(b));
    RegistryStruct *key = nullptr;
    ASSERT_EQ(1, Registry_OpenExistingKey(&key, 1, "Shared\\Values"));
    int subkeys = 0, values = 0;
    EXPECT_EQ(1, Registry_GetKeyInfo(key, &subkeys, &values));
    EXPECT_EQ(1000, values);
    for (const char *prefix : {"a", "b"}) {
        for (int i = 0; i < 500; i++) {
            std::string name = prefix + std::to_string(i);
            char text[16];
            ASSERT_EQ(1, Registry_GetString(key, name.c_str(), text, sizeof(text))) << name;
            EXPECT_EQ(name, text);
        }
    }
    Registry_CloseKey(&key);
}

// Rewrites the store until it is killed.
PORTICO_TEST_CHILD(registry_churn) {
    RegistryStruct *key = nullptr;
    if (!Registry_OpenKey(&key, 1, "Churn"))
        return 2;
    for (int i = 0;; i++)
        Registry_SetInt32(key, ("v" + std::to_string(i % 50)).c_str(), i);
}

TEST_F(RegistryTest, AKilledWriterLeavesAReadableStore) {
    RegistryStruct *key = nullptr;
    ASSERT_EQ(1, Registry_OpenKey(&key, 1, "Churn"));
    ASSERT_EQ(1, Registry_SetString(key, "Keep", "me"));
    pid_t child = testsupport::SpawnChild("registry_churn", {});
    // Let it write a while: wait until it has added values of its own.
    int subkeys = 0, values = 0, status = 0;
    bool ended = false;
    while (Registry_GetKeyInfo(key, &subkeys, &values) && values < 30)
        if ((ended = waitpid(child, &status, WNOHANG) == child))
            break;
    ASSERT_FALSE(ended) << "the writer ended early: " << status;
    kill(child, SIGKILL);
    testsupport::WaitChild(child);
    char text[8];
    EXPECT_EQ(1, Registry_GetString(key, "Keep", text, sizeof(text)));
    EXPECT_STREQ("me", text);
    EXPECT_EQ(1, Registry_SetString(key, "After", "ok")); // the lock died with the writer
    Registry_CloseKey(&key);
}

TEST(RegistryDeathTest, WrongRecordIsFatal) {
    struct Fake {
        const char *Tag;
    } fake = {"other"};
    EXPECT_DEATH(Registry_SetVerbose(reinterpret_cast<RegistryStruct *>(&fake), 1),
                 "Struct mismatch pointer");
}

} // namespace
