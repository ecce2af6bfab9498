// The XML reader: a tolerant, destructive tokenizer that cuts tags and texts in
// place with NUL bytes and builds the node tree; it never fails on bad markup,
// keeps at most XML_MAX_DEPTH nesting levels and decodes entities in place.
#include "core/xml_private.h"
#include "core/zyl.h"

#include <cstring>

static int Xml_DecodeEntitiesInPlace(char *text);

namespace {

struct XmlParser {
    XmlStruct *Xml;
    char *Cursor;
    int DepthLogged; // the depth-limit line is printed once per parse
};

// 1 when another node may be built; at the cap, logs once and ends the text.
int NodeAllowed(XmlStruct *xml, char **cursor) {
    if (xml->NodeCount < XML_MAX_NODES)
        return 1;
    if (**cursor) {
        Zyl_Print("Xml_Parse() more than %d nodes, the rest of the text dropped\n", XML_MAX_NODES);
        *cursor += strlen(*cursor);
    }
    return 0;
}

enum { TAG_FOUND, TAG_NONE, TAG_END };

// Skips "<![CDATA[...]]>" or "<!--...-->" whose body starts at body; returns the
// byte after the end marker, or the end of the text.
char *SkipPast(char *body, const char *marker) {
    char *end = strstr(body, marker);
    return end ? end + strlen(marker) : body + strlen(body);
}

// Finds and cuts the next tag from the cursor. TAG_FOUND sets *tag to the tag
// text (without '<', '>' and the blanks around them) and moves the cursor to
// the first non-blank after '>'; TAG_NONE moved the cursor past something that
// is no tag; TAG_END: the text has ended.
int Xml_NextTag(XmlParser *parser, char **tag) {
    char *lt = strchr(parser->Cursor, '<');
    if (lt == nullptr) {
        parser->Cursor += strlen(parser->Cursor);
        return TAG_END;
    }
    char *start = lt + 1;
    while (Xml_IsBlank((unsigned char)*start))
        start++;
    if (*start == 0) {
        parser->Cursor = start;
        return TAG_END;
    }
    if (Zyl_StrEqualNNoCase(start, "![CDATA[", 8)) {
        parser->Cursor = SkipPast(start + 8, "]]>");
        return TAG_NONE;
    }
    if (strncmp(start, "!--", 3) == 0) {
        parser->Cursor = SkipPast(start + 3, "-->");
        return TAG_NONE;
    }
    if (Zyl_StrEqualNNoCase(start, "BR>", 3)) {
        parser->Cursor = start + 3;
        return TAG_NONE;
    }
    char *gt = start + strcspn(start, "<>");
    if (*gt != '>') {
        // A '<' before '>' abandons this tag; the next scan starts there.
        parser->Cursor = gt;
        return *gt == 0 ? TAG_END : TAG_NONE;
    }
    *gt = 0;
    for (char *back = gt - 1; back >= start && Xml_IsBlank((unsigned char)*back); back--)
        *back = 0;
    *lt = 0; // ends the text before this tag
    char *after = gt + 1;
    while (Xml_IsBlank((unsigned char)*after))
        *after++ = 0;
    parser->Cursor = after;
    *tag = start;
    return TAG_FOUND;
}

struct TagParts {
    char *Name;
    char *Prefix;     // or null
    char *Attributes; // or null
    int Closing;
    int Empty;
};

// Splits a cut tag into closing mark, prefix, name and attribute text.
void SplitTag(char *tag, TagParts *parts) {
    memset(parts, 0, sizeof *parts);
    if (*tag == '/') {
        parts->Closing = 1;
        tag++;
    }
    parts->Name = tag;
    char *end = tag;
    while (*end && !Xml_IsBlank((unsigned char)*end))
        end++;
    if (*end) {
        *end++ = 0;
        while (Xml_IsBlank((unsigned char)*end))
            end++;
        if (*end) {
            parts->Attributes = end;
            char *back = end + strlen(end) - 1;
            while (back >= end && (Xml_IsBlank((unsigned char)*back) || *back == '/')) {
                if (*back == '/')
                    parts->Empty = 1;
                *back-- = 0;
            }
            if (*end == 0)
                parts->Attributes = nullptr;
        }
    }
    char *colon = strchr(parts->Name, ':');
    if (colon) {
        *colon = 0;
        parts->Prefix = parts->Name;
        parts->Name = colon + 1;
    }
    size_t length = strlen(parts->Name);
    if (parts->Attributes == nullptr && length > 0 && parts->Name[length - 1] == '/') {
        parts->Name[length - 1] = 0;
        parts->Empty = 1;
    }
}

// Cuts trailing '?' and blanks of a declaration's attribute text (or name).
void TrimDeclaration(char *text) {
    char *back = text + strlen(text) - 1;
    while (back >= text && (*back == '?' || Xml_IsBlank((unsigned char)*back)))
        *back-- = 0;
}

// Reads the attribute text left to right into attribute nodes of node; values
// stay in place (quotes removed, entities decoded).
void ParseAttributes(XmlParser *parser, XmlNodeStruct *node, char *text) {
    XmlStruct *xml = parser->Xml;
    XmlNodeStruct *last = nullptr; // tail of the attribute list
    char *s = text;
    while (*s && NodeAllowed(xml, &parser->Cursor)) {
        while (Xml_IsBlank((unsigned char)*s))
            s++;
        if (*s == 0)
            break;
        char *name = s;
        while (*s && *s != '=' && !Xml_IsBlank((unsigned char)*s))
            s++;
        int hasValue = *s == '=';
        if (*s)
            *s++ = 0;
        if (!hasValue) {
            while (Xml_IsBlank((unsigned char)*s))
                s++;
            if (*s == '=') {
                hasValue = 1;
                s++;
            }
        }
        char *value = nullptr;
        if (hasValue) {
            while (Xml_IsBlank((unsigned char)*s))
                s++;
            value = s;
            int quoted = 0;
            while (*s && (quoted || !Xml_IsBlank((unsigned char)*s))) {
                if (*s == '"')
                    quoted = !quoted;
                s++;
            }
            if (*s)
                *s++ = 0;
            if (*value == '"')
                value++;
            size_t length = strlen(value);
            if (length > 0 && value[length - 1] == '"')
                value[--length] = 0;
            if (length == 0)
                value = nullptr;
        }
        if (*name == 0)
            continue; // "=value" without a name would print as invalid markup
        XmlNodeStruct *attribute = Xml_NewNode(xml, name, (int)strlen(name), 0);
        attribute->Kind = XML_KIND_ATTRIBUTE;
        attribute->Parent = node;
        if (value) {
            Xml_DecodeEntitiesInPlace(value);
            attribute->Data = value;
        }
        Xml_LinkAttribute(node, attribute, last);
        last = attribute;
    }
}

int NameEquals(const char *name, const XmlNodeStruct *node) {
    return Zyl_StrEqualNoCase(name, node->Name);
}

// Closing an owner: its data (already free of leading blanks) loses its
// trailing blanks.
void CloseOwner(XmlNodeStruct *owner) {
    char *data = owner->Data;
    if (data == nullptr)
        return;
    while (Xml_IsBlank((unsigned char)*data))
        data++;
    size_t length = strlen(data);
    while (length > 0 && Xml_IsBlank((unsigned char)data[length - 1]))
        data[--length] = 0;
    owner->Data = data;
    owner->DataSize = (int)length;
}

// Past the depth limit: drops the owner's content up to its own closing tag
// (same-named start tags counted). Returns 1 when it was closed, 0 at the end.
int SkipContent(XmlParser *parser, XmlNodeStruct *owner) {
    int open = 0;
    for (;;) {
        char *tag = nullptr;
        int found = Xml_NextTag(parser, &tag);
        if (found == TAG_END)
            return 0;
        if (found == TAG_NONE)
            continue;
        TagParts parts;
        SplitTag(tag, &parts);
        if (!NameEquals(parts.Name, owner))
            continue;
        if (parts.Closing) {
            if (open == 0)
                return 1;
            open--;
        } else if (!parts.Empty) {
            open++;
        }
    }
}

int ParseList(XmlParser *parser, int level, XmlNodeStruct *owner);

// Builds the node of one tag (not the owner's closing tag) and its subtree.
// Returns 0 when the text ended inside it.
int ParseNode(XmlParser *parser, int level, XmlNodeStruct *owner, TagParts *parts) {
    XmlStruct *xml = parser->Xml;
    if (!NodeAllowed(xml, &parser->Cursor))
        return 0;
    char *name = parts->Name;
    int kind = XML_KIND_ELEMENT;
    if (*name == '?') {
        kind = XML_KIND_DECLARATION;
        name++;
        while (Xml_IsBlank((unsigned char)*name))
            name++;
        TrimDeclaration(parts->Attributes ? parts->Attributes : name);
    } else if (*name == '!') {
        kind = XML_KIND_BANG;
        name++;
        while (Xml_IsBlank((unsigned char)*name))
            name++;
    }
    XmlNodeStruct *node = Xml_NewNode(xml, name, (int)strlen(name), 0);
    node->Kind = kind;
    node->Prefix = parts->Prefix;
    node->Data = parser->Cursor;
    Xml_LinkChild(xml, owner, node);
    if (parts->Attributes)
        ParseAttributes(parser, node, parts->Attributes);
    if (parts->Empty)
        return 1;
    if (level + 1 > XML_MAX_DEPTH) {
        if (!parser->DepthLogged) {
            parser->DepthLogged = 1;
            Zyl_Print("Xml_Parse() nesting deeper than %d levels dropped [%s]\n", XML_MAX_DEPTH,
                      node->Name);
        }
        if (!SkipContent(parser, node))
            return 0;
        CloseOwner(node);
        return 1;
    }
    return ParseList(parser, level + 1, node);
}

// Parses the list owned by owner (null: the top level). Returns 1 when the
// owner's closing tag was met, 0 when the text ended. An owner left open by the
// end of the text is closed as its tag would close it, so a cut document's
// data reads as its print reads again.
int ParseList(XmlParser *parser, int level, XmlNodeStruct *owner) {
    for (;;) {
        char *tag = nullptr;
        int found = Xml_NextTag(parser, &tag);
        if (found == TAG_END) {
            if (owner)
                CloseOwner(owner);
            return 0;
        }
        if (found == TAG_NONE || strncmp(tag, "!--", 3) == 0)
            continue;
        TagParts parts;
        SplitTag(tag, &parts);
        if (parts.Closing && owner && NameEquals(parts.Name, owner)) {
            CloseOwner(owner);
            return 1;
        }
        if (!ParseNode(parser, level, owner, &parts)) {
            if (owner)
                CloseOwner(owner);
            return 0;
        }
    }
}

// Sets every node's data size to its (decoded) length. Walks the tree without
// recursion through the parent links.
void FinishData(XmlStruct *xml) {
    XmlNodeStruct *node = xml->Top;
    while (node) {
        if (node->Data) {
            // An owner's text lost its trailing blanks when it closed; the text
            // after an empty tag loses them here.
            char *data = node->Data;
            size_t length = strlen(data);
            while (length > 0 && Xml_IsBlank((unsigned char)data[length - 1]))
                data[--length] = 0;
            if (memchr(data, '&', length))
                node->DataSize = Xml_DecodeEntitiesInPlace(data);
            else
                node->DataSize = (int)length;
        }
        if (node->FirstChild) {
            node = node->FirstChild;
            continue;
        }
        while (node && node->Next == nullptr)
            node = node->Parent;
        if (node)
            node = node->Next;
    }
}

// Reads "&#N;" or "&#xH;" at text. Returns the reference's length and the code
// point, or 0 when it is no valid character reference (0, surrogates, beyond
// U+10FFFF, missing digits or ';').
int ReadCharReference(const char *text, uint32_t *code) {
    int i = 2, base = 10;
    if (text[i] == 'x' || text[i] == 'X') {
        base = 16;
        i++;
    }
    uint32_t value = 0;
    int digits = 0;
    for (;; i++, digits++) {
        int digit = base == 16                           ? Zyl_HexDigitValue(text[i])
                    : (text[i] >= '0' && text[i] <= '9') ? text[i] - '0'
                                                         : -1;
        if (digit < 0)
            break;
        value = value * (uint32_t)base + (uint32_t)digit;
        if (value > 0x10FFFF)
            return 0;
    }
    if (digits == 0 || text[i] != ';' || value == 0 || (value >= 0xD800 && value <= 0xDFFF))
        return 0;
    *code = value;
    return i + 1;
}

int PutUtf8(char *out, uint32_t code) {
    if (code < 0x80) {
        out[0] = (char)code;
        return 1;
    }
    if (code < 0x800) {
        out[0] = (char)(0xC0 | (code >> 6));
        out[1] = (char)(0x80 | (code & 0x3F));
        return 2;
    }
    if (code < 0x10000) {
        out[0] = (char)(0xE0 | (code >> 12));
        out[1] = (char)(0x80 | ((code >> 6) & 0x3F));
        out[2] = (char)(0x80 | (code & 0x3F));
        return 3;
    }
    out[0] = (char)(0xF0 | (code >> 18));
    out[1] = (char)(0x80 | ((code >> 12) & 0x3F));
    out[2] = (char)(0x80 | ((code >> 6) & 0x3F));
    out[3] = (char)(0x80 | (code & 0x3F));
    return 4;
}

struct Entity {
    const char *Text;
    int Length;
    char Byte;
};

const Entity kEntities[] = {
    {"&amp;", 5, '&'}, {"&lt;", 4, '<'}, {"&gt;", 4, '>'}, {"&quot;", 6, '"'}, {"&apos;", 6, '\''},
};

// Decodes the entity at in into out (never longer than the entity). Returns the
// bytes consumed (0: no known entity) and sets *written.
int DecodeEntity(const char *in, char *out, int *written) {
    if (in[1] == '#') {
        uint32_t code = 0;
        int used = ReadCharReference(in, &code);
        if (used)
            *written = PutUtf8(out, code);
        return used;
    }
    for (const Entity &entity : kEntities) {
        if (strncmp(in, entity.Text, (size_t)entity.Length) == 0) {
            *out = entity.Byte;
            *written = 1;
            return entity.Length;
        }
    }
    return 0;
}

} // namespace

// Decodes the five standard entities and numeric references in place, leaving
// CDATA sections, comments and unknown '&' as they are. Returns the new length.
static int Xml_DecodeEntitiesInPlace(char *text) {
    char *in = text, *out = text;
    while (*in) {
        if (*in == '<' && (strncmp(in, "<![CDATA[", 9) == 0 || strncmp(in, "<!--", 4) == 0)) {
            char *end = in[2] == '[' ? SkipPast(in + 9, "]]>") : SkipPast(in + 4, "-->");
            size_t length = (size_t)(end - in);
            memmove(out, in, length);
            out += length;
            in = end;
            continue;
        }
        if (*in == '&') {
            int written = 0;
            int used = DecodeEntity(in, out, &written);
            if (used) {
                in += used;
                out += written;
                continue;
            }
        }
        *out++ = *in++;
    }
    *out = 0;
    return (int)(out - text);
}

void Xml_ParseText(XmlStruct *xml, char *text) {
    XmlParser parser = {xml, text, 0};
    ParseList(&parser, 0, nullptr);
    FinishData(xml);
}
