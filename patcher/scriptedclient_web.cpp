// The scripted client's HTTP worker: reads the server options from the
// SkinSource container, the metafile from TorrentBase, checks what already lies
// in the output path piece by piece and fetches the missing byte ranges of each
// file from the metafile's first reliable address. Tuned for small packages on
// a near server: one connection, one range request per run of missing pieces.
#include "core/oshelper.h"
#include "core/sha1.h"
#include "core/xml.h"
#include "core/xmlhelper.h"
#include "core/zyl.h"
#include "net/webget.h"
#include "patcher/delta/ffscontainer.h"
#include "patcher/documentfetch.h"
#include "patcher/patcher_types.h"
#include "patcher/patcherlog.h"
#include "patcher/pathsafety.h"
#include "patcher/scriptedclient_private.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

enum {
    SCRIPTEDWEB_TEXT_SIZE = PATCHER_CLIENT_TEXT_SIZE,
    SCRIPTEDWEB_MAX_DEPTH = 32,      // nesting of bencoded lists and dictionaries
    SCRIPTEDWEB_MAX_FILES = 65536,   // files of one metafile
    SCRIPTEDWEB_MAX_PARTS = 64,      // parts of one file's path
    SCRIPTEDWEB_ATTEMPTS = 3,        // requests of one byte range before giving up
    SCRIPTEDWEB_READ_SIZE = 1 << 20, // bytes read at once while hashing
};
constexpr int64_t SCRIPTEDWEB_MAX_PIECE = 64LL * 1024 * 1024;

// One file of the metafile.
struct ScriptedWebFile {
    char Name[SCRIPTEDWEB_TEXT_SIZE]; // '/'-joined path as the metafile gives it
    char Path[PATHSAFETY_PATH_SIZE];  // below the output path
    int64_t Offset;                   // in the content
    int64_t Length;
};

// What the worker knows of its download.
struct ScriptedWebJob {
    ScriptedDownload *Download;
    char SkinSource[SCRIPTEDWEB_TEXT_SIZE];
    char Metafile[SCRIPTEDWEB_TEXT_SIZE];
    char OutputPath[PATHSAFETY_PATH_SIZE];
    char Reliable[SCRIPTEDWEB_TEXT_SIZE];
    ServerOptions Options;
    ScriptedWebFile *Files; // FileRoom entries
    int FileRoom;
    int FileCount;
    int64_t TotalLength;
    int64_t PieceLength;
    int PieceCount;
    const uint8_t *Digests; // 20 bytes a piece, inside Document
    uint8_t *Held;          // one byte a piece: 1 when checked good
    char *Document;         // the metafile
    int64_t DocumentSize;
    PatcherDownloadStatus Figures;
    uint8_t *Buffer; // SCRIPTEDWEB_READ_SIZE bytes
};

// ---------------------------------------------------------------------------
// Bencoding
// ---------------------------------------------------------------------------

// One decoded value: Kind 'i', 's', 'l' or 'd'; Text/Length for strings;
// Body..End the members of a list or dictionary.
struct ScriptedWebValue {
    char Kind;
    int64_t Integer;
    const char *Text;
    int64_t Length;
    const char *Body;
    const char *End; // just past the value
};

