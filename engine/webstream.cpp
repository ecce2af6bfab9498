// Local HTTP streaming of a download's files: the embedded server's callbacks
// find the requested file among the active downloads, answer with its bytes as
// the pieces under them are held (asking for the missing piece first), with an
// FLV header for a "start" offset, or with the held-piece bit field.
#include "engine/webstream.h"

#include <cstring>

#include "core/bitfield.h"
#include "core/cgi.h"
#include "core/pool.h"
#include "core/zyl.h"
#include "engine/base.h"
#include "engine/content.h"
#include "engine/filelist.h"
#include "engine/manager.h"
#include "engine/piece.h"
#include "engine/webbase.h"
#include "net/webserv.h"

static const char kStreamTag[] = "WebStreamStruct";
static const char kConnectionTag[] = "ConnectionStruct";

// "FLV", version 1, flags 1 (video), header length 9, then the first tag-size
// field, which players accept as 9.
static const uint8_t kFlvHeader[WEBSTREAM_FLV_HEADER_SIZE] = {
    0x46, 0x4C, 0x56, 0x01, 0x01, 0x00, 0x00, 0x00, 0x09, 0x00, 0x00, 0x00, 0x09};

// ---------------------------------------------------------------------------
// Life
// ---------------------------------------------------------------------------

int WebStream_Create(WebStreamStruct **stream) {
    ZYL_CHECK_PTR(stream);
    WebStreamStruct *s = ZYL_NEW(WebStreamStruct);
    s->Tag = kStreamTag;
    WebStream_Init(s);
    *stream = s;
    return 1;
}

int WebStream_Destroy(WebStreamStruct **stream) {
    ZYL_CHECK_PTR(stream);
    WebStreamStruct *s = *stream;
    if (s == nullptr)
        return 1;
    ZYL_CHECK_TAG(s, kStreamTag);
    WebStream_Deinit(s);
    *stream = nullptr;
    s->Tag = Zyl_DeadTag;
    ZYL_FREE(s, sizeof(WebStreamStruct));
    return 1;
}

int WebStream_Init(WebStreamStruct *stream) {
    ZYL_CHECK_TAG(stream, kStreamTag);
    stream->HoldTime = WEBSTREAM_HOLD_SECONDS;
    if (stream->Pool == nullptr) {
        POOL_CREATE(stream->Pool);
        Pool_SetMemberSize(stream->Pool, sizeof(ConnectionStruct));
        Pool_SetMembersPerChunk(stream->Pool, WEBSTREAM_POOL_GROWTH);
    }
    return 1;
}

int WebStream_Deinit(WebStreamStruct *stream) {
    ZYL_CHECK_TAG(stream, kStreamTag);
    Pool_Destroy(&stream->Pool);
    return 1;
}

int WebStream_Reset(WebStreamStruct *stream) {
    ZYL_CHECK_TAG(stream, kStreamTag);
    stream->HoldTime = WEBSTREAM_HOLD_SECONDS;
    return 1;
}

int WebStream_SetParent(ManagerStruct *manager, WebStreamStruct *stream) {
    ZYL_CHECK_TAG(stream, kStreamTag);
    ZYL_CHECK_PTR(manager);
    if (stream->Manager != nullptr) {
        ZYL_FATAL("Parent handle already set\n");
    }
    stream->Manager = manager;
    Manager_GetWebServer(manager, &stream->Server);
    WebServerStruct *server = stream->Server;
    WebServer_SetHeaderCallback(server, stream, WebStream_HeaderCallback);
    WebServer_SetRequestCallback(server, stream, WebStream_HandleRequest);
    WebServer_SetBodyCallback(server, stream, WebStream_BodyCallback);
    WebServer_SetCloseCallback(server, stream, WebStream_CloseCallback);
    WebServer_SetTimerCallback(server, stream, WebStream_TimerCallback);
    return 1;
}

int WebStream_SetHoldTime(WebStreamStruct *stream, int seconds) {
    ZYL_CHECK_TAG(stream, kStreamTag);
    stream->HoldTime = seconds > 0 ? seconds : 0;
    return 1;
}

