// The XML document: life of the record, loading, nodes, attributes, searches by
// name and dotted path, the text decoder and the dump. Nodes come from a member
// pool and every text from a string pool, so a clear costs two pool resets.
#include "core/file.h"
#include "core/pool.h"
#include "core/xml_private.h"
#include "core/zyl.h"

#include <cstring>

const char Xml_Tag[] = "xml";

// ---------------------------------------------------------------------------
// Internal helpers shared with the reader and writer
// ---------------------------------------------------------------------------

// Text pool bytes (zeroed, length + 1): the string pool hands out bytes of new
// chunks only, which the allocator zeroed.
static char *Xml_TextAlloc(XmlStruct *xml, int64_t length) {
    return static_cast<char *>(POOL_ALLOC(xml->TextPool, length + 1));
}

// The document's copy of the text it parses in place: nodes point into it, so
// it lives until the next clear. Only its terminating bytes are zeroed; the
// caller writes the first length bytes.
static char *Xml_TakeSource(XmlStruct *xml, int64_t length) {
    static const int64_t kTail = 9;
    xml->SourceSize = length + kTail;
    xml->Source = static_cast<char *>(ZYL_ALLOC_UNFILLED(xml->SourceSize));
    memset(xml->Source + length, 0, (size_t)kTail);
    return xml->Source;
}

static uint32_t NameHash(const char *name, int length) {
    return Zyl_Crc32NoCase(name, length);
}

static int64_t ChunkBytes(int64_t count) {
    return (int64_t)sizeof(XmlNodeChunk) + count * (int64_t)sizeof(XmlNodeStruct);
}

static XmlNodeStruct *ChunkNodes(XmlNodeChunk *chunk) {
    return reinterpret_cast<XmlNodeStruct *>(chunk + 1);
}

// A zeroed node: a removed one, else the next of the chunk in use, else the first
// of the next chunk (kept from before the last clear, or new).
static XmlNodeStruct *Xml_TakeNode(XmlStruct *xml) {
    XmlNodeStruct *node = xml->FreeNodes;
    if (node != nullptr) {
        xml->FreeNodes = node->Next;
    } else {
        if (xml->ChunkInUse == nullptr || xml->ChunkUsed == xml->ChunkInUse->Count) {
            XmlNodeChunk *next = xml->ChunkInUse ? xml->ChunkInUse->Next : xml->Chunks;
            if (next == nullptr) {
                int64_t count = XML_FIRST_CHUNK_NODES;
                if (xml->ChunkInUse)
                    count = xml->ChunkInUse->Count * 2;
                if (count > XML_LAST_CHUNK_NODES)
                    count = XML_LAST_CHUNK_NODES;
                next = static_cast<XmlNodeChunk *>(ZYL_ALLOC_UNFILLED(ChunkBytes(count)));
                next->Next = nullptr;
                next->Count = count;
                if (xml->ChunkInUse)
                    xml->ChunkInUse->Next = next;
                else
                    xml->Chunks = next;
            }
            xml->ChunkInUse = next;
            xml->ChunkUsed = 0;
        }
        node = ChunkNodes(xml->ChunkInUse) + xml->ChunkUsed++;
    }
    memset(node, 0, sizeof *node);
    return node;
}

static void Xml_GiveNode(XmlStruct *xml, XmlNodeStruct *node) {
    node->Next = xml->FreeNodes;
    xml->FreeNodes = node;
    xml->NodeCount--;
}

XmlNodeStruct *Xml_NewHashedNode(XmlStruct *xml, char *name, int nameLength, uint32_t nameHash) {
    XmlNodeStruct *node = Xml_TakeNode(xml);
    node->Name = name;
    node->NameLength = nameLength;
    node->NameHash = nameHash;
    xml->NodeCount++;
    return node;
}

