// The core runtime's XML document: a tolerant in-place reader that never fails on
// bad markup (bounded depth, entities decoded), and a writer that escapes texts and
// saves by atomic replacement. Tuned for one copy of the text and pooled nodes.
#pragma once

#include <cstdint>

struct XmlStruct;
struct XmlNodeStruct;

enum {
    XML_KIND_ELEMENT = 1,     // <name ...> ... </name>
    XML_KIND_DECLARATION = 2, // <?name ...?> (transparent for depth and indentation)
    XML_KIND_BANG = 3,        // <!name ...>
    XML_KIND_ATTRIBUTE = 4,
};

enum {
    // Nesting levels kept by parsing, printing, removing and searching; deeper
    // content is dropped with one log line.
    XML_MAX_DEPTH = 256,
    // Depth limit of Xml_Find / Xml_FindChild meaning "no limit".
    XML_NO_DEPTH_LIMIT = 0x0FFFFFFF,
    // Buffer size of a path segment or name (at most 319 characters).
    XML_NAME_SIZE = 320,
    // Largest file Xml_LoadFile reads (bytes).
    XML_MAX_FILE_SIZE = 256 * 1024 * 1024,
    // Nodes (elements, declarations, attributes) one parse builds at most (about
    // 200 MB); the rest of the text is dropped with one log line.
    XML_MAX_NODES = 2000000,
};

// ---------------------------------------------------------------------------
// Document
// ---------------------------------------------------------------------------

// Creates an empty document (indent 4, newline on, short empty tags on).
// Returns 1 and sets *xml.
int Xml_Create(XmlStruct **xml);
// Frees the document with every node and text, clears *xml. Accepts a null *xml.
// Returns 1.
int Xml_Destroy(XmlStruct **xml);
// Drops every node and text, empties the file name. Returns 1.
int Xml_Clear(XmlStruct *xml);
// Clears, then reads and parses the whole file ('\\' in the path accepted).
// Returns 1 whatever the markup held (the tree is what the tolerance rules make
// of it); 0 when the file cannot be opened or read or exceeds XML_MAX_FILE_SIZE,
// leaving the document cleared.
int Xml_LoadFile(XmlStruct *xml, const char *path);
// Clears, then parses a copy of the NUL-terminated text. Returns 1; 0 (logged,
// document cleared) for a text longer than XML_MAX_FILE_SIZE.
int Xml_ParseBuffer(XmlStruct *xml, const char *text);
// Prints the tree and replaces the file at path atomically (temporary file in the
// same folder, flushed, renamed over the target, folder flushed): a crash leaves
// the old or the new document. Stores path as the file name. Returns 1 when the
// whole document was written; 0 leaves the old file (if any) untouched.
int Xml_SaveFile(XmlStruct *xml, const char *path);
// Prints every top-level node into buffer (NUL-terminated); *length = bytes
// printed. Returns 0 ("Buffer boundary hit ..." logged) when the buffer is too
// small, with *length = 0 and the buffer contents undefined. A name that cannot
// be written as markup (empty, a blank or one of < > / " ' = & ? !) prints nothing: 0,
// "Xml_Print() name cannot be written as markup [NAME]" logged.
int Xml_PrintToBuffer(XmlStruct *xml, char *buffer, int size, int *length);
// Exact number of bytes Xml_PrintToBuffer writes (without the NUL). Returns 1;
// 0 with *size 0 when a name cannot be written as markup (Xml_SaveFile then
// writes nothing and returns 0).
int Xml_GetPrintSize(XmlStruct *xml, int64_t *size);
// Indent width in blanks (above 80 becomes 70, below 0 becomes 0). Returns 1.
int Xml_SetIndent(XmlStruct *xml, int width);
// 1: an element without text or children prints as "<name />"; otherwise as
// "<name></name>". Returns 1.
int Xml_SetShortEmptyTags(XmlStruct *xml, int flag);
// Bounded copy of the path last loaded or saved (empty after a clear). Returns 1
// when it fit.
int Xml_GetFileName(XmlStruct *xml, char *buffer, int size);
// Nodes created minus nodes removed since the last clear. Returns 1.
int Xml_GetNodeCount(XmlStruct *xml, int *count);
// Writes the tree to the diagnostics log. Returns 1.
int Xml_Dump(XmlStruct *xml);

// ---------------------------------------------------------------------------
// Nodes. Nodes and every text handed out stay valid until the next clear, load,
// parse or destroy of their document.
// ---------------------------------------------------------------------------

// Creates an element named name. With after it is linked directly after that
// node; otherwise appended to parent's children; with a null parent appended to
// the children of the first top-level node, or made the first top-level node of
// an empty document. Returns 1 and sets *node.
int Xml_AddElement(XmlStruct *xml, XmlNodeStruct *parent, XmlNodeStruct *after,
                   XmlNodeStruct **node, const char *name);