int WebStream_SetWebSeedSwitch(WebStreamStruct *stream, int value) {
    ZYL_CHECK_TAG(stream, kStreamTag);
    stream->WebSeedSwitch = value == 1 ? 1 : 0;
    return 1;
}

// ---------------------------------------------------------------------------
// Finding the file
// ---------------------------------------------------------------------------

// Looks for the path among one download's files; fills the record on a match.
static int InternalMatchFile(ConnectionStruct *c, BaseStruct *base) {
    ContentStruct *content = nullptr;
    FileListStruct *files = nullptr;
    int pieceLength = 0;
    if (!Base_GetContent(base, &content) || content == nullptr ||
        !Content_GetFileList(content, &files) || files == nullptr ||
        !Content_GetPieceLength(content, &pieceLength) || pieceLength <= 0)
        return 0;
    FileListMemberStruct *file = nullptr;
    for (int more = FileList_FirstMember(files, &file); more;
         more = FileList_NextMember(file, &file)) {
        char name[FILELIST_TEXT_SIZE];
        if (!FileList_GetMemberName(file, name, sizeof name) || !Zyl_StrEqualNoCase(name, c->Path))
            continue;
        BitfieldStruct *held = nullptr;
        if (!Content_GetBitfield(content, &held) || held == nullptr)
            return 0;
        FileList_GetMemberLength(file, &c->FileLength);
        FileList_GetMemberOffset(file, &c->FileOffset);
        c->PieceLength = pieceLength;
        c->Held = held;
        c->Base = base;
        c->Files = files;
        c->File = file;
        return 1;
    }
    return 0;
}

int WebStream_FindMember(ConnectionStruct *connection, WebStreamStruct *stream) {
    ZYL_CHECK_TAG(connection, kConnectionTag);
    ZYL_CHECK_TAG(stream, kStreamTag);
    if (connection->Path[0] == '\0')
        return 0;
    ManagerMemberStruct *member = nullptr;
    if (!Manager_GetFirstMember(stream->Manager, &member))
        return 0;
    do {
        BaseStruct *base = nullptr;
        int active = 0;
        // A download that was never started may still be setting up its
        // content on its owner's thread: only started ones are searched. The
        // locked read of the flag orders the setup before what follows.
        if (!ManagerMember_GetBase(member, &base) || base == nullptr ||
            !Base_GetActive(base, &active) || !active || !InternalMatchFile(connection, base))
            continue;
        connection->Member = member; // the walk's reference stays with the record
        if (stream->WebSeedSwitch == 1) {
            WebBaseStruct *web = nullptr;
            if (Base_GetWebBase(base, &web) && web != nullptr)
                WebBase_SetActive(web, 1);
        }
        return 1;
    } while (Manager_GetNextMember(stream->Manager, member, &member));
    return 0;
}

// ---------------------------------------------------------------------------
// Callbacks
// ---------------------------------------------------------------------------

static WebStreamStruct *InternalStream(void *user) {
    WebStreamStruct *s = static_cast<WebStreamStruct *>(user);
    ZYL_CHECK_TAG(s, kStreamTag);
    return s;
}

// The connection's record; null when the head never reached the stream.
static ConnectionStruct *InternalRecord(void **slot) {
    ZYL_CHECK_PTR(slot);
    ConnectionStruct *c = static_cast<ConnectionStruct *>(*slot);
    if (c != nullptr)
        ZYL_CHECK_TAG(c, kConnectionTag);
    return c;
}

