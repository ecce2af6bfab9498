// The torrent helper: one command line and one job record become a member of the
// download manager with its content loaded and its save place settled; a stop
// applies the autodelete rules. The prompt, message texts, free-space source
// and last error are process-wide, as one job is started at a time.
#include "patcher/torrenthelper.h"

#include "core/alert.h"
#include "core/bitfield.h"
#include "core/file.h"
#include "core/mutex.h"
#include "core/oshelper.h"
#include "core/zyl.h"
#include "engine/base.h"
#include "engine/content.h"
#include "engine/dht.h"
#include "engine/filelist.h"
#include "engine/iplist.h"
#include "engine/kickstart.h"
#include "engine/manager.h"
#include "engine/metafile.h"
#include "engine/storage.h"
#include "engine/swarm.h"
#include "engine/tracker.h"
#include "engine/webbase.h"
#include "patcher/deletehelper.h"
#include "patcher/pathsafety.h"

#include <atomic>
#include <cstring>
#include <sys/statvfs.h>

enum {
    kPathSize = TORRENTHELPER_PATH_SIZE,
    kUrlSize = TORRENTHELPER_URL_SIZE,
    kMessageSize = TORRENTHELPER_MESSAGE_SIZE,
    kErrorNameSize = 320,
};

static const char kOverwriteText[] = "You are about to overwrite files\nthat do not appear to be "
                                     "the\nsame file you are downloading.\n\nAre you sure?";
static const char kDiskSpaceText[] = "The selected drive does not have enough free space.";
static const char kSameNameText[] = "Another download already saves files of this name\n"
                                    "in the selected folder.";

static int TorrentHelper_InternalDefaultPrompt(void *, const char *, const char *, int, void *) {
    return 0;
}

static TorrentHelperPrompt g_prompt = TorrentHelper_InternalDefaultPrompt;
static void *g_promptValue = nullptr;
static TorrentHelperMessageFunc g_message = nullptr;
static TorrentHelperFreeSpaceFunc g_freeSpace = nullptr;
static std::atomic<int> g_error{0};

// ---------------------------------------------------------------------------
// Process-wide settings
// ---------------------------------------------------------------------------

int TorrentHelper_ResetPrompt(void) {
    g_prompt = TorrentHelper_InternalDefaultPrompt;
    g_promptValue = nullptr;
    return 1;
}

int TorrentHelper_SetPrompt(TorrentHelperPrompt prompt, void *value) {
    g_prompt = prompt != nullptr ? prompt : TorrentHelper_InternalDefaultPrompt;
    g_promptValue = value;
    return 1;
}

int TorrentHelper_SetMessageCallback(TorrentHelperMessageFunc callback) {
    g_message = callback;
    return 1;
}

int TorrentHelper_GetMessage(const char *builtIn, char *out, const char *key) {
    ZYL_CHECK_PTR(builtIn);
    ZYL_CHECK_PTR(out);
    ZYL_CHECK_PTR(key);
    if (g_message == nullptr || !g_message(key, out, kMessageSize))
        Zyl_StrCopy(out, builtIn, kMessageSize);
    return 1;
}

int TorrentHelper_SetFreeSpaceFunction(TorrentHelperFreeSpaceFunc function) {
    g_freeSpace = function;
    return 1;
}

int TorrentHelper_GetError(void) {
    return g_error.load();
}

int TorrentHelper_GetErrorName(int code, char *text) {
    ZYL_CHECK_PTR(text);
    static const struct {
        int Code;
        const char *Name;
    } kNames[] = {
        {TORRENTHELPER_ERROR_INVALIDMETAFILE, "TORRENTHELPER_ERROR_INVALIDMETAFILE"},
        {TORRENTHELPER_ERROR_ALREADYDOWNLOADING, "TORRENTHELPER_ERROR_ALREADYDOWNLOADING"},
        {TORRENTHELPER_ERROR_USERABORT, "TORRENTHELPER_ERROR_USERABORT"},
        {TORRENTHELPER_ERROR_NOTENOUGHSPACE, "TORRENTHELPER_ERROR_NOTENOUGHSPACE"},
        {TORRENTHELPER_ERROR_FILESEXIST, "TORRENTHELPER_ERROR_FILESEXIST"},
    };
    for (const auto &entry : kNames) {
        if (entry.Code == code) {
            Zyl_StrCopy(text, entry.Name, kErrorNameSize);
            return 1;
        }
    }
    return 0;
}

