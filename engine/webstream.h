// Local HTTP streaming of a download's content through the embedded server.
// This is the least record the manager creates and binds: it registers no
// callback with the server yet.
#pragma once

struct ManagerStruct;

struct WebStreamStruct {
    const char *Tag;
    ManagerStruct *Manager; // borrowed
};

int WebStream_Create(WebStreamStruct **stream);
int WebStream_Destroy(WebStreamStruct **stream);
// Binds the manager; a second call is fatal ("Parent handle already set").
int WebStream_SetParent(ManagerStruct *manager, WebStreamStruct *stream);