int WebStream_HeaderCallback(WebServerStruct *server, WebServerRequestStruct *request, void *user,
                             void **slot) {
    WebStreamStruct *s = InternalStream(user);
    if (InternalRecord(slot) != nullptr)
        return 1;
    ConnectionStruct *c =
        static_cast<ConnectionStruct *>(POOL_ALLOC(s->Pool, sizeof(ConnectionStruct)));
    memset(c, 0, sizeof(ConnectionStruct));
    c->Tag = kConnectionTag;
    c->AskedPiece = -1;
    *slot = c;
    const char *path = "";
    WebServer_GetRequestPath(server, request, &path);
    if (path[0] == '/')
        path++;
    if (!Cgi_UrlDecode(path, c->Path, sizeof c->Path, 0)) {
        // A cut path could name another file: it names none.
        Zyl_Print("WebStream_HeaderCallback() request path too long [%s]\n", path);
        c->Path[0] = '\0';
    }
    return 1;
}

// Answers with an error: the text is the whole body.
static void InternalError(WebServerStruct *server, WebServerRequestStruct *request,
                          ConnectionStruct *c, int code, const char *text) {
    Zyl_StrCopy(c->ErrorText, text, sizeof c->ErrorText);
    WebServer_SetResponseCode(server, request, code, 0);
    WebServer_SetResponseHeader(server, request, "Content-Type", "text/plain");
}

// Plain decimal digits with an optional '-', at most 18 of them.
static int InternalParseDecimal(const char *text, int64_t *value) {
    *value = 0;
    const char *p = text[0] == '-' ? text + 1 : text;
    int digits = 0;
    int64_t v = 0;
    for (; *p >= '0' && *p <= '9'; p++, digits++) {
        if (digits == 18)
            return 0;
        v = v * 10 + (*p - '0');
    }
    if (digits == 0 || *p != '\0')
        return 0;
    *value = text[0] == '-' ? -v : v;
    return 1;
}

// Reads the query into the record: 1, or 0 for a malformed query.
static int InternalParseQuery(ConnectionStruct *c, const char *query) {
    const char *p = query;
    while (*p != '\0') {
        char token[WEBSTREAM_TEXT_SIZE];
        char name[WEBSTREAM_TEXT_SIZE];
        char value[WEBSTREAM_TEXT_SIZE];
        char decoded[WEBSTREAM_TEXT_SIZE];
        int used = 0;
        if (!Cgi_GetToken(token, sizeof token, '&', p, &used))
            return 0;
        p += used;
        // "bitfield" is a switch and may come without a value.
        if (Zyl_StrEqualNoCase(token, "bitfield")) {
            c->BitfieldQuery = 1;
            continue;
        }
        if (!Zyl_StrHasChar(token, '=') ||
            !Cgi_SplitPairTrim(name, value, sizeof name, '=', token) ||
            !Cgi_UrlDecode(value, decoded, sizeof decoded, 0))
            return 0;
        if (Zyl_StrEqualNoCase(name, "start")) {
            int64_t start = 0;
            if (!InternalParseDecimal(decoded, &start) || start < 0 || start >= c->FileLength)
                return 0;
            c->StartOffset = start;
            c->Position = start;
            c->StartGiven = 1;
        } else if (Zyl_StrEqualNoCase(name, "bitfield")) {
            c->BitfieldQuery = 1;
        } else {
            Zyl_Print("Unknown query [%s][%s]\n", name, decoded);
        }
    }
    return 1;
}