int TorrentHelperJob_SetDefaults(TorrentHelperJob *job) {
    ZYL_CHECK_PTR(job);
    memset(job, 0, sizeof *job);
    job->AskForLocation = 1;
    job->MaxOpenFiles = 10;
    job->CopyTempFile = 1;
    job->ListenPort = 6881;
    job->HaveSuppression = 1;
    job->HaveQueueSize = 16;
    job->PureSource = 1;
    job->KeepAliveInterval = 120;
    job->IPListMaxAttempts = 1;
    job->IPListRetryInterval = 120;
    job->ConnectInterval = 2;
    job->ConnectTimeout = 15;
    job->PieceOrder = 2;
    job->RateSplit = 1;
    job->PeerParameter = 30;
    Zyl_StrCopy(job->SeedingMode, "Normal", TORRENTHELPER_TEXT_SIZE);
    job->UsePartialExtension = 1;
    Zyl_StrCopy(job->PartialExtension, ".partial", TORRENTHELPER_TEXT_SIZE);
    job->TrackerMaxFailures = 3;
    job->TrackerRetryInterval = 30;
    job->MaxPeers = 50;
    Zyl_GetSpecialFolder(ZYL_FOLDER_DESKTOPDIRECTORY, job->OutputPath, kPathSize);
    job->SliceSizeExponent = 14;
    job->AddContentFolder = 1;
    job->CreateMissingFolder = 1;
    job->Prompt = TorrentHelper_InternalDefaultPrompt;
    return 1;
}

// ---------------------------------------------------------------------------
// Command line
// ---------------------------------------------------------------------------

// Reads argument index into buffer; logs the refusal that ends the parsing.
static int TorrentHelper_InternalField(const char *line, int index, int count, char *buffer,
                                       int size) {
    if (index >= count || !Zyl_ArgGet(line, index, buffer, size)) {
        Alert_Log(ALERT_KIND_ERROR, ALERT_LEVEL_NORMAL, "Couldn't get field (%d)", index);
        return 0;
    }
    return 1;
}

int TorrentHelper_ParseCommandLine(const char *line, ManagerStruct *manager, BaseStruct *base,
                                   TorrentHelperCommand *command) {
    ZYL_CHECK_PTR(line);
    ZYL_CHECK_PTR(command);
    memset(command, 0, sizeof *command);
    BitBaseStruct *swarm = nullptr;
    ContentStruct *content = nullptr;
    TrackerStruct *tracker = nullptr;
    if (base != nullptr) {
        Base_GetBitBase(base, &swarm);
        Base_GetContent(base, &content);
        Base_GetTracker(base, &tracker);
    }
    int running = 0;
    if (manager != nullptr)
        Manager_GetActive(manager, &running);
    int count = 0;
    Zyl_ArgCount(line, &count);
    char arg[kUrlSize], value[kUrlSize], second[kUrlSize];
    for (int i = 1; i < count; i++) {
        if (!TorrentHelper_InternalField(line, i, count, arg, kUrlSize))
            return 0;
        if (arg[0] != '/')
            continue; // a value of an option this helper does not read
        const char *name = arg + 1;
        if (Zyl_StrEqualNoCase(name, "NotPureSource")) {
            if (swarm != nullptr)
                BitBase_SetPureSource(swarm, 0);
        } else if (Zyl_StrEqualNoCase(name, "HaveSuppression")) {
            if (swarm != nullptr)
                BitBase_SetHaveSuppression(swarm, 1);
        } else if (Zyl_StrEqualNoCase(name, "NoStrictEnforcement")) {
            command->NoStrict = 1;
            MetaFileStruct *doc = nullptr;
            if (content != nullptr && Content_GetMetaFile(content, &doc) && doc != nullptr)
                MetaFile_DisableStrict(doc);
        } else if (Zyl_StrEqualNoCase(name, "NoReliable")) {
            if (base != nullptr)
                Base_SetWebEnabled(base, 0);
        } else if (Zyl_StrEqualNoCase(name, "NoPeer")) {
            if (base != nullptr)
                Base_SetPeerEnabled(base, 0);
        } else if (Zyl_StrEqualNoCase(name, "Filename") || Zyl_StrEqualNoCase(name, "Path") ||
                   Zyl_StrEqualNoCase(name, "TorrentAgent") ||
                   Zyl_StrEqualNoCase(name, "MetaFile") || Zyl_StrEqualNoCase(name, "MetaURL") ||
                   Zyl_StrEqualNoCase(name, "DownloadURL") || Zyl_StrEqualNoCase(name, "Port") ||
                   Zyl_StrEqualNoCase(name, "IP") || Zyl_StrEqualNoCase(name, "Order") ||
                   Zyl_StrEqualNoCase(name, "MaxPeers")) {
            if (!TorrentHelper_InternalField(line, ++i, count, value, kUrlSize))
                return 0;
            if (Zyl_StrEqualNoCase(name, "Filename")) {
                Zyl_StrCopy(command->FileName, value, kPathSize);
            } else if (Zyl_StrEqualNoCase(name, "Path")) {
                Zyl_StrCopy(command->Path, value, kPathSize);
            } else if (Zyl_StrEqualNoCase(name, "TorrentAgent")) {
                Zyl_StrCopy(command->Agent, value, TORRENTHELPER_TEXT_SIZE);
                if (tracker != nullptr)
                    Zyl_StrCopy(tracker->UserAgent, value, TRACKER_AGENT_SIZE);
            } else if (Zyl_StrEqualNoCase(name, "MetaFile")) {
                command->SourceType = CONTENT_SOURCE_METAFILE;
                Zyl_StrCopy(command->Source, value, kUrlSize);
            } else if (Zyl_StrEqualNoCase(name, "MetaURL")) {
                command->SourceType = CONTENT_SOURCE_URL;
                Zyl_StrCopy(command->Source, value, kUrlSize);
            } else if (Zyl_StrEqualNoCase(name, "DownloadURL")) {
                command->SourceType = CONTENT_SOURCE_DOWNLOAD_URL;
                Zyl_StrCopy(command->Source, value, kUrlSize);
            } else if (Zyl_StrEqualNoCase(name, "Port")) {
                if (manager != nullptr && !running)
                    Manager_SetListenPort(manager, Zyl_AtoI(value));
            } else if (Zyl_StrEqualNoCase(name, "IP")) {
                uint8_t address[4];
                if (manager != nullptr && !running && Zyl_ParseIPv4(value, address))
                    Manager_SetBindAddress(manager, address);
            } else if (Zyl_StrEqualNoCase(name, "Order")) {
                if (base != nullptr)
                    Base_SetChunkSelection(base, Zyl_AtoI(value));
            } else if (swarm != nullptr) { // MaxPeers
                BitBase_SetMaxPeers(swarm, Zyl_AtoI(value));
            }
        } else if (Zyl_StrEqualNoCase(name, "RateLimit")) {
            if (!TorrentHelper_InternalField(line, ++i, count, value, kUrlSize) ||
                !TorrentHelper_InternalField(line, ++i, count, second, kUrlSize))
                return 0;
            if (base != nullptr)
                Base_SetRateLimit(base, Zyl_AtoF(value), Zyl_AtoF(second));
        } else {
            continue; // an option of another reader
        }
        command->Options++;
    }
    return 1;
}

