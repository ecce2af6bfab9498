// libFuzzer target for the XML reader and writer: parses arbitrary bytes, prints
// the tree (the counted size must equal the printed length), reads the print
// back (it must print the same), and runs the searches, path helpers and the text decoder on the
// result.
#include "core/xml.h"
#include "core/xmlhelper.h"
#include "core/zyl.h"

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <strings.h>

namespace {

XmlStruct *g_xml = nullptr;

void Touch(XmlNodeStruct *node, int budget) {
    for (; node && budget > 0; Xml_GetNextSibling(g_xml, node, &node), budget--) {
        const char *data = nullptr;
        Xml_GetData(g_xml, node, &data);
        char decoded[256];
        Xml_DecodeText(data, decoded, sizeof decoded);
        char value[64];
        Xml_GetAttribute(g_xml, node, "a", value, sizeof value);
        XmlNodeStruct *child = nullptr;
        if (Xml_GetFirstChild(g_xml, node, &child))
            Touch(child, budget / 2);
    }
}

// Prints the document into *out; false when it holds a name that markup cannot
// hold. Aborts when the counted size and the printed length differ.
bool Print(std::string *out) {
    int64_t size = 0;
    if (!Xml_GetPrintSize(g_xml, &size))
        return false;
    std::string buffer((size_t)size + 16, '\0');
    int length = 0;
    if (!Xml_PrintToBuffer(g_xml, buffer.data(), (int)buffer.size(), &length) || length != size)
        abort();
    buffer.resize((size_t)length);
    *out = buffer;
    return true;
}

// Printing is stable except around the reader's tolerance cases: a declaration
// or <!...> owns the nodes after it, so an owner's closing tag inside one reads
// as a new element, and so does the closing tag of a <br>, which is kept as text
// (and '!' or '?' inside a tag changes its kind when it is read again).
bool PrintIsStable(const std::string &text) {
    if (text.find_first_of("?!") != std::string::npos)
        return false;
    for (size_t at = text.find('<'); at != std::string::npos; at = text.find('<', at + 1)) {
        if (strncasecmp(text.c_str() + at, "<br>", 4) == 0)
            return false;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    Zyl_Init("fuzz.log", 0);
    Zyl_MemoryInit(INT_MAX);
    Xml_Create(&g_xml);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string text(reinterpret_cast<const char *>(data), size);
    Xml_ParseBuffer(g_xml, text.c_str());
    std::string printed, again;
    bool printable = Print(&printed);
    XmlNodeStruct *node = nullptr;
    Xml_Find(g_xml, "a", XML_NO_DEPTH_LIMIT, 0, nullptr, &node);
    Xml_FindPath(g_xml, "a.b.a", &node);
    Xml_FindPathChildren(g_xml, "x.a", &node);
    if (Xml_GetRoot(g_xml, &node)) {
        Touch(node, 64);
        XmlHelper_SetPathText("a.b", node, "<&>", g_xml);
        XmlHelper_SetAttribute(g_xml, "a", node, "\"'");
        Print(&again);
        XmlNodeStruct *child = nullptr;
        if (Xml_GetFirstChild(g_xml, node, &child))
            Xml_RemoveNode(g_xml, child);
        Xml_RemoveNode(g_xml, node);
    }
    if (printable) {
        // What was printed reads again and prints the same.
        Xml_ParseBuffer(g_xml, printed.c_str());
        bool reprinted = Print(&again);
        if (PrintIsStable(text) && (!reprinted || again != printed))
            abort();
    }
    char decoded[512];
    Xml_DecodeText(text.c_str(), decoded, sizeof decoded);
    return 0;
}
