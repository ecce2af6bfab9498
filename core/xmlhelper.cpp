// Dotted-path access to XML documents on top of the node API: exact-name child
// lookup, path walks that can create missing elements, and path text and
// attribute set/get. Settings and descriptor files are read and written this way.
#include "core/xmlhelper.h"
#include "core/xml.h"
#include "core/zyl.h"

#include <cstring>

static int FindInList(XmlStruct *xml, XmlNodeStruct *node, const char *name, XmlNodeStruct **out) {
    for (; node; Xml_GetNextSibling(xml, node, &node)) {
        const char *nodeName = nullptr;
        Xml_GetName(xml, node, &nodeName);
        if (Zyl_StrEqual(nodeName, name)) {
            *out = node;
            return 1;
        }
    }
    return 0;
}

int XmlHelper_FindChild(XmlNodeStruct *parent, const char *name, XmlNodeStruct **out,
                        XmlStruct *xml) {
    ZYL_CHECK_PTR(name);
    ZYL_CHECK_PTR(out);
    ZYL_CHECK_PTR(xml);
    *out = nullptr;
    XmlNodeStruct *first = nullptr;
    if (parent) {
        Xml_GetFirstChild(xml, parent, &first);
        return FindInList(xml, first, name, out);
    }
    if (!Xml_GetRoot(xml, &first))
        return 0;
    if (FindInList(xml, first, name, out))
        return 1;
    // Elements added without a parent go below the first top-level node; when
    // that is the "xml" declaration they are top-level elements to the reader.
    int kind = 0;
    Xml_GetKind(xml, first, &kind);
    if (kind != XML_KIND_DECLARATION || !Xml_GetFirstChild(xml, first, &first))
        return 0;
    return FindInList(xml, first, name, out);
}

int XmlHelper_FindPath(const char *path, XmlStruct *xml, XmlNodeStruct *start, int create,
                       XmlNodeStruct **out) {
    ZYL_CHECK_PTR(path);
    ZYL_CHECK_PTR(xml);
    ZYL_CHECK_PTR(out);
    *out = nullptr;
    XmlNodeStruct *node = start;
    const char *segment = path;
    while (*path) {
        const char *dot = strchr(segment, '.');
        int length = dot ? (int)(dot - segment) : Zyl_StrLen(segment);
        if (length == 0 || length >= XMLHELPER_TEXT_SIZE) {
            Zyl_Print("XmlHelper_FindPath() invalid path segment [%s]\n", path);
            return 0;
        }
        char name[XMLHELPER_TEXT_SIZE];
        memcpy(name, segment, (size_t)length);
        name[length] = 0;
        XmlNodeStruct *child = nullptr;
        if (!XmlHelper_FindChild(node, name, &child, xml)) {
            if (!create)
                return 0;
            Xml_AddElement(xml, node, nullptr, &child, name);
        }
        node = child;
        if (dot == nullptr)
            break;
        segment = dot + 1;
    }
    *out = node;
    return 1;
}

int XmlHelper_GetPathText(XmlNodeStruct *node, const char *path, XmlStruct *xml,
                          const char **text) {
    ZYL_CHECK_PTR(text);
    *text = nullptr;
    XmlNodeStruct *found = nullptr;
    if (!XmlHelper_FindPath(path, xml, node, 0, &found) || found == nullptr)
        return 0;
    Xml_GetData(xml, found, text);
    return 1;
}

int XmlHelper_SetPathText(const char *path, XmlNodeStruct *node, const char *text, XmlStruct *xml) {
    ZYL_CHECK_PTR(text);
    XmlNodeStruct *found = nullptr;
    if (!XmlHelper_FindPath(path, xml, node, 1, &found) || found == nullptr)
        return 0;
    return Xml_SetData(xml, found, text);
}

int XmlHelper_GetXsiType(char *buffer, XmlStruct *xml, XmlNodeStruct *node) {
    ZYL_CHECK_PTR(buffer);
    return Xml_GetAttribute(xml, node, "xsi:type", buffer, XMLHELPER_TEXT_SIZE);
}

int XmlHelper_SetAttribute(XmlStruct *xml, const char *name, XmlNodeStruct *node,
                           const char *value) {
    if (Xml_HasAttribute(xml, node, name))
        return Xml_SetAttribute(xml, node, name, value);
    return Xml_AddAttribute(xml, node, name, value);
}
