// The settings container downloader. A copy is replaced only by a whole new body
// (written beside it and renamed over it), so a failed request never loses a
// good copy; the loop makes at most five attempts a minute apart, on a clock
// that tests replace.
#include "patcher/ffsdownloader.h"

#include "core/alert.h"
#include "core/file.h"
#include "core/oshelper.h"
#include "core/sha1.h"
#include "core/stopflag.h"
#include "core/xml.h"
#include "core/zyl.h"
#include "net/webget.h"
#include "patcher/delta/ffscomp1.h"
#include "patcher/delta/ffscontainer.h"
#include "patcher/patcherlog.h"
#include "patcher/pathsafety.h"
#include "patcher/timehelper.h"

#include <sys/stat.h>

static const char kFFSDownloaderTag[] = "ffsdownloader";
static const char kSettingsName[] = "settings.xml";

enum { kPathSize = FFSDOWNLOADER_PATH_SIZE, kHeaderSize = 320 };

struct FFSDownloader {
    const char *Tag;
    XmlStruct *Xml;
    FfsContainer *Ffs;
    int Cache; // 1: revalidate and fall back to the cached copy
    char CacheFolder[kPathSize];
    FFSDownloaderClock Clock;
};

static double FFSDownloader_InternalNow(void *) {
    return Zyl_GetTickSeconds();
}
static void FFSDownloader_InternalSleep(void *, int milliseconds) {
    Zyl_SleepMilliseconds(milliseconds);
}

int FFSDownloader_Create(FFSDownloader **downloader) {
    ZYL_CHECK_PTR(downloader);
    FFSDownloader *d = ZYL_NEW(FFSDownloader);
    d->Tag = kFFSDownloaderTag;
    Xml_Create(&d->Xml);
    FfsContainer_Create(&d->Ffs);
    d->Cache = 1;
    d->Clock = {FFSDownloader_InternalNow, FFSDownloader_InternalSleep, nullptr};
    char folder[kPathSize];
    if (Zyl_GetSpecialFolder(ZYL_FOLDER_INTERNET_CACHE, folder, kPathSize))
        Zyl_FormatString(d->CacheFolder, kPathSize, "%sportico/", folder);
    *downloader = d;
    return 1;
}

int FFSDownloader_Destroy(FFSDownloader **downloader) {
    ZYL_CHECK_PTR(downloader);
    FFSDownloader *d = *downloader;
    if (d == nullptr)
        return 1;
    ZYL_CHECK_TAG(d, kFFSDownloaderTag);
    Xml_Destroy(&d->Xml);
    FfsContainer_Destroy(&d->Ffs);
    d->Tag = Zyl_DeadTag;
    ZYL_FREE(d, sizeof(FFSDownloader));
    *downloader = nullptr;
    return 1;
}

int FFSDownloader_SetCache(FFSDownloader *d, int flag) {
    ZYL_CHECK_TAG(d, kFFSDownloaderTag);
    d->Cache = flag;
    return 1;
}

int FFSDownloader_SetCacheFolder(FFSDownloader *d, const char *folder) {
    ZYL_CHECK_TAG(d, kFFSDownloaderTag);
    ZYL_CHECK_PTR(folder);
    char copy[kPathSize];
    if (!Zyl_StrCopy(copy, folder, kPathSize) || !Zyl_NormalizePath(copy, 1, kPathSize)) {
        Alert_Log(ALERT_KIND_ERROR, ALERT_LEVEL_NORMAL,
                  "FFSDownloader:: Cache folder too long [%s]", folder);
        return 0;
    }
    Zyl_StrCopy(d->CacheFolder, copy, kPathSize);
    return 1;
}

int FFSDownloader_SetClock(FFSDownloader *d, const FFSDownloaderClock *clock) {
    ZYL_CHECK_TAG(d, kFFSDownloaderTag);
    if (clock == nullptr)
        d->Clock = {FFSDownloader_InternalNow, FFSDownloader_InternalSleep, nullptr};
    else
        d->Clock = *clock;
    return 1;
}

int FFSDownloader_GetCachePath(FFSDownloader *d, const char *url, char *path, int size) {
    ZYL_CHECK_TAG(d, kFFSDownloaderTag);
    ZYL_CHECK_PTR(url);
    ZYL_CHECK_PTR(path);
    Sha1Struct sha;
    Sha1_Init(&sha);
    Sha1_Update(&sha, url, Zyl_StrLen(url));
    Sha1_Final(&sha);
    char hex[64];
    Sha1_GetHexString(&sha, 0, hex, sizeof hex);
    int needed = Zyl_StrLen(d->CacheFolder) + 6 + 40 + 4;
    if (d->CacheFolder[0] == 0 || needed >= size) {
        path[0] = 0;
        return 0;
    }
    Zyl_FormatString(path, size, "%sVexil-%s.FFS", d->CacheFolder, hex);
    return 1;
}

