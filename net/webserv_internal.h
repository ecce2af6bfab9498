// Functions shared by the two files of the embedded HTTP server (the record,
// listener and passes; the connection phases). Not for other callers.
#pragma once

#include "net/webserv.h"

// A MIME row, pooled, listed by ascending CRC.
struct WebServerMimeRecord {
    WebServerMimeRecord *Next;
    uint32_t Crc; // CRC-32 of the upper-cased extension
    char Extension[10];
    char Type[40];
    char Subtype[86];
};

// webserv_request.cpp
// Runs the connection's phases until its phase stops changing. 0 when the
// connection must be closed now (I/O failure, time-out).
int WebServer_ProcessConnection(WebServerStruct *server, WebServerRequestStruct *request);
// Empties a connection for a new request: phase 1, headers freed, texts
// cleared; unconsumed request bytes are kept.
void WebServer_ResetRequest(WebServerStruct *server, WebServerRequestStruct *request);
// Gives the connection's output buffer back (none: nothing); Out becomes null.
void WebServer_FreeOutBuffer(WebServerStruct *server, WebServerRequestStruct *request);
// Gives every record of *list back and clears *list.
void WebServer_FreeHeaders(WebServerStruct *server, WebServerHeaderRecord **list);

// webserv.cpp
// A block of list->Size bytes: a spare one (old bytes kept) or a new, zeroed one.
void *WebServer_TakeBlock(WebServerSpareList *list);
// Keeps the block as a spare while fewer than Limit are kept, else frees it.
void WebServer_GiveBlock(WebServerSpareList *list, void *block);
// Frees every spare block of the server (blocks in use are not spares).
void WebServer_ReleaseSpares(WebServerStruct *server);