XmlNodeStruct *Xml_NewNode(XmlStruct *xml, char *name, int nameLength, int copyName) {
    if (copyName) {
        char *copy = Xml_TextAlloc(xml, nameLength);
        memcpy(copy, name, (size_t)nameLength);
        name = copy;
    }
    return Xml_NewHashedNode(xml, name, nameLength, NameHash(name, nameLength));
}

void Xml_LinkChild(XmlStruct *xml, XmlNodeStruct *owner, XmlNodeStruct *node) {
    node->Parent = owner;
    node->Next = nullptr;
    if (owner) {
        if (owner->LastChild)
            owner->LastChild->Next = node;
        else
            owner->FirstChild = node;
        owner->LastChild = node;
        return;
    }
    XmlNodeStruct **link = xml->TopLast ? &xml->TopLast->Next : &xml->Top;
    while (*link)
        link = &(*link)->Next;
    *link = node;
    xml->TopLast = node;
}

void Xml_LinkAttribute(XmlNodeStruct *owner, XmlNodeStruct *attribute, XmlNodeStruct *last) {
    attribute->Parent = owner;
    attribute->Next = nullptr;
    XmlNodeStruct **link = last ? &last->Next : &owner->Attributes;
    while (*link)
        link = &(*link)->Next;
    *link = attribute;
}

// ---------------------------------------------------------------------------
// Document
// ---------------------------------------------------------------------------

int Xml_Create(XmlStruct **out) {
    ZYL_CHECK_PTR(out);
    *out = nullptr;
    XmlStruct *xml = ZYL_NEW(XmlStruct);
    xml->Tag = Xml_Tag;
    xml->Newline = 1;
    xml->ShortEmptyTags = 1;
    File_New(&xml->File);
    xml->IndentWidth = 4;
    memset(xml->IndentText, ' ', 4);
    POOL_CREATE(xml->TextPool);
    Pool_SetMemberSize(xml->TextPool, XML_TEXT_SLOT_SIZE);
    Pool_SetMembersPerChunk(xml->TextPool, 1);
    Pool_SetStringMode(xml->TextPool, 1);
    *out = xml;
    return 1;
}

int Xml_Destroy(XmlStruct **pointer) {
    ZYL_CHECK_PTR(pointer);
    XmlStruct *xml = *pointer;
    if (xml == nullptr)
        return 1;
    ZYL_CHECK_TAG(xml, Xml_Tag);
    Xml_Clear(xml);
    File_Close(xml->File);
    File_Delete(&xml->File);
    Pool_Destroy(&xml->TextPool);
    while (xml->Chunks) {
        XmlNodeChunk *next = xml->Chunks->Next;
        ZYL_FREE(xml->Chunks, ChunkBytes(xml->Chunks->Count));
        xml->Chunks = next;
    }
    xml->Tag = Zyl_DeadTag;
    ZYL_FREE(xml, sizeof(XmlStruct));
    *pointer = nullptr;
    return 1;
}

int Xml_Clear(XmlStruct *xml) {
    ZYL_CHECK_TAG(xml, Xml_Tag);
    // Every node and text goes at once; no walk of the tree, whatever its depth.
    xml->ChunkInUse = nullptr; // the chunks are handed out again from the first
    xml->ChunkUsed = 0;
    xml->FreeNodes = nullptr;
    Pool_Reset(xml->TextPool);
    if (xml->Source)
        ZYL_FREE(xml->Source, xml->SourceSize);
    xml->Top = nullptr;
    xml->TopLast = nullptr;
    xml->NodeCount = 0;
    xml->FileName[0] = 0;
    return 1;
}

