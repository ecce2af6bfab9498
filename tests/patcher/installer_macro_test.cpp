// Installer macros: order of application, replacement in place, expanders from
// "installer.config.xml" (through a real run of a list), case and length limits.
#include "tests/patcher/installer_support.h"

#include "core/registry.h"
#include "patcher/installer/macro.h"

namespace installertest {
namespace {

std::string Expand(MacroListStruct *macros, const std::string &source, int *ok) {
    char out[MACRO_TEXT_SIZE];
    *ok = Macro_Expand(macros, source.c_str(), out);
    return out;
}

TEST_F(InstallerTest, MacroExpansionTable) {
    MacroListStruct *macros = nullptr;
    Macro_Create(&macros);
    Macro_Set(macros, "ProgramFiles", "/opt/");
    Macro_Set(macros, "Game", "{ProgramFiles}Game"); // set later: applied first
    Macro_Set(macros, "Early", "{Late}");
    Macro_Set(macros, "Late", "late");
    struct {
        const char *source;
        const char *expected;
    } cases[] = {
        {"{ProgramFiles}a", "/opt/a"},
        {"{Game}/bin", "/opt/Game/bin"}, // a later entry may use an earlier one
        {"{ProgramFiles}{ProgramFiles}", "/opt//opt/"},
        {"{programfiles}x", "{programfiles}x"}, // keys are case-sensitive
        {"{Early}", "{Late}"},                  // an earlier entry's value is not expanded again
        {"{Unknown}", "{Unknown}"},
        {"", ""},
    };
    for (const auto &c : cases) {
        int ok = 0;
        EXPECT_EQ(c.expected, Expand(macros, c.source, &ok)) << c.source;
        EXPECT_EQ(1, ok) << c.source;
    }
    // Replacing keeps the entry's place and count.
    int count = 0;
    Macro_GetCount(macros, &count);
    EXPECT_EQ(4, count);
    Macro_Set(macros, "ProgramFiles", "/usr/");
    Macro_GetCount(macros, &count);
    EXPECT_EQ(4, count);
    int ok = 0;
    EXPECT_EQ("/usr/Game", Expand(macros, "{Game}", &ok));
    EXPECT_TRUE(errors.empty());
    Macro_Destroy(&macros);
    EXPECT_EQ(nullptr, macros);
}

TEST_F(InstallerTest, MacroExpansionTooLongFails) {
    MacroListStruct *macros = nullptr;
    Macro_Create(&macros);
    std::string value(300, 'v');
    EXPECT_EQ(1, Macro_Set(macros, "Big", value.c_str()));
    EXPECT_EQ(0, Macro_Set(macros, "Huge", std::string(320, 'h').c_str()));
    int ok = 1;
    Expand(macros, "{Big}" + std::string(14, 'x'), &ok); // 314 characters fit
    EXPECT_EQ(1, ok);
    Expand(macros, "{Big}" + std::string(20, 'x'), &ok); // 320 do not
    EXPECT_EQ(0, ok);
    ASSERT_EQ(1u, errors.size());
    EXPECT_EQ(9, errors[0].first);
    EXPECT_EQ("Unable to expand macro, string too long. [Key: {Big}] [Value: " + value +
                  "] [String: {Big}" + std::string(20, 'x') + "]",
              errors[0].second);
    Macro_Destroy(&macros);
}

std::string StoredValue(const char *name) {
    RegistryStruct *key = nullptr;
    if (!Registry_OpenExistingKey(&key, REGISTRY_ROOT_CURRENT_USER, "Software\\Macro"))
        return "<no key>";
    char text[MACRO_TEXT_SIZE] = "";
    if (!Registry_GetString(key, name, text, sizeof(text)))
        Zyl_StrCopy(text, "<no value>", sizeof(text));
    Registry_CloseKey(&key);
    return text;
}

std::string Store(const std::string &name, const std::string &value) {
    return Command("RegistryCommand",
                   {{"Path", "Software\\Macro"}, {"Name", name}, {"Value", value}});
}

TEST_F(InstallerTest, BuiltInMacrosAndConfigExpanders) {
    testsupport::WriteFile(work + "/installer.config.xml",
                           "<Config><Expanders>"
                           "<Expander><Key>ProgramFiles</Key><Value>/srv/games/</Value></Expander>"
                           "<Expander><Key>Game</Key><Value>{ProgramFiles}Vexil</Value></Expander>"
                           "<Expander><Key>NoValue</Key></Expander>"
                           "</Expanders></Config>");
    ASSERT_EQ(1, Run(List(Store("game", "{Game}/bin") + Store("root", "{RootPath}") +
                          Store("copy", "{CopyPath}|{ApplicationPath}") +
                          Store("output", "{OutputPath}|{DownloadPath}|{ProcessPath}") +
                          Store("menu", "{StartMenu}|{Desktop}|{UserAppData}"))))
        << Dump();
    EXPECT_EQ("/srv/games/Vexil/bin", StoredValue("game"));
    EXPECT_EQ(root(), StoredValue("root"));
    EXPECT_EQ(root() + "|" + root(), StoredValue("copy"));
    std::string output = dir_ / "output/";
    EXPECT_EQ(output + "|" + output + "|" + (dir_ / "process/"), StoredValue("output"));
    EXPECT_EQ(home + "/.local/share/applications/|" + home + "/Desktop/|" + home + "/.config/",
              StoredValue("menu"));
    EXPECT_EQ(1, LogCount("Failed to read \"Value\" node."));
}

TEST_F(InstallerTest, ExpanderFileEdgeCases) {
    MacroListStruct *macros = nullptr;
    Macro_Create(&macros);
    std::string path = work + "/other.xml";
    // No expanders element: nothing added, success.
    testsupport::WriteFile(path, "<Config><Other/></Config>");
    EXPECT_EQ(1, Macro_LoadExpandersFrom(macros, path.c_str()));
    // A broken document and a missing file add nothing either.
    testsupport::WriteFile(path, "<Config><Expanders><Expander><Key>A");
    Macro_LoadExpandersFrom(macros, path.c_str());
    EXPECT_EQ(1, Macro_LoadExpandersFrom(macros, (work + "/missing.xml").c_str()));
    int count = 0;
    Macro_GetCount(macros, &count);
    EXPECT_LE(count, 1);
    // An expander without Key fails the load but keeps the good ones.
    testsupport::WriteFile(path, "<Config><Expanders><Expander><Value>v</Value></Expander>"
                                 "<Expander><Key>K</Key><Value>w</Value></Expander>"
                                 "</Expanders></Config>");
    EXPECT_EQ(0, Macro_LoadExpandersFrom(macros, path.c_str()));
    char value[MACRO_TEXT_SIZE];
    EXPECT_EQ(1, Macro_Get(macros, "K", value));
    EXPECT_STREQ("w", value);
    EXPECT_EQ(1, LogCount("Failed to read \"Key\" node."));
    Macro_Destroy(&macros);
}

} // namespace
} // namespace installertest
