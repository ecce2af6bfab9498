// The download client as the patch engine sees it: one object per Patcher that
// runs downloads by name. The work is done by an implementation chosen through
// an operations table before the Patcher is created (the download engine's
// client in the launcher, a scripted stand-in in tests); every PatcherClient_*
// call checks the object and dispatches through the table it was created with.
#pragma once

#include <cstdint>

#include "patcher/patcherevents.h"
#include "patcher/patcheroptions.h"

struct PatcherClient;

enum { PATCHER_CLIENT_TEXT_SIZE = 320, PATCHER_CLIENT_SETTINGS_URL_SIZE = 4096 };

// A download's state beyond the PATCHER_DOWNLOAD_STATE_ values: the user
// cancelled a prompt of the download job.
enum { PATCHER_DOWNLOAD_STATE_CANCELLED = 6 };

// Handed once to the front end from the global settings container.
struct PatcherClientSettings {
    char AdvertisementUrl[2][PATCHER_CLIENT_SETTINGS_URL_SIZE]; // empty when absent
};

// A download's server options (from its SkinSource container).
struct ServerOptions {
    int32_t AllowBitBase;
    int32_t AllowWebBase;
    int32_t PieceOrder;
    int32_t ReliableStagger;
    int32_t ReliableReserveMaxPieces;
    char TorrentBase[PATCHER_CLIENT_TEXT_SIZE];
};

// Words of the element options handed to AddDownload.
enum {
    PATCHER_ELEMENT_SAVE_METAFILE = 0, // write the metafile once the job starts
    PATCHER_ELEMENT_USE_CACHE = 1,     // the settings container's cache
    PATCHER_ELEMENT_JOB_VALUE = 2,     // 1: the job asks the user for the save location
    PATCHER_ELEMENT_PARTIAL_EXT = 3,   // partial-file extension
    PATCHER_ELEMENT_ADD_FOLDER = 4,    // 1: a content of several files gets its own folder
    PATCHER_ELEMENT_OPTION_COUNT = 5
};
// Words of the switches handed to AddDownload and SetDownloadSwitches.
enum { PATCHER_SWITCH_PEER = 0, PATCHER_SWITCH_WEB = 1, PATCHER_SWITCH_COUNT = 2 };

// A download's state callback: called on every state change with the status
// (active word 1 when the new state is DOWNLOAD), on whichever thread changes the
// state and with the download's lock held: it must not call the client back.
typedef int (*PatcherClientStateFunc)(PatcherClient *client, void *userData, const char *name,
                                      const char *skinSource, const char *metafile,
                                      const PatcherDownloadStatus *status,
                                      const ServerOptions *options);
// The settings callback: called at most once, on the client's own thread, with
// the client's mutex held.
typedef int (*PatcherClientSettingsForwarder)(void *userData, PatcherClientSettings *settings);

// What an implementation provides. Each entry gets the implementation's own
// object and keeps the results of the PatcherClient_* call of the same name;
// Startup and Shutdown (may be null) start and stop what the implementation
// needs process-wide (the download engine's transports) and are run by the
// library facade around the Patcher's life.
struct PatcherClientOperations {
    const char *Name;
    int (*Startup)(void);
    int (*Shutdown)(void);
    int (*Create)(void **object, const char *registryPath, const char *settingsUrl,
                  const PatcherOptions *options);
    int (*Destroy)(void **object);
    int (*Stop)(void *object);
    int (*SetOptions)(void *object, const PatcherOptions *options);
    int (*SetSettingsCallback)(void *object, PatcherClientSettingsForwarder callback,
                               void *userData);
    int (*AddDownload)(void *object, PatcherClient *client, const int32_t *switches,
                       const char *name, const char *skinSource, const char *metafile,
                       const char *outputPath, PatcherClientStateFunc callback, void *userData,
                       const int32_t *elementOptions);
    int (*RemoveDownload)(void *object, const char *name);
    int (*GetDownloadStatus)(void *object, const char *name, PatcherDownloadStatus *status);
    int (*SetDownloadSwitches)(void *object, const char *name, const int32_t *switches);
    int (*SetDownloadActive)(void *object, const char *name, int flag);
};

// Chooses the implementation for clients created from now on (the table must
// outlive them; null: none). Returns 1.
int PatcherClient_SetOperations(const PatcherClientOperations *operations);
// The table chosen now, or null.
const PatcherClientOperations *PatcherClient_GetOperations(void);

// Builds the client through the chosen table into *client. Returns 1; 0 with
// *client null when no table was chosen ("PatcherClient_Create(): no download
// client") or the implementation failed (it logged why).
int PatcherClient_Create(PatcherClient **client, const char *registryPath, const char *settingsUrl,
                         const PatcherOptions *options);
// Destroys the implementation's object and the client; clears *client; accepts
// a null *client. Returns 1.
int PatcherClient_Destroy(PatcherClient **client);
// Stops the downloads' engine; the client stays usable. Accepts a null *client.
int PatcherClient_Stop(PatcherClient **client);
int PatcherClient_SetOptions(PatcherClient *client, const PatcherOptions *options);
// Installs the settings forwarder (null: none). Once it returns, a forwarder it
// replaced is no longer running nor called again.
int PatcherClient_SetSettingsCallback(PatcherClient *client,
                                      PatcherClientSettingsForwarder callback, void *userData);
// switches: two words; elementOptions: five words (see above). Texts are copied
// (at most 319 characters). An empty SkinSource is refused with error 5
// "Unspecified SkinSource [%s]"; a name already held with "PatcherClient_Add():
// already added" (level 0). 1 when the download was accepted.
int PatcherClient_AddDownload(PatcherClient *client, const int32_t *switches, const char *name,
                              const char *skinSource, const char *metafile, const char *outputPath,
                              PatcherClientStateFunc callback, void *userData,
                              const int32_t *elementOptions);
// Marks the download removed: no more state callbacks from the moment this
// returns. 1 when the name was held.
int PatcherClient_RemoveDownload(PatcherClient *client, const char *name);
// The download's status; an unknown name gives 0 and the initial status.
int PatcherClient_GetDownloadStatus(const char *name, PatcherClient *client,
                                    PatcherDownloadStatus *status);
// 0 when the name is unknown.
int PatcherClient_SetDownloadSwitches(PatcherClient *client, const char *name,
                                      const int32_t *switches);
// Pauses (0) or resumes (1) the download; 0 when the name is unknown.
int PatcherClient_SetDownloadActive(PatcherClient *client, const char *name, int flag);

// ServerOptions defaults: both sources allowed, piece order 2, no stagger, one
// reserved piece, empty TorrentBase. Returns 1.
int ServerOptions_SetDefaults(ServerOptions *options);

// The implementation's object behind the client, when the client was created
// with that very table; else null. Returns 1 when found.
int PatcherClient_GetObject(PatcherClient *client, const PatcherClientOperations *operations,
                            void **object);
