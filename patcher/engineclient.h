// The download client on the download engine: one download manager configured
// for the launcher, one element per download kept by name, and a thread that
// starts one new element per pass, ticks the running ones and destroys the
// removed ones; its first pass loads the global settings container, applies the
// options and adds the firewall rules. Chosen with PatcherClient_SetOperations.
#pragma once

#include "patcher/patcherclient.h"

struct ManagerStruct;

// The operations table of the engine's client; its start-up and shut-down run
// the engine's transports.
extern const PatcherClientOperations EngineClient_Operations;

// The client's download manager (owned by the client), for tests and the front
// end's figures. 1 and *manager when client runs on this table; else 0.
int EngineClient_GetManager(PatcherClient *client, ManagerStruct **manager);
// 1 once the client's thread has made its first pass.
int EngineClient_IsStarted(PatcherClient *client);
