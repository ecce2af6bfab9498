// Shortcut command: ".desktop" launchers written into folders that do not exist
// yet, accepted by desktop-file-validate, never overwritten, and deleted with
// the folders left empty up to (not including) the start menu.
#include "tests/patcher/installer_support.h"

#include <sys/stat.h>

namespace installertest {
namespace {

std::string Shortcut(const std::string &link, const std::string &remove,
                     const std::string &iconIndex = "1", const std::string &show = "Normal") {
    return Command("ShortcutCommand", {{"TargetFile", "{RootPath}bin\\Vexil Game"},
                                       {"Args", "-name &quot;A b&quot; 50% $HOME"},
                                       {"LinkFile", link},
                                       {"Description", "Play the game"},
                                       {"ShowWindowCommand", show},
                                       {"CurrentDirectory", "{RootPath}"},
                                       {"IconFile", "{RootPath}icon.png"},
                                       {"IconIndex", iconIndex},
                                       {"DeleteShortcut", remove}});
}

class ShortcutTest : public InstallerTest {
  protected:
    std::string Menu() const { return home + "/.local/share/applications/"; }
};

TEST_F(ShortcutTest, WritesAValidDesktopEntryOnceAndDeletesIt) {
    std::string link = Menu() + "Vexil/Games/Vexil Game.desktop";
    ASSERT_EQ(1, Run(List(Shortcut("{StartMenu}Vexil\\Games\\Vexil Game.lnk", "false")))) << Dump();
    ASSERT_TRUE(testsupport::FileExists(link));
    std::string text = testsupport::ReadFile(link);
    EXPECT_EQ("[Desktop Entry]\n"
              "Type=Application\n"
              "Name=Vexil Game\n"
              "Exec=\"" +
                  root() +
                  "bin/Vexil Game\" -name \"A b\" 50%% \"\\\\$HOME\"\n"
                  "Path=" +
                  root() +
                  "\n"
                  "Icon=" +
                  root() +
                  "icon.png\n"
                  "Comment=Play the game\n"
                  "Terminal=false\n",
              text);
    struct stat info;
    ASSERT_EQ(0, stat(link.c_str(), &info));
    EXPECT_EQ(0755u, info.st_mode & 0777);
    if (testsupport::HaveProgram("desktop-file-validate")) {
        std::string output;
        EXPECT_EQ(0, testsupport::RunCommand("desktop-file-validate '" + link + "' 2>&1", &output))
            << output;
        EXPECT_EQ("", output);
    }

    // A second run leaves the (possibly user-changed) launcher alone.
    testsupport::WriteFile(link, "changed");
    chmod(link.c_str(), 0755);
    ASSERT_EQ(1, Run(List(Shortcut("{StartMenu}Vexil\\Games\\Vexil Game.lnk", "false"))));
    EXPECT_EQ("changed", testsupport::ReadFile(link));
    EXPECT_EQ(1, LogCount("Shortcut not created because it already exists. [File: " + link + "]"));

    // Deleting removes the launcher and the emptied folders, not the start menu.
    testsupport::WriteFile(Menu() + "other.desktop", "x");
    for (int run = 0; run < 2; run++)
        ASSERT_EQ(1, Run(List(Shortcut("{StartMenu}Vexil\\Games\\Vexil Game.lnk", "true"))))
            << Dump();
    EXPECT_FALSE(testsupport::FileExists(link));
    EXPECT_FALSE(testsupport::FileExists(Menu() + "Vexil"));
    EXPECT_TRUE(testsupport::FileExists(Menu() + "other.desktop"));
    EXPECT_EQ(1, LogCount("Successfully delete [File: " + link + "]"));
    EXPECT_EQ(1, LogCount("Delete parent [Directory: " + Menu() + "Vexil/Games]"));
    EXPECT_EQ(1, LogCount("Delete parent [Directory: " + Menu() + "Vexil]"));
    EXPECT_EQ(1, LogCount("File does not exist[File: " + link + "]"));
}

TEST_F(ShortcutTest, EmptyStartMenuItselfIsKept) {
    ASSERT_EQ(1, Run(List(Shortcut("{StartMenu}Solo.lnk", "false"))));
    ASSERT_EQ(1, Run(List(Shortcut("{StartMenu}Solo.lnk", "true"))));
    EXPECT_FALSE(testsupport::FileExists(Menu() + "Solo.desktop"));
    EXPECT_TRUE(testsupport::FileExists(Menu() + ".")) << Dump();
    EXPECT_EQ(0, LogCount("Delete parent [Directory: " + home + "/.local/share/applications]"));
    // The same on the desktop, through a folder that stays non-empty.
    std::string desktop = home + "/Desktop/";
    Zyl_CreateDirectory((desktop + "Keep").c_str(), 0, 0);
    testsupport::WriteFile(desktop + "Keep/file", "x");
    ASSERT_EQ(1, Run(List(Shortcut("{Desktop}Keep\\Game.desktop", "false"))));
    ASSERT_EQ(1, Run(List(Shortcut("{Desktop}Keep\\Game.desktop", "true"))));
    EXPECT_TRUE(testsupport::FileExists(desktop + "Keep/file"));
}

TEST_F(ShortcutTest, NegativeIconIndexAndWordChecks) {
    ASSERT_EQ(1, Run(List(Shortcut("{Desktop}NoIcon.lnk", "false", "-1", "Hide"))));
    std::string text = testsupport::ReadFile(home + "/Desktop/NoIcon.desktop");
    EXPECT_EQ(std::string::npos, text.find("Icon=")) << text;
    EXPECT_EQ(0, Run(List(Shortcut("{Desktop}Bad.lnk", "no"))));
    EXPECT_EQ(1, ErrorCount("Unknown shortcut command DeleteShortcut type. [no]"));
    // The show word is checked on deletes too.
    EXPECT_EQ(0, Run(List(Shortcut("{Desktop}NoIcon.lnk", "true", "1", "Full"))));
    EXPECT_EQ(1, ErrorCount("Unknown create shortcut command ShowWindow type. [Full]"));
    EXPECT_TRUE(testsupport::FileExists(home + "/Desktop/NoIcon.desktop"));
    EXPECT_FALSE(testsupport::FileExists(home + "/Desktop/Bad.desktop"));
}

} // namespace
} // namespace installertest