int Xml_LoadFile(XmlStruct *xml, const char *path) {
    ZYL_CHECK_TAG(xml, Xml_Tag);
    ZYL_CHECK_PTR(path);
    Xml_Clear(xml);
    double start = Zyl_GetSeconds();
    if (!File_Open(xml->File, path, FILE_MODE_READ | FILE_MODE_TEXT))
        return 0;
    int64_t size = 0;
    File_GetSize(xml->File, &size);
    if (size < 0 || size > XML_MAX_FILE_SIZE) {
        Zyl_Print("Xml_LoadFile() file too large (%I64d bytes) [%s]\n", size, path);
        File_Close(xml->File);
        return 0;
    }
    char *text = Xml_TakeSource(xml, size);
    int count = 0;
    if (size > 0 && !File_Read(xml->File, text, (int)size, &count)) {
        Zyl_Print("Xml_LoadFile() unable to read [%s]\n", path);
        File_Close(xml->File);
        Xml_Clear(xml);
        return 0;
    }
    text[count] = 0;
    File_Close(xml->File);
    Zyl_StrCopy(xml->FileName, path, (int)sizeof xml->FileName);
    Xml_ParseText(xml, text);
    Zyl_Print("XML-overall [%.4f secs]\n", Zyl_GetSeconds() - start);
    return 1;
}

int Xml_ParseBuffer(XmlStruct *xml, const char *text) {
    ZYL_CHECK_TAG(xml, Xml_Tag);
    ZYL_CHECK_PTR(text);
    Xml_Clear(xml);
    size_t length = strlen(text);
    if (length > XML_MAX_FILE_SIZE) {
        Zyl_Print("Xml_ParseBuffer() text too large (%I64u bytes)\n", (uint64_t)length);
        return 0;
    }
    char *copy = Xml_TakeSource(xml, (int64_t)length);
    memcpy(copy, text, length);
    Xml_ParseText(xml, copy);
    return 1;
}

int Xml_SetIndent(XmlStruct *xml, int width) {
    ZYL_CHECK_TAG(xml, Xml_Tag);
    if (width == xml->IndentWidth)
        return 1;
    if (width > 80)
        width = 70;
    if (width < 0)
        width = 0;
    xml->IndentWidth = width;
    memset(xml->IndentText, 0, sizeof xml->IndentText);
    memset(xml->IndentText, ' ', (size_t)width);
    return 1;
}

int Xml_SetShortEmptyTags(XmlStruct *xml, int flag) {
    ZYL_CHECK_TAG(xml, Xml_Tag);
    xml->ShortEmptyTags = flag == 1;
    return 1;
}

int Xml_GetFileName(XmlStruct *xml, char *buffer, int size) {
    ZYL_CHECK_TAG(xml, Xml_Tag);
    ZYL_CHECK_PTR(buffer);
    return Zyl_StrCopy(buffer, xml->FileName, size);
}

int Xml_GetNodeCount(XmlStruct *xml, int *count) {
    ZYL_CHECK_TAG(xml, Xml_Tag);
    ZYL_CHECK_PTR(count);
    *count = xml->NodeCount;
    return 1;
}

// ---------------------------------------------------------------------------
// Nodes
// ---------------------------------------------------------------------------

int Xml_AddElement(XmlStruct *xml, XmlNodeStruct *parent, XmlNodeStruct *after, XmlNodeStruct **out,
                   const char *name) {
    ZYL_CHECK_TAG(xml, Xml_Tag);
    ZYL_CHECK_PTR(out);
    ZYL_CHECK_PTR(name);
    *out = nullptr;
    XmlNodeStruct *node = Xml_NewNode(xml, const_cast<char *>(name), Zyl_StrLen(name), 1);
    node->Kind = XML_KIND_ELEMENT;
    if (after) {
        node->Parent = after->Parent;
        node->Next = after->Next;
        after->Next = node;
        if (node->Parent && node->Parent->LastChild == after)
            node->Parent->LastChild = node;
    } else if (parent) {
        Xml_LinkChild(xml, parent, node);
    } else if (xml->Top) {
        Xml_LinkChild(xml, xml->Top, node);
    } else {
        xml->Top = node;
    }
    *out = node;
    return 1;
}