// ---------------------------------------------------------------------------
// Job start
// ---------------------------------------------------------------------------

static int TorrentHelper_InternalSeedingMode(const char *text) {
    if (Zyl_StrEqualNoCase(text, "Super"))
        return TORRENTHELPER_SEED_SUPER;
    if (Zyl_StrEqualNoCase(text, "Stealth"))
        return TORRENTHELPER_SEED_STEALTH;
    return TORRENTHELPER_SEED_NORMAL;
}

static void TorrentHelper_InternalApplyJob(const TorrentHelperJob *job, ManagerStruct *manager,
                                           BaseStruct *base) {
    StorageStruct *storage = nullptr;
    Manager_GetStorage(manager, &storage);
    Storage_SetMaxOpenFiles(storage, job->MaxOpenFiles);
    Storage_SetPartialExtension(storage, job->UsePartialExtension ? job->PartialExtension : "");
    Manager_SetBindAddress(manager, job->BindAddress);
    Manager_SetListenPort(manager, job->ListenPort);
    BitBaseStruct *swarm = nullptr;
    IPListStruct *list = nullptr;
    TrackerStruct *tracker = nullptr;
    Base_GetBitBase(base, &swarm);
    Base_GetIPList(base, &list);
    Base_GetTracker(base, &tracker);
    BitBase_SetPeerLogging(swarm, job->PeerLogging);
    WebBaseStruct *web = nullptr;
    Base_GetWebBase(base, &web);
    if (web != nullptr)
        WebBase_SetPeerLogging(web, job->PeerLogging);
    BitBase_SetHaveSuppression(swarm, job->HaveSuppression);
    BitBase_SetHaveQueueSize(job->HaveQueueSize, swarm);
    BitBase_SetChokeHandoff(swarm, job->ChokeHandoff);
    BitBase_SetPureSource(swarm, job->PureSource);
    BitBase_SetKeepAliveInterval(swarm, job->KeepAliveInterval);
    IPList_SetMaxAttempts(list, job->IPListMaxAttempts);
    IPList_SetRetryInterval(list, job->IPListRetryInterval);
    BitBase_SetConnectInterval(swarm, job->ConnectInterval);
    BitBase_SetConnectTimeout(swarm, job->ConnectTimeout);
    Base_SetChunkSelection(base, job->PieceOrder);
    BitBase_SetRateSplit(swarm, job->RateSplit);
    BitBase_SetPeerParameter(swarm, job->PeerParameter);
    BitBase_SetSeedingMode(swarm, TorrentHelper_InternalSeedingMode(job->SeedingMode));
    Tracker_SetMaxFailures(tracker, job->TrackerMaxFailures);
    Tracker_SetRetryInterval(tracker, job->TrackerRetryInterval);
    BitBase_SetMaxPeers(swarm, job->MaxPeers);
    BitBase_SetRateLimits(swarm, (double)job->DownloadLimit * 1024.0,
                          (double)job->UploadLimit * 1024.0);
}

