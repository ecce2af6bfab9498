// Package document: one fixture per package type, release ordering and lookup,
// switches and their defaults, command lists, and a table of hostile or damaged
// documents (each refused or trimmed with its log line, sanitizers clean).
#include "tests/patcher/document_support.h"

#include "patcher/installer/installer.h"
#include "patcher/package.h"
#include "patcher/patcher_types.h"

namespace documenttest {
namespace {

class PackageTest : public DocumentTest {
  protected:
    void SetUp() override {
        DocumentTest::SetUp();
        Package_Create(&package);
    }
    void TearDown() override {
        Package_Destroy(&package);
        DocumentTest::TearDown();
    }
    int Load(const std::string &text) { return Package_LoadBuffer(package, text.c_str()); }
    int LoadFixture(const std::string &name) { return Load(testsupport::ReadFile(Fixture(name))); }
    // Versions of the list of a type, in order.
    std::vector<int> Versions(int type) {
        const PackageRelease *list = nullptr;
        int count = 0;
        Package_InternalGetPackageDescriptorList(&list, package, &count, type);
        std::vector<int> versions;
        for (int i = 0; i < count; i++)
            versions.push_back(list[i].Version);
        return versions;
    }
    int32_t Get(int (*getter)(Package *, int32_t *)) {
        int32_t value = -99;
        getter(package, &value);
        return value;
    }
    int CommandCount(int (*getter)(Package *, InstallerCommandList **)) {
        InstallerCommandList *list = nullptr;
        getter(package, &list);
        int count = -1;
        Installer_GetCount(list, &count);
        return count;
    }
    Package *package = nullptr;
};

TEST_F(PackageTest, ProgressiveReleasesAreSortedAndLookedUp) {
    ASSERT_EQ(1, LoadFixture("package_progressive.package")) << Dump();
    EXPECT_EQ(PACKAGE_TYPE_PROGRESSIVE, Get(Package_GetType));
    EXPECT_EQ((std::vector<int>{3, 4, 5}), Versions(PACKAGE_TYPE_PROGRESSIVE));
    EXPECT_TRUE(Versions(PACKAGE_TYPE_INCREMENTAL).empty());
    EXPECT_EQ(1, Get(Package_GetPrependDirectory)); // absent: stays 1
    EXPECT_EQ(0, Get(Package_GetDestructiveUpdate));
    EXPECT_EQ(1, Get(Package_GetUseDeployExtension));
    EXPECT_EQ(41, Get(Package_GetDeployStamp));
    const char *runtime = nullptr;
    Package_GetMinimumRuntime(package, &runtime);
    EXPECT_STREQ("2.0.8.5", runtime);

    const PackageRelease *release = nullptr;
    int32_t version = 0;
    char name[80];
    ASSERT_EQ(1, Package_GetLatestRelease(package, &version, name, &release));
    EXPECT_EQ(5, version);
    EXPECT_STREQ("1.5", name);
    EXPECT_EQ(1, release->RestartRequired);
    EXPECT_EQ(PACKAGE_DESCRIPTOR_MIN, release->DescriptorType);
    EXPECT_STREQ("http://cdn.example.test/launcher/", release->SkinSource);
    ASSERT_EQ(1, Package_FindNextRelease(package, 3, &release));
    EXPECT_EQ(4, release->Version);
    ASSERT_EQ(1, Package_FindNextRelease(package, -1, &release));
    EXPECT_EQ(3, release->Version);
    EXPECT_EQ(PACKAGE_DESCRIPTOR_AVAILABLE, release->DescriptorType);
    EXPECT_EQ(0, Package_FindNextRelease(package, 5, &release));
    EXPECT_EQ(nullptr, release);
    ASSERT_EQ(1, Package_FindRelease(package, 4, &release));
    EXPECT_STREQ("launcher_4.vexil", release->MetaFile);
    EXPECT_EQ(0, Package_FindRelease(package, 6, &release));
    EXPECT_TRUE(errors.empty()) << Dump();
}

TEST_F(PackageTest, IncrementalWithReleasesSwitchesAndCommands) {
    ASSERT_EQ(1, LoadFixture("package_incremental.package")) << Dump();
    EXPECT_EQ(PACKAGE_TYPE_INCREMENTAL, Get(Package_GetType));
    // The direct release and the "Releases" entries share the list, in order.
    EXPECT_EQ((std::vector<int>{1, 2, 3}), Versions(PACKAGE_TYPE_INCREMENTAL));
    EXPECT_EQ((std::vector<int>{3}), Versions(PACKAGE_TYPE_PROGRESSIVE));
    EXPECT_EQ(0, Get(Package_GetPrependDirectory));
    EXPECT_EQ(1, Get(Package_GetProcessDeleteManifest));
    EXPECT_EQ(1, Get(Package_GetPerformExpand)); // not a boolean: its default 1
    EXPECT_EQ(1, Get(Package_GetPerformPostExpandDelete));
    EXPECT_EQ(1, CommandCount(Package_GetPreProcessCommands));
    EXPECT_EQ(2, CommandCount(Package_GetPostProcessCommands));
    EXPECT_EQ(1, CommandCount(Package_GetUninstallCommands));
    const char *allowed = nullptr;
    Package_GetAllowModifiedFiles(package, &allowed);
    EXPECT_STREQ("*.cfg", allowed);

    // The next document starts over, but keeps what it does not mention.
    ASSERT_EQ(1, Load("<Package PatcherVersion=\"2.0.8.5\"><Type>Incremental</Type>"
                      "<PrependDirectory>nonsense</PrependDirectory></Package>"));
    EXPECT_TRUE(Versions(PACKAGE_TYPE_INCREMENTAL).empty());
    EXPECT_EQ(0, Get(Package_GetPrependDirectory)); // not a boolean: 0
    EXPECT_EQ(0, CommandCount(Package_GetPreProcessCommands));
    Package_GetAllowModifiedFiles(package, &allowed);
    EXPECT_STREQ("*.cfg", allowed);
    EXPECT_EQ(1, Get(Package_GetPerformPostExpandDelete));
}

TEST_F(PackageTest, VcdiffAndMaintenanceTypes) {
    ASSERT_EQ(1, LoadFixture("package_incremental_vcdiff.package"));
    EXPECT_EQ(PACKAGE_TYPE_INCREMENTAL_VCDIFF, Get(Package_GetType));
    EXPECT_EQ((std::vector<int>{10}), Versions(PACKAGE_TYPE_INCREMENTAL_VCDIFF));
    EXPECT_EQ(1, Get(Package_GetHasBaseLine));
    const PackageRelease *release = nullptr;
    Package_FindRelease(package, 10, &release);
    ASSERT_NE(nullptr, release);
    EXPECT_EQ(3, release->AvailableReleases);

    ASSERT_EQ(1, LoadFixture("package_progressive_vcdiff.package"));
    EXPECT_EQ(PACKAGE_TYPE_PROGRESSIVE_VCDIFF, Get(Package_GetType)); // type text ignores case
    EXPECT_EQ((std::vector<int>{8}), Versions(PACKAGE_TYPE_PROGRESSIVE_VCDIFF));

    ASSERT_EQ(1, LoadFixture("package_maintenance.package"));
    EXPECT_EQ(PACKAGE_TYPE_MAINTENANCE, Get(Package_GetType));
    EXPECT_TRUE(Versions(PACKAGE_TYPE_MAINTENANCE).empty());
    EXPECT_EQ(1, Count(logs, "Release ignored in a maintenance package"));
    const PackageMaintenance *maintenance = nullptr;
    Package_GetMaintenance(package, &maintenance);
    EXPECT_STREQ("http://status.example.test/", maintenance->MaintenanceUrl);
    EXPECT_STREQ("Back at 18:00 & later", maintenance->AdditionalInfo);
    int32_t version = 0;
    char name[80];
    EXPECT_EQ(0, Package_GetLatestRelease(package, &version, name, &release));
    EXPECT_EQ(-1, version);
    EXPECT_STREQ("1.0", name);
    EXPECT_EQ(nullptr, release);

    char typeName[PACKAGE_TYPE_NAME_SIZE];
    EXPECT_EQ(1, Patcher_GetPackageTypeName(typeName, PACKAGE_TYPE_MAINTENANCE));
    EXPECT_STREQ("PACKAGE_TYPE_MAINTENANCE", typeName);
    EXPECT_EQ(0, Patcher_GetPackageTypeName(typeName, 6));
    EXPECT_STREQ("PACKAGE_TYPE_INVALID", typeName);
    char stateName[PATCHER_STATE_NAME_SIZE];
    EXPECT_EQ(1, Patcher_GetStateName(stateName, 12));
    EXPECT_STREQ("PATCHER_STATE_ALLTASKSCOMPLETE", stateName);
    EXPECT_EQ(0, Patcher_GetStateName(stateName, 0));
    EXPECT_STREQ("PATCHER_STATE_INVALID", stateName);
}

std::string Doc(const std::string &type, const std::string &body) {
    return "<Package PatcherVersion=\"2.0.8.5\"><Type>" + type + "</Type>" + body + "</Package>";
}

std::string Release(int version, const std::string &extra = "") {
    return "<Release><Version>" + std::to_string(version) + "</Version><Name>" +
           std::to_string(version) + ".0</Name>" + extra + "</Release>";
}

TEST_F(PackageTest, RefusedDocuments) {
    struct {
        std::string text;
        std::string line; // expected error or log line
    } cases[] = {
        {"<Other/>", "Unable to locate Package member"},
        {"<Package PatcherVersion=\"1\"><Release/></Package>", "Unable to locate Package member"},
        {Doc("Cumulative", ""), "Invalid PackageType [Cumulative]"},
        {Doc("IncrementalVcDiff", "<DestructiveUpdate>TRUE</DestructiveUpdate>"),
         "Destructive update cannot be used with Vcdiff update types"},
        {Doc("ProgressiveVcDiff", "<DestructiveUpdate>1</DestructiveUpdate>"),
         "Destructive update cannot be used with Vcdiff update types"},
        {Doc("Incremental", "<PreProcessCommands><Command xsi:type=\"ShellCommand\"><File>" +
                                std::string(400, 'x') + "</File></Command></PreProcessCommands>"),
         "Unable to deserialize preprocess commands"},
        {Doc("Incremental", "<UninstallCommands><Command xsi:type=\"ShellCommand\"><Show>" +
                                std::string(400, 'x') + "</Show></Command></UninstallCommands>"),
         "Unable to deserialize uninstall commands"},
    };
    for (const auto &c : cases) {
        logs.clear();
        errors.clear();
        ASSERT_EQ(1, Load(Doc("Incremental", Release(1))));
        EXPECT_EQ(0, Load(c.text)) << c.text;
        EXPECT_EQ(1, Count(logs, c.line) + Count(errors, c.line)) << c.text << "\n" << Dump();
        // A refused document leaves the package reset.
        EXPECT_EQ(0, Get(Package_GetType));
        EXPECT_TRUE(Versions(PACKAGE_TYPE_INCREMENTAL).empty());
    }
    // A missing "PatcherVersion" is only logged.
    EXPECT_EQ(1, Load("<Package><Type>Progressive</Type></Package>"));
    EXPECT_EQ(1, Count(testsupport::CapturedAlerts(), "Unable to locate PatcherVersion"));
}

TEST_F(PackageTest, ReleasesThatFailAreNeverOffered) {
    std::string body = Release(1) + Release(2, "<Type>Latest</Type>") + "<Release></Release>" +
                       Release(3, "<Colour>red</Colour>") +
                       "<Release><Version>4</Version><Name>../../4</Name></Release>" +
                       "<Release><Version>5</Version><Name>C:5</Name></Release>" +
                       "<Release><Version>6</Version><MetaFile>" + std::string(320, 'm') +
                       "</MetaFile></Release>" +
                       "<Release><Version>7</Version><SkinSource>a&#9;b</SkinSource></Release>" +
                       "<Releases><Incremental><Bogus/>" + Release(8) +
                       "</Incremental><Other/></Releases>" +
                       "<Releases/><MaintenanceOptions/><Extra/>";
    ASSERT_EQ(1, Load(Doc("Incremental", body))) << Dump();
    EXPECT_EQ((std::vector<int>{1, 3, 8}), Versions(PACKAGE_TYPE_INCREMENTAL));
    EXPECT_EQ(1, Count(errors, "Invalid package descriptor type [Type] [Latest]"));
    EXPECT_EQ(1, Count(errors, "Package child does not contain base"));
    EXPECT_EQ(1, Count(logs, "Unknown Package member [Colour]"));
    EXPECT_EQ(1, Count(logs, "Refused release name [../../4]"));
    EXPECT_EQ(1, Count(logs, "Refused release name [C:5]"));
    EXPECT_EQ(1, Count(logs, "Refused release member [MetaFile]"));
    EXPECT_EQ(1, Count(logs, "Refused release member [SkinSource]"));
    EXPECT_EQ(1, Count(logs, "Unknown PackageDescriptor member [Bogus]"));
    EXPECT_EQ(1, Count(logs, "Unknown PackageDescriptor member [Other]"));
    EXPECT_EQ(1, Count(logs, "Releases member has no children"));
    EXPECT_EQ(1, Count(logs, "MaintenanceOptions member has no children"));
    EXPECT_EQ(1, Count(logs, "Unknown Packages member [Extra]"));
}

TEST_F(PackageTest, ReleaseListsGrowUpToTheirLimit) {
    std::string direct, listed;
    for (int i = PACKAGE_MAX_RELEASES; i > 0; i--)
        direct += Release(i);
    for (int i = 0; i < 40; i++)
        listed += Release(PACKAGE_MAX_RELEASES + 1 + i);
    ASSERT_EQ(1, Load(Doc("Progressive", direct + "<Releases><Progressive>" + listed +
                                             "</Progressive></Releases>")));
    std::vector<int> versions = Versions(PACKAGE_TYPE_PROGRESSIVE);
    ASSERT_EQ((size_t)PACKAGE_MAX_RELEASES, versions.size());
    EXPECT_EQ(1, versions.front());
    EXPECT_EQ(PACKAGE_MAX_RELEASES, versions.back());
    int refused = 0;
    for (const auto &line : logs)
        refused += line.second.rfind("Too many releases, release [", 0) == 0;
    EXPECT_EQ(1, refused); // logged once per list
}

TEST_F(PackageTest, TruncatedDocumentsNeverReadOutOfBounds) {
    std::string text = testsupport::ReadFile(Fixture("package_incremental.package"));
    for (size_t length = 0; length <= text.size(); length += 5) {
        Load(text.substr(0, length));
        const PackageRelease *release = nullptr;
        int32_t version = 0;
        char name[80];
        Package_GetLatestRelease(package, &version, name, &release);
    }
    EXPECT_EQ(1, Load(text));
}

} // namespace
} // namespace documenttest