// Frees the children and attributes of node without recursion: descends through
// first children, frees leaves, and climbs back through the parent links.
static void FreeContents(XmlStruct *xml, XmlNodeStruct *root) {
    XmlNodeStruct *node = root;
    for (;;) {
        if (node->FirstChild) {
            XmlNodeStruct *child = node->FirstChild;
            node->FirstChild = nullptr; // the list is freed before node is visited again
            node->LastChild = nullptr;
            node = child;
            continue;
        }
        while (node->Attributes) {
            XmlNodeStruct *attribute = node->Attributes;
            node->Attributes = attribute->Next;
            Xml_GiveNode(xml, attribute);
        }
        if (node == root)
            return;
        XmlNodeStruct *next = node->Next ? node->Next : node->Parent;
        Xml_GiveNode(xml, node);
        node = next;
    }
}

// The link that points at node in its list, or null when it is in none.
static XmlNodeStruct **FindLink(XmlStruct *xml, XmlNodeStruct *node, XmlNodeStruct **previous) {
    XmlNodeStruct **link = &xml->Top;
    if (node->Parent)
        link = node->Kind == XML_KIND_ATTRIBUTE ? &node->Parent->Attributes
                                                : &node->Parent->FirstChild;
    *previous = nullptr;
    while (*link && *link != node) {
        *previous = *link;
        link = &(*link)->Next;
    }
    return *link ? link : nullptr;
}

int Xml_RemoveNode(XmlStruct *xml, XmlNodeStruct *node) {
    ZYL_CHECK_TAG(xml, Xml_Tag);
    ZYL_CHECK_PTR(node);
    XmlNodeStruct *previous = nullptr;
    XmlNodeStruct **link = FindLink(xml, node, &previous);
    if (link == nullptr) {
        Zyl_Print("Xml_RemoveNode() node 0x%p is in no list of this document\n", (void *)node);
        return 0;
    }
    *link = node->Next;
    if (xml->TopLast == node)
        xml->TopLast = nullptr;
    XmlNodeStruct *parent = node->Parent;
    if (parent && node->Kind != XML_KIND_ATTRIBUTE && parent->LastChild == node)
        parent->LastChild = previous;
    FreeContents(xml, node);
    Xml_GiveNode(xml, node);
    return 1;
}

int Xml_SetKind(XmlStruct *xml, XmlNodeStruct *node, int kind) {
    ZYL_CHECK_TAG(xml, Xml_Tag);
    ZYL_CHECK_PTR(node);
    node->Kind = kind;
    return 1;
}

int Xml_GetKind(XmlStruct *xml, XmlNodeStruct *node, int *kind) {
    ZYL_CHECK_TAG(xml, Xml_Tag);
    ZYL_CHECK_PTR(node);
    ZYL_CHECK_PTR(kind);
    *kind = node->Kind;
    return 1;
}

int Xml_GetName(XmlStruct *xml, XmlNodeStruct *node, const char **name) {
    ZYL_CHECK_TAG(xml, Xml_Tag);
    ZYL_CHECK_PTR(node);
    ZYL_CHECK_PTR(name);
    *name = node->Name;
    return 1;
}

int Xml_GetData(XmlStruct *xml, XmlNodeStruct *node, const char **data) {
    ZYL_CHECK_TAG(xml, Xml_Tag);
    ZYL_CHECK_PTR(node);
    ZYL_CHECK_PTR(data);
    *data = node->Data ? node->Data : "";
    return node->Data != nullptr;
}

int Xml_GetNodeInfo(XmlStruct *xml, XmlNodeStruct *node, const char **prefix, const char **name,
                    const char **data) {
    ZYL_CHECK_TAG(xml, Xml_Tag);
    ZYL_CHECK_PTR(node);
    if (prefix)
        *prefix = node->Prefix;
    if (name)
        *name = node->Name;
    if (data)
        *data = node->Data;
    return 1;
}

static int GiveNode(XmlNodeStruct *node, XmlNodeStruct **out) {
    *out = node;
    return node != nullptr;
}

int Xml_GetRoot(XmlStruct *xml, XmlNodeStruct **root) {
    ZYL_CHECK_TAG(xml, Xml_Tag);
    ZYL_CHECK_PTR(root);
    return GiveNode(xml->Top, root);
}

