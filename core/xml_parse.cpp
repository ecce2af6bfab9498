// The XML reader: a tolerant, destructive tokenizer that cuts tags and texts in
// place with NUL bytes and builds the node tree; it never fails on bad markup,
// keeps at most XML_MAX_DEPTH nesting levels and decodes entities in place.
#include "core/xml_private.h"
#include "core/zyl.h"

#include <cstring>

static int Xml_DecodeEntitiesInPlace(char *text);

namespace {

// The hashes of recent names: a document repeats a few names many times, and
// comparing a short name costs less than hashing it again.
struct NameHashMemo {
    const char *Name; // in the parsed text, which outlives the parse
    int Length;
    uint32_t Hash;
};

enum { NAME_MEMO_SIZE = 64 };

struct XmlParser {
    XmlStruct *Xml;
    char *Cursor;
    char *End;              // the NUL that ends the text
    XmlNodeStruct *Pending; // the node whose text runs from its data to the next cut
    int DepthLogged;        // the depth-limit line is printed once per parse
    // The first '<' and the first '&' at or after the cursor (End when there is
    // none), or null while unknown; each search goes on from where the last one
    // found its byte, so the text is searched for each of them about once.
    char *NextLt;
    char *NextAmp;
    NameHashMemo Names[NAME_MEMO_SIZE];
};

// The first byte c at or after from (End when there is none), through the
// remembered position when it still lies ahead.
char *FindAhead(XmlParser *parser, char **remembered, char *from, char c) {
    if (*remembered == nullptr || *remembered < from) {
        char *found = static_cast<char *>(memchr(from, c, (size_t)(parser->End - from)));
        *remembered = found ? found : parser->End;
    }
    return *remembered;
}

// 1 when the bytes from begin to end hold an '&'. Asked in the order of the text.
int HasEntity(XmlParser *parser, char *begin, char *end) {
    return FindAhead(parser, &parser->NextAmp, begin, '&') < end;
}

// A node of the parsed text named by the length bytes at name.
XmlNodeStruct *NewParsedNode(XmlParser *parser, char *name, int length) {
    unsigned slot = 0;
    if (length > 0)
        slot = ((unsigned)length * 7u + (unsigned char)name[0] * 31u +
                (unsigned char)name[length - 1]) %
               NAME_MEMO_SIZE;
    NameHashMemo &memo = parser->Names[slot];
    int same = memo.Name != nullptr && memo.Length == length;
    for (int i = 0; same && i < length; i++)
        same = memo.Name[i] == name[i];
    if (!same) {
        memo.Name = name;
        memo.Length = length;
        memo.Hash = Zyl_Crc32NoCase(name, length);
    }
    return Xml_NewHashedNode(parser->Xml, name, length, memo.Hash);
}

// 1 when another node may be built; at the cap, logs once and ends the text.
int NodeAllowed(XmlParser *parser) {
    if (parser->Xml->NodeCount < XML_MAX_NODES)
        return 1;
    if (parser->Cursor < parser->End) {
        Zyl_Print("Xml_Parse() more than %d nodes, the rest of the text dropped\n", XML_MAX_NODES);
        parser->Cursor = parser->End;
    }
    return 0;
}

// The text of the pending node ends at end (a NUL): it loses its trailing
// blanks, its entities are decoded and its size is set.
void EndPendingText(XmlParser *parser, char *end) {
    XmlNodeStruct *node = parser->Pending;
    if (node == nullptr)
        return;
    parser->Pending = nullptr;
    char *data = node->Data;
    size_t length = (size_t)(end - data);
    while (length > 0 && Xml_IsBlank((unsigned char)data[length - 1]))
        data[--length] = 0;
    if (length > 0 && HasEntity(parser, data, data + length))
        node->DataSize = Xml_DecodeEntitiesInPlace(data);
    else
        node->DataSize = (int)length;
}

enum { TAG_FOUND, TAG_NONE, TAG_END };

// Skips "<![CDATA[...]]>" or "<!--...-->" whose body starts at body; returns the
// byte after the end marker, or the end of the text.
char *SkipPast(char *body, const char *marker) {
    char *end = strstr(body, marker);
    return end ? end + strlen(marker) : body + strlen(body);
}

// A cut tag: its text without '<', '>' and the blanks around them, and the NUL
// that ends it.
struct CutTag {
    char *Text;
    char *End;
};

// Finds and cuts the next tag from the cursor; the pending text ends before it.
// TAG_FOUND fills *tag and moves the cursor to the first non-blank after '>';
// TAG_NONE moved the cursor past something that is no tag; TAG_END: the text
// has ended. Each search stops at the next '<', so a text without '>' is
// still read once.
int Xml_NextTag(XmlParser *parser, CutTag *tag) {
    char *end = parser->End;
    char *lt = FindAhead(parser, &parser->NextLt, parser->Cursor, '<');
    if (lt == end) {
        parser->Cursor = end;
        EndPendingText(parser, end);
        return TAG_END;
    }
    char *start = lt + 1;
    while (Xml_IsBlank((unsigned char)*start))
        start++;
    if (*start == 0) {
        parser->Cursor = start;
        EndPendingText(parser, end);
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
    char *limit = FindAhead(parser, &parser->NextLt, start, '<');
    char *gt = static_cast<char *>(memchr(start, '>', (size_t)(limit - start)));
    if (gt == nullptr) {
        // A '<' before '>' abandons this tag; the next scan starts there.
        parser->Cursor = limit;
        if (limit == end) {
            EndPendingText(parser, end);
            return TAG_END;
        }
        return TAG_NONE;
    }
    *gt = 0;
    char *back = gt;
    while (back > start && Xml_IsBlank((unsigned char)back[-1]))
        *--back = 0;
    *lt = 0; // ends the text before this tag
    EndPendingText(parser, lt);
    char *after = gt + 1;
    while (Xml_IsBlank((unsigned char)*after))
        after++;
    parser->Cursor = after;
    tag->Text = start;
    tag->End = back;
    return TAG_FOUND;
}

struct TagParts {
    char *Name;
    int NameLength;
    char *Prefix;     // or null
    char *Attributes; // or null
    char *AttributesEnd;
    int Closing;
    int Empty;
};

// Splits a cut tag into closing mark, prefix, name and attribute text.
void SplitTag(const CutTag &tag, TagParts *parts) {
    memset(parts, 0, sizeof *parts);
    char *name = tag.Text;
    if (*name == '/') {
        parts->Closing = 1;
        name++;
    }
    char *end = name;
    while (end < tag.End && !Xml_IsBlank((unsigned char)*end))
        end++;
    char *nameEnd = end;
    if (end < tag.End) {
        *end++ = 0;
        while (Xml_IsBlank((unsigned char)*end))
            end++;
        char *back = tag.End;
        while (back > end && (Xml_IsBlank((unsigned char)back[-1]) || back[-1] == '/')) {
            if (back[-1] == '/')
                parts->Empty = 1;
            *--back = 0;
        }
        if (back > end) {
            parts->Attributes = end;
            parts->AttributesEnd = back;
        }
    }
    char *colon = static_cast<char *>(memchr(name, ':', (size_t)(nameEnd - name)));
    if (colon) {
        *colon = 0;
        parts->Prefix = name;
        name = colon + 1;
    }
    if (parts->Attributes == nullptr && nameEnd > name && nameEnd[-1] == '/') {
        *--nameEnd = 0;
        parts->Empty = 1;
    }
    parts->Name = name;
    parts->NameLength = (int)(nameEnd - name);
}

// Cuts trailing '?' and blanks of a declaration's attribute text (or name).
void TrimDeclaration(char *text) {
    char *back = text + strlen(text) - 1;
    while (back >= text && (*back == '?' || Xml_IsBlank((unsigned char)*back)))
        *back-- = 0;
}

// Reads the attribute text (ending at end) left to right into attribute nodes
// of node; values stay in place (quotes removed, entities decoded).
void ParseAttributes(XmlParser *parser, XmlNodeStruct *node, char *text, char *end) {
    XmlNodeStruct *last = nullptr; // tail of the attribute list
    char *s = text;
    while (*s && NodeAllowed(parser)) {
        while (Xml_IsBlank((unsigned char)*s))
            s++;
        if (*s == 0)
            break;
        char *name = s;
        while (*s && *s != '=' && !Xml_IsBlank((unsigned char)*s))
            s++;
        int nameLength = (int)(s - name);
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
        size_t valueLength = 0;
        int hasEntity = 0;
        if (hasValue) {
            while (Xml_IsBlank((unsigned char)*s))
                s++;
            value = s;
            // The value runs to the first blank outside double quotes; a quote
            // left open runs to the end of the tag.
            while (*s && !Xml_IsBlank((unsigned char)*s)) {
                if (*s == '"') {
                    char *close = static_cast<char *>(memchr(s + 1, '"', (size_t)(end - s - 1)));
                    s = close ? close + 1 : end;
                } else {
                    s++;
                }
            }
            valueLength = (size_t)(s - value);
            hasEntity = HasEntity(parser, value, value + valueLength);
            if (*s)
                *s++ = 0;
            if (*value == '"') {
                value++;
                valueLength--;
            }
            if (valueLength > 0 && value[valueLength - 1] == '"')
                value[--valueLength] = 0;
            if (valueLength == 0)
                value = nullptr;
        }
        if (nameLength == 0)
            continue; // "=value" without a name would print as invalid markup
        XmlNodeStruct *attribute = NewParsedNode(parser, name, nameLength);
        attribute->Kind = XML_KIND_ATTRIBUTE;
        attribute->Parent = node;
        if (value) {
            if (hasEntity)
                Xml_DecodeEntitiesInPlace(value);
            attribute->Data = value;
        }
        Xml_LinkAttribute(node, attribute, last);
        last = attribute;
    }
}

int NameEquals(const TagParts &parts, const XmlNodeStruct *node) {
    return parts.NameLength == node->NameLength && Zyl_StrEqualNoCase(parts.Name, node->Name);
}

// Past the depth limit: drops the owner's content up to its own closing tag
// (same-named start tags counted). Returns 1 when it was closed, 0 at the end.
int SkipContent(XmlParser *parser, XmlNodeStruct *owner) {
    int open = 0;
    for (;;) {
        CutTag tag;
        int found = Xml_NextTag(parser, &tag);
        if (found == TAG_END)
            return 0;
        if (found == TAG_NONE)
            continue;
        TagParts parts;
        SplitTag(tag, &parts);
        if (!NameEquals(parts, owner))
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

// Builds the node of one tag (not the owner's closing tag) and its subtree; the
// text after the tag is the node's. Returns 0 when the text ended inside it.
int ParseNode(XmlParser *parser, int level, XmlNodeStruct *owner, TagParts *parts) {
    XmlStruct *xml = parser->Xml;
    if (!NodeAllowed(parser))
        return 0;
    char *name = parts->Name;
    int nameLength = parts->NameLength;
    int kind = XML_KIND_ELEMENT;
    if (*name == '?' || *name == '!') {
        kind = *name == '?' ? XML_KIND_DECLARATION : XML_KIND_BANG;
        name++;
        while (Xml_IsBlank((unsigned char)*name))
            name++;
        if (kind == XML_KIND_DECLARATION)
            TrimDeclaration(parts->Attributes ? parts->Attributes : name);
        nameLength = (int)strlen(name);
    }
    XmlNodeStruct *node = NewParsedNode(parser, name, nameLength);
    node->Kind = kind;
    node->Prefix = parts->Prefix;
    node->Data = parser->Cursor;
    parser->Pending = node;
    Xml_LinkChild(xml, owner, node);
    if (parts->Attributes)
        ParseAttributes(parser, node, parts->Attributes, parts->AttributesEnd);
    if (parts->Empty)
        return 1;
    if (level + 1 > XML_MAX_DEPTH) {
        if (!parser->DepthLogged) {
            parser->DepthLogged = 1;
            Zyl_Print("Xml_Parse() nesting deeper than %d levels dropped [%s]\n", XML_MAX_DEPTH,
                      node->Name);
        }
        return SkipContent(parser, node);
    }
    return ParseList(parser, level + 1, node);
}

// Parses the list owned by owner (null: the top level). Returns 1 when the
// owner's closing tag was met, 0 when the text ended. Each node's text ended
// at the first tag cut after it, so an owner left open by the end of the text
// reads as its print reads again.
int ParseList(XmlParser *parser, int level, XmlNodeStruct *owner) {
    for (;;) {
        CutTag tag;
        int found = Xml_NextTag(parser, &tag);
        if (found == TAG_END)
            return 0;
        if (found == TAG_NONE)
            continue;
        TagParts parts;
        SplitTag(tag, &parts);
        if (parts.Closing && owner && NameEquals(parts, owner))
            return 1;
        if (!ParseNode(parser, level, owner, &parts))
            return 0;
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
    XmlParser parser = {xml, text, text + strlen(text), nullptr, 0, nullptr, nullptr, {}};
    ParseList(&parser, 0, nullptr);
    EndPendingText(&parser, parser.End);
}
