// Fetches one small document (a ".package" document or a package list) over
// HTTP for the Patcher's thread: one blocking GET with a 10 s I/O time-out, asked
// once more with empty Basic credentials after a 401, held to 16 MiB; one
// attempt each, as the callers retry on their own schedule.
#pragma once

#include <cstdint>

// Bytes a fetched document may have; a longer one fails the fetch.
constexpr int64_t PATCHER_DOCUMENT_LIMIT = 16LL * 1024 * 1024;

struct Patcher;

// GETs url and hands back the content as a NUL-terminated copy in *content
// (ZYL_ALLOC'd, *size + 1 bytes; free with PatcherFetch_Free). Returns 1; 0 with
// *content null and "Error retrieving [%s] ErrorCode %d" logged at level 0 when
// the request failed, the reply was not 2xx or the document exceeds the limit.
// A patcher being destroyed (null: none) ends the request at its start.
int PatcherFetch_Get(const char *url, char **content, int64_t *size, Patcher *patcher);
// Frees what PatcherFetch_Get handed out and clears *content; accepts null.
int PatcherFetch_Free(char **content, int64_t size);
