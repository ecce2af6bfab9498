// Dotted-path access to XML documents: find or create elements by a path of
// exact (case-sensitive) element names and read or write their text and
// attributes. Settings and descriptor files are read and written this way.
#pragma once

struct XmlStruct;
struct XmlNodeStruct;

// Size of the buffer XmlHelper_GetXsiType fills (319 characters and the NUL).
enum { XMLHELPER_TEXT_SIZE = 320 };

// The first child of parent named exactly name (case-sensitive). With a null
// parent: the top-level nodes, then the children of a top-level declaration
// (where Xml_AddElement puts elements added without a parent). Returns 1 and the
// node, or 0 and null.
int XmlHelper_FindChild(XmlNodeStruct *parent, const char *name, XmlNodeStruct **node,
                        XmlStruct *xml);
// Walks path ("settings.window.x") segment by segment with XmlHelper_FindChild
// from start (null: the top level); an empty path gives start. With create 1 a
// missing segment is added as a new element. Returns 1 and the last node; 0 and
// null when a segment is missing (create 0), empty, or longer than 319
// characters (logged).
int XmlHelper_FindPath(const char *path, XmlStruct *xml, XmlNodeStruct *start, int create,
                       XmlNodeStruct **node);
// *text = the data of the element at path below node ("" when it has none).
// Returns 1; 0 and null when the path does not exist.
int XmlHelper_GetPathText(XmlNodeStruct *node, const char *path, XmlStruct *xml, const char **text);
// Creates the path below node as needed and sets the last element's text.
// Returns 1; 0 only for a path XmlHelper_FindPath refuses.
int XmlHelper_SetPathText(const char *path, XmlNodeStruct *node, const char *text, XmlStruct *xml);
// Copies the node's "xsi:type" attribute into buffer (XMLHELPER_TEXT_SIZE bytes).
// Returns 1; 0 with an empty buffer when the node has no such attribute.
int XmlHelper_GetXsiType(char *buffer, XmlStruct *xml, XmlNodeStruct *node);
// Replaces the value of the node's attribute name, or adds the attribute.
// Returns 1.
int XmlHelper_SetAttribute(XmlStruct *xml, const char *name, XmlNodeStruct *node,
                           const char *value);
