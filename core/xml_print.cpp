// The XML writer: prints the tree with indentation, one element per line, texts
// escaped as the standard entities; sizes are counted exactly before printing,
// and saving replaces the file atomically.
#include "core/file.h"
#include "core/xml_private.h"
#include "core/zyl.h"

#include <cstring>

namespace {

// A printing pass: with Buffer null it only counts bytes.
struct XmlPrinter {
    XmlStruct *Xml;
    char *Buffer;
    int64_t Size;
    int64_t Used;
    int Failed;
    int DepthLogged;
};

// A name the reader gives back as it is: not empty, no blank and none of the
// bytes that end, split or mark a tag. Names are written as they are (XML has no escape for them),
// so a tree holding another name (read from a broken document, or set so) is
// not printed at all rather than printed as different markup.
bool NameIsPrintable(const char *name, int length) {
    if (length <= 0)
        return false;
    for (int i = 0; i < length; i++) {
        unsigned char c = (unsigned char)name[i];
        if (Xml_IsBlank(c) || strchr("<>/\"'=&?!", c) != nullptr)
            return false;
    }
    return true;
}

void Put(XmlPrinter *printer, const char *text, int64_t length) {
    if (printer->Failed)
        return;
    if (printer->Buffer) {
        if (printer->Used + length > printer->Size - 1) {
            Zyl_Print("Buffer boundary hit 2 (%d vs %d)\n", (int)printer->Used,
                      (int)(printer->Size - 10));
            printer->Failed = 1;
            return;
        }
        memcpy(printer->Buffer + printer->Used, text, (size_t)length);
    }
    printer->Used += length;
}

void PutText(XmlPrinter *printer, const char *text) {
    Put(printer, text, (int64_t)strlen(text));
}

// Texts are written with & < > " as the standard entities.
void PutEscaped(XmlPrinter *printer, const char *text, int64_t length) {
    const char *run = text;
    for (const char *s = text; s < text + length; s++) {
        const char *entity = nullptr;
        switch (*s) {
        case '&':
            entity = "&amp;";
            break;
        case '<':
            entity = "&lt;";
            break;
        case '>':
            entity = "&gt;";
            break;
        case '"':
            entity = "&quot;";
            break;
        default:
            continue;
        }
        Put(printer, run, s - run);
        PutText(printer, entity);
        run = s + 1;
    }
    Put(printer, run, text + length - run);
}

void PutBlanksAsReferences(XmlPrinter *printer, const char *blanks, int64_t length) {
    for (int64_t i = 0; i < length; i++) {
        char reference[8];
        int size = Zyl_FormatString(reference, sizeof reference, "&#%d;", (int)(uint8_t)blanks[i]);
        Put(printer, reference, size);
    }
}

// The reader drops the blanks at both ends of an element's text, so blanks the
// text really has there are written as character references, which it keeps.
void PutElementText(XmlPrinter *printer, const char *text) {
    int64_t length = (int64_t)strlen(text), start = 0, end = length;
    while (start < end && Xml_IsBlank((unsigned char)text[start]))
        start++;
    while (end > start && Xml_IsBlank((unsigned char)text[end - 1]))
        end--;
    PutBlanksAsReferences(printer, text, start);
    PutEscaped(printer, text + start, end - start);
    PutBlanksAsReferences(printer, text + end, length - end);
}

void PutNewline(XmlPrinter *printer) {
    if (printer->Xml->Newline == 1)
        Put(printer, "\n", 1);
}

void PutIndent(XmlPrinter *printer, int depth) {
    static const char kBlanks[] =
        "                                                                "
        "                                                                ";
    int64_t blanks = (int64_t)printer->Xml->IndentWidth * depth;
    while (blanks > 0) {
        int64_t chunk = blanks < (int64_t)sizeof kBlanks - 1 ? blanks : (int64_t)sizeof kBlanks - 1;
        Put(printer, kBlanks, chunk);
        blanks -= chunk;
    }
}

void PutName(XmlPrinter *printer, const XmlNodeStruct *node) {
    bool printable =
        NameIsPrintable(node->Name, node->NameLength) &&
        (node->Prefix == nullptr || NameIsPrintable(node->Prefix, (int)strlen(node->Prefix)));
    if (!printable) {
        if (!printer->Failed)
            Zyl_Print("Xml_Print() name cannot be written as markup [%s]\n", node->Name);
        printer->Failed = 1;
        return;
    }
    if (node->Prefix) {
        PutText(printer, node->Prefix);
        Put(printer, ":", 1);
    }
    Put(printer, node->Name, node->NameLength);
}

// An attribute without value is written with an empty one: the reader gives the
// same tree back, and a bare name is no well-formed markup.
void PutAttributes(XmlPrinter *printer, const XmlNodeStruct *node) {
    for (const XmlNodeStruct *attribute = node->Attributes; attribute;
         attribute = attribute->Next) {
        Put(printer, " ", 1);
        PutName(printer, attribute);
        Put(printer, "=\"", 2);
        if (attribute->Data)
            PutEscaped(printer, attribute->Data, (int64_t)strlen(attribute->Data));
        Put(printer, "\"", 1);
    }
}

int HasText(const XmlNodeStruct *node) {
    return node->Data && node->Data[0];
}

// Margin check of the fixed buffer before and after each node.
int CheckMargin(XmlPrinter *printer, int which) {
    if (printer->Failed)
        return 0;
    if (printer->Buffer && printer->Size - printer->Used < 10) {
        Zyl_Print("Buffer boundary hit %d (%d vs %d)\n", which, (int)printer->Used,
                  (int)(printer->Size - 10));
        printer->Failed = 1;
        return 0;
    }
    return 1;
}

void PrintList(XmlPrinter *printer, const XmlNodeStruct *list, int depth, int level);

// 1 when node has children within the depth limit; children past it are dropped
// with one log line per print.
int ChildrenPrinted(XmlPrinter *printer, const XmlNodeStruct *node, int level) {
    if (node->FirstChild == nullptr)
        return 0;
    if (level + 1 <= XML_MAX_DEPTH)
        return 1;
    if (!printer->DepthLogged) {
        printer->DepthLogged = 1;
        Zyl_Print("Xml_Print() nesting deeper than %d levels dropped [%s]\n", XML_MAX_DEPTH,
                  node->Name);
    }
    return 0;
}

void PrintElement(XmlPrinter *printer, const XmlNodeStruct *node, int depth, int level) {
    Put(printer, "<", 1);
    PutName(printer, node);
    PutAttributes(printer, node);
    int text = HasText(node);
    int children = ChildrenPrinted(printer, node, level);
    if (!text && !children) {
        if (printer->Xml->ShortEmptyTags) {
            Put(printer, " />", 3);
        } else {
            Put(printer, "></", 3);
            PutName(printer, node);
            Put(printer, ">", 1);
        }
        PutNewline(printer);
        return;
    }
    // The reader keeps a bare "<br>" as text, so a br start tag that owns
    // something is written with a blank before its '>'.
    if (node->Attributes == nullptr && node->Prefix == nullptr && node->NameLength == 2 &&
        Zyl_StrEqualNNoCase(node->Name, "br", 2))
        Put(printer, " ", 1);
    Put(printer, ">", 1);
    if (text)
        PutElementText(printer, node->Data);
    else
        PutNewline(printer);
    if (children)
        PrintList(printer, node->FirstChild, depth + 1, level + 1);
    if (!text)
        PutIndent(printer, depth);
    Put(printer, "</", 2);
    PutName(printer, node);
    Put(printer, ">", 1);
    PutNewline(printer);
}

void PrintList(XmlPrinter *printer, const XmlNodeStruct *list, int depth, int level) {
    for (const XmlNodeStruct *node = list; node; node = node->Next) {
        if (!CheckMargin(printer, 1))
            return;
        if (node->Kind == XML_KIND_ATTRIBUTE)
            continue; // attributes are written with their owner
        PutIndent(printer, depth);
        if (node->Kind == XML_KIND_DECLARATION || node->Kind == XML_KIND_BANG) {
            int declaration = node->Kind == XML_KIND_DECLARATION;
            Put(printer, declaration ? "<?" : "<!", 2);
            PutName(printer, node);
            PutAttributes(printer, node);
            Put(printer, declaration ? "?>" : ">", declaration ? 2 : 1);
            PutNewline(printer);
            if (ChildrenPrinted(printer, node, level))
                PrintList(printer, node->FirstChild, depth, level + 1);
        } else {
            PrintElement(printer, node, depth, level);
        }
        if (!CheckMargin(printer, 2))
            return;
    }
}

} // namespace