int Xml_GetFirstChild(XmlStruct *xml, XmlNodeStruct *node, XmlNodeStruct **child) {
    ZYL_CHECK_TAG(xml, Xml_Tag);
    ZYL_CHECK_PTR(node);
    ZYL_CHECK_PTR(child);
    return GiveNode(node->FirstChild, child);
}

int Xml_GetNextSibling(XmlStruct *xml, XmlNodeStruct *node, XmlNodeStruct **next) {
    ZYL_CHECK_TAG(xml, Xml_Tag);
    ZYL_CHECK_PTR(node);
    ZYL_CHECK_PTR(next);
    return GiveNode(node->Next, next);
}

int Xml_GetFirstAttribute(XmlStruct *xml, XmlNodeStruct *node, XmlNodeStruct **attribute) {
    ZYL_CHECK_TAG(xml, Xml_Tag);
    ZYL_CHECK_PTR(node);
    ZYL_CHECK_PTR(attribute);
    return GiveNode(node->Attributes, attribute);
}

int Xml_SetData(XmlStruct *xml, XmlNodeStruct *node, const char *text) {
    ZYL_CHECK_TAG(xml, Xml_Tag);
    ZYL_CHECK_PTR(node);
    ZYL_CHECK_PTR(text);
    int length = Zyl_StrLen(text);
    if (length + 1 > node->DataSize || node->Data == nullptr) {
        node->DataSize = length + 1;
        node->Data = Xml_TextAlloc(xml, node->DataSize);
    }
    memmove(node->Data, text, (size_t)length + 1); // text may be the node's own data
    return 1;
}

int Xml_SetDataPointer(XmlStruct *xml, XmlNodeStruct *node, const char *text) {
    ZYL_CHECK_TAG(xml, Xml_Tag);
    ZYL_CHECK_PTR(node);
    node->Data = const_cast<char *>(text);
    node->DataSize = 0; // not ours: the next Xml_SetData takes a new buffer
    return 1;
}

int Xml_CopyData(XmlStruct *xml, XmlNodeStruct *node, char *buffer, int size) {
    ZYL_CHECK_TAG(xml, Xml_Tag);
    ZYL_CHECK_PTR(node);
    ZYL_CHECK_PTR(buffer);
    if (size > 0)
        buffer[0] = 0;
    if (node->Data == nullptr)
        return 0;
    return Zyl_StrCopy(buffer, node->Data, size);
}

int Xml_AllocText(XmlStruct *xml, char **text, int length) {
    ZYL_CHECK_TAG(xml, Xml_Tag);
    ZYL_CHECK_PTR(text);
    *text = Xml_TextAlloc(xml, length < 0 ? 0 : length);
    return 1;
}

// ---------------------------------------------------------------------------
// Attributes
// ---------------------------------------------------------------------------

int Xml_FindAttribute(XmlStruct *xml, XmlNodeStruct *node, const char *name,
                      XmlNodeStruct **attribute) {
    ZYL_CHECK_TAG(xml, Xml_Tag);
    ZYL_CHECK_PTR(node);
    ZYL_CHECK_PTR(name);
    ZYL_CHECK_PTR(attribute);
    for (XmlNodeStruct *a = node->Attributes; a; a = a->Next) {
        if (Zyl_StrEqualNoCase(a->Name, name))
            return GiveNode(a, attribute);
    }
    return GiveNode(nullptr, attribute);
}

int Xml_HasAttribute(XmlStruct *xml, XmlNodeStruct *node, const char *name) {
    XmlNodeStruct *attribute = nullptr;
    return Xml_FindAttribute(xml, node, name, &attribute);
}

int Xml_GetAttribute(XmlStruct *xml, XmlNodeStruct *node, const char *name, char *buffer,
                     int size) {
    ZYL_CHECK_PTR(buffer);
    if (size > 0)
        buffer[0] = 0;
    XmlNodeStruct *attribute = nullptr;
    if (!Xml_FindAttribute(xml, node, name, &attribute))
        return 0;
    return Zyl_StrCopy(buffer, attribute->Data ? attribute->Data : "", size);
}