int WebStream_HandleRequest(WebServerStruct *server, WebServerRequestStruct *request, void *user,
                            void **slot) {
    WebStreamStruct *s = InternalStream(user);
    ConnectionStruct *c = InternalRecord(slot);
    if (c == nullptr)
        return 0;
    if (c->Member == nullptr && !WebStream_FindMember(c, s)) {
        double accepted = 0;
        WebServer_GetConnectionTime(server, request, &accepted);
        if (server->ServerTime - accepted <= (double)s->HoldTime) {
            WebServer_HoldConnection(server, request, 1.0);
            return 1;
        }
        InternalError(server, request, c, 404, "Unable to find requested content.\n");
        return 1;
    }
    Zyl_Print("Member located successfully [%I64dk]\n", c->FileLength / 1024);
    const char *query = "";
    WebServer_GetQuery(server, request, &query);
    Zyl_Print("Query [%s]\n", query);
    c->Position = 0;
    c->StartOffset = 0;
    c->StartGiven = 0;
    c->BitfieldQuery = 0;
    if (!InternalParseQuery(c, query)) {
        InternalError(server, request, c, 400, "Bad query string.\n");
        return 1;
    }
    int64_t length = c->FileLength;
    if (c->StartGiven) {
        // The sequential chooser starts at the content's piece under the offset.
        Base_SetSequentialStart(c->Base, (int)((c->FileOffset + c->StartOffset) / c->PieceLength));
        length =
            c->FileLength - c->StartOffset + (c->StartOffset > 0 ? WEBSTREAM_FLV_HEADER_SIZE : 0);
    }
    if (c->BitfieldQuery) {
        // The text's size is known only when it is made: the body ends with the
        // connection.
        WebServer_SetResponseCode(server, request, 200, 0);
        WebServer_SetResponseHeader(server, request, "Content-Type", "application/octet-stream");
    } else {
        WebServer_SetResponseCode(server, request, 200, length);
        int at = 0;
        WebServer_SetResponseHeader(
            server, request, "Content-Type",
            Zyl_StrFindNoCase(c->Path, ".flv", &at) ? "video/x-flv" : "application/octet-stream");
        char text[32];
        Zyl_FormatString(text, sizeof text, "%I64d", length);
        WebServer_SetResponseHeader(server, request, "Content-Length", text);
    }
    // Byte ranges are not served: a ranged request gets the whole answer.
    WebServer_SetResponseHeader(server, request, "Accept-Ranges", "none");
    return 1;
}

// The held-piece answer, made at its first call from the bit field as it is
// then, sent in pieces of the server's size.
static int InternalBitfieldBody(ConnectionStruct *c, int *done, char *buffer, int size,
                                int *written) {
    if (c->BitfieldText == nullptr) {
        if (!Base_Lock(c->Base))
            return 0;
        int bits = 0;
        int bytes = 0;
        Bitfield_GetSize(c->Held, &bits);
        Bitfield_GetByteLength(c->Held, &bytes);
        char prefix[64];
        Zyl_FormatString(prefix, sizeof prefix, "BitFieldBits=%d,BitField=\"", bits);
        const int prefixLength = Zyl_StrLen(prefix);
        c->BitfieldTextSize = prefixLength + 2 * bytes + 2; // closing quote and NUL
        c->BitfieldText = static_cast<char *>(ZYL_ALLOC(c->BitfieldTextSize));
        memcpy(c->BitfieldText, prefix, (size_t)prefixLength);
        if (bytes > 0) {
            uint8_t *raw = static_cast<uint8_t *>(ZYL_ALLOC(bytes));
            Bitfield_GetBytes(c->Held, raw, bytes);
            Zyl_BytesToHex(raw, bytes, c->BitfieldText + prefixLength, 2 * bytes + 1);
            ZYL_FREE(raw, bytes);
        }
        Base_Unlock(c->Base);
        c->BitfieldText[prefixLength + 2 * bytes] = '"';
        c->BitfieldTextLength = prefixLength + 2 * bytes + 1;
        c->Position = 0;
    }
    int64_t left = c->BitfieldTextLength - c->Position;
    int n = left < size ? (int)left : size;
    memcpy(buffer, c->BitfieldText + c->Position, (size_t)n);
    c->Position += n;
    *written = n;
    *done = c->Position >= c->BitfieldTextLength ? 1 : 0;
    return 1;
}

// The first piece of content bytes [from, from + length) that is not held; -1
// when all are (or the range is empty).
static int InternalMissingPiece(ConnectionStruct *c, int64_t from, int64_t length) {
    if (length <= 0)
        return -1;
    int bits = 0;
    Bitfield_GetSize(c->Held, &bits);
    const int64_t first = from / c->PieceLength;
    int64_t last = (from + length - 1) / c->PieceLength;
    if (last >= bits)
        last = bits - 1;
    for (int64_t i = first; i <= last; i++)
        if (!Bitfield_Test(c->Held, (int)i))
            return (int)i;
    return -1;
}