int FFSDownloader_GetXml(FFSDownloader *d, XmlStruct **xml) {
    ZYL_CHECK_TAG(d, kFFSDownloaderTag);
    ZYL_CHECK_PTR(xml);
    *xml = d->Xml;
    return 1;
}

// The cache folder exists, private to the user, and is no link.
static int FFSDownloader_InternalPrepareFolder(FFSDownloader *d) {
    if (d->CacheFolder[0] == 0 || !Zyl_CreateDirectory(d->CacheFolder, 0, 0))
        return 0;
    if (PathSafety_IsLink(d->CacheFolder)) {
        Alert_Log(ALERT_KIND_ERROR, ALERT_LEVEL_NORMAL,
                  "FFSDownloader:: Cache folder is a link [%s]", d->CacheFolder);
        return 0;
    }
    chmod(d->CacheFolder, 0700);
    return 1;
}

// The request's start callback: a raised stop flag ends it.
static int FFSDownloader_InternalStart(WebGetStruct *, void *stop) {
    return stop == nullptr || StopFlag_Test(static_cast<const StopFlag *>(stop)) != 1;
}

// A client for one blocking request of the method, held to the body limit.
static WebGetStruct *FFSDownloader_InternalRequest(const char *url, int method,
                                                   const StopFlag *stop, int *success) {
    WebGetStruct *web = nullptr;
    WebGet_Create(&web);
    WebGetSettingsStruct settings;
    WebGet_GetSettings(web, &settings);
    settings.Method = method;
    settings.Blocking = 1;
    settings.IOTimeout = 10;
    settings.SizeLimit = FFSDOWNLOADER_BODY_LIMIT;
    // The fetch loop retries on its own schedule, so one attempt and no wait
    // after it.
    settings.Attempts = 1;
    settings.RetryDelay = 0;
    WebGet_Configure(web, &settings);
    WebGet_SetStartCallback(web, const_cast<StopFlag *>(stop), FFSDownloader_InternalStart);
    WebGet_SetURL(web, url);
    *success = 0;
    while (WebGet_Process(web, success) == 1) {
    }
    return web;
}

// Downloads url over the cached copy at path. 1 when path holds the new body.
static int FFSDownloader_InternalDownload(const char *path, const char *url, const StopFlag *stop) {
    int success = 0;
    WebGetStruct *web = FFSDownloader_InternalRequest(url, WEBGET_GET, stop, &success);
    const char *content = nullptr;
    int64_t size = 0;
    if (success)
        WebGet_GetContent(web, &content, &size);
    if (!success || content == nullptr || size > FFSDOWNLOADER_BODY_LIMIT) {
        Alert_Log(ALERT_KIND_MESSAGE, ALERT_LEVEL_NORMAL,
                  "FFSDownloader:: Unable to retrieve [%s]\n", url);
        WebGet_Destroy(&web);
        return 0;
    }
    int written = File_ReplaceAtomic(path, content, size);
    WebGet_Destroy(&web);
    if (!written) {
        Alert_Log(ALERT_KIND_MESSAGE, ALERT_LEVEL_NORMAL,
                  "FFSDownloader:: Unable to create file %s!\n", path);
        return 0;
    }
    return 1;
}

// 1 when the reply's headers show the server's copy is the cached one: all
// three headers, the same size, and the cached file's time (moved by the
// server's clock offset) not earlier than the server copy's.
static int FFSDownloader_InternalIsCurrent(WebGetStruct *web, int64_t fileSize,
                                           int32_t fileMinutes) {
    char date[kHeaderSize], modified[kHeaderSize], length[kHeaderSize];
    if (!WebGet_GetHeaderValue(web, "Date", date, kHeaderSize) ||
        !WebGet_GetHeaderValue(web, "Last-Modified", modified, kHeaderSize) ||
        !WebGet_GetHeaderValue(web, "Content-Length", length, kHeaderSize))
        return 0;
    int64_t serverSize = 0;
    if (fileSize <= 0 || !Zyl_ParseInt64(length, &serverSize) || serverSize != fileSize)
        return 0;
    int32_t dateMinutes = 0, modifiedMinutes = 0, now = 0;
    if (!TimeHelper_HttpDateToMinutes(date, &dateMinutes) ||
        !TimeHelper_HttpDateToMinutes(modified, &modifiedMinutes))
        return 0;
    TimeHelper_NowMinutes(&now);
    int64_t offset = (int64_t)dateMinutes - now;
    return (int64_t)fileMinutes + offset >= (int64_t)modifiedMinutes;
}