// Decodes the value at p (before end). 1 and *value; 0 for bad or too deep input.
static int ScriptedWeb_Decode(const char *p, const char *end, int depth, ScriptedWebValue *value) {
    memset(value, 0, sizeof(*value));
    if (p >= end || depth > SCRIPTEDWEB_MAX_DEPTH)
        return 0;
    value->Kind = *p;
    if (*p == 'i') {
        int negative = 0;
        p++;
        if (p < end && *p == '-') {
            negative = 1;
            p++;
        }
        const char *digits = p;
        int64_t number = 0;
        for (; p < end && *p >= '0' && *p <= '9'; p++) {
            if (number > (INT64_MAX - 9) / 10)
                return 0;
            number = number * 10 + (*p - '0');
        }
        if (p == digits || p >= end || *p != 'e')
            return 0;
        value->Integer = negative ? -number : number;
        value->End = p + 1;
        return 1;
    }
    if (*p >= '0' && *p <= '9') {
        int64_t length = 0;
        for (; p < end && *p >= '0' && *p <= '9'; p++) {
            if (length > (INT64_MAX - 9) / 10)
                return 0;
            length = length * 10 + (*p - '0');
        }
        if (p >= end || *p != ':' || length > end - p - 1)
            return 0;
        value->Kind = 's';
        value->Text = p + 1;
        value->Length = length;
        value->End = p + 1 + length;
        return 1;
    }
    if (*p != 'l' && *p != 'd')
        return 0;
    value->Body = ++p;
    int member = 0;
    while (p < end && *p != 'e') {
        ScriptedWebValue inner;
        if (!ScriptedWeb_Decode(p, end, depth + 1, &inner))
            return 0;
        // Dictionary keys are strings.
        if (value->Kind == 'd' && member % 2 == 0 && inner.Kind != 's')
            return 0;
        p = inner.End;
        member++;
    }
    if (p >= end || (value->Kind == 'd' && member % 2 != 0))
        return 0;
    value->End = p + 1;
    return 1;
}

// The member of dictionary under key. 1 and *found; 0 when absent.
static int ScriptedWeb_Lookup(const ScriptedWebValue *dictionary, const char *key,
                              ScriptedWebValue *found) {
    if (dictionary->Kind != 'd')
        return 0;
    const char *p = dictionary->Body;
    const char *end = dictionary->End - 1;
    int64_t keyLength = (int64_t)strlen(key);
    while (p < end) {
        ScriptedWebValue name;
        ScriptedWeb_Decode(p, end, 0, &name);
        ScriptedWeb_Decode(name.End, end, 0, found);
        if (name.Length == keyLength && memcmp(name.Text, key, (size_t)keyLength) == 0)
            return 1;
        p = found->End;
    }
    return 0;
}

// Copies a string value into text (size bytes). 0 when not a string or too long.
static int ScriptedWeb_Text(const ScriptedWebValue *value, char *text, int size) {
    if (value->Kind != 's' || value->Length >= size || memchr(value->Text, 0, value->Length))
        return 0;
    memcpy(text, value->Text, (size_t)value->Length);
    text[value->Length] = 0;
    return 1;
}

// ---------------------------------------------------------------------------
// Server options and metafile
// ---------------------------------------------------------------------------

// "Application.User.<key>" of the settings document, or null.
static const char *ScriptedWeb_Setting(XmlStruct *xml, const char *key) {
    char path[SCRIPTEDWEB_TEXT_SIZE];
    Zyl_FormatString(path, sizeof(path), "Application.User.%s", key);
    XmlNodeStruct *node = nullptr;
    const char *text = nullptr;
    if (!Xml_FindPath(xml, path, &node) || !XmlHelper_GetPathText(node, "", xml, &text))
        return nullptr;
    return text;
}

