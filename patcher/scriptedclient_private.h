// The scripted client's records, shared by its table (scriptedclient.cpp) and
// its HTTP worker (scriptedclient_web.cpp). Not for other callers.
#pragma once

#include "core/hashtable.h"
#include "core/mutex.h"
#include "core/stopflag.h"
#include "core/thread.h"
#include "patcher/scriptedclient.h"

struct ScriptedClient;

struct ScriptedDownload {
    const char *Tag;
    char Name[PATCHER_CLIENT_TEXT_SIZE];
    PatcherClientStateFunc Callback;
    void *UserData;
    ScriptedDownloadInfo Info;
    ServerOptions Options; // read from the SkinSource container by the worker
    ScriptedClient *Owner; // the client holding this record
    ThreadStruct *Worker;  // the HTTP worker (web table only), joined before the free
    StopFlag Stop;         // raised on removal, client stop and destruction
};

struct ScriptedClient {
    const char *Tag;
    PatcherClient *Client; // the dispatching object, first argument of callbacks
    MutexStruct *Mutex;    // guards everything below
    HashTableStruct *Downloads;
    PatcherClientSettingsForwarder SettingsCallback;
    void *SettingsUserData;
    ScriptedClientInfo Info;
};

// Moves the download to state and calls its callback as ScriptedClient_SetState
// does; takes the client's mutex. Nothing once the download is removed.
void ScriptedClient_InternalMove(ScriptedDownload *download, int state);
// Replaces the download's figures (state kept) under the client's mutex.
void ScriptedClient_InternalFigures(ScriptedDownload *download,
                                    const PatcherDownloadStatus *figures);
// 1 while the download may go on (not removed, stop not raised); waits while
// the download is paused.
int ScriptedClient_InternalGoOn(ScriptedDownload *download);

// The worker's thread procedure; its argument is the download.
uint32_t ScriptedWeb_Run(void *download);
