// OS helpers: path normalisation and file names, recursive folder creation, the
// XDG folder mapping (environment pointed at a TempDir), error texts, dialog and
// window hooks, and the single-instance lock with its bring-forward message.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "core/oshelper.h"
#include "core/zyl.h"
#include "tests/support/support.h"

namespace {

// Saves the variables the folder functions read and restores them afterwards.
class EnvGuard {
  public:
    EnvGuard() {
        for (const char *name : kNames) {
            const char *value = getenv(name);
            saved_.push_back(value ? std::make_pair(true, std::string(value))
                                   : std::make_pair(false, std::string()));
        }
    }
    ~EnvGuard() {
        for (size_t i = 0; i < saved_.size(); i++) {
            if (saved_[i].first)
                setenv(kNames[i], saved_[i].second.c_str(), 1);
            else
                unsetenv(kNames[i]);
        }
    }

  private:
    static constexpr const char *kNames[] = {"HOME",           "XDG_CONFIG_HOME", "XDG_DATA_HOME",
                                             "XDG_CACHE_HOME", "XDG_RUNTIME_DIR", "TMPDIR"};
    std::vector<std::pair<bool, std::string>> saved_;
};

TEST(OsHelper, NormalizePathTable) {
    struct Case {
        const char *In;
        int Trailing;
        const char *Out;
    } cases[] = {
        {"C:/a/./b/../c", 1, "C:/a/c/"},
        {"C:\\a\\.\\b\\..\\c", 1, "C:/a/c/"},
        {"/x/y/", 0, "/x/y"},
        {"/x/y", 1, "/x/y/"},
        {"/x/y", 2, "/x/y"}, // neither adds nor removes
        {"", 1, ""},
        {"a/../../b", 0, "../b"},
        {"/../x", 1, "/x/"},
        {"/", 0, "/"},
        {"./a/./", 1, "a/"},
        {"a/b/..", 1, "a/"},
        {"dir.name/file.", 0, "dir.name/file."},
        {"a/..b/c", 0, "a/..b/c"},
    };
    for (const Case &c : cases) {
        char path[64];
        Zyl_StrCopy(path, c.In, sizeof(path));
        EXPECT_EQ(1, Zyl_NormalizePath(path, c.Trailing, sizeof(path))) << c.In;
        EXPECT_STREQ(c.Out, path) << c.In;
    }
    char tight[4] = "abc"; // no room for the final '/'
    EXPECT_EQ(0, Zyl_NormalizePath(tight, 1, sizeof(tight)));
    EXPECT_STREQ("abc", tight);
}

TEST(OsHelper, GetFileNameTable) {
    struct Case {
        const char *Path;
        int Strip;
        const char *Name;
    } cases[] = {
        {"C:\\dir\\setup.tar.gz", 1, "setup.tar"},
        {"C:\\dir\\setup.tar.gz", 0, "setup.tar.gz"},
        {"/a/b", 0, "b"},
        {"x:name.exe", 1, "name"},
        {"/a/b/", 0, ""},
        {"plain", 1, "plain"},
    };
    for (const Case &c : cases) {
        char name[32];
        EXPECT_EQ(1, Zyl_GetFileName(c.Path, name, sizeof(name), c.Strip)) << c.Path;
        EXPECT_STREQ(c.Name, name) << c.Path;
    }
    char small[4];
    EXPECT_EQ(0, Zyl_GetFileName("/a/long-name", small, sizeof(small), 0));
    EXPECT_STREQ("", small);
}

TEST(OsHelper, CreateDirectoryMakesEveryParent) {
    testsupport::TempDir dir;
    std::string file = dir.path() + "\\x\\y\\z\\file.txt";
    std::string before = file;
    ASSERT_EQ(1, Zyl_CreateDirectory(file.c_str(), 1, 1));
    EXPECT_EQ(before, file);
    struct stat info;
    EXPECT_EQ(1, Zyl_StatPath((dir / "x/y/z/").c_str(), &info));
    EXPECT_TRUE(S_ISDIR(info.st_mode));
    EXPECT_EQ(0, Zyl_StatPath((dir / "x/y/z/file.txt").c_str(), &info));
    EXPECT_EQ(1, Zyl_CreateDirectory((dir / "x/y").c_str(), 0, 0)); // exists already
    EXPECT_EQ(1, Zyl_CreateDirectory("", 0, 0));
    EXPECT_EQ(1, Zyl_CreateDirectory("file-only.txt", 1, 0));
    testsupport::WriteFile(dir / "blocker", "x");
    EXPECT_EQ(0, Zyl_CreateDirectory((dir / "blocker/sub").c_str(), 0, 0));
}

TEST(OsHelper, FoldersFollowTheXdgVariables) {
    EnvGuard guard;
    testsupport::TempDir home;
    setenv("HOME", home.path().c_str(), 1);
    unsetenv("XDG_CONFIG_HOME");
    unsetenv("XDG_DATA_HOME");
    setenv("XDG_CACHE_HOME", (home / "cache").c_str(), 1);
    setenv("TMPDIR", (home / "tmp/").c_str(), 1);
    char folder[512];
    struct Case {
        int Id;
        std::string Expected;
    } cases[] = {
        {ZYL_FOLDER_DESKTOP, home / "Desktop/"},
        {ZYL_FOLDER_DESKTOPDIRECTORY, home / "Desktop/"},
        {ZYL_FOLDER_APPDATA, home / ".config/"},
        {ZYL_FOLDER_LOCAL_APPDATA, home / ".local/share/"},
        {ZYL_FOLDER_STARTMENU, home / ".local/share/applications/"},
        {ZYL_FOLDER_INTERNET_CACHE, home / "cache/"},
        {ZYL_FOLDER_PROGRAM_FILES, home / ".local/opt/"},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(1, Zyl_GetSpecialFolder(c.Id, folder, sizeof(folder))) << c.Id;
        EXPECT_EQ(c.Expected, folder) << c.Id;
    }
    // user-dirs.dirs names the desktop; a relative XDG variable is ignored.
    ASSERT_EQ(1, Zyl_CreateDirectory((home / ".config").c_str(), 0, 0));
    const std::string userDirs =
        "# written by xdg-user-dirs-update\nXDG_DESKTOP_DIR=\"$HOME/Bureau\"\n";
    testsupport::WriteFile(home / ".config/user-dirs.dirs", userDirs);
    // The lookup falls back to ~/Desktop without a readable file: make a lost
    // write or a changed variable say so instead of showing up as that fallback.
    ASSERT_EQ(userDirs, testsupport::ReadFile(home / ".config/user-dirs.dirs"));
    ASSERT_EQ(nullptr, getenv("XDG_CONFIG_HOME"));
    ASSERT_EQ(home.path(), getenv("HOME"));
    setenv("XDG_DATA_HOME", "relative/data", 1);
    EXPECT_EQ(1, Zyl_GetSpecialFolder(ZYL_FOLDER_DESKTOP, folder, sizeof(folder)));
    EXPECT_EQ(home / "Bureau/", folder);
    EXPECT_EQ(1, Zyl_GetSpecialFolder(ZYL_FOLDER_LOCAL_APPDATA, folder, sizeof(folder)));
    EXPECT_EQ(home / ".local/share/", folder);

    ASSERT_EQ(1, Zyl_SetInstallRoot("\\opt\\games"));
    EXPECT_EQ(1, Zyl_GetSpecialFolder(ZYL_FOLDER_PROGRAM_FILES, folder, sizeof(folder)));
    EXPECT_STREQ("/opt/games/", folder);
    Zyl_SetInstallRoot(nullptr);

    EXPECT_EQ(0, Zyl_GetSpecialFolder(0x7777, folder, sizeof(folder)));
    EXPECT_STREQ("", folder);
    char small[8];
    EXPECT_EQ(0, Zyl_GetSpecialFolder(ZYL_FOLDER_APPDATA, small, sizeof(small)));
    EXPECT_STREQ("", small);

    EXPECT_EQ(1, Zyl_GetTempDirectory(folder, sizeof(folder)));
    EXPECT_EQ(home / "tmp/", folder);
    unsetenv("TMPDIR");
    EXPECT_EQ(1, Zyl_GetTempDirectory(folder, sizeof(folder)));
    EXPECT_STREQ("/tmp/", folder);
}

TEST(OsHelper, ProgramAndCurrentFolders) {
    char folder[4096];
    ASSERT_EQ(1, Zyl_GetModuleDirectory(folder, sizeof(folder)));
    std::string self = testsupport::SelfPath();
    EXPECT_EQ(self.substr(0, self.rfind('/') + 1), folder);
    ASSERT_EQ(1, Zyl_GetModulePath(reinterpret_cast<const void *>(&Zyl_GetModulePath), folder,
                                   sizeof(folder)));
    EXPECT_EQ(self.substr(0, self.rfind('/') + 1), folder); // linked into the program
    ASSERT_EQ(1, Zyl_GetCurrentDirectory(folder, sizeof(folder)));
    EXPECT_EQ('/', folder[strlen(folder) - 1]);
    char small[2];
    EXPECT_EQ(0, Zyl_GetModuleDirectory(small, sizeof(small)));
}

TEST(OsHelper, ErrorTexts) {
    char text[128];
    EXPECT_EQ(1, Zyl_GetErrorTextFor(ENOENT, text, sizeof(text)));
    EXPECT_STREQ("No such file or directory", text);
    EXPECT_EQ(0, Zyl_GetErrorTextFor(99999, text, sizeof(text)));
    EXPECT_STREQ("Unknown", text);
    errno = EACCES;
    EXPECT_EQ(1, Zyl_GetErrorText(text, sizeof(text)));
    EXPECT_STREQ("Permission denied", text);
    EXPECT_EQ(EACCES, errno);
}

// Hooks standing in for the front end's windows and dialogs.
struct HookLog {
    std::vector<std::string> Pairs;
    std::string Extension, Preselected, Start, Root;
    int MovedX = 0, MovedY = 0, Resize = -1;
} g_hookLog;

int FakeSave(void *, const char *, const char *, const char *fileName, int, int pairCount,
             const char *const *pairs, const char *extension, char *chosen, int size) {
    g_hookLog.Pairs.assign(pairs, pairs + 2 * pairCount);
    g_hookLog.Extension = extension;
    g_hookLog.Preselected = fileName;
    return Zyl_StrCopy(chosen, "\\home\\u\\docs\\report.txt", size);
}
int FakeBrowse(void *, const char *, const char *root, const char *start, char *chosen, int size) {
    g_hookLog.Root = root ? root : "(null)";
    g_hookLog.Start = start;
    return Zyl_StrCopy(chosen, "/home/u/games", size);
}
int FakeScreen(int *left, int *top, int *width, int *height) {
    *left = 0, *top = 0, *width = 1920, *height = 1080;
    return 1;
}
int FakeRect(void *, int *x, int *y, int *width, int *height) {
    *x = 5, *y = 5, *width = 200, *height = 100;
    return 1;
}
int FakeMove(void *, int x, int y, int, int, int resize) {
    g_hookLog.MovedX = x, g_hookLog.MovedY = y, g_hookLog.Resize = resize;
    return 1;
}

TEST(OsHelper, DialogsAndWindowsGoThroughTheHooks) {
    char directory[320] = "/start/";
    char fileName[320];
    std::string longName(100, 'n');
    Zyl_StrCopy(fileName, longName.c_str(), sizeof(fileName));
    EXPECT_EQ(0, Zyl_SaveFileDialog(nullptr, "Save", directory, fileName, 1, 1, "Text", "*.txt"));
    void *window = &directory;
    EXPECT_EQ(0, Zyl_FindWindow("cls", "title", &window)); // defaults: cancel, none
    EXPECT_EQ(nullptr, window);

    ZylWindowHooks hooks = {};
    hooks.SaveFileDialog = FakeSave;
    hooks.BrowseForFolder = FakeBrowse;
    hooks.GetScreenRect = FakeScreen;
    hooks.GetWindowRect = FakeRect;
    hooks.MoveWindow = FakeMove;
    Zyl_SetWindowHooks(&hooks);
    struct ResetHooks {
        ~ResetHooks() { Zyl_SetWindowHooks(nullptr); } // also after a failed ASSERT
    } resetHooks;
    ASSERT_EQ(1, Zyl_SaveFileDialog(nullptr, "Save", directory, fileName, ZYL_SAVE_ALL_FILES, 1,
                                    "Text files", "*.txt"));
    EXPECT_EQ((std::vector<std::string>{"Text files", "*.txt", "All Files (*.*)", "*.*"}),
              g_hookLog.Pairs);
    EXPECT_EQ("txt", g_hookLog.Extension);
    EXPECT_EQ(79u, g_hookLog.Preselected.size());
    EXPECT_STREQ("report.txt", fileName);
    EXPECT_STREQ("/home/u/docs/", directory);

    char path[320] = "";
    ASSERT_EQ(1, Zyl_BrowseForFolder(nullptr, "Pick", path, "/home/u/"));
    EXPECT_EQ("(null)", g_hookLog.Root);
    EXPECT_EQ("/home/u", g_hookLog.Start);
    EXPECT_STREQ("/home/u/games/", path);

    struct Case {
        int X, Y, Width, Height, MovedX, MovedY, Resize;
    } cases[] = {
        {-50, -10, 200, 100, 0, 0, 1},        // left of and above the screen
        {2000, 1200, 200, 100, 1720, 980, 1}, // beyond its width and height
        {300, 400, 0, 0, 300, 400, 0},        // on screen, size kept
    };
    for (const Case &c : cases) {
        EXPECT_EQ(1, Zyl_KeepWindowOnScreen(nullptr, c.X, c.Y, c.Width, c.Height));
        EXPECT_EQ(c.MovedX, g_hookLog.MovedX) << c.X;
        EXPECT_EQ(c.MovedY, g_hookLog.MovedY) << c.Y;
        EXPECT_EQ(c.Resize, g_hookLog.Resize);
    }
    EXPECT_EQ(1, Zyl_CenterWindow(nullptr, nullptr));
    EXPECT_EQ(860, g_hookLog.MovedX);
    EXPECT_EQ(490, g_hookLog.MovedY);
}

// Tries the lock a parent test holds (or not); exits 10 + the result.
PORTICO_TEST_CHILD(single_instance) {
    int result = Zyl_LockSingleInstance(args[0].c_str(), "Portico", "PorticoWindow", 0, 1, 1);
    return 10 + result;
}

TEST(OsHelper, SingleInstanceRefusesASecondHolderAndDeliversTheMessage) {
    EnvGuard guard;
    testsupport::TempDir runtime;
    setenv("XDG_RUNTIME_DIR", runtime.path().c_str(), 1);
    std::string caption = "Portico Test/" + std::to_string(getpid());
    ASSERT_EQ(0, Zyl_LockSingleInstance(caption.c_str(), "Portico", "PorticoWindow", 0, 1, 0));
    EXPECT_EQ(0, Zyl_LockSingleInstance(caption.c_str(), "Portico", "PorticoWindow", 0, 1, 0));
    EXPECT_GE(Zyl_GetSingleInstanceSocket(), 0);
    char message[64];
    EXPECT_EQ(0, Zyl_PollSingleInstanceMessage(message, sizeof(message)));

    pid_t second = testsupport::SpawnChild("single_instance", {caption});
    EXPECT_EQ(11, testsupport::WaitChild(second)); // another instance runs
    ASSERT_EQ(1, Zyl_PollSingleInstanceMessage(message, sizeof(message)));
    EXPECT_STREQ(ZYL_INSTANCE_BRING_FORWARD, message);
    EXPECT_EQ(0, Zyl_PollSingleInstanceMessage(message, sizeof(message)));

    Zyl_UnlockSingleInstance();
    EXPECT_EQ(-1, Zyl_GetSingleInstanceSocket());
    pid_t alone = testsupport::SpawnChild("single_instance", {caption});
    EXPECT_EQ(10, testsupport::WaitChild(alone)); // the lock is free again
}

} // namespace

namespace {

TEST(OsHelper, WithoutARuntimeFolderTheLockLivesInAPrivateTempFolder) {
    EnvGuard guard;
    testsupport::TempDir temp;
    unsetenv("XDG_RUNTIME_DIR");
    setenv("TMPDIR", temp.path().c_str(), 1);
    ASSERT_EQ(0, Zyl_LockSingleInstance("fallback", nullptr, nullptr, 0, 0, 0));
    std::string folder = temp / ("portico-" + std::to_string(getuid()));
    EXPECT_TRUE(testsupport::FileExists(folder + "/fallback-EXCLUSIVE.lock"));
    struct stat info;
    ASSERT_EQ(0, stat(folder.c_str(), &info));
    EXPECT_EQ(0700u, info.st_mode & 0777);
    Zyl_UnlockSingleInstance();
    // A folder of that name that others may write is refused.
    chmod(folder.c_str(), 0777);
    EXPECT_EQ(0, Zyl_LockSingleInstance("fallback", nullptr, nullptr, 0, 0, 0));
    EXPECT_EQ(-1, Zyl_GetSingleInstanceSocket());
}

} // namespace
