// Kick-start resume files (the manager's and each download's saved state).
// This is the least record the manager creates and asks at stop: it keeps the
// settings and writes no file yet.
#pragma once

struct ManagerStruct;

enum { KICKSTART_PATH_SIZE = 320 };

struct KickStartStruct {
    const char *Tag;
    int Enabled;
    int LoadOnly;
    char Folder[KICKSTART_PATH_SIZE]; // with its trailing '/'
    int Saves;                        // KickStart_SaveManager calls
};

int KickStart_Create(KickStartStruct **kick);
int KickStart_Destroy(KickStartStruct **kick);
int KickStart_SetEnabled(KickStartStruct *kick, int enabled);
int KickStart_GetEnabled(KickStartStruct *kick, int *enabled);
int KickStart_SetLoadOnly(KickStartStruct *kick);
// Copies the folder (319 characters at most) and adds a trailing '/'. Returns 1.
int KickStart_SetFolder(KickStartStruct *kick, const char *folder);
int KickStart_GetFolder(KickStartStruct *kick, char *folder, int size);
// Saves the resume file of every download (nothing in load-only mode). Returns 1.
int KickStart_SaveManager(KickStartStruct *kick, ManagerStruct *manager);
