// Functions shared by the files of the HTTP client (record and settings, the
// request and reply head, the phase machine and body). Not for other callers.
#pragma once

#include "net/webget.h"

// Chunk decoder states.
enum {
    WEBGET_CHUNK_SIZE = 0,    // reading a size line
    WEBGET_CHUNK_DATA = 1,    // ChunkLeft bytes of data to deliver
    WEBGET_CHUNK_CRLF = 2,    // the line end after a chunk's data
    WEBGET_CHUNK_TRAILER = 3, // lines after the last chunk, up to an empty one
    WEBGET_CHUNK_DONE = 4,
};

// webget_request.cpp
int WebGet_BuildRequest(WebGetStruct *web);
// Looks for the end of the reply head in the receive buffer (new bytes start at
// `from`); 1 with the head moved to the header buffer.
int WebGet_FindHeaderEnd(WebGetStruct *web, int from);
// Parses the head in the header buffer; 0 on a malformed head (logged).
int WebGet_ParseHeader(WebGetStruct *web);
// After the head: decides redirect, veto or body; sets the next phase.
void WebGet_EvaluateHeader(WebGetStruct *web);
// Host without port, lower case.
void WebGet_HostWithoutPort(const char *host, char *buffer, int size);
// 1 when `host` equals `domain` or ends with it on a '.' boundary (leading '.'
// of the domain ignored), without regard to case.
int WebGet_DomainCovers(const char *domain, const char *host);
// Cleans the current URL in place ("http://" added, backslashes, path normalized).
int WebGet_CleanCurrentURL(WebGetStruct *web);

// webget_transfer.cpp
int WebGet_ReadHeader(WebGetStruct *web);
int WebGet_ReadBody(WebGetStruct *web);
int WebGet_ProcessContent(WebGetStruct *web);
int WebGet_Lookup(WebGetStruct *web);
int WebGet_Connect(WebGetStruct *web);

// webget.cpp
int WebGet_GrowHeaderBuffer(WebGetStruct *web, int needed);
// A header value without the blanks around it: the start in text, and in
// *length the characters up to the line end.
const char *WebGet_TrimValue(const char *text, int *length);
// The extra header of that name (any case), or null.
WebGetHeaderRecord *WebGet_FindExtraHeader(WebGetStruct *web, const char *name);
double WebGet_Now(void);