// Free bytes for files under path: the nearest folder of it that exists.
static int64_t TorrentHelper_InternalFreeSpace(const char *path) {
    char folder[kPathSize];
    Zyl_StrCopy(folder, path, kPathSize);
    for (;;) {
        if (PathSafety_Exists(folder))
            break;
        int slash = 0;
        int length = Zyl_StrLen(folder);
        if (length > 0 && folder[length - 1] == '/')
            folder[--length] = 0;
        if (!Zyl_StrFindLastChar(folder, '/', &slash)) {
            Zyl_StrCopy(folder, ".", kPathSize);
            break;
        }
        folder[slash + 1] = 0;
        if (slash == 0)
            break;
    }
    int64_t bytes = 0;
    if (g_freeSpace != nullptr) {
        if (!g_freeSpace(folder, &bytes))
            return 0;
        return bytes;
    }
    struct statvfs info;
    if (statvfs(folder, &info) != 0)
        return 0;
    return (int64_t)info.f_bavail * (int64_t)info.f_frsize;
}

static int64_t TorrentHelper_InternalFileSize(const char *path) {
    FileStruct *file = nullptr;
    File_New(&file);
    int64_t size = -1;
    if (File_Stat(file, path) && !File_IsDirectory(file))
        File_GetSize(file, &size);
    File_Delete(&file);
    return size;
}

// The state of the save-place choice.
struct TorrentHelperPlace {
    int Single;                    // one file: a save-file dialog; else a folder dialog
    char Folder[kPathSize];        // F, with a trailing '/'
    char Name[kPathSize];          // N (one file)
    char Default[kPathSize];       // the default folder (several files)
    char ContentFolder[kPathSize]; // the content's own folder name (several files)
    char Created[kPathSize];       // a folder made for the choice ("" none)
    int Saved;                     // 1: the output path came from the resume files
    int64_t Total;                 // the content's bytes
};

static void TorrentHelper_InternalMakeFolder(const TorrentHelperJob *job, TorrentHelperPlace *place,
                                             const char *folder) {
    if (!job->CreateMissingFolder || folder[0] == 0 || PathSafety_Exists(folder))
        return;
    if (Zyl_CreateDirectory(folder, 0, 0) && place->Created[0] == 0)
        Zyl_StrCopy(place->Created, folder, kPathSize);
}

static int TorrentHelper_InternalPrompt(const TorrentHelperJob *job, const char *key,
                                        const char *builtIn, int style) {
    char text[kMessageSize];
    TorrentHelper_GetMessage(builtIn, text, key);
    TorrentHelperPrompt prompt =
        job->Prompt != nullptr ? job->Prompt : TorrentHelper_InternalDefaultPrompt;
    return prompt(nullptr, text, nullptr, style, job->PromptValue);
}

// Asks the user for a new place. 1 when one was picked.
static int TorrentHelper_InternalChooseAgain(TorrentHelperPlace *place) {
    if (place->Single) {
        char folder[kPathSize], name[kPathSize];
        Zyl_StrCopy(folder, place->Folder, kPathSize);
        Zyl_StrCopy(name, place->Name, kPathSize);
        if (!Zyl_SaveFileDialog(nullptr, "Save As", folder, name, ZYL_SAVE_ALL_FILES, 0))
            return 0;
        char cut[kPathSize];
        Zyl_GetFileName(name, cut, kPathSize, 0);
        if (cut[0] == 0)
            return 0;
        Zyl_StrCopy(place->Folder, folder, kPathSize);
        Zyl_NormalizePath(place->Folder, 1, kPathSize);
        Zyl_StrCopy(place->Name, cut, kPathSize);
        return 1;
    }
    char chosen[kPathSize] = "";
    if (!Zyl_BrowseForFolder(nullptr, "Choose a folder", chosen, place->Default))
        return 0;
    Zyl_NormalizePath(chosen, 1, kPathSize);
    if (!Zyl_StrEqual(chosen, place->Default) && place->ContentFolder[0] != 0) {
        Zyl_StrAppend(chosen, place->ContentFolder, kPathSize);
        Zyl_NormalizePath(chosen, 1, kPathSize);
    }
    Zyl_StrCopy(place->Folder, chosen, kPathSize);
    return 1;
}