// Unlinks node from its list and frees it with its children and attributes.
// Returns 1; 0 (logged) when the node is in no list of this document.
int Xml_RemoveNode(XmlStruct *xml, XmlNodeStruct *node);
// Sets the kind (XML_KIND_*). Returns 1.
int Xml_SetKind(XmlStruct *xml, XmlNodeStruct *node, int kind);
// Returns 1 and *kind.
int Xml_GetKind(XmlStruct *xml, XmlNodeStruct *node, int *kind);
// Returns 1 and the name (without prefix).
int Xml_GetName(XmlStruct *xml, XmlNodeStruct *node, const char **name);
// *data = the element's text or attribute's value (entities decoded). Returns 1;
// 0 with *data = "" when the node has no text at all.
int Xml_GetData(XmlStruct *xml, XmlNodeStruct *node, const char **data);
// Prefix (or null), name and data (or null) at once; any out-pointer may be null.
// Returns 1.
int Xml_GetNodeInfo(XmlStruct *xml, XmlNodeStruct *node, const char **prefix, const char **name,
                    const char **data);
// Traversal: 1 and the node, or 0 and null when there is none. Xml_GetRoot gives
// the first top-level node. Attributes are walked with Xml_GetFirstAttribute and
// then Xml_GetNextSibling.
int Xml_GetRoot(XmlStruct *xml, XmlNodeStruct **root);
int Xml_GetFirstChild(XmlStruct *xml, XmlNodeStruct *node, XmlNodeStruct **child);
int Xml_GetNextSibling(XmlStruct *xml, XmlNodeStruct *node, XmlNodeStruct **next);
int Xml_GetFirstAttribute(XmlStruct *xml, XmlNodeStruct *node, XmlNodeStruct **attribute);
// Copies text into the document and makes it the node's data. Returns 1.
int Xml_SetData(XmlStruct *xml, XmlNodeStruct *node, const char *text);
// Makes the caller's text the node's data without a copy; the text must outlive
// the document. Returns 1.
int Xml_SetDataPointer(XmlStruct *xml, XmlNodeStruct *node, const char *text);
// Bounded copy of the data into buffer. Returns 1 when it fit; 0 with an empty
// buffer when the node has no data, 0 with the cut text when it did not fit.
int Xml_CopyData(XmlStruct *xml, XmlNodeStruct *node, char *buffer, int size);
// length + 1 zeroed bytes owned by the document. Returns 1 and sets *text.
int Xml_AllocText(XmlStruct *xml, char **text, int length);

// ---------------------------------------------------------------------------
// Attributes (names compared ignoring ASCII case)
// ---------------------------------------------------------------------------

// Returns 1 and the first attribute of that name, or 0 and null.
int Xml_FindAttribute(XmlStruct *xml, XmlNodeStruct *node, const char *name,
                      XmlNodeStruct **attribute);
// 1 when the node has the attribute, else 0.
int Xml_HasAttribute(XmlStruct *xml, XmlNodeStruct *node, const char *name);
// Bounded copy of the value ("" for an attribute without value). Returns 1 when
// present and it fit; 0 with an empty buffer when absent, 0 with the cut value
// when it did not fit.
int Xml_GetAttribute(XmlStruct *xml, XmlNodeStruct *node, const char *name, char *buffer, int size);
// Replaces the value of an existing attribute. Returns 1; 0 when absent.
int Xml_SetAttribute(XmlStruct *xml, XmlNodeStruct *node, const char *name, const char *value);
// Appends an attribute (an empty value gives a bare name). Returns 1; 0 when the
// node already has an attribute of that name.
int Xml_AddAttribute(XmlStruct *xml, XmlNodeStruct *node, const char *name, const char *value);

// ---------------------------------------------------------------------------
// Search (element names compared ignoring ASCII case)
// ---------------------------------------------------------------------------

// The nearest node named name in the list beginning at start (null: the first
// top-level node) and below it, within depthLimit levels (XML_NO_DEPTH_LIMIT: no
// limit); declarations add no depth; among matches of one depth the first in
// document order. With skipStart the start node itself is no candidate (its
// descendants are). Returns 1 and the node, or 0 and null.
int Xml_Find(XmlStruct *xml, const char *name, int depthLimit, int skipStart, XmlNodeStruct *start,
             XmlNodeStruct **found);
// The same search over node's children (depth 0 = the children).
int Xml_FindChild(XmlStruct *xml, XmlNodeStruct *node, const char *name, int depthLimit,
                  XmlNodeStruct **found);
// Dotted path ("Package.Releases.Incremental"): the first segment among the
// top-level nodes and their children; each further segment among the node found
// last, its following siblings and their children (one level per segment), first
// in document order. Returns 1 and the node; 0 and null when a segment is
// missing, empty or longer than 319 characters.
int Xml_FindPath(XmlStruct *xml, const char *path, XmlNodeStruct **found);
// The same walk, moving to the first child of each node found before the next
// segment; *found = the first child of the node the path names. 0 when any of
// them has no child.
int Xml_FindPathChildren(XmlStruct *xml, const char *path, XmlNodeStruct **found);

// Decodes entities ("&gt;" "&lt;" "&amp;" "&quot;" "&apos;" "&nbsp;" "&copy;"
// and "&#N;"), "<br>" (a newline) and CDATA sections into buffer, dropping CR
// and LF outside CDATA. Returns 1; 0 when the output reached size - 1 bytes
// (the buffer then holds the cut, NUL-terminated text).
int Xml_DecodeText(const char *text, char *buffer, int size);
