// Reads of "settings.xml" values for the download client and its downloads. Every
// value is looked up by its dotted path below "Application.User."; a missing
// node leaves the caller's value as it was.
#include "patcher/serveroptions.h"

#include "core/xml.h"
#include "core/zyl.h"
#include "engine/piece.h"
#include "patcher/patcherclient.h"

static const char kPrefix[] = "Application.User.";

// The node's text, or null when the node is absent.
static const char *ServerOptions_InternalText(XmlStruct *xml, const char *key) {
    char path[SERVEROPTIONS_KEY_SIZE];
    if (Zyl_FormatString(path, SERVEROPTIONS_KEY_SIZE, "%s%s", kPrefix, key) >=
        SERVEROPTIONS_KEY_SIZE - 1)
        return nullptr;
    XmlNodeStruct *node = nullptr;
    if (!Xml_FindPath(xml, path, &node) || node == nullptr)
        return nullptr;
    const char *data = nullptr;
    Xml_GetData(xml, node, &data);
    return data != nullptr ? data : "";
}

int ServerOptions_GetString(char *destination, XmlStruct *xml, const char *key, int size) {
    ZYL_CHECK_PTR(destination);
    ZYL_CHECK_PTR(xml);
    ZYL_CHECK_PTR(key);
    const char *text = ServerOptions_InternalText(xml, key);
    if (text == nullptr || size < 1)
        return 0;
    Zyl_StrCopy(destination, text, size);
    return 1;
}

int ServerOptions_ReadString(char *destination, XmlStruct *xml, const char *key, int size) {
    ZYL_CHECK_PTR(destination);
    if (size > 0)
        destination[0] = 0;
    return ServerOptions_GetString(destination, xml, key, size);
}

int ServerOptions_GetBool(const char *key, XmlStruct *xml, int32_t *value) {
    ZYL_CHECK_PTR(value);
    *value = 0;
    char text[SERVEROPTIONS_TEXT_SIZE] = "";
    if (!ServerOptions_GetString(text, xml, key, SERVEROPTIONS_TEXT_SIZE))
        return 0;
    int parsed = 0;
    Zyl_ParseBool(text, &parsed, 0);
    *value = parsed;
    return 1;
}

int ServerOptions_Load(ServerOptions *options, XmlStruct *xml) {
    ZYL_CHECK_PTR(options);
    ZYL_CHECK_PTR(xml);
    ServerOptions_SetDefaults(options);
    ServerOptions_GetString(options->TorrentBase, xml, "TorrentBase", SERVEROPTIONS_TEXT_SIZE);
    ServerOptions_GetBool("AllowBitBase", xml, &options->AllowBitBase);
    ServerOptions_GetBool("AllowWebBase", xml, &options->AllowWebBase);
    char text[SERVEROPTIONS_TEXT_SIZE];
    int mode = 0;
    if (ServerOptions_GetString(text, xml, "PieceOrder", SERVEROPTIONS_TEXT_SIZE) &&
        Piece_ParseOrder(text, &mode))
        options->PieceOrder = mode;
    int32_t stagger = 0;
    if (ServerOptions_GetBool("ReliableSource_Stagger", xml, &stagger) ||
        ServerOptions_GetBool("ReliableStagger", xml, &stagger))
        options->ReliableStagger = stagger;
    int64_t pieces = 0;
    if ((ServerOptions_GetString(text, xml, "ReliableSource_ReserveMaxPieces",
                                 SERVEROPTIONS_TEXT_SIZE) ||
         ServerOptions_GetString(text, xml, "ReliableReserveMaxPieces", SERVEROPTIONS_TEXT_SIZE)) &&
        Zyl_ParseInt64(text, &pieces) && pieces >= 0 && pieces <= INT32_MAX)
        options->ReliableReserveMaxPieces = (int32_t)pieces;
    return 1;
}