// The file's next bytes, once the pieces under them are held. After a start
// offset the first call puts the FLV header before them.
static int InternalFileBody(ConnectionStruct *c, int *done, char *buffer, int size, int *written) {
    const int header = c->StartGiven && c->StartOffset > 0 ? WEBSTREAM_FLV_HEADER_SIZE : 0;
    if (size <= header) {
        Zyl_Print("WebStream_BodyCallback() %d bytes leave no room after the header\n", size);
        return 0;
    }
    const int64_t left = c->FileLength - c->Position;
    const int64_t chunk = left < size - header ? left : size - header;
    if (chunk > 0) {
        if (!Base_Lock(c->Base))
            return 0;
        const int missing = InternalMissingPiece(c, c->FileOffset + c->Position, chunk);
        if (missing >= 0) {
            // Asked once per piece: asking again would cancel the requests
            // already made for it.
            if (missing != c->AskedPiece) {
                PieceStruct *picker = nullptr;
                if (Base_GetPiecePicker(c->Base, &picker) && picker != nullptr)
                    Piece_SetPriority(picker, missing);
                c->AskedPiece = missing;
            }
            Base_Unlock(c->Base);
            return 1; // nothing yet: asked again on the next pass
        }
        const int read =
            FileList_ReadMember(c->Files, c->File, buffer + header, c->Position, chunk);
        Base_Unlock(c->Base);
        if (!read) {
            Zyl_Print("WebStream_BodyCallback() read failed at %I64d; closing\n", c->Position);
            return 0;
        }
    }
    if (header > 0)
        memcpy(buffer, kFlvHeader, WEBSTREAM_FLV_HEADER_SIZE);
    c->StartGiven = 0;
    c->Position += chunk;
    *written = (int)chunk + header;
    *done = c->Position >= c->FileLength ? 1 : 0;
    Zyl_Print("Write [%d] %d:[%I64d left:piece %d]\n", *written, *done, c->FileLength - c->Position,
              (int)((c->FileOffset + c->Position) / c->PieceLength));
    return 1;
}

int WebStream_BodyCallback(WebServerStruct *server, WebServerRequestStruct *request, void *user,
                           void **slot, int *done, char *buffer, int size, int *written) {
    ZYL_CHECK_TAG(server, WebServerTag);
    ZYL_CHECK_TAG(request, WebServerRequestTag);
    InternalStream(user);
    ZYL_CHECK_PTR(done);
    ZYL_CHECK_PTR(buffer);
    ZYL_CHECK_PTR(written);
    *done = 0;
    *written = 0;
    ConnectionStruct *c = InternalRecord(slot);
    if (c == nullptr) {
        *done = 1;
        return 1;
    }
    if (c->ErrorText[0] != '\0') {
        int n = Zyl_StrLen(c->ErrorText);
        if (n > size)
            n = size;
        memcpy(buffer, c->ErrorText, (size_t)n);
        *written = n;
        *done = 1;
        return 1;
    }
    if (c->Base == nullptr) {
        *done = 1;
        return 1;
    }
    if (c->BitfieldQuery)
        return InternalBitfieldBody(c, done, buffer, size, written);
    return InternalFileBody(c, done, buffer, size, written);
}

void WebStream_CloseCallback(WebServerStruct *server, WebServerRequestStruct *request, void *user,
                             void **slot) {
    (void)server;
    (void)request;
    WebStreamStruct *s = InternalStream(user);
    ConnectionStruct *c = InternalRecord(slot);
    if (c == nullptr)
        return;
    Zyl_Print("Cleanup of connection\n");
    if (c->Member != nullptr)
        Manager_ReleaseMember(s->Manager, &c->Member);
    if (c->BitfieldText != nullptr)
        ZYL_FREE(c->BitfieldText, c->BitfieldTextSize);
    c->Tag = nullptr;
    POOL_FREE(s->Pool, c, sizeof(ConnectionStruct));
    *slot = nullptr;
}

void WebStream_TimerCallback(WebServerStruct *server, void *user) {
    (void)server;
    InternalStream(user);
}