// Bytes of the content's files already under folder (also with the partial
// extension).
static int64_t TorrentHelper_InternalCheckExistingFiles(ContentStruct *content, const char *folder,
                                                        const char *extension) {
    FileListStruct *list = nullptr;
    Content_GetFileList(content, &list);
    int64_t sum = 0;
    FileListMemberStruct *member = nullptr;
    for (int ok = FileList_FirstMember(list, &member); ok && member != nullptr;
         ok = FileList_NextMember(member, &member)) {
        char path[kPathSize];
        if (member->Path == nullptr || !PathSafety_IsSafeRelativePath(member->Path) ||
            !PathSafety_Join(path, folder, member->Path))
            continue;
        int64_t size = TorrentHelper_InternalFileSize(path);
        if (size < 0 && extension[0] != 0 && Zyl_StrAppend(path, extension, kPathSize))
            size = TorrentHelper_InternalFileSize(path);
        if (size > 0)
            sum += size;
    }
    return sum;
}

// Bytes already present at the place (one file: F+N, else F+N+extension).
static int64_t TorrentHelper_InternalExisting(ContentStruct *content, TorrentHelperPlace *place,
                                              const char *extension) {
    if (!place->Single)
        return TorrentHelper_InternalCheckExistingFiles(content, place->Folder, extension);
    char path[kPathSize];
    if (!PathSafety_Join(path, place->Folder, place->Name))
        return 0;
    int64_t size = TorrentHelper_InternalFileSize(path);
    if (size >= 0) {
        Alert_Log(ALERT_KIND_MESSAGE, ALERT_LEVEL_DETAIL, "Existing file [%s] [%I64d]", path, size);
        return size;
    }
    if (extension[0] != 0 && Zyl_StrAppend(path, extension, kPathSize)) {
        size = TorrentHelper_InternalFileSize(path);
        if (size >= 0) {
            Alert_Log(ALERT_KIND_MESSAGE, ALERT_LEVEL_DETAIL, "Existing file [%s] [%I64d]", path,
                      size);
            return size;
        }
    }
    Alert_Log(ALERT_KIND_MESSAGE, ALERT_LEVEL_DETAIL, "File doesn't exist [%s][%I64d]", path,
              (int64_t)0);
    return 0;
}

// Settles F (and N for one file). 1 when settled; 0 when the user cancelled.
static int TorrentHelper_InternalChoosePlace(const TorrentHelperJob *job, ContentStruct *content,
                                             TorrentHelperPlace *place, int64_t *freeBytes) {
    const char *extension = job->UsePartialExtension ? job->PartialExtension : "";
    if (job->AskForLocation && !place->Saved) {
        if (place->Single) {
            TorrentHelper_InternalMakeFolder(job, place, place->Folder);
            if (!TorrentHelper_InternalChooseAgain(place))
                return 0;
        } else {
            TorrentHelper_InternalMakeFolder(job, place, place->Default);
            if (!TorrentHelper_InternalChooseAgain(place))
                return 0;
        }
    }
    for (;;) {
        int64_t existing = TorrentHelper_InternalExisting(content, place, extension);
        if (existing > 0 && existing != place->Total &&
            TorrentHelper_InternalPrompt(job, "MessageOverwrite", kOverwriteText,
                                         TORRENTHELPER_STYLE_OVERWRITE) ==
                TORRENTHELPER_ANSWER_NO) {
            if (!TorrentHelper_InternalChooseAgain(place))
                return 0;
            continue;
        }
        *freeBytes = TorrentHelper_InternalFreeSpace(place->Folder);
        int64_t needed = place->Total - existing;
        if (needed > 0 && *freeBytes < needed) {
            if (TorrentHelper_InternalPrompt(job, "MessageDiskSpace", kDiskSpaceText,
                                             TORRENTHELPER_STYLE_DISKSPACE) != 0 &&
                TorrentHelper_InternalChooseAgain(place))
                continue;
            return 0;
        }
        return 1;
    }
}