int Xml_SetAttribute(XmlStruct *xml, XmlNodeStruct *node, const char *name, const char *value) {
    ZYL_CHECK_PTR(value);
    XmlNodeStruct *attribute = nullptr;
    if (!Xml_FindAttribute(xml, node, name, &attribute))
        return 0;
    return Xml_SetData(xml, attribute, value);
}

int Xml_AddAttribute(XmlStruct *xml, XmlNodeStruct *node, const char *name, const char *value) {
    ZYL_CHECK_PTR(value);
    if (Xml_HasAttribute(xml, node, name))
        return 0;
    XmlNodeStruct *attribute = Xml_NewNode(xml, const_cast<char *>(name), Zyl_StrLen(name), 1);
    attribute->Kind = XML_KIND_ATTRIBUTE;
    Xml_LinkAttribute(node, attribute, nullptr);
    if (*value)
        Xml_SetData(xml, attribute, value);
    return 1;
}

// ---------------------------------------------------------------------------
// Search
// ---------------------------------------------------------------------------

struct XmlSearch {
    const char *Name;
    int Length;
    uint32_t Hash;
    XmlNodeStruct *Best;
    int BestDepth; // starts at the depth limit
    int DepthLogged;
};

static int NodeMatches(const XmlNodeStruct *node, const XmlSearch *search) {
    return node->NameHash == search->Hash && node->NameLength == search->Length &&
           Zyl_StrEqualNoCase(node->Name, search->Name);
}

static int LevelAllowed(XmlSearch *search, int level) {
    if (level <= XML_MAX_DEPTH)
        return 1;
    if (!search->DepthLogged) {
        search->DepthLogged = 1;
        Zyl_Print("Xml_Find() nesting deeper than %d levels not searched [%s]\n", XML_MAX_DEPTH,
                  search->Name);
    }
    return 0;
}

// The nearest match wins; among one depth the first in document order.
// Declarations add no depth.
static void Xml_SearchNodes(XmlSearch *search, XmlNodeStruct *list, int depth, int skipFirst,
                            int level) {
    for (XmlNodeStruct *node = list; node; node = node->Next) {
        if (!(skipFirst && node == list) && NodeMatches(node, search) &&
            search->BestDepth >= depth) {
            if (search->Best == nullptr || depth < search->BestDepth)
                search->Best = node;
            search->BestDepth = depth;
            return;
        }
        int declaration = node->Kind == XML_KIND_DECLARATION;
        if (node->FirstChild && (depth < search->BestDepth || declaration) &&
            LevelAllowed(search, level + 1))
            Xml_SearchNodes(search, node->FirstChild, declaration ? depth : depth + 1, 0,
                            level + 1);
    }
}

static void StartSearch(XmlSearch *search, const char *name, int length, int depthLimit) {
    memset(search, 0, sizeof *search);
    search->Name = name;
    search->Length = length;
    search->Hash = NameHash(name, Zyl_StrLen(name));
    search->BestDepth = depthLimit;
}

int Xml_Find(XmlStruct *xml, const char *name, int depthLimit, int skipStart, XmlNodeStruct *start,
             XmlNodeStruct **found) {
    ZYL_CHECK_TAG(xml, Xml_Tag);
    ZYL_CHECK_PTR(name);
    ZYL_CHECK_PTR(found);
    XmlSearch search;
    StartSearch(&search, name, Zyl_StrLen(name), depthLimit);
    Xml_SearchNodes(&search, start ? start : xml->Top, 0, skipStart && start, 0);
    return GiveNode(search.Best, found);
}

