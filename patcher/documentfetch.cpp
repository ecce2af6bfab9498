// The document fetch shared by the package controller and the package list:
// every call has a client of its own, so fetches of different objects never
// share a connection, and the content is copied out before the client goes.
#include "patcher/documentfetch.h"

#include "core/zyl.h"
#include "net/webget.h"
#include "patcher/patcher.h"
#include "patcher/patcherlog.h"

#include <cstring>

// The request's start callback: a Patcher that is being destroyed ends it.
static int PatcherFetch_InternalStart(WebGetStruct *, void *patcher) {
    return patcher == nullptr || Patcher_IsStopping(static_cast<Patcher *>(patcher)) == 0;
}

// One request to the end. 1 on a 2xx reply within the limit.
static int PatcherFetch_InternalRequest(WebGetStruct *web, const char *url) {
    WebGet_ClearHeaders(web);
    WebGet_SetURL(web, url);
    int success = 0;
    while (WebGet_Process(web, &success) == 1) {
    }
    return success;
}

int PatcherFetch_Get(const char *url, char **content, int64_t *size, Patcher *patcher) {
    ZYL_CHECK_PTR(url);
    ZYL_CHECK_PTR(content);
    ZYL_CHECK_PTR(size);
    *content = nullptr;
    *size = 0;
    WebGetStruct *web = nullptr;
    WebGet_Create(&web);
    WebGetSettingsStruct settings;
    WebGet_GetSettings(web, &settings);
    settings.Method = WEBGET_GET;
    settings.Blocking = 1;
    settings.IOTimeout = 10;
    settings.SizeLimit = PATCHER_DOCUMENT_LIMIT;
    // The callers retry on their own schedule; a fetch never holds the
    // Patcher's thread through retries of its own.
    settings.Attempts = 1;
    WebGet_Configure(web, &settings);
    WebGet_SetStartCallback(web, patcher, PatcherFetch_InternalStart);
    int success = PatcherFetch_InternalRequest(web, url);
    if (!success && WebGet_GetStatus(web) == 401) {
        // Servers that protect their documents with Basic authentication
        // accept the empty user and password.
        WebGet_ClearHeaders(web);
        WebGet_AddHeader(web, "Authorization", "Basic Og==");
        WebGet_SetURL(web, url);
        while (WebGet_Process(web, &success) == 1) {
        }
    }
    const char *text = nullptr;
    int64_t length = 0;
    if (success)
        WebGet_GetContent(web, &text, &length);
    if (!success || text == nullptr || length > PATCHER_DOCUMENT_LIMIT) {
        Patcher_Log(PATCHER_LOG_WARNING, "Error retrieving [%s] ErrorCode %d", url,
                    WebGet_GetStatus(web));
        WebGet_Destroy(&web);
        return 0;
    }
    char *copy = static_cast<char *>(ZYL_ALLOC(length + 1));
    memcpy(copy, text, (size_t)length);
    copy[length] = 0;
    WebGet_Destroy(&web);
    *content = copy;
    *size = length;
    return 1;
}

int PatcherFetch_Free(char **content, int64_t size) {
    ZYL_CHECK_PTR(content);
    if (*content != nullptr)
        ZYL_FREE(*content, size + 1);
    *content = nullptr;
    return 1;
}
