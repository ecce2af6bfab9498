// Readers of a settings container's "settings.xml" for the download client:
// values under "Application.User." read as texts and booleans, and a download's
// server options (sources allowed, piece order, web-source pacing, metafile base).
#pragma once

#include <cstdint>

struct ServerOptions;
struct XmlStruct;

enum { SERVEROPTIONS_KEY_SIZE = 1024, SERVEROPTIONS_TEXT_SIZE = 320 };

// Copies the text of "Application.User.<key>" into destination (at most size - 1
// characters). 1 when the node exists; 0 (destination unchanged) when it does
// not or the path does not fit.
int ServerOptions_GetString(char *destination, XmlStruct *xml, const char *key, int size);
// The same after emptying destination.
int ServerOptions_ReadString(char *destination, XmlStruct *xml, const char *key, int size);
// The node's text as a boolean (1/TRUE/YES/ON, any case; other words 0) into
// *value. 1 when the node exists; 0 with *value 0 when it does not.
int ServerOptions_GetBool(const char *key, XmlStruct *xml, int32_t *value);
// A download's server options from its container's document: the defaults
// (ServerOptions_SetDefaults), then TorrentBase; AllowBitBase and AllowWebBase
// (an absent key reads 0); PieceOrder by its order name (unknown names keep the
// default); "ReliableSource_Stagger", else "ReliableStagger" (boolean);
// "ReliableSource_ReserveMaxPieces", else "ReliableReserveMaxPieces" (a decimal
// count of 0 or more). Values that are absent or unreadable keep the default.
// Returns 1.
int ServerOptions_Load(ServerOptions *options, XmlStruct *xml);