int Xml_FindChild(XmlStruct *xml, XmlNodeStruct *node, const char *name, int depthLimit,
                  XmlNodeStruct **found) {
    ZYL_CHECK_TAG(xml, Xml_Tag);
    ZYL_CHECK_PTR(node);
    ZYL_CHECK_PTR(name);
    ZYL_CHECK_PTR(found);
    XmlSearch search;
    StartSearch(&search, name, Zyl_StrLen(name), depthLimit);
    Xml_SearchNodes(&search, node->FirstChild, 0, 0, 0);
    return GiveNode(search.Best, found);
}

// One path segment below the first one: the list and its nodes' children in
// document order (so a child of the node found last comes before a later
// sibling of the same name); declarations add no depth.
static XmlNodeStruct *SearchSegment(XmlSearch *search, XmlNodeStruct *list, int depth, int level) {
    for (XmlNodeStruct *node = list; node; node = node->Next) {
        if (NodeMatches(node, search))
            return node;
        int declaration = node->Kind == XML_KIND_DECLARATION;
        if (node->FirstChild && (depth < 1 || declaration) && LevelAllowed(search, level + 1)) {
            XmlNodeStruct *found =
                SearchSegment(search, node->FirstChild, declaration ? depth : depth + 1, level + 1);
            if (found)
                return found;
        }
    }
    return nullptr;
}

static int WalkPath(XmlStruct *xml, const char *path, int toChildren, XmlNodeStruct **found) {
    ZYL_CHECK_TAG(xml, Xml_Tag);
    ZYL_CHECK_PTR(path);
    ZYL_CHECK_PTR(found);
    *found = nullptr;
    XmlNodeStruct *node = nullptr;
    const char *segment = path;
    for (int first = 1;; first = 0) {
        const char *dot = strchr(segment, '.');
        int length = dot ? (int)(dot - segment) : Zyl_StrLen(segment);
        if (length == 0 || length >= XML_NAME_SIZE) {
            if (length > 0)
                Zyl_Print("Xml_FindPath() path segment too long [%s]\n", path);
            return 0;
        }
        char name[XML_NAME_SIZE];
        memcpy(name, segment, (size_t)length);
        name[length] = 0;
        XmlSearch search;
        StartSearch(&search, name, length, 1);
        if (first) {
            Xml_SearchNodes(&search, xml->Top, 0, 0, 0);
            node = search.Best;
        } else {
            node = SearchSegment(&search, node, 0, 0);
        }
        if (node == nullptr)
            return 0;
        if (toChildren && (node = node->FirstChild) == nullptr)
            return 0;
        if (dot == nullptr)
            return GiveNode(node, found);
        segment = dot + 1;
    }
}

int Xml_FindPath(XmlStruct *xml, const char *path, XmlNodeStruct **found) {
    return WalkPath(xml, path, 0, found);
}

int Xml_FindPathChildren(XmlStruct *xml, const char *path, XmlNodeStruct **found) {
    return WalkPath(xml, path, 1, found);
}

// ---------------------------------------------------------------------------
// Text decoder
// ---------------------------------------------------------------------------

struct NamedEntity {
    const char *Name; // after '&', ';' included
    int Length;
    char Byte;
};

static const NamedEntity kNamedEntities[] = {
    {"gt;", 3, '>'},   {"lt;", 3, '<'},          {"amp;", 4, '&'},   {"quot;", 5, '"'},
    {"nbsp;", 5, ' '}, {"copy;", 5, (char)0xA9}, {"apos;", 5, '\''},
};

static char Printable(char c) {
    return c ? c : ' ';
}

static void LogUnknown(const char *s) {
    char next[3] = {' ', ' ', ' '};
    for (int i = 0; i < 3 && s[i]; i++)
        next[i] = s[i];
    Zyl_Print("Unknown escape character (%c)[%c%c%c]\n", s[-1], Printable(next[0]),
              Printable(next[1]), Printable(next[2]));
}

