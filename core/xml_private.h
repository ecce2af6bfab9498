// Records of the XML document shared by its reader (xml_parse.cpp), writer
// (xml_print.cpp) and tree functions (xml.cpp). Nothing outside these files
// includes this header: callers use the accessors of core/xml.h.
#pragma once

#include "core/xml.h"

#include <cstdint>

struct FileStruct;
struct PoolStruct;

// Pointers first, then the 32-bit fields: 80 bytes without padding.
struct XmlNodeStruct {
    const char *Prefix;        // part before ':' of a parsed tag name, or null
    char *Name;                // NUL-terminated, owned by the document's text
    char *Data;                // element text / attribute value, or null
    XmlNodeStruct *Attributes; // first attribute, document order
    XmlNodeStruct *FirstChild;
    XmlNodeStruct *LastChild; // kept for O(1) appends
    XmlNodeStruct *Parent;    // owner of the list holding this node; null at the top level
    XmlNodeStruct *Next;
    uint32_t NameHash; // CRC-32 of the name with a-z raised; 0 for ""
    int NameLength;    // bytes
    int Kind;          // XML_KIND_*
    int DataSize;      // bytes writable at Data without the NUL (0: not owned)
};

enum {
    XML_INDENT_SIZE = 81,         // 80 blanks and the NUL
    XML_TEXT_SLOT_SIZE = 20480,   // text pool chunk (bytes)
    XML_FIRST_CHUNK_NODES = 256,  // a small document takes 20 KB of nodes
    XML_LAST_CHUNK_NODES = 65536, // each chunk twice the one before, up to 5 MB
};

// Nodes come in chunks that live as long as their document, without a header per
// node: a large tree takes no more memory than its nodes. Each chunk is twice
// the one before, so a small document stays small.
struct XmlNodeChunk {
    XmlNodeChunk *Next;
    int64_t Count; // nodes that follow this header
};

struct XmlStruct {
    const char *Tag;
    int Newline;        // 1: each printed tag line ends with "\n"
    int ShortEmptyTags; // 1: "<name />" for an element without text or children
    FileStruct *File;
    char FileName[XML_NAME_SIZE];
    int IndentWidth;
    char IndentText[XML_INDENT_SIZE];
    int NodeCount;
    XmlNodeStruct *Top;       // first top-level node
    XmlNodeStruct *TopLast;   // a top-level node near the end (appends walk on from it), or null
    XmlNodeChunk *Chunks;     // every node chunk, oldest first
    XmlNodeChunk *ChunkInUse; // the chunk nodes are taken from, or null before the first
    int ChunkUsed;            // nodes taken from ChunkInUse
    XmlNodeStruct *FreeNodes; // removed nodes, linked through Next
    PoolStruct *TextPool;     // string mode: names and texts set after parsing
    char *Source;             // the text parsed in place (nodes point into it), or null
    int64_t SourceSize;       // bytes allocated at Source
};

extern const char Xml_Tag[];

// Blank: any byte from 1 to 32.
inline bool Xml_IsBlank(unsigned char c) {
    return c >= 1 && c <= 32;
}

// Takes a zeroed node from the document, names it (copyName 0: name is kept as given
// and must live as long as the document), counts it. Not linked anywhere.
XmlNodeStruct *Xml_NewNode(XmlStruct *xml, char *name, int nameLength, int copyName);
// The same for a name whose hash the caller has (see XmlNodeStruct.NameHash).
XmlNodeStruct *Xml_NewHashedNode(XmlStruct *xml, char *name, int nameLength, uint32_t nameHash);
// Appends node to owner's child list (owner null: the top-level list).
void Xml_LinkChild(XmlStruct *xml, XmlNodeStruct *owner, XmlNodeStruct *node);
// Appends an attribute node to owner's attribute list, after last when given
// (the parser's tail; otherwise the list is walked).
void Xml_LinkAttribute(XmlNodeStruct *owner, XmlNodeStruct *attribute, XmlNodeStruct *last);

// Reader: parses the NUL-terminated text in place (it is cut and decoded) and
// appends the nodes to the top-level list.
void Xml_ParseText(XmlStruct *xml, char *text);
