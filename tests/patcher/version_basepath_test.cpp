// Version document base path on Linux: the document's folder is cut at '/'
// only, so a ':' in a folder name is an ordinary character, and relative
// output paths are read below that folder.
#include "tests/patcher/document_support.h"

#include "core/oshelper.h"
#include "patcher/packageversion.h"
#include "patcher/taskstatus.h"

namespace documenttest {
namespace {

class VersionBasePathTest : public DocumentTest {};

TEST_F(VersionBasePathTest, ColonInTheFolderNameIsKeptInTheBasePath) {
    std::string folder = dir_ / "games:v2/sub:dir/";
    ASSERT_EQ(1, Zyl_CreateDirectory(folder.c_str(), 0, 0));
    std::string path = folder + "game.version";
    testsupport::WriteFile(path, testsupport::ReadFile(Fixture("version_inprogress.version")));
    PackageVersion *version = nullptr;
    PackageVersion_Create(&version);
    ASSERT_EQ(1, PackageVersion_LoadVersion(version, path.c_str())) << Dump();
    PatcherTaskStatus *status = nullptr;
    PatcherTaskData *data = nullptr;
    PackageVersion_GetTaskStatus(version, &status);
    PatcherTaskStatus_GetData(status, &data);
    EXPECT_EQ(folder, data->BasePath);
    EXPECT_EQ(folder + "game_4/", data->OutputPath);
    PackageVersion_Destroy(&version);
}

} // namespace
} // namespace documenttest