// "&#" and one to three decimal digits and ';': the byte of that value (mod 256);
// 0 is refused. Returns the bytes after '&' consumed, or 0.
static int DecodeNumber(const char *s, char *byte) {
    if (s[0] != '#')
        return 0;
    int value = 0, i = 1;
    for (; i <= 3 && s[i] >= '0' && s[i] <= '9'; i++)
        value = value * 10 + (s[i] - '0');
    if (i == 1 || s[i] != ';' || value % 256 == 0)
        return 0;
    *byte = (char)(value % 256);
    return i + 1;
}

// Decodes what follows '&' at s. Returns the bytes consumed after '&', or 0.
static int DecodeAmpersand(const char *s, char *byte) {
    for (const NamedEntity &entity : kNamedEntities) {
        if (Zyl_StrEqualNNoCase(s, entity.Name, entity.Length)) {
            *byte = entity.Byte;
            return entity.Length;
        }
    }
    return DecodeNumber(s, byte);
}

int Xml_DecodeText(const char *text, char *buffer, int size) {
    ZYL_CHECK_PTR(text);
    ZYL_CHECK_PTR(buffer);
    if (size < 1)
        return 0;
    int used = 0;
    const char *s = text;
    while (*s) {
        if (used >= size - 1) {
            buffer[used] = 0;
            return 0;
        }
        char c = *s++;
        if (c == '\r' || c == '\n')
            continue;
        if (c == '&') {
            char byte = 0;
            int consumed = DecodeAmpersand(s, &byte);
            if (consumed) {
                s += consumed;
                c = byte;
            } else {
                LogUnknown(s);
            }
        } else if (c == '<') {
            if (Zyl_StrEqualNNoCase(s, "br>", 3)) {
                s += 3;
                c = '\n';
            } else if (strncmp(s, "![CDATA[", 8) == 0) {
                s += 8;
                while (*s && strncmp(s, "]]>", 3) != 0) {
                    if (used >= size - 1) {
                        buffer[used] = 0;
                        return 0;
                    }
                    buffer[used++] = *s++;
                }
                if (*s)
                    s += 3;
                continue;
            } else {
                LogUnknown(s);
            }
        }
        buffer[used++] = c;
    }
    buffer[used] = 0;
    return used < size - 1;
}

// ---------------------------------------------------------------------------
// Dump
// ---------------------------------------------------------------------------

// One log line per node (a cut line when it exceeds the log's buffer).
static void DumpList(XmlStruct *xml, XmlNodeStruct *list, int depth, int level) {
    for (XmlNodeStruct *node = list; node; node = node->Next) {
        char line[ZYL_LOG_BUFFER_SIZE];
        Zyl_FormatString(line, sizeof line, "0x%p:%.2d  ", (void *)node, depth);
        for (int i = 0; i < depth; i++)
            Zyl_StrAppend(line, xml->IndentText, sizeof line);
        Zyl_AppendFormat(line, sizeof line, "(%s) %s (%d): [A:", node->Prefix ? node->Prefix : "",
                         node->Name, node->Kind);
        for (XmlNodeStruct *a = node->Attributes; a; a = a->Next) {
            const char *gap = a->Next ? " " : "";
            if (a->Data)
                Zyl_AppendFormat(line, sizeof line, "N(%s) B(%s)%s", a->Name, a->Data, gap);
            else
                Zyl_AppendFormat(line, sizeof line, "N(%s)%s", a->Name, gap);
        }
        Zyl_AppendFormat(line, sizeof line, "] [%3d] \"%s\"", node->DataSize,
                         node->Data ? node->Data : "NULL");
        Zyl_Print("%s\n", line);
        if (node->FirstChild && level + 1 <= XML_MAX_DEPTH)
            DumpList(xml, node->FirstChild, node->Kind == XML_KIND_DECLARATION ? depth : depth + 1,
                     level + 1);
    }
}

int Xml_Dump(XmlStruct *xml) {
    ZYL_CHECK_TAG(xml, Xml_Tag);
    Zyl_Print("\nListing of [%s] ----\n", xml->FileName);
    DumpList(xml, xml->Top, 0, 0);
    return 1;
}
