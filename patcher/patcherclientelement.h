// One download of the download client on the download engine: reads the
// download's server options from its SkinSource container, starts the download
// job from the metafile address, checks the files already there, follows the
// engine's progress into a status record and reports every state change.
#pragma once

#include <cstdint>

#include "patcher/patcherclient.h"

struct ManagerMemberStruct;
struct ManagerStruct;
struct StopFlag;
struct XmlStruct;

struct PatcherClientElement;

// What a download job is started with, beside its command line.
struct PatcherClientJobSettings {
    int32_t AskForLocation;      // 1: the user picks where the files go
    int32_t UsePartialExtension; // 1: unfinished files carry the partial extension
    int32_t AddContentFolder;    // 1: several files go into a folder named after the content
    int32_t ListenPort;          // the manager's current port
    char OutputPath[PATCHER_CLIENT_TEXT_SIZE];
};

// How an element starts and stops its download job on the engine. The
// torrent helper's table is the one the launcher uses; tests may put their own.
struct PatcherClientJobOperations {
    // Adds the download to the manager from the command line. 1 with *job (the
    // table's own record) and *member (a reference the table drops at Stop); 0
    // with *error set (the job's error code) and errorName (320 bytes) naming it,
    // nothing left behind.
    int (*Start)(const char *commandLine, ManagerStruct *manager,
                 const PatcherClientJobSettings *settings, void **job, ManagerMemberStruct **member,
                 int *error, char *errorName);
    // Deactivates the download, applies the job's autodelete rules, closes and
    // releases the member and frees the job; clears *job and *member.
    int (*Stop)(void **job, ManagerStruct *manager, ManagerMemberStruct **member);
};

// The torrent helper's table, the one elements use unless another is chosen.
extern const PatcherClientJobOperations PatcherClientElement_HelperJobs;

// The table elements created from now on use (null: none; their starts then
// fail as a job that cannot start). Returns 1.
int PatcherClientElement_SetJobOperations(const PatcherClientJobOperations *operations);
const PatcherClientJobOperations *PatcherClientElement_GetJobOperations(void);

// Creates an element in state INITIALIZE into *element. switches: two words;
// options: five words (PATCHER_ELEMENT_*); texts are copied (319 characters at
// most). Returns 1.
int PatcherClientElement_Create(PatcherClientElement **element, const char *name,
                                const char *skinSource, const char *metafile,
                                const char *outputPath, PatcherClient *client,
                                ManagerStruct *manager, PatcherClientStateFunc callback,
                                void *userData, const int32_t *switches, const int32_t *options);
// Stops the transfer (the engine no longer calls the element), frees it and
// clears *element; accepts null. Returns 1.
int PatcherClientElement_Destroy(PatcherClientElement **element);

// The start sequence (settings container, job start, check of existing files,
// download), run without the element's lock except to read or change fields, so
// that status, switches and removal never wait on the network or the disk.
// Only in state INITIALIZE (else 1 at once). 1 when every step ran; 0 when one
// failed (the state then says FAILED or cancelled) or stop was raised.
int PatcherClientElement_Start(PatcherClientElement *element, const StopFlag *stop);
// The tick: refreshes a downloading element's status; once the engine reported
// completion and freed the download, the state becomes COMPLETE. Returns 1.
int PatcherClientElement_Process(PatcherClientElement *element, const StopFlag *stop);
// Copies the status (refreshed first while the files are checked). Returns 1.
int PatcherClientElement_GetStatus(PatcherDownloadStatus *status, PatcherClientElement *element);
// Pauses (0) or resumes (1) the download. 1 when the engine has the download,
// 0 before (the flag is kept for the start).
int PatcherClientElement_SetActive(int flag, PatcherClientElement *element);
// From the moment MarkRemoved returns, the element changes no state and calls
// no callback. Both return 1.
int PatcherClientElement_MarkRemoved(PatcherClientElement *element);
int PatcherClientElement_IsRemoved(int *removed, PatcherClientElement *element);
// Applies the two switches (peer, web) with the server options to the download.
// 0 when removed, else 1.
int PatcherClient_InternalApplySettings(PatcherClientElement *element, const int32_t *switches);
// The server options as loaded (defaults until the container was read). Returns 1.
int PatcherClientElement_GetServerOptions(PatcherClientElement *element, ServerOptions *options);
// The job's settings as the element passes them. Returns 1.
int PatcherClientElement_GetJobSettings(PatcherClientElement *element,
                                        PatcherClientJobSettings *settings);

// Reads the server options of a settings document (keys below
// "Application.User."): defaults first, then each key present. Returns 1.
int ServerOptions_Load(ServerOptions *options, XmlStruct *document);
// The text of "Application.User.<key>" into destination (at most size - 1
// characters). 1; 0 when the node is absent (destination unchanged).
int ServerOptions_GetString(char *destination, XmlStruct *document, const char *key, int size);
// As GetString, after emptying destination.
int ServerOptions_ReadString(char *destination, XmlStruct *document, const char *key, int size);
// The key's text as a boolean; *value 0 when absent or not a boolean. 1 when
// the key was present.
int ServerOptions_GetBool(const char *key, XmlStruct *document, int32_t *value);