// Reads "settings.xml" out of the container bytes into the job's options.
static int ScriptedWeb_ReadContainer(ScriptedWebJob *job, const char *bytes, int64_t size) {
    char folder[PATHSAFETY_PATH_SIZE], path[PATHSAFETY_PATH_SIZE];
    static std::atomic<int> counter{0};
    if (!Zyl_GetTempDirectory(folder, sizeof(folder)) ||
        Zyl_FormatString(path, sizeof(path), "%s/portico-settings-%d-%d.ffs", folder, (int)getpid(),
                         counter++) >= (int)sizeof(path) - 1)
        return 0;
    int descriptor = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (descriptor < 0) {
        Patcher_Log(PATCHER_LOG_WARNING, "open(%s) failed (%d)", path, errno);
        return 0;
    }
    int written = write(descriptor, bytes, (size_t)size) == (ssize_t)size;
    close(descriptor);
    FfsContainer *container = nullptr;
    FfsContainer_Create(&container);
    int found = 0;
    int length = 0;
    char *text = nullptr;
    if (written && FfsContainer_Open(container, path, 0, 0, 1) &&
        FfsContainer_GetSize(container, "settings.xml", &length)) {
        text = static_cast<char *>(ZYL_ALLOC(length + 1));
        found =
            FfsContainer_Load(container, "settings.xml", reinterpret_cast<uint8_t *>(text), length);
        text[length] = 0;
    }
    FfsContainer_Destroy(&container);
    unlink(path);
    if (!found) {
        if (text != nullptr)
            ZYL_FREE(text, length + 1);
        return 0;
    }
    XmlStruct *xml = nullptr;
    Xml_Create(&xml);
    Xml_ParseBuffer(xml, text);
    ZYL_FREE(text, length + 1);
    ServerOptions_SetDefaults(&job->Options);
    const char *value = ScriptedWeb_Setting(xml, "TorrentBase");
    if (value != nullptr)
        Zyl_StrCopy(job->Options.TorrentBase, value, sizeof(job->Options.TorrentBase));
    value = ScriptedWeb_Setting(xml, "AllowBitBase");
    Zyl_ParseBool(value != nullptr ? value : "", &job->Options.AllowBitBase, 0);
    value = ScriptedWeb_Setting(xml, "AllowWebBase");
    Zyl_ParseBool(value != nullptr ? value : "", &job->Options.AllowWebBase, 0);
    Xml_Destroy(&xml);
    return 1;
}

// Reads one entry of "files" (or the single file) into the job's table.
static int ScriptedWeb_AddFile(ScriptedWebJob *job, const char *name, int64_t length) {
    if (job->FileCount >= job->FileRoom || length < 0 || length > INT64_MAX - job->TotalLength)
        return 0;
    ScriptedWebFile *file = &job->Files[job->FileCount];
    Zyl_StrCopy(file->Name, name, sizeof(file->Name));
    if (!PathSafety_JoinInside(file->Path, job->OutputPath, name))
        return 0;
    file->Offset = job->TotalLength;
    file->Length = length;
    job->TotalLength += length;
    job->FileCount++;
    return 1;
}

// Joins a "path" list with '/' into name. 0 for an empty, bad or long list.
static int ScriptedWeb_JoinPath(const ScriptedWebValue *list, char *name, int size) {
    if (list->Kind != 'l')
        return 0;
    name[0] = 0;
    const char *p = list->Body;
    const char *end = list->End - 1;
    int parts = 0;
    while (p < end) {
        ScriptedWebValue part;
        char text[SCRIPTEDWEB_TEXT_SIZE];
        ScriptedWeb_Decode(p, end, 0, &part);
        if (!ScriptedWeb_Text(&part, text, sizeof(text)) || ++parts > SCRIPTEDWEB_MAX_PARTS)
            return 0;
        if (parts > 1)
            Zyl_StrAppend(name, "/", size);
        if (Zyl_StrLen(name) + Zyl_StrLen(text) >= size - 1)
            return 0;
        Zyl_StrAppend(name, text, size);
        p = part.End;
    }
    return parts > 0;
}

