// The update task's status (PatcherTaskStatus): names, versions, paths, package
// switches, state and three installer command lists, and its XML element inside
// the ".version" document, so an interrupted update can be continued.
#pragma once

#include <cstdint>

struct InstallerCommandList;
struct PatcherTaskStatus;
struct XmlStruct;
struct XmlNodeStruct;

enum {
    PATCHER_SHORT_NAME_SIZE = 80, // CurrentName, TargetName
    PATCHER_PATH_SIZE = 320,      // names, paths and sources
    PATCHER_COMMAND_SIZE = 1024,  // RestartCommandLine
};

// The status record. Texts are NUL-terminated within their sizes; the three lists
// belong to the status object that holds the record.
struct PatcherTaskData {
    int32_t PatcherState; // PATCHER_STATE_*
    int32_t CurrentVersion;
    char CurrentName[PATCHER_SHORT_NAME_SIZE];
    int32_t TargetVersion;
    char TargetName[PATCHER_SHORT_NAME_SIZE];
    char PackageName[PATCHER_PATH_SIZE];
    char SkinSource[PATCHER_PATH_SIZE];
    char MetaFile[PATCHER_PATH_SIZE];
    char BasePath[PATCHER_PATH_SIZE]; // folder of the version document, with its '/'; not written
    char OutputPath[PATCHER_PATH_SIZE];
    char CopyPath[PATCHER_PATH_SIZE];
    char RestartCommandLine[PATCHER_COMMAND_SIZE];
    int32_t PackageType; // PACKAGE_TYPE_* (0 before a package is known)
    int32_t PrependDirectory;
    int32_t DestructiveUpdate;
    int32_t UseDeployExtension;
    int32_t ProcessDeleteManifest;
    int32_t HasBaseLine;
    int32_t PackageDescriptorType; // 1 "Min", 2 "Available"
    int32_t RestartRequired;
    int32_t AvailableReleases;
    InstallerCommandList *PreProcessCommands;
    InstallerCommandList *PostProcessCommands;
    InstallerCommandList *UninstallCommands;
    char AllowModifiedFiles[PATCHER_PATH_SIZE];
    int32_t DeployStamp;
    int32_t PerformCopy;
    int32_t PerformDelete;
};

// Creates a zeroed status with three empty lists. Returns 1 and sets *status.
int PatcherTaskStatus_Create(PatcherTaskStatus **status);
// Frees the lists and the status, clears *status. Accepts a null *status. Returns 1.
int PatcherTaskStatus_Destroy(PatcherTaskStatus **status);
// The status's own record (valid while the status lives). Returns 1.
int PatcherTaskStatus_GetData(PatcherTaskStatus *status, PatcherTaskData **data);
// Sets every field from values (texts bounded by their sizes), PatcherState to
// IDLE, and deep-copies values' three lists (each may be null: empty list).
// Returns 1; 0 when a list could not be copied.
int PatcherTaskStatus_Set(PatcherTaskStatus *status, const PatcherTaskData *values);
// Copies the whole record of source, keeping destination's own lists, into which
// source's commands are deep-copied. Returns 1; 0 when a list could not be copied.
int PatcherTaskStatus_Copy(PatcherTaskStatus *destination, PatcherTaskStatus *source);
// Reads the shallowest "PatcherTaskStatus" element of the document. basePath is
// the version document's folder (with its '/'); relative OutputPath and CopyPath
// are taken below it. Returns 1; 0 (logged) when the element is missing, a list
// cannot be parsed, or a value is refused: a state or package type out of range,
// a name with a separator, "..", ':' or a control character, or an output or
// copy path that is empty, a root, the base folder or one of its ancestors.
int PatcherTaskStatus_Read(XmlStruct *xml, const char *basePath, PatcherTaskStatus *status);
// Appends the full "PatcherTaskStatus" element to parent. OutputPath and CopyPath
// are written without a leading BasePath. Returns 1 when every part was written.
int PatcherTaskStatus_Write(XmlStruct *xml, PatcherTaskStatus *status, XmlNodeStruct *parent);
// Appends a "PatcherTaskStatus" element holding only "UninstallCommands".
int PatcherTaskStatus_WriteUninstall(XmlStruct *xml, PatcherTaskStatus *status,
                                     XmlNodeStruct *parent);
// Checks a name from a document (package or release name): not empty, no '/',
// '\\', ':', control character, and not "." or "..". Returns 1 when safe.
int PatcherTaskStatus_IsSafeName(const char *name);