// 1 when another member saves a content of the same name into the same folder.
static int TorrentHelper_InternalSameName(ManagerStruct *manager, ManagerMemberStruct *member,
                                          const char *folder, const char *name) {
    int same = 0;
    ManagerMemberStruct *other = nullptr;
    Manager_GetFirstMember(manager, &other);
    while (other != nullptr && !same) {
        if (other != member) {
            BaseStruct *base = nullptr;
            ContentStruct *content = nullptr;
            ManagerMember_GetBase(other, &base);
            Base_GetContent(base, &content);
            char otherPath[CONTENT_TEXT_SIZE], otherName[CONTENT_TEXT_SIZE];
            Content_GetPath(content, otherPath);
            Content_GetName(content, otherName);
            same = Zyl_StrEqual(otherPath, folder) && Zyl_StrEqual(otherName, name);
        }
        if (same) {
            Manager_ReleaseMember(manager, &other);
            break;
        }
        ManagerMemberStruct *next = nullptr;
        Manager_GetNextMember(manager, other, &next);
        other = next;
    }
    return same;
}

// 1 when another member downloads the content of this info hash.
static int TorrentHelper_InternalDuplicate(ManagerStruct *manager, ManagerMemberStruct *member,
                                           const uint8_t hash[20]) {
    int duplicate = 0;
    ManagerMemberStruct *other = nullptr;
    Manager_GetFirstMember(manager, &other);
    while (other != nullptr) {
        if (other != member) {
            BaseStruct *base = nullptr;
            ContentStruct *content = nullptr;
            ManagerMember_GetBase(other, &base);
            Base_GetContent(base, &content);
            uint8_t otherHash[20];
            Content_GetInfoHash(content, otherHash);
            duplicate = memcmp(otherHash, hash, 20) == 0;
        }
        if (duplicate) {
            Manager_ReleaseMember(manager, &other);
            break;
        }
        ManagerMemberStruct *next = nullptr;
        Manager_GetNextMember(manager, other, &next);
        other = next;
    }
    return duplicate;
}

// Loads the content from the command's source. 1 on success.
static int TorrentHelper_InternalLoad(const char *line, const TorrentHelperCommand *command,
                                      ContentStruct *content) {
    if (command->SourceType == CONTENT_SOURCE_DOWNLOAD_URL) {
        char url[kUrlSize], id[kUrlSize];
        Zyl_ArgGetOption(line, "DownloadURL", url, kUrlSize);
        if (!Zyl_ArgGetOption(line, "URLUniqueID", id, kUrlSize) || id[0] == 0)
            Zyl_StrCopy(id, url, kUrlSize);
        return url[0] != 0 && Content_SetupFromURL(url, id, content);
    }
    Content_SetSource(content, command->Source, command->SourceType);
    return Content_Open(content);
}

// Removes a folder made for the choice with what is in it.
static void TorrentHelper_InternalRemoveCreated(const char *created) {
    if (created[0] == 0)
        return;
    char parent[kPathSize];
    Zyl_StrCopy(parent, created, kPathSize);
    Zyl_NormalizePath(parent, 0, kPathSize);
    int slash = 0;
    if (!Zyl_StrFindLastChar(parent, '/', &slash) || slash == 0)
        return;
    parent[slash + 1] = 0;
    Alert_Log(ALERT_KIND_MESSAGE, ALERT_LEVEL_NORMAL, "Removing temp [%s]", created);
    DeleteHelper_DeleteDirectory(parent, created);
}

