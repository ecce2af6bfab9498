// The ".package" document of one package (Package): update type, switches,
// releases offered (incremental and progressive lists, sorted by version),
// installer command lists and maintenance notices, refilled on every fetch.
#pragma once

#include <cstdint>

struct InstallerCommandList;
struct Package;

enum {
    PACKAGE_TEXT_SIZE = 320,
    PACKAGE_RUNTIME_SIZE = 32,
    // Releases one list holds at most; further ones are refused with a log line.
    PACKAGE_MAX_RELEASES = 4096,
};

// Release descriptor types.
enum { PACKAGE_DESCRIPTOR_MIN = 1, PACKAGE_DESCRIPTOR_AVAILABLE = 2 };

// One release offered by the server.
struct PackageRelease {
    int32_t DescriptorType; // PACKAGE_DESCRIPTOR_*
    int32_t Version;
    char Name[PACKAGE_TEXT_SIZE];
    char SkinSource[PACKAGE_TEXT_SIZE];
    char MetaFile[PACKAGE_TEXT_SIZE];
    int32_t RestartRequired;
    int32_t AvailableReleases;
};

// Maintenance notice (640 bytes).
struct PackageMaintenance {
    char MaintenanceUrl[PACKAGE_TEXT_SIZE];
    char AdditionalInfo[PACKAGE_TEXT_SIZE];
};

// Creates an empty package (type 0, PrependDirectory 1). Returns 1 and sets *package.
int Package_Create(Package **package);
// Frees it with its releases and lists, clears *package. Accepts a null *package.
int Package_Destroy(Package **package);
// Resets the package, then parses and reads the document text. Returns 1; 0
// (reported, package reset again) when "Package" or its "Type" is missing, the
// type is unknown, a command list cannot be parsed, or a destructive update is
// asked of a VCDIFF type. Releases that cannot be read are left out.
int Package_LoadBuffer(Package *package, const char *text);

// Accessors: each returns 1 and the field.
int Package_GetType(Package *package, int32_t *type);
int Package_GetPrependDirectory(Package *package, int32_t *flag);
int Package_GetDestructiveUpdate(Package *package, int32_t *flag);
int Package_GetUseDeployExtension(Package *package, int32_t *flag);
int Package_GetProcessDeleteManifest(Package *package, int32_t *flag);
int Package_GetHasBaseLine(Package *package, int32_t *flag);
int Package_GetPerformExpand(Package *package, int32_t *flag);
int Package_GetPerformPostExpandDelete(Package *package, int32_t *flag);
int Package_GetDeployStamp(Package *package, int32_t *stamp);
// Texts and records are the package's own (valid until the next load).
int Package_GetMinimumRuntime(Package *package, const char **text);
int Package_GetAllowModifiedFiles(Package *package, const char **text);
int Package_GetMaintenance(Package *package, const PackageMaintenance **maintenance);
int Package_GetPreProcessCommands(Package *package, InstallerCommandList **list);
int Package_GetPostProcessCommands(Package *package, InstallerCommandList **list);
int Package_GetUninstallCommands(Package *package, InstallerCommandList **list);

// The release list of a package type: progressive for 1 and 4, incremental for 2
// and 3, none (null, count 0) otherwise. Returns 1.
int Package_InternalGetPackageDescriptorList(const PackageRelease **list, Package *package,
                                             int *count, int type);
// The last (highest) release of the package type's list. Returns 1; 0 with
// version -1, name "1.0" (80 bytes) and null when there is none.
int Package_GetLatestRelease(Package *package, int32_t *version, char *name,
                             const PackageRelease **release);
// The first release above version. Returns 1; 0 and null when there is none.
int Package_FindNextRelease(Package *package, int32_t version, const PackageRelease **release);
// The release of exactly this version. Returns 1; 0 and null when there is none.
int Package_FindRelease(Package *package, int32_t version, const PackageRelease **release);
