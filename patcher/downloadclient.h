// The download client on the download engine: one manager configured for the
// launcher, one element per running download under the download's name, and a
// thread that loads the settings container once, starts new downloads one per
// pass, ticks running ones and destroys those asked to go.
#pragma once

#include <cstdint>

#include "patcher/patcherclient.h"

struct ManagerStruct;

// The operations table; choose it with PatcherClient_SetOperations. Its
// Startup and Shutdown start and stop the engine's transports.
extern const PatcherClientOperations DownloadClient_Operations;

enum {
    DOWNLOADCLIENT_PASS_MS = 50, // between two passes of the thread
    DOWNLOADCLIENT_ID_SIZE = 80, // the machine identity text
};

// The driver's side (tests, tools). client must have been created with
// DownloadClient_Operations (fatal otherwise).
// The client's manager (owned by the client). Returns 1.
int DownloadClient_GetManager(PatcherClient *client, ManagerStruct **manager);
// 1 once the thread ran its first pass (options then take effect at once).
int DownloadClient_IsStarted(PatcherClient *client);
// The options last given. Returns 1.
int DownloadClient_GetOptions(PatcherClient *client, PatcherOptions *options);
// The machine identity handed to the manager ("" when the registry key could
// not be opened), into text (DOWNLOADCLIENT_ID_SIZE bytes). Returns 1.
int DownloadClient_GetMachineId(PatcherClient *client, char *text);
// Whether a download of that name is held, and whether it is still waiting for
// its start sequence. Return 1 when held.
int DownloadClient_HasDownload(PatcherClient *client, const char *name, int *pending);
// The server options of a held download. 0 when the name is unknown.
int DownloadClient_GetServerOptions(PatcherClient *client, const char *name,
                                    ServerOptions *options);