// The save place of the loaded content: the files' folder into place->Folder.
// 1 when settled; 0 with the last error set.
static int TorrentHelper_InternalSettlePlace(const TorrentHelperCommand *command,
                                             TorrentHelperJob *job, ManagerStruct *manager,
                                             ManagerMemberStruct *member, ContentStruct *content,
                                             TorrentHelperPlace *place) {
    int files = 0;
    Content_GetFileCount(content, &files);
    Content_GetFileListSize(content, &place->Total);
    place->Single = files <= 1;
    char output[kPathSize];
    Zyl_StrCopy(output, command->Path[0] != 0 ? command->Path : job->OutputPath, kPathSize);
    Zyl_NormalizePath(output, 1, kPathSize);
    if (place->Single) {
        char name[kPathSize];
        if (command->FileName[0] != 0)
            Zyl_StrCopy(name, command->FileName, kPathSize);
        else
            Content_GetName(content, name);
        // A save name is one name, never a path.
        Zyl_GetFileName(name, place->Name, kPathSize, 0);
        Zyl_StrCopy(place->Folder, output, kPathSize);
    } else {
        char own[CONTENT_TEXT_SIZE];
        Content_GetPath(content, own);
        Zyl_NormalizePath(own, 0, CONTENT_TEXT_SIZE);
        Zyl_GetFileName(own, place->ContentFolder, kPathSize, 0);
        if (!job->AddContentFolder || place->Saved)
            place->ContentFolder[0] = 0;
        Zyl_FormatString(place->Default, kPathSize, "%s%s", output, place->ContentFolder);
        Zyl_NormalizePath(place->Default, 1, kPathSize);
        Zyl_StrCopy(place->Folder, place->Default, kPathSize);
        if (!job->AskForLocation || place->Saved)
            TorrentHelper_InternalMakeFolder(job, place, place->Default);
    }
    for (;;) {
        int64_t freeBytes = 0;
        if (!TorrentHelper_InternalChoosePlace(job, content, place, &freeBytes)) {
            g_error = TORRENTHELPER_ERROR_USERABORT;
            return 0;
        }
        if (place->Single) {
            char path[kPathSize];
            PathSafety_Join(path, place->Folder, place->Name);
            Alert_Log(ALERT_KIND_MESSAGE, ALERT_LEVEL_NORMAL, "Save file [%s]", path);
            int extension = Zyl_StrLen(job->PartialExtension);
            int length = Zyl_StrLen(place->Name);
            if (job->UsePartialExtension && extension > 0 && length > extension &&
                Zyl_StrEqualNoCase(place->Name + length - extension, job->PartialExtension)) {
                place->Name[length - extension] = 0;
                Alert_Log(ALERT_KIND_MESSAGE, ALERT_LEVEL_NORMAL,
                          "Partial extension removed from save file [%s] [%s]", place->Name,
                          job->PartialExtension);
            }
        }
        if (place->Created[0] != 0 && !PathSafety_IsWithin(place->Folder, place->Created)) {
            TorrentHelper_InternalRemoveCreated(place->Created);
            place->Created[0] = 0;
        }
        // The content's own folder is made when the download writes its files.
        Alert_Log(ALERT_KIND_MESSAGE, ALERT_LEVEL_NORMAL, "Save path [%s]", place->Folder);
        Alert_Log(ALERT_KIND_MESSAGE, ALERT_LEVEL_NORMAL, "Save space [%I64dk] [%I64dk]",
                  place->Total / 1024, freeBytes / 1024);
        if (!TorrentHelper_InternalSameName(manager, member, place->Folder,
                                            place->Single ? place->Name : "")) {
            Content_SetPath(content, place->Folder);
            Content_SetName(content, place->Single ? place->Name : "");
            return 1;
        }
        if (TorrentHelper_InternalPrompt(job, "MessageSameName", kSameNameText,
                                         TORRENTHELPER_STYLE_DISKSPACE) == 0 ||
            !TorrentHelper_InternalChooseAgain(place)) {
            g_error = TORRENTHELPER_ERROR_USERABORT;
            return 0;
        }
    }
}

int TorrentHelper_StartJob(const char *line, ManagerStruct *manager, TorrentHelperJob *job,
                           ManagerMemberStruct **out) {
    ZYL_CHECK_PTR(line);
    ZYL_CHECK_PTR(manager);
    ZYL_CHECK_PTR(job);
    ZYL_CHECK_PTR(out);
    *out = nullptr;
    g_error = 0;
    job->Prompt = g_prompt;
    job->PromptValue = g_promptValue;
    ManagerMemberStruct *member = nullptr;
    if (!Manager_AddMember(manager, &member))
        return 0;
    BaseStruct *base = nullptr;
    ContentStruct *content = nullptr;
    ManagerMember_GetBase(member, &base);
    Base_GetContent(base, &content);
    TorrentHelper_InternalApplyJob(job, manager, base);
    TorrentHelperCommand command;
    TorrentHelper_ParseCommandLine(line, manager, base, &command);
    EventStruct *event = nullptr;
    TorrentHelperPlace place;
    memset(&place, 0, sizeof place);
    int ok = 0;
    if (command.SourceType == 0) {
        Alert_Log(ALERT_KIND_ERROR, ALERT_LEVEL_NORMAL, "No source specified");
    } else {
        DHTStruct *dht = nullptr;
        if (Manager_GetDHT(manager, &dht) && dht != nullptr)
            DHT_SetActive(dht, job->DHTOn);
        Event_Create(&event);
        Event_Set(event, 1);
        ManagerMember_SetEvent(member, event);
        int exponent = job->SliceSizeExponent;
        if (exponent >= 0 && exponent < 31)
            Content_SetSliceSize(content, 1 << exponent);
        uint8_t hash[20];
        if (!TorrentHelper_InternalLoad(line, &command, content)) {
            g_error = TORRENTHELPER_ERROR_INVALIDMETAFILE;
        } else if (Content_GetInfoHash(content, hash),
                   TorrentHelper_InternalDuplicate(manager, member, hash)) {
            g_error = TORRENTHELPER_ERROR_ALREADYDOWNLOADING;
        } else {
            // A download resumed with the user's earlier choice keeps it.
            KickStartStruct *kick = nullptr;
            char saved[TORRENTHELPER_PATH_SIZE];
            if (job->AskForLocation == 1 && Manager_GetKickStart(manager, &kick) &&
                kick != nullptr && KickStart_LoadOutputPath(saved, kick, base) && saved[0] != 0) {
                Zyl_StrCopy(job->OutputPath, saved, kPathSize);
                place.Saved = 1;
            }
            ok = TorrentHelper_InternalSettlePlace(&command, job, manager, member, content, &place);
        }
    }
    if (ok) {
        *out = member;
        return 1;
    }
    TorrentHelper_InternalRemoveCreated(place.Created);
    ManagerMember_SetEvent(member, nullptr);
    Manager_CloseMember(manager, member);
    Manager_ReleaseMember(manager, &member);
    Event_Close(&event);
    return 0;
}

