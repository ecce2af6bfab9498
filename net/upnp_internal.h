// Functions shared by the files of the UPnP client (search and tree in upnp.cpp,
// descriptions and SOAP actions in upnp_action.cpp). Not for other callers.
#pragma once

#include "net/upnp.h"

// Grows the message buffer to at least `size` bytes in steps of 1024, keeping
// its content.
void Upnp_GrowBuffer(UpnpStruct *context, int size);
