// The settings container downloader: fetches an FFS archive over HTTP, keeps a
// copy in a private cache folder, revalidates it with a HEAD request, falls back
// to it when the server cannot be reached, and reads its "settings.xml".
#pragma once

#include <cstdint>

struct FFSDownloader;
struct StopFlag;
struct XmlStruct;

// Largest container body taken from a server; a longer one fails the download.
constexpr int64_t FFSDOWNLOADER_BODY_LIMIT = 16LL * 1024 * 1024;
enum {
    FFSDOWNLOADER_PATH_SIZE = 320,
    FFSDOWNLOADER_MAX_ATTEMPTS = 5,
    FFSDOWNLOADER_ATTEMPT_SECONDS = 60, // between the starts of two attempts
    FFSDOWNLOADER_PAUSE_MS = 50,        // between two looks at the clock
};

// The clock of the attempt loop: seconds of a monotonic clock and a pause.
// Tests install their own so that attempts 60 s apart take no real time.
struct FFSDownloaderClock {
    double (*Now)(void *user);
    void (*Sleep)(void *user, int milliseconds);
    void *User;
};

// Creates a downloader (empty document, closed container, cache on, cache
// folder "<XDG cache folder>portico/") into *downloader. Returns 1.
int FFSDownloader_Create(FFSDownloader **downloader);
// Frees the downloader with its document and container; clears *downloader,
// accepts null. Returns 1.
int FFSDownloader_Destroy(FFSDownloader **downloader);
// The cache switch: 0 downloads at every attempt. Returns 1.
int FFSDownloader_SetCache(FFSDownloader *downloader, int flag);
// The folder holding the cached copies (created with mode 0700 when missing);
// a path that does not fit is refused (0, logged). Returns 1.
int FFSDownloader_SetCacheFolder(FFSDownloader *downloader, const char *folder);
// Installs a clock (copied; null restores the monotonic clock and real pauses).
// Returns 1.
int FFSDownloader_SetClock(FFSDownloader *downloader, const FFSDownloaderClock *clock);
// The cached copy's path for url: the cache folder, "Vexil-", the SHA-1 of the
// URL text in 40 lower-case hex digits and ".FFS". 1; 0 ("") when it does not fit.
int FFSDownloader_GetCachePath(FFSDownloader *downloader, const char *url, char *path, int size);
// Fetches the container at url and reads its "settings.xml" into the document:
// up to 5 attempts 60 s apart, until stop (null: none) holds 1. Returns 1 when
// the document holds "settings.xml"; *usedCache is then 1 when the server could
// not be reached and the cached copy was used. 0 (logged once through
// Patcher_Log) when every attempt failed or the stop flag was raised. A failed
// request never removes or cuts a cached copy; a copy that does not load as a
// container is deleted so that the next attempt downloads it afresh.
int FFSDownloader_Fetch(FFSDownloader *downloader, int *usedCache, const char *url,
                        const StopFlag *stop);
// The document (owned by the downloader, emptied by the next fetch). Returns 1.
int FFSDownloader_GetXml(FFSDownloader *downloader, XmlStruct **xml);