// Parses the metafile held in job->Document. 1 when it describes a usable download.
static int ScriptedWeb_ParseMetafile(ScriptedWebJob *job) {
    const char *begin = job->Document;
    const char *end = begin + job->DocumentSize;
    ScriptedWebValue root, info, value;
    char name[SCRIPTEDWEB_TEXT_SIZE];
    if (!ScriptedWeb_Decode(begin, end, 0, &root) || root.Kind != 'd' ||
        !ScriptedWeb_Lookup(&root, "reliable", &value) ||
        !ScriptedWeb_Text(&value, job->Reliable, sizeof(job->Reliable)) ||
        !ScriptedWeb_Lookup(&root, "info", &info) || info.Kind != 'd' ||
        !ScriptedWeb_Lookup(&info, "piece length", &value) || value.Kind != 'i' ||
        value.Integer <= 0 || value.Integer > SCRIPTEDWEB_MAX_PIECE)
        return 0;
    job->PieceLength = value.Integer;
    if (!ScriptedWeb_Lookup(&info, "pieces", &value) || value.Kind != 's' || value.Length % 20 != 0)
        return 0;
    job->Digests = reinterpret_cast<const uint8_t *>(value.Text);
    job->PieceCount = (int)(value.Length / 20);
    if (!ScriptedWeb_Lookup(&info, "name", &value) || !ScriptedWeb_Text(&value, name, sizeof(name)))
        return 0;
    ScriptedWebValue files;
    int listed = ScriptedWeb_Lookup(&info, "files", &files);
    if (listed && files.Kind != 'l')
        return 0;
    job->FileRoom = 1;
    if (listed) {
        job->FileRoom = 0;
        for (const char *p = files.Body; p < files.End - 1; job->FileRoom++) {
            ScriptedWeb_Decode(p, files.End - 1, 0, &value);
            p = value.End;
        }
        if (job->FileRoom < 1 || job->FileRoom > SCRIPTEDWEB_MAX_FILES)
            return 0;
    }
    job->Files =
        static_cast<ScriptedWebFile *>(ZYL_ALLOC((int64_t)sizeof(ScriptedWebFile) * job->FileRoom));
    if (!listed) {
        if (!ScriptedWeb_Lookup(&info, "length", &value) || value.Kind != 'i' ||
            !ScriptedWeb_AddFile(job, name, value.Integer))
            return 0;
    } else {
        for (const char *p = files.Body; p < files.End - 1;) {
            ScriptedWebValue entry, path, length;
            ScriptedWeb_Decode(p, files.End - 1, 0, &entry);
            if (!ScriptedWeb_Lookup(&entry, "path", &path) ||
                !ScriptedWeb_JoinPath(&path, name, sizeof(name)) ||
                !ScriptedWeb_Lookup(&entry, "length", &length) || length.Kind != 'i' ||
                !ScriptedWeb_AddFile(job, name, length.Integer))
                return 0;
            p = entry.End;
        }
    }
    // The digests must cover the content exactly.
    int64_t pieces = (job->TotalLength + job->PieceLength - 1) / job->PieceLength;
    return pieces == job->PieceCount;
}

// ---------------------------------------------------------------------------
// Pieces on disk
// ---------------------------------------------------------------------------

// 1 when the piece's bytes on disk give its digest.
static int ScriptedWeb_CheckPiece(ScriptedWebJob *job, int piece, Sha1Struct *sha1) {
    int64_t start = (int64_t)piece * job->PieceLength;
    int64_t stop =
        start + job->PieceLength < job->TotalLength ? start + job->PieceLength : job->TotalLength;
    Sha1_Init(sha1);
    for (int i = 0; i < job->FileCount && start < stop; i++) {
        const ScriptedWebFile *file = &job->Files[i];
        if (file->Offset + file->Length <= start || file->Length == 0)
            continue;
        int descriptor = open(file->Path, O_RDONLY | O_CLOEXEC);
        if (descriptor < 0)
            return 0;
        while (start < stop && start < file->Offset + file->Length) {
            int64_t want = stop - start;
            if (want > file->Offset + file->Length - start)
                want = file->Offset + file->Length - start;
            if (want > SCRIPTEDWEB_READ_SIZE)
                want = SCRIPTEDWEB_READ_SIZE;
            ssize_t got = pread(descriptor, job->Buffer, (size_t)want, start - file->Offset);
            if (got != (ssize_t)want) {
                close(descriptor);
                return 0;
            }
            Sha1_Update(sha1, job->Buffer, want);
            start += want;
        }
        close(descriptor);
    }
    Sha1_Final(sha1);
    uint8_t digest[20];
    Sha1_GetDigest(sha1, digest, sizeof(digest));
    return memcmp(digest, job->Digests + 20 * (int64_t)piece, 20) == 0;
}

