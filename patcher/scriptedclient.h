// A stand-in download client. In its scripted form it downloads nothing: each
// download's state and figures
// are set by its driver (a test, a demonstration front end) and reported through
// the state callback as a running download reports them. Records every call it
// gets, so that a driver can check what the engine asked of its client.
#pragma once

#include <cstdint>

#include "patcher/patcherclient.h"

// The operations table; choose it with PatcherClient_SetOperations. A removed
// download's name may be added again: the new download replaces the old record.
extern const PatcherClientOperations ScriptedClient_Operations;
// The same driver surface, but each added download is fetched over HTTP by a
// worker of its own: SkinSource is a settings container whose "settings.xml"
// gives TorrentBase; TorrentBase + the metafile address is the metafile; each
// file of the metafile comes from its first "reliable" address (the folder the
// file names are below) into the output path, every piece checked by SHA-1.
// Files already complete are kept, so a download added again resumes. The
// worker moves the download through SCAN and DOWNLOAD to COMPLETE, or FAILED.
extern const PatcherClientOperations ScriptedClient_WebOperations;

// Process-wide counts of the table's start-up work and objects.
struct ScriptedClientCounts {
    int Startups;
    int Shutdowns;
    int Creates; // successful ones
    int Destroys;
};
// What one client was asked.
struct ScriptedClientInfo {
    char RegistryPath[PATCHER_CLIENT_TEXT_SIZE];
    char SettingsUrl[PATCHER_CLIENT_TEXT_SIZE];
    PatcherOptions Options; // the last given
    int SetOptionsCalls;
    int StopCalls;
    int AddCalls;    // accepted downloads
    int RemoveCalls; // removals of held names
    int HasSettingsCallback;
};
// What one download was given and how it stands.
struct ScriptedDownloadInfo {
    char SkinSource[PATCHER_CLIENT_TEXT_SIZE];
    char Metafile[PATCHER_CLIENT_TEXT_SIZE];
    char OutputPath[PATCHER_CLIENT_TEXT_SIZE];
    int32_t Switches[PATCHER_SWITCH_COUNT];
    int32_t ElementOptions[PATCHER_ELEMENT_OPTION_COUNT];
    PatcherDownloadStatus Status;
    int Active; // the download's own active flag
    int Removed;
    int StatusQueries;
    int SwitchCalls;
    int ActiveCalls;
};

// The next count creations fail (as a client whose thread cannot start).
int ScriptedClient_FailCreates(int count);
int ScriptedClient_GetCounts(ScriptedClientCounts *counts);
int ScriptedClient_ResetCounts(void);

// The driver's side. client must have been created with ScriptedClient_Operations
// (fatal otherwise). Each returns 1, or 0 for a name the client does not hold.
int ScriptedClient_GetInfo(PatcherClient *client, ScriptedClientInfo *info);
int ScriptedClient_GetDownload(PatcherClient *client, const char *name, ScriptedDownloadInfo *info);
// Moves the download to state (1 to 6): nothing when it is in that state already
// or removed; otherwise logs the transition on the Alert log and calls the state
// callback with the status (active word 1 when the new state is DOWNLOAD).
int ScriptedClient_SetState(PatcherClient *client, const char *name, int state);
// Replaces the figures of the status (every field but the state); no callback.
int ScriptedClient_SetFigures(PatcherClient *client, const char *name,
                              const PatcherDownloadStatus *figures);
// Calls the state callback with the status as it stands, unless removed.
int ScriptedClient_Report(PatcherClient *client, const char *name);
// Hands settings to the settings callback with the client's mutex held, as the
// client's first pass does. The callback's result; 0 when none is installed.
int ScriptedClient_DeliverSettings(PatcherClient *client, PatcherClientSettings *settings);
