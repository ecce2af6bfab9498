// Kick-start resume files: per download, a small XML file beside the cache
// that records the download folder, every member file with its size, minute of
// modification and inclusion, the verified piece map and the info hash. When
// every fact still matches the disk at the next start, the map is taken as it
// is and the slow check of existing data is skipped. One record per manager.
#pragma once

#include <cstdint>

struct BaseStruct;
struct FileStruct;
struct ManagerStruct;
struct MutexStruct;
struct XmlStruct;

enum {
    KICKSTART_PATH_SIZE = 320,
    KICKSTART_MODE_BASE = 1,    // per-download files saved and loaded
    KICKSTART_MODE_MANAGER = 2, // the manager file saved
    KICKSTART_INITIAL_BUFFER = 10240,
    // A member's minute of modification may differ by this much from the file's.
    KICKSTART_MODIFIED_SLACK = 5,
};

struct KickStartStruct {
    const char *Tag;
    int Enabled;               // 0 at creation; read by the manager and the download client
    int AutoDelete;            // 1: a used file is erased while pieces remain to be fetched
    int Mode;                  // KICKSTART_MODE_* bits, both at creation
    int NameType;              // 1: files named after the content name; 0: after the metafile's
    MutexStruct *BaseMutex;    // around every per-download load, save and check
    FileStruct *File;          // stats member files, erases kick files
    XmlStruct *BaseDocument;   // owned
    MutexStruct *ManagerMutex; // around manager-file saves
    XmlStruct *ManagerDocument;
    char Folder[KICKSTART_PATH_SIZE]; // with its trailing '/'
    uint8_t *Buffer;                  // piece-map scratch, owned, BufferSize bytes
    int BufferSize;                   // never shrinks
};

// Create: 1 and *kick (disabled, auto-delete on, both modes, name type 1, no
// folder). Destroy frees everything and clears *kick; accepts null. Both return 1.
int KickStart_Create(KickStartStruct **kick);
int KickStart_Destroy(KickStartStruct **kick);
int KickStart_SetEnabled(KickStartStruct *kick, int enabled);
int KickStart_GetEnabled(KickStartStruct *kick, int *enabled);
int KickStart_SetAutoDelete(KickStartStruct *kick, int on);
// Mode 1: per-download files only, no manager file (the download client's choice).
int KickStart_SetBaseOnly(KickStartStruct *kick);
// 0 or 1 (see the record); anything else is refused at the next file name.
int KickStart_SetNameType(KickStartStruct *kick, int type);
// Copies the folder (319 characters at most), '\' as '/', with a trailing '/'. Returns 1.
int KickStart_SetFolder(KickStartStruct *kick, const char *folder);
int KickStart_GetFolder(KickStartStruct *kick, char *folder, int size);
// The download's file, folder + name + ".kick", into name (320). The name is
// one path component made of the content name (or the metafile's file name):
// separators and control characters become '_', "." and ".." become "_". 0
// (logged) when there is no name, the name type is unknown or it does not fit.
int KickStart_GetFileName(KickStartStruct *kick, BaseStruct *base, char *name);

// Saves "manager.kick" when the manager mode is on (else 1, nothing written).
int KickStart_SaveManager(KickStartStruct *kick, ManagerStruct *manager);
int KickStart_SaveManagerTo(KickStartStruct *kick, ManagerStruct *manager, const char *path);
// Saves the download's file (replaced atomically) when the base mode is on;
// the caller has flushed and synced the data the piece map records. 1 when
// saved or not wanted; 0 (logged) when it could not be built or written.
int KickStart_SaveBaseAccelerator(KickStartStruct *kick, BaseStruct *base);
int KickStart_SaveBase(KickStartStruct *kick, BaseStruct *base, const char *path);
// Loads and checks the download's file. 1 only when the whole file matched
// the download and the disk: the piece map then is the file's ("Base
// accelerator used"), and with auto-delete the file is erased while pieces are
// missing. 0 when loading is not allowed (base mode off), the file is missing
// or any check failed: the download is untouched and checks its data in full.
int KickStart_LoadBaseAccelerator(KickStartStruct *kick, BaseStruct *base);
int KickStart_LoadBase(KickStartStruct *kick, BaseStruct *base, const char *path);
// The OutputPath recorded in the download's file into path (320). 0 (logged)
// when the mode is off, the file cannot be loaded or holds no path.
int KickStart_LoadOutputPath(char *path, KickStartStruct *kick, BaseStruct *base);