// Checks every piece not held yet; updates the figures. 1 unless stopped.
static int ScriptedWeb_Scan(ScriptedWebJob *job) {
    Sha1Struct *sha1 = nullptr;
    Sha1_Create(&sha1);
    int64_t left = job->TotalLength;
    for (int piece = 0; piece < job->PieceCount; piece++) {
        if (StopFlag_Test(&job->Download->Stop) != 0) {
            Sha1_Destroy(&sha1);
            return 0;
        }
        if (!job->Held[piece])
            job->Held[piece] = (uint8_t)ScriptedWeb_CheckPiece(job, piece, sha1);
        if (job->Held[piece]) {
            int64_t start = (int64_t)piece * job->PieceLength;
            left -= (start + job->PieceLength < job->TotalLength ? job->PieceLength
                                                                 : job->TotalLength - start);
        }
        job->Figures.PiecesChecked = piece + 1;
    }
    Sha1_Destroy(&sha1);
    job->Figures.BytesLeft = left;
    ScriptedClient_InternalFigures(job->Download, &job->Figures);
    return 1;
}

// ---------------------------------------------------------------------------
// Transfer
// ---------------------------------------------------------------------------

// One range request's sink: writes at the file offset the reply starts from.
struct ScriptedWebSink {
    ScriptedWebJob *Job;
    int Descriptor;
    int64_t Position; // where the next byte goes in the file
    int64_t Start;    // the range asked for
    int64_t Limit;    // the file's length
    int Failed;
};

static int ScriptedWeb_OnAccept(WebGetStruct *web, void *user) {
    ScriptedWebSink *sink = static_cast<ScriptedWebSink *>(user);
    // A server that ignored the range sends the file from its start.
    sink->Position = WebGet_GetStatus(web) == 206 ? sink->Start : 0;
    return StopFlag_Test(&sink->Job->Download->Stop) == 0;
}

static int ScriptedWeb_OnContent(WebGetStruct *, void *user, const void *data, int length,
                                 int *accepted) {
    ScriptedWebSink *sink = static_cast<ScriptedWebSink *>(user);
    if (StopFlag_Test(&sink->Job->Download->Stop) != 0)
        return 0;
    int64_t room = sink->Limit - sink->Position;
    int64_t count = length < room ? length : room;
    if (count > 0 &&
        pwrite(sink->Descriptor, data, (size_t)count, sink->Position) != (ssize_t)count) {
        Patcher_Log(PATCHER_LOG_WARNING, "pwrite(%d) failed (%d)", sink->Descriptor, errno);
        sink->Failed = 1;
        *accepted = 0;
        return 0;
    }
    sink->Position += count;
    return 1;
}

// Fetches bytes start..stop-1 of file into place. 1 when all arrived.
static int ScriptedWeb_FetchRange(ScriptedWebJob *job, WebGetStruct *web,
                                  const ScriptedWebFile *file, int descriptor, int64_t start,
                                  int64_t stop) {
    char url[WEBGET_URL_SIZE], address[WEBGET_URL_SIZE];
    Zyl_FormatString(address, sizeof(address), "%s%s", job->Reliable, file->Name);
    WebGet_EscapeURL(web, address, url, sizeof(url));
    for (int attempt = 0; attempt < SCRIPTEDWEB_ATTEMPTS; attempt++) {
        ScriptedWebSink sink = {job, descriptor, start, start, file->Length, 0};
        WebGet_SetAcceptCallback(web, &sink, ScriptedWeb_OnAccept);
        WebGet_SetContentCallback(web, &sink, ScriptedWeb_OnContent);
        // Range 0-0 is no range at all to the client: a one-byte file is fetched whole.
        if (start == 0 && stop == file->Length)
            WebGet_SetRange(web, 0, 0);
        else
            WebGet_SetRange(web, start, stop - 1);
        WebGet_SetURL(web, url);
        int success = 0;
        while (WebGet_Process(web, &success) == 1) {
        }
        if (StopFlag_Test(&job->Download->Stop) != 0 || sink.Failed)
            return 0;
        if (success && sink.Position >= stop)
            return 1;
        Patcher_Log(PATCHER_LOG_WARNING, "Unable to retrieve [%s] bytes %lld-%lld (%d)", url,
                    (long long)start, (long long)(stop - 1), WebGet_GetStatus(web));
        WebGet_CloseConnection(web, 1);
    }
    return 0;
}