// Keeps the cached copy when the server's headers allow it, else downloads. 1
// when path holds the container; *usedCache 1 when the server was not reached.
static int FFSDownloader_InternalRevalidate(FFSDownloader *d, const char *path, const char *url,
                                            const StopFlag *stop, int *usedCache) {
    *usedCache = 0;
    if (!d->Cache) {
        Alert_Log(ALERT_KIND_NOTICE, ALERT_LEVEL_NORMAL, "FFSDownloader:: Cache disabled");
        return FFSDownloader_InternalDownload(path, url, stop);
    }
    FileStruct *file = nullptr;
    File_New(&file);
    File_SetOpenRetries(file, 1);
    File_SetReportErrors(file, 0);
    if (!File_Open(file, path, FILE_MODE_READ | FILE_MODE_SHARE_READ | FILE_MODE_NO_LINK)) {
        File_Delete(&file);
        Alert_Log(ALERT_KIND_MESSAGE, ALERT_LEVEL_NORMAL,
                  "FFSDownloader:: Unable to open file %s!\n", path);
        return FFSDownloader_InternalDownload(path, url, stop);
    }
    int64_t fileSize = 0;
    int32_t unixMinutes = 0, fileMinutes = 0;
    File_GetSize(file, &fileSize);
    File_GetModifiedTime(file, &unixMinutes);
    File_Close(file);
    File_Delete(&file);
    TimeHelper_UnixToMinutes((time_t)unixMinutes * 60, &fileMinutes);

    int success = 0;
    WebGetStruct *web = FFSDownloader_InternalRequest(url, WEBGET_HEAD, stop, &success);
    if (!success) {
        WebGet_Destroy(&web);
        *usedCache = 1;
        Alert_Log(ALERT_KIND_MESSAGE, ALERT_LEVEL_NORMAL,
                  "FFSDownloader:: Unable to retrieve [%s] - using cached version\n", url);
        return 1;
    }
    int current = FFSDownloader_InternalIsCurrent(web, fileSize, fileMinutes);
    WebGet_Destroy(&web);
    if (current)
        return 1;
    return FFSDownloader_InternalDownload(path, url, stop);
}

// Reads "settings.xml" of the container at path into the document. The
// container is closed again either way.
static int FFSDownloader_InternalLoad(FFSDownloader *d, const char *path) {
    if (PathSafety_IsLink(path) || !FfsContainer_Open(d->Ffs, path, 0, 0, 1)) {
        Alert_Log(ALERT_KIND_MESSAGE, ALERT_LEVEL_NORMAL,
                  "FFSDownloader:: Unable to load FFS container\n");
        FfsContainer_Close(d->Ffs);
        return 0;
    }
    FfsContainer_AddCodec(d->Ffs, "Comp1", "1.00", FfsComp1_CreateContext, FfsComp1_DestroyContext,
                          FfsComp1_Decompress, FfsComp1_GetSize, FfsComp1_Detect);
    int size = 0;
    int ok = 0;
    if (!FfsContainer_GetSize(d->Ffs, kSettingsName, &size)) {
        Zyl_Print("Failed to get size for settings.xml\n");
    } else {
        // The text is not terminated inside the archive: it is read with its
        // length and terminated here.
        char *text = static_cast<char *>(ZYL_ALLOC(size + 1));
        if (!FfsContainer_Load(d->Ffs, kSettingsName, reinterpret_cast<uint8_t *>(text), size))
            Zyl_Print("Failed to load settings.xml\n");
        else
            ok = Xml_ParseBuffer(d->Xml, text);
        ZYL_FREE(text, size + 1);
    }
    FfsContainer_Close(d->Ffs);
    return ok;
}

int FFSDownloader_Fetch(FFSDownloader *d, int *usedCache, const char *url, const StopFlag *stop) {
    ZYL_CHECK_TAG(d, kFFSDownloaderTag);
    ZYL_CHECK_PTR(usedCache);
    ZYL_CHECK_PTR(url);
    *usedCache = 0;
    Xml_Clear(d->Xml);
    char path[kPathSize];
    int result = 0;
    if (FFSDownloader_GetCachePath(d, url, path, kPathSize) &&
        FFSDownloader_InternalPrepareFolder(d)) {
        int attempts = 0;
        double last = 0;
        while (stop == nullptr || StopFlag_Test(stop) != 1) {
            double now = d->Clock.Now(d->Clock.User);
            if (attempts == 0 || now - last > (double)FFSDOWNLOADER_ATTEMPT_SECONDS) {
                attempts++;
                last = now;
                int used = 0;
                if (FFSDownloader_InternalRevalidate(d, path, url, stop, &used)) {
                    if (FFSDownloader_InternalLoad(d, path)) {
                        *usedCache = used;
                        result = 1;
                        break;
                    }
                    // A copy that does not load is fetched afresh next time.
                    FileStruct *file = nullptr;
                    File_New(&file);
                    File_Erase(file, path);
                    File_Delete(&file);
                }
                if (attempts >= FFSDOWNLOADER_MAX_ATTEMPTS)
                    break;
            }
            d->Clock.Sleep(d->Clock.User, FFSDOWNLOADER_PAUSE_MS);
        }
    }
    if (!result) {
        Xml_Clear(d->Xml);
        Patcher_Log(PATCHER_LOG_WARNING, "FFSDownloader:: Unable to download skin ffs [%s]", url);
    }
    return result;
}
