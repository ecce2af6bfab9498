// One download of the download client on the engine: fetches the download's
// server options from its settings container, starts the download job from the
// metafile address, checks the files already on disk, lets the engine download
// and follows its progress into a status record, reporting every state change
// to its owner. Threads: the owner's operations, the client's start sequence and
// the engine's callbacks meet under the element's lock (which admits its holder
// again); the start sequence holds it only to read or write fields.
#pragma once

#include <cstdint>

#include "patcher/patcherclient.h"
#include "patcher/patcherevents.h"

struct ManagerStruct;
struct PatcherClientElement;
struct StopFlag;

enum { PATCHERCLIENTELEMENT_TEXT_SIZE = 320 };
// The download job's stop word of a download the user cancelled.
enum { PATCHERCLIENTELEMENT_STATE_CANCELLED = PATCHER_DOWNLOAD_STATE_CANCELLED };

// Creates an element in state INITIALIZE into *element. switches: two words
// (peer-to-peer, web allowed); options: PATCHER_ELEMENT_OPTION_COUNT words.
// Texts are copied (at most 319 characters). Returns 1.
int PatcherClientElement_Create(PatcherClientElement **element, const char *name,
                                const char *skinSource, const char *metafile, PatcherClient *client,
                                PatcherClientStateFunc callback, void *userData,
                                const int32_t *switches, const int32_t *options,
                                ManagerStruct *manager, const char *outputPath);
// Stops the transfer (autodelete rules apply), frees and clears *element;
// accepts null. Returns 1.
int PatcherClientElement_Destroy(PatcherClientElement **element);
// The start sequence (server options, job, check of existing files, go), only
// in state INITIALIZE (else 1 at once). 1 when every step ran; 0 when one failed
// (state FAILED, or 6 for a cancelled prompt, each with its log line) or stop
// (null: none) was raised.
int PatcherClientElement_Start(PatcherClientElement *element, const StopFlag *stop);
// The tick: in DOWNLOAD refreshes the status, and once the engine reported
// completion and freed the member, turns COMPLETE. Returns 1.
int PatcherClientElement_Process(PatcherClientElement *element, const StopFlag *stop);
// Copies the status (refreshed first in SCAN). Returns 1.
int PatcherClientElement_GetStatus(PatcherDownloadStatus *status, PatcherClientElement *element);
// Pauses (0) or resumes (1) the download; 0 while there is no download yet.
int PatcherClientElement_SetActive(int flag, PatcherClientElement *element);
// Removal: no more state changes or callbacks once marked. Each returns 1.
int PatcherClientElement_MarkRemoved(PatcherClientElement *element);
int PatcherClientElement_IsRemoved(int *removed, PatcherClientElement *element);
// The server options loaded by the start sequence (defaults before). Returns 1.
int PatcherClientElement_GetServerOptions(ServerOptions *options, PatcherClientElement *element);
// Stores the two switches and applies them with the server options to the
// download: a source the server forbids stays off whatever the switch says.
// 0 when removed, else 1.
int PatcherClient_InternalApplySettings(PatcherClientElement *element, const int32_t *switches);