// Fetches the pieces of file that are not held: each run of missing pieces
// within the file is one range request. 1 when every range arrived.
static int ScriptedWeb_FetchFile(ScriptedWebJob *job, WebGetStruct *web,
                                 const ScriptedWebFile *file) {
    if (!Zyl_CreateDirectory(file->Path, 1, 0)) {
        Patcher_Log(PATCHER_LOG_WARNING, "Unable to create the folder of [%s]", file->Path);
        return 0;
    }
    int descriptor = open(file->Path, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    struct stat info;
    if (descriptor < 0 || fstat(descriptor, &info) != 0 ||
        (info.st_size != file->Length && ftruncate(descriptor, file->Length) != 0)) {
        Patcher_Log(PATCHER_LOG_WARNING, "Unable to prepare [%s] (%d)", file->Path, errno);
        if (descriptor >= 0)
            close(descriptor);
        return 0;
    }
    int ok = 1;
    int64_t at = file->Offset;
    int64_t end = file->Offset + file->Length;
    while (ok && at < end) {
        int piece = (int)(at / job->PieceLength);
        int64_t pieceEnd = ((int64_t)piece + 1) * job->PieceLength;
        if (job->Held[piece]) {
            at = pieceEnd < end ? pieceEnd : end;
            continue;
        }
        int64_t stop = at;
        while (stop < end && !job->Held[stop / job->PieceLength])
            stop = (stop / job->PieceLength + 1) * job->PieceLength;
        if (stop > end)
            stop = end;
        ok = ScriptedClient_InternalGoOn(job->Download) &&
             ScriptedWeb_FetchRange(job, web, file, descriptor, at - file->Offset,
                                    stop - file->Offset);
        if (ok) {
            job->Figures.BytesIn += stop - at;
            job->Figures.BytesLeft -= stop - at;
            if (job->Figures.BytesLeft < 0)
                job->Figures.BytesLeft = 0;
            ScriptedClient_InternalFigures(job->Download, &job->Figures);
        }
        at = stop;
    }
    if (ok && fdatasync(descriptor) != 0) {
        Patcher_Log(PATCHER_LOG_WARNING, "fdatasync(%s) failed (%d)", file->Path, errno);
        ok = 0;
    }
    close(descriptor);
    return ok;
}

// Fetches every missing piece and checks them again. 1 when all are held.
static int ScriptedWeb_Transfer(ScriptedWebJob *job) {
    WebGetStruct *web = nullptr;
    WebGet_Create(&web);
    WebGetSettingsStruct settings;
    WebGet_GetSettings(web, &settings);
    settings.Method = WEBGET_GET;
    settings.Blocking = 1;
    settings.IOTimeout = 15;
    settings.Attempts = 1;
    settings.KeepAlive = 1;
    settings.HTTPVersion = 1.1;
    settings.Deadline = 0;
    WebGet_Configure(web, &settings);
    int ok = 1;
    for (int i = 0; ok && i < job->FileCount; i++)
        ok = ScriptedWeb_FetchFile(job, web, &job->Files[i]);
    WebGet_Destroy(&web);
    if (!ok || !ScriptedWeb_Scan(job))
        return 0;
    for (int piece = 0; piece < job->PieceCount; piece++) {
        if (!job->Held[piece]) {
            Patcher_Log(PATCHER_LOG_WARNING, "[%s] piece %d failed its check", job->Metafile,
                        piece);
            return 0;
        }
    }
    return 1;
}

// ---------------------------------------------------------------------------
// The worker
// ---------------------------------------------------------------------------

// Server options, metafile, then the description. 1 when the download can start.
static int ScriptedWeb_Prepare(ScriptedWebJob *job) {
    char *container = nullptr;
    int64_t size = 0;
    if (!PatcherFetch_Get(job->SkinSource, &container, &size, nullptr)) {
        Patcher_ReportError(4, "Unable to retrieve SkinSource [%s]", job->SkinSource);
        return 0;
    }
    int read = ScriptedWeb_ReadContainer(job, container, size);
    PatcherFetch_Free(&container, size);
    if (!read) {
        Patcher_ReportError(4, "Unable to read settings.xml of SkinSource [%s]", job->SkinSource);
        return 0;
    }
    ScriptedClient *client = job->Download->Owner;
    MUTEX_LOCK(client->Mutex);
    job->Download->Options = job->Options;
    MUTEX_UNLOCK(client->Mutex);
    char url[SCRIPTEDWEB_TEXT_SIZE * 2];
    Zyl_FormatString(url, sizeof(url), "%s%s", job->Options.TorrentBase, job->Metafile);
    if (!PatcherFetch_Get(url, &job->Document, &job->DocumentSize, nullptr)) {
        Patcher_Log(PATCHER_LOG_WARNING, "Attempt to retrieve metafile[%s]", job->Metafile);
        return 0;
    }
    if (!ScriptedWeb_ParseMetafile(job)) {
        Patcher_Log(PATCHER_LOG_WARNING, "Unable to process meta info [%s]", url);
        return 0;
    }
    job->Held = static_cast<uint8_t *>(ZYL_ALLOC(job->PieceCount + 1));
    job->Buffer = static_cast<uint8_t *>(ZYL_ALLOC(SCRIPTEDWEB_READ_SIZE));
    PatcherDownloadStatus_Init(&job->Figures);
    job->Figures.FilesSize = job->TotalLength;
    job->Figures.BytesLeft = job->TotalLength;
    job->Figures.PieceCount = job->PieceCount;
    job->Figures.PieceLength = (int32_t)job->PieceLength;
    ScriptedClient_InternalFigures(job->Download, &job->Figures);
    return 1;
}

static void ScriptedWeb_FreeJob(ScriptedWebJob *job) {
    if (job->Files != nullptr)
        ZYL_FREE(job->Files, (int64_t)sizeof(ScriptedWebFile) * job->FileRoom);
    if (job->Held != nullptr)
        ZYL_FREE(job->Held, job->PieceCount + 1);
    if (job->Buffer != nullptr)
        ZYL_FREE(job->Buffer, SCRIPTEDWEB_READ_SIZE);
    PatcherFetch_Free(&job->Document, job->DocumentSize);
    ZYL_FREE(job, sizeof(ScriptedWebJob));
}

uint32_t ScriptedWeb_Run(void *argument) {
    ScriptedDownload *download = static_cast<ScriptedDownload *>(argument);
    ScriptedWebJob *job = ZYL_NEW(ScriptedWebJob);
    job->Download = download;
    ScriptedClient *client = download->Owner;
    MUTEX_LOCK(client->Mutex);
    Zyl_StrCopy(job->SkinSource, download->Info.SkinSource, sizeof(job->SkinSource));
    Zyl_StrCopy(job->Metafile, download->Info.Metafile, sizeof(job->Metafile));
    MUTEX_UNLOCK(client->Mutex);
    int ok = PathSafety_NormalFolder(job->OutputPath, download->Info.OutputPath);
    if (!ok)
        Patcher_Log(PATCHER_LOG_WARNING, "Unusable output path [%s]", download->Info.OutputPath);
    ok = ok && ScriptedWeb_Prepare(job);
    if (ok && StopFlag_Test(&download->Stop) == 0) {
        ScriptedClient_InternalMove(download, PATCHER_DOWNLOAD_STATE_SCAN);
        ok = ScriptedWeb_Scan(job);
    }
    if (ok && StopFlag_Test(&download->Stop) == 0) {
        ScriptedClient_InternalMove(download, PATCHER_DOWNLOAD_STATE_DOWNLOAD);
        ok = ScriptedWeb_Transfer(job);
    }
    if (StopFlag_Test(&download->Stop) == 0)
        ScriptedClient_InternalMove(download, ok ? PATCHER_DOWNLOAD_STATE_COMPLETE
                                                 : PATCHER_DOWNLOAD_STATE_FAILED);
    ScriptedWeb_FreeJob(job);
    return 0;
}