int Xml_GetPrintSize(XmlStruct *xml, int64_t *size) {
    ZYL_CHECK_TAG(xml, Xml_Tag);
    ZYL_CHECK_PTR(size);
    XmlPrinter printer = {xml, nullptr, 0, 0, 0, 0};
    PrintList(&printer, xml->Top, 0, 0);
    *size = printer.Failed ? 0 : printer.Used;
    return !printer.Failed;
}

int Xml_PrintToBuffer(XmlStruct *xml, char *buffer, int size, int *length) {
    ZYL_CHECK_TAG(xml, Xml_Tag);
    ZYL_CHECK_PTR(buffer);
    ZYL_CHECK_PTR(length);
    *length = 0;
    if (size < 1)
        return 0;
    XmlPrinter printer = {xml, buffer, size, 0, 0, 0};
    PrintList(&printer, xml->Top, 0, 0);
    if (printer.Failed) {
        buffer[0] = 0;
        return 0;
    }
    buffer[printer.Used] = 0;
    *length = (int)printer.Used;
    return 1;
}

int Xml_SaveFile(XmlStruct *xml, const char *path) {
    ZYL_CHECK_TAG(xml, Xml_Tag);
    ZYL_CHECK_PTR(path);
    if (!Zyl_StrCopy(xml->FileName, path, (int)sizeof xml->FileName)) {
        Zyl_Print("Xml_SaveFile() path too long [%s]\n", path);
        xml->FileName[0] = 0;
        return 0;
    }
    int64_t size = 0;
    if (!Xml_GetPrintSize(xml, &size))
        return 0;
    // Room for the NUL and the writer's margin of 10 bytes after the last node.
    int64_t bufferSize = size + 16;
    if (bufferSize > 0x7FFFFFFF) {
        Zyl_Print("Xml_SaveFile() document too large (%I64d bytes) [%s]\n", size, path);
        return 0;
    }
    char *buffer = static_cast<char *>(ZYL_ALLOC(bufferSize));
    int length = 0;
    int result = Xml_PrintToBuffer(xml, buffer, (int)bufferSize, &length);
    if (result)
        result = File_ReplaceAtomic(path, buffer, length);
    ZYL_FREE(buffer, bufferSize);
    return result;
}
