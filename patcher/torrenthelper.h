// The torrent helper: turns one command line and one job settings record into
// a download of the engine (a member of the download manager), settles where its
// files are saved, refuses a second download of the same content, and stops a
// job with the autodelete rules. One job is started at a time: the prompt, the
// message texts, the free-space source and the last error are process-wide.
#pragma once

#include <cstdint>

struct BaseStruct;
struct ManagerMemberStruct;
struct ManagerStruct;

enum {
    TORRENTHELPER_ERROR_INVALIDMETAFILE = 1001,
    TORRENTHELPER_ERROR_ALREADYDOWNLOADING = 1002,
    TORRENTHELPER_ERROR_USERABORT = 1003,
    TORRENTHELPER_ERROR_NOTENOUGHSPACE = 1004,
    TORRENTHELPER_ERROR_FILESEXIST = 1005,
};

enum {
    TORRENTHELPER_TEXT_SIZE = 80,
    TORRENTHELPER_PATH_SIZE = 320,
    TORRENTHELPER_URL_SIZE = 4096,
    TORRENTHELPER_MESSAGE_SIZE = 1024,
};

// Prompt styles (message-box words) and the answers read from them.
enum {
    TORRENTHELPER_STYLE_OVERWRITE = 4404, // yes/no, warning, top-most
    TORRENTHELPER_STYLE_DISKSPACE = 4144, // OK, warning, top-most
    TORRENTHELPER_ANSWER_NO = 7,          // to the overwrite question
};

// Seeding modes of the job's text ("Normal", "Super", "Stealth").
enum {
    TORRENTHELPER_SEED_NORMAL = 0,
    TORRENTHELPER_SEED_SUPER = 1,
    TORRENTHELPER_SEED_STEALTH = 2
};

// The prompt: (owner, text, caption, style, value) -> the answer. owner and
// caption are always null here.
typedef int (*TorrentHelperPrompt)(void *owner, const char *text, const char *caption, int style,
                                   void *value);
// The message texts: copies the text under key into out (size bytes); 0 keeps
// the built-in text.
typedef int (*TorrentHelperMessageFunc)(const char *key, char *out, int size);
// Free bytes for a new file under folder; 0 when it cannot be told.
typedef int (*TorrentHelperFreeSpaceFunc)(const char *folder, int64_t *bytes);

// One job's settings, in the order the helper uses them.
struct TorrentHelperJob {
    int32_t AskForLocation;          // 1: the user picks the place (dialogs)
    int32_t AutodeleteThreshold;     // percent: less complete at stop is erased
    int32_t MaxOpenFiles;            // Storage_SetMaxOpenFiles
    int32_t AutodeleteWhenEmpty;     // 1: no piece held at stop is erased
    int32_t DeleteMetafileOnSuccess; // 1: the metafile file goes at a complete stop
    int32_t CopyTempFile;            // 1: a metafile in the Internet cache is copied beside
    uint8_t BindAddress[4];          // Manager_SetBindAddress
    int32_t ListenPort;              // Manager_SetListenPort
    int32_t PeerLogging;
    int32_t HaveSuppression;
    int32_t HaveQueueSize;
    int32_t ChokeHandoff;
    int32_t PureSource;
    int32_t KeepAliveInterval; // seconds
    int32_t IPListMaxAttempts;
    int32_t IPListRetryInterval; // seconds
    int32_t ConnectInterval;     // seconds
    int32_t ConnectTimeout;      // seconds
    int32_t PieceOrder;          // Base_SetChunkSelection
    int32_t RateSplit;
    int32_t PeerParameter;
    char SeedingMode[TORRENTHELPER_TEXT_SIZE]; // "Normal", "Super", "Stealth"
    int32_t UsePartialExtension;               // 1: partial files carry PartialExtension
    char PartialExtension[TORRENTHELPER_TEXT_SIZE];
    int32_t TrackerMaxFailures;
    int32_t TrackerRetryInterval; // seconds
    int32_t MaxPeers;
    int32_t UploadLimit;   // KB/s, 0 none
    int32_t DownloadLimit; // KB/s, 0 none
    char OutputPath[TORRENTHELPER_PATH_SIZE];
    int32_t SliceSizeExponent;   // slice size 2^this bytes
    int32_t AddContentFolder;    // 1: several files go into a folder named after the content
    int32_t CreateMissingFolder; // 1: a missing save folder is made (and removed if unused)
    int32_t DHTOn;               // DHT_SetActive of the manager's node at every job start
    TorrentHelperPrompt Prompt;  // copied from the helper's prompt at job start
    void *PromptValue;
};

