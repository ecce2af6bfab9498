// Contents that start from an address: a metafile fetched over HTTP, or a plain
// download URL whose length comes from the reply header alone (the body is
// refused) and whose pieces are not verified.
#include <cstring>

#include "core/alert.h"
#include "core/bitfield.h"
#include "core/oshelper.h"
#include "core/zyl.h"
#include "engine/content.h"
#include "engine/filelist.h"
#include "engine/metafile.h"
#include "engine/urllist.h"
#include "net/webget.h"

extern const char Content_Tag[];

enum { kWebRefused = 956, kMinUrlPieceLength = 32768 };

static void InternalPrepareRequest(ContentStruct *content, WebGetStruct *web, const char *url) {
    WebGet_SetTrace(web, content->Verbose);
    WebGet_ClearHeaders(web);
    WebGet_SetRequestType(web, 1);
    WebGet_SetBlocking(web, 1);
    WebGet_SetURL(web, url);
}

int Content_LoadFromURL(ContentStruct *content) {
    ZYL_CHECK_TAG(content, Content_Tag);
    WebGetStruct *web = nullptr;
    WebGet_Create(&web);
    InternalPrepareRequest(content, web, content->SourceText);
    // The metafile is held in memory: a reply announcing more than a metafile
    // may hold is refused before its body, a longer one stopped at the limit;
    // a public server may not send the request into the local network.
    WebGetSettingsStruct settings;
    WebGet_GetSettings(web, &settings);
    settings.SizeLimit = METAFILE_MAX_FILE_SIZE;
    settings.RedirectPolicy = WEBGET_REDIRECT_PUBLIC;
    WebGet_Configure(web, &settings);
    int success = 0;
    while (WebGet_Process(web, &success)) {
    }
    int ok = 0;
    const char *body = nullptr;
    int64_t size = 0;
    if (!success) {
        char status[128] = "";
        WebGet_GetStatusText(web, status, sizeof status);
        Alert_Log(ALERT_KIND_ERROR, ALERT_LEVEL_NORMAL, "Unable to retrieve URL [%s] [%d:%s]",
                  content->SourceText, WebGet_GetStatus(web), status);
    } else {
        // Only the last part of the offered name is kept: it names log lines
        // and files beside the download, never a path.
        char offered[CONTENT_TEXT_SIZE] = "";
        WebGet_GetFileName(web, offered, sizeof offered);
        Zyl_GetFileName(offered, content->SourceFileName, sizeof content->SourceFileName, 0);
        MetaFile_SetFileName(content->MetaFile, content->SourceFileName);
        WebGet_GetContent(web, &body, &size);
        ok = body && size > 0 && size <= METAFILE_MAX_FILE_SIZE &&
             MetaFile_LoadBuffer(content->MetaFile, body, size);
        if (!ok)
            Alert_Log(ALERT_KIND_ERROR, ALERT_LEVEL_NORMAL, "Unable to load meta buffer");
    }
    WebGet_Destroy(&web);
    return ok;
}

// Keeps the reply's content length and refuses the body: only the header is wanted.
static int InternalLengthCallback(WebGetStruct *web, void *user) {
    int64_t *length = static_cast<int64_t *>(user);
    int status = WebGet_GetStatus(web);
    if (status < 200 || status > 299 || !WebGet_GetContentLength(web, length))
        *length = 0;
    return 0;
}

// The largest power of two in length / 1000, at least 32768.
static int InternalUrlPieceLength(int64_t length) {
    uint32_t quotient = (uint32_t)((length / 1000) & 0xFFFFFFFF);
    uint32_t bit = 0;
    for (int i = 31; i >= 0 && bit == 0; i--)
        if (quotient & (1u << i))
            bit = 1u << i;
    if (bit < (uint32_t)kMinUrlPieceLength || bit == 0x80000000u)
        return kMinUrlPieceLength;
    return (int)bit;
}

static int InternalValidFileName(const char *name) {
    if (name[0] == 0 || Zyl_StrEqual(name, ".") || Zyl_StrEqual(name, ".."))
        return 0;
    return !Zyl_StrHasChar(name, '\\') && !Zyl_StrHasChar(name, ':');
}

static int InternalFetchLength(ContentStruct *content, const char *url, int64_t *length) {
    WebGetStruct *web = nullptr;
    WebGet_Create(&web);
    InternalPrepareRequest(content, web, url);
    WebGet_SetAcceptCallback(web, length, InternalLengthCallback);
    int success = 0;
    while (WebGet_Process(web, &success)) {
    }
    int status = WebGet_GetStatus(web);
    WebGet_Destroy(&web);
    if (!success && status != kWebRefused) {
        Zyl_Print("Unable to retrieve URL %s\n", url);
        return 0;
    }
    if (*length <= 0) {
        Zyl_Print("Unable to retrieve content length from URL %s!\n", url);
        return 0;
    }
    return 1;
}

static int InternalLayOut(ContentStruct *content, const char *name, int64_t length) {
    int pieceLength = InternalUrlPieceLength(length);
    int64_t count = length / pieceLength + (length % pieceLength != 0);
    if (count * 20 > INT32_MAX) {
        Alert_Log(ALERT_KIND_ERROR, ALERT_LEVEL_NORMAL, "Content too large [%I64d]", length);
        return 0;
    }
    FileList_Reset(content->FileList);
    Content_SetPieceLength(content, pieceLength);
    content->PieceCount = (int)count;
    Content_NewPieceTable(content, (int)count * 20);
    FileListMemberStruct *m = nullptr;
    FileList_AddMember(&m, content->FileList);
    FileList_SetMemberName(m, name);
    FileList_SetMemberPath(m, name);
    FileList_SetMemberLength(m, length);
    FileList_UpdateOffsets(content->FileList);
    Content_ResetPieceStates(content);
    content->BytesLeft = length;
    content->BytesExcluded = 0;
    content->Verify = 0;
    return Content_SetName(content, name);
}

int Content_SetupFromURL(const char *url, const char *text, ContentStruct *content) {
    ZYL_CHECK_TAG(content, Content_Tag);
    ZYL_CHECK_PTR(url);
    ZYL_CHECK_PTR(text);
    int slash = -1;
    if (!Zyl_StrFindLastChar(url, '/', &slash)) {
        Zyl_Print("Invalid URL %s\n", url);
        return 0;
    }
    char directory[CONTENT_SOURCE_SIZE], name[CONTENT_TEXT_SIZE];
    Zyl_StrCopy(directory, url, slash + 2 < (int)sizeof directory ? slash + 2 : sizeof directory);
    Zyl_StrCopy(name, url + slash + 1, sizeof name);
    if (!InternalValidFileName(name)) {
        Zyl_Print("Invalid URL %s\n", url);
        return 0;
    }
    int64_t length = 0;
    if (!InternalFetchLength(content, url, &length))
        return 0;
    URLList_Clear(content->ReliableList);
    URLList_Add(directory, content->ReliableList);
    if (!InternalLayOut(content, name, length))
        return 0;
    Content_HashBuffer(text, content, content->InfoHash, Zyl_StrLen(text));
    Content_HashToText(content->InfoHash, content->InfoHashText, sizeof content->InfoHashText);
    return Content_HashBuffer(content->InfoHash, content, content->InfoHashDigest, 20);
}