// ---------------------------------------------------------------------------
// Job stop
// ---------------------------------------------------------------------------

// Deletes the metafile file the content was loaded from: the source path of a
// metafile file, or the reply's file name (one name) in the save folder.
static void TorrentHelper_InternalDeleteMetafile(ContentStruct *content) {
    int type = 0;
    char source[CONTENT_SOURCE_SIZE];
    if (!Content_GetSource(content, &type, source))
        return;
    char path[kPathSize] = "";
    if (type == CONTENT_SOURCE_METAFILE) {
        Zyl_StrCopy(path, source, kPathSize);
    } else if (type == CONTENT_SOURCE_URL) {
        char name[kPathSize], cut[kPathSize], folder[CONTENT_TEXT_SIZE];
        Content_GetSourceFileName(content, name, kPathSize);
        Zyl_GetFileName(name, cut, kPathSize, 0);
        Content_GetPath(content, folder);
        if (cut[0] == 0 || !PathSafety_IsSafeRelativePath(cut) ||
            !PathSafety_Join(path, folder, cut))
            return;
    }
    if (path[0] == 0 || TorrentHelper_InternalFileSize(path) < 0)
        return;
    FileStruct *file = nullptr;
    File_New(&file);
    File_Erase(file, path);
    File_Delete(&file);
}

int TorrentHelper_StopJob(TorrentHelperJob *job, ManagerStruct *manager,
                          ManagerMemberStruct **member) {
    ZYL_CHECK_PTR(job);
    ZYL_CHECK_PTR(manager);
    ZYL_CHECK_PTR(member);
    if (*member == nullptr)
        return 1;
    Alert_Log(ALERT_KIND_MESSAGE, ALERT_LEVEL_NORMAL, "Transfer stop");
    BaseStruct *base = nullptr;
    ContentStruct *content = nullptr;
    ManagerMember_GetBase(*member, &base);
    Base_GetContent(base, &content);
    Base_SetActive(base, 0);
    void *event = nullptr;
    ManagerMember_GetEvent(*member, &event);
    ManagerMember_SetEvent(*member, nullptr);
    EventStruct *owned = static_cast<EventStruct *>(event);
    Event_Close(&owned);
    BitfieldStruct *heldField = nullptr;
    int held = 0, total = 0;
    Content_GetBitfield(content, &heldField);
    if (heldField != nullptr)
        Bitfield_GetSetCount(heldField, &held);
    Content_GetPieceCount(content, &total);
    int percent = total > 0 ? (int)((int64_t)held * 100 / total) : 0;
    Alert_Log(ALERT_KIND_MESSAGE, ALERT_LEVEL_NORMAL, "Autodelete test (%d/%d:%d)[%d < %d]", held,
              total, job->AutodeleteWhenEmpty, percent, job->AutodeleteThreshold);
    if (percent < job->AutodeleteThreshold || (held == 0 && job->AutodeleteWhenEmpty == 1)) {
        Alert_Log(ALERT_KIND_MESSAGE, ALERT_LEVEL_NORMAL, "Autodelete activated");
        Content_Erase(content);
    }
    if (total > 0 && held == total && job->DeleteMetafileOnSuccess == 1) {
        Alert_Log(ALERT_KIND_MESSAGE, ALERT_LEVEL_NORMAL, "Autodelete torrect on success");
        TorrentHelper_InternalDeleteMetafile(content);
    }
    Manager_CloseMember(manager, *member);
    Manager_ReleaseMember(manager, member);
    return 1;
}