// Zeroes the job and sets the defaults (ask 1, 10 open files, copy temp file 1,
// 0.0.0.0:6881, have suppression 1 with 16 queued, pure source 1, keep-alive 120
// s, one IP list attempt 120 s apart, connects every 2 s with 15 s time-out,
// order 2, rate split 1, peer parameter 30, "Normal", ".partial" on, 3 tracker
// failures 30 s apart, 50 peers, no limits, the desktop folder, slices of 2^14,
// content folder 1, create folder 1, DHT 0). Returns 1.
int TorrentHelperJob_SetDefaults(TorrentHelperJob *job);

// What the command line asked for.
struct TorrentHelperCommand {
    int SourceType; // 0 none, 1 metafile file, 3 metafile URL, 5 plain download URL
    char Source[TORRENTHELPER_URL_SIZE];
    char FileName[TORRENTHELPER_PATH_SIZE]; // "/Filename"
    char Path[TORRENTHELPER_PATH_SIZE];     // "/Path"
    char Agent[TORRENTHELPER_TEXT_SIZE];    // "/TorrentAgent"
    int NoStrict;                           // "/NoStrictEnforcement"
    int Options;                            // options read
};

// Reads the options of the command line (argument 0 is skipped; names after
// '/' ignoring case) into command and applies those that set the download's
// objects (base null: none, as for a check of the line alone). An argument
// that cannot be read logs "Couldn't get field (%d)" and ends the parsing.
// Returns 1 when the whole line was read; 0 when the parsing ended early.
int TorrentHelper_ParseCommandLine(const char *commandLine, ManagerStruct *manager,
                                   BaseStruct *base, TorrentHelperCommand *command);

// Starts a job: a new member of the manager set up from the job and the command
// line, its content loaded and its save place settled. 1 and *member (a
// reference the caller releases through TorrentHelper_StopJob); 0 with the last
// error set (1001 bad metafile, 1002 already downloading, 1003 cancelled, also
// for a choice left without room) and nothing left behind.
int TorrentHelper_StartJob(const char *commandLine, ManagerStruct *manager, TorrentHelperJob *job,
                           ManagerMemberStruct **member);
// Stops a job: deactivates the download, applies the autodelete rules (below
// the threshold or empty: the content's own files are erased; complete: the
// metafile file when the job says so), closes and releases the member and
// clears *member. Accepts a null *member. Returns 1.
int TorrentHelper_StopJob(TorrentHelperJob *job, ManagerStruct *manager,
                          ManagerMemberStruct **member);

// The default prompt answers 0 with value 0. Returns 1.
int TorrentHelper_ResetPrompt(void);
int TorrentHelper_SetPrompt(TorrentHelperPrompt prompt, void *value);
// null: built-in texts. Returns 1.
int TorrentHelper_SetMessageCallback(TorrentHelperMessageFunc callback);
// The text under key ("MessageOverwrite", "MessageDiskSpace") into out
// (TORRENTHELPER_MESSAGE_SIZE), from the callback or builtIn. Returns 1.
int TorrentHelper_GetMessage(const char *builtIn, char *out, const char *key);
// null: statvfs of the folder (f_bavail x f_frsize). Returns 1.
int TorrentHelper_SetFreeSpaceFunction(TorrentHelperFreeSpaceFunc function);
int TorrentHelper_GetError(void);
// The name of the code (TORRENTHELPER_ERROR_...) into text (320); another code
// leaves text unchanged and gives 0.
int TorrentHelper_GetErrorName(int code, char *text);
