// XML document: the reader's tolerance rules, entity handling, printing, the
// exact size estimate, searches and paths, the text decoder, atomic saving (also
// under SIGKILL), xmllint acceptance and hostile input.
#include "core/xml.h"
#include "core/zyl.h"
#include "tests/support/log_capture.h"
#include "tests/support/support.h"

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <random>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Compact picture of a tree: kind mark ('?' declaration, '!' bang), prefix:,
// name, [attributes], ="data" when not empty, {children}; siblings by ','.
std::string Describe(XmlStruct *xml, XmlNodeStruct *node) {
    std::string out;
    for (; node; Xml_GetNextSibling(xml, node, &node)) {
        if (!out.empty())
            out += ",";
        const char *prefix = nullptr, *name = nullptr, *data = nullptr;
        int kind = 0;
        Xml_GetNodeInfo(xml, node, &prefix, &name, &data);
        Xml_GetKind(xml, node, &kind);
        out += kind == XML_KIND_DECLARATION ? "?" : kind == XML_KIND_BANG ? "!" : "";
        if (prefix)
            out += std::string(prefix) + ":";
        out += name;
        XmlNodeStruct *attribute = nullptr;
        if (Xml_GetFirstAttribute(xml, node, &attribute)) {
            out += "[";
            for (int first = 1; attribute; Xml_GetNextSibling(xml, attribute, &attribute)) {
                const char *value = nullptr;
                Xml_GetNodeInfo(xml, attribute, nullptr, &name, &value);
                out += std::string(first ? "" : " ") + name;
                if (value)
                    out += std::string("=") + value;
                first = 0;
            }
            out += "]";
        }
        if (data && *data)
            out += std::string("=\"") + data + "\"";
        XmlNodeStruct *child = nullptr;
        if (Xml_GetFirstChild(xml, node, &child))
            out += "{" + Describe(xml, child) + "}";
    }
    return out;
}

struct XmlTest : ::testing::Test {
    XmlStruct *xml = nullptr;
    void SetUp() override { ASSERT_EQ(1, Xml_Create(&xml)); }
    void TearDown() override {
        EXPECT_EQ(1, Xml_Destroy(&xml));
        EXPECT_EQ(nullptr, xml);
    }
    std::string Parse(const std::string &text) {
        EXPECT_EQ(1, Xml_ParseBuffer(xml, text.c_str()));
        return Tree();
    }
    std::string Tree() {
        XmlNodeStruct *root = nullptr;
        Xml_GetRoot(xml, &root);
        return Describe(xml, root);
    }
    std::string Print() {
        int64_t size = 0;
        Xml_GetPrintSize(xml, &size);
        std::string buffer((size_t)size + 16, '\0');
        int length = 0;
        EXPECT_EQ(1, Xml_PrintToBuffer(xml, buffer.data(), (int)buffer.size(), &length));
        EXPECT_EQ(size, length);
        return buffer.substr(0, (size_t)length);
    }
};

struct ParseCase {
    const char *Name;
    const char *Text;
    const char *Tree;
};

const ParseCase kParseCases[] = {
    {"nested text", "<a><b>x</b></a>", "a{b=\"x\"}"},
    {"attribute with and without value", "<a x=\"1\" y/>", "a[x=1 y]"},
    {"empty without blank", "<a/><b />", "a,b"},
    {"blanks around text trimmed", "<a>  x y \r\n</a>", "a=\"x y\""},
    {"text before the first tag ignored", "junk<a>t</a>", "a=\"t\""},
    {"text after children not kept", "<a>one<b/>two<c/>three</a>",
     "a=\"one\"{b=\"two\",c=\"three\"}"},
    {"comment stays in the text", "<a>x<!-- <c> -->y</a>", "a=\"x<!-- <c> -->y\""},
    {"CDATA stays in the text", "<a><![CDATA[<b>&amp;]]></a>", "a=\"<![CDATA[<b>&amp;]]>\""},
    {"unmatched closing tag nests", "<a></b><c/></a>", "a{b{c,a}}"},
    {"unclosed element runs to the end", "<a><b>text", "a{b=\"text\"}"},
    {"'>' in a quoted value ends the tag", "<a x=\"1>2\">t</a>", "a[x=1]=\"2\">t\""},
    {"declaration never closes", "<?xml version=\"1.0\"?><r><s/></r><t/>",
     "?xml[version=1.0]{r{s},t}"},
    {"bang declaration", "<!DOCTYPE html><p/>", "!DOCTYPE[html]{p}"},
    {"prefix split", "<s:Env a:b=\"c\"><s:Body/></s:Env>", "s:Env[a:b=c]{s:Body}"},
    {"closing tag ignores case", "<A>x</a><b/>", "A=\"x\",b"},
    {"'<' before '>' abandons the tag", "<a>1 < 2</a>", "a=\"1 < 2\""},
    {"unquoted value ends at a blank", "<a x=1 y = 2 z=\"p q\"/>", "a[x=1 y=2 z=p q]"},
    {"standard entities decoded", "<a v=\"&quot;&amp;&apos;\">&lt;&gt;&amp;</a>",
     "a[v=\"&']=\"<>&\""},
    {"numeric references decoded", "<a>&#65;&#x42;&#xe9;&#8364;</a>",
     "a=\"AB\xc3\xa9\xe2\x82\xac\""},
    {"unknown and refused references kept", "<a>&#0; &nbsp; & &#x110000; &#xD800; &amp</a>",
     "a=\"&#0; &nbsp; & &#x110000; &#xD800; &amp\""},
    {"BR is no tag", "<a>x<br>y</a>", "a=\"x<br>y\""},
    {"empty input", "", ""},
    {"only text", "no markup at all", ""},
};

TEST_F(XmlTest, ToleranceRules) {
    for (const ParseCase &c : kParseCases)
        EXPECT_EQ(c.Tree, Parse(c.Text)) << c.Name;
}

TEST_F(XmlTest, DataSizesAndNodeCount) {
    Parse("<a x=\"1\"><b>hello</b><c/></a>");
    XmlNodeStruct *b = nullptr;
    ASSERT_EQ(1, Xml_FindPath(xml, "a.b", &b));
    // A shorter text is written in place, a longer one gets its own buffer.
    EXPECT_EQ(1, Xml_SetData(xml, b, "hi"));
    EXPECT_EQ(1, Xml_SetData(xml, b, "a much longer text than before"));
    const char *data = nullptr;
    EXPECT_EQ(1, Xml_GetData(xml, b, &data));
    EXPECT_STREQ("a much longer text than before", data);
    int count = 0;
    Xml_GetNodeCount(xml, &count);
    EXPECT_EQ(4, count); // a, x, b, c
    XmlNodeStruct *c = nullptr;
    ASSERT_EQ(1, Xml_FindPath(xml, "a.c", &c));
    char buffer[8] = "junk";
    EXPECT_EQ(1, Xml_GetData(xml, c, &data)); // the (empty) text after it
    EXPECT_STREQ("", data);
    XmlNodeStruct *created = nullptr;
    Xml_AddElement(xml, c, nullptr, &created, "new");
    EXPECT_EQ(0, Xml_GetData(xml, created, &data)); // no text at all
    EXPECT_STREQ("", data);
    EXPECT_EQ(0, Xml_CopyData(xml, created, buffer, sizeof buffer));
    EXPECT_STREQ("", buffer);
    EXPECT_EQ(0, Xml_CopyData(xml, b, buffer, sizeof buffer)); // cut
    EXPECT_STREQ("a much ", buffer);
}

TEST_F(XmlTest, PrintsIndentedLines) {
    Parse("<a><b>x</b></a>");
    EXPECT_EQ("<a>\n    <b>x</b>\n</a>\n", Print());
    Parse("<a x=\"1\" y/>");
    EXPECT_EQ("<a x=\"1\" y=\"\" />\n", Print());
    Parse("<a/><b />");
    Xml_SetShortEmptyTags(xml, 0);
    EXPECT_EQ("<a></a>\n<b></b>\n", Print());
    Xml_SetShortEmptyTags(xml, 1);
    Xml_SetIndent(xml, 2);
    Parse("<?xml version=\"1.0\"?><r><s><t>1</t></s></r>");
    EXPECT_EQ("<?xml version=\"1.0\"?>\n<r>\n  <s>\n    <t>1</t>\n  </s>\n</r>\n", Print());
}

// A document as the program's writers build it.
XmlNodeStruct *BuildDocument(XmlStruct *xml, const char *text) {
    XmlNodeStruct *declaration = nullptr, *root = nullptr, *item = nullptr;
    Xml_AddElement(xml, nullptr, nullptr, &declaration, "xml");
    Xml_SetKind(xml, declaration, XML_KIND_DECLARATION);
    Xml_AddAttribute(xml, declaration, "version", "1.0");
    Xml_AddElement(xml, nullptr, nullptr, &root, "PackageVersion");
    Xml_AddAttribute(xml, root, "name", text);
    Xml_AddAttribute(xml, root, "empty", "");
    Xml_AddElement(xml, root, nullptr, &item, "Text");
    Xml_SetData(xml, item, text);
    Xml_AddElement(xml, root, nullptr, &item, "Empty");
    return root;
}

const char kEscapes[] = "a&b<c>d\"e'f &amp; &#65; ]]> <!-- x --> end";

TEST_F(XmlTest, RoundTripEscapesEveryMarkupCharacter) {
    testsupport::TempDir dir;
    BuildDocument(xml, kEscapes);
    std::string path = dir / "sub/round.xml";
    ASSERT_EQ(1, Xml_SaveFile(xml, path.c_str()));
    std::string saved = testsupport::ReadFile(path);
    EXPECT_NE(std::string::npos, saved.find("a&amp;b&lt;c&gt;d&quot;e'f &amp;amp;")) << saved;
    std::string before = Tree();
    ASSERT_EQ(1, Xml_LoadFile(xml, path.c_str()));
    EXPECT_EQ(before, Tree());
    char name[XML_NAME_SIZE];
    Xml_GetFileName(xml, name, sizeof name);
    EXPECT_EQ(path, name);
    XmlNodeStruct *text = nullptr;
    ASSERT_EQ(1, Xml_FindPath(xml, "PackageVersion.Text", &text));
    const char *data = nullptr;
    Xml_GetData(xml, text, &data);
    EXPECT_STREQ(kEscapes, data);
    // Saving what was loaded gives the same bytes.
    std::string again = dir / "again.xml";
    ASSERT_EQ(1, Xml_SaveFile(xml, again.c_str()));
    EXPECT_EQ(saved, testsupport::ReadFile(again));
}

TEST_F(XmlTest, XmllintAcceptsWhatTheWriterSaves) {
    if (!testsupport::HaveProgram("xmllint"))
        GTEST_SKIP() << "xmllint not installed";
    testsupport::TempDir dir;
    XmlNodeStruct *root = BuildDocument(xml, kEscapes);
    XmlNodeStruct *node = root;
    for (int i = 0; i < 20; i++) // nested levels
        Xml_AddElement(xml, node, nullptr, &node, i % 2 ? "Level" : "Deeper");
    Xml_SetData(xml, node, "\xc3\xa9t\xc3\xa9 <\"&\">");
    std::string path = dir / "lint.xml";
    ASSERT_EQ(1, Xml_SaveFile(xml, path.c_str()));
    std::string output;
    EXPECT_EQ(0, testsupport::RunCommand("xmllint --noout '" + path + "' 2>&1", &output))
        << output << testsupport::ReadFile(path);
    Xml_SetShortEmptyTags(xml, 0);
    ASSERT_EQ(1, Xml_SaveFile(xml, path.c_str()));
    EXPECT_EQ(0, testsupport::RunCommand("xmllint --noout '" + path + "' 2>&1", &output)) << output;
}

TEST_F(XmlTest, PrintSizeIsExactForAttributeHeavyDocuments) {
    XmlNodeStruct *root = nullptr, *item = nullptr;
    Xml_AddElement(xml, nullptr, nullptr, &root, "r");
    for (int i = 0; i < 200; i++) {
        Xml_AddElement(xml, root, nullptr, &item, "i");
        for (int a = 0; a < 20; a++) {
            char name[16];
            Zyl_FormatString(name, sizeof name, "attr%d", a);
            Xml_AddAttribute(xml, item, name, "<&\"long value needing escapes\"&>");
        }
    }
    int64_t size = 0;
    ASSERT_EQ(1, Xml_GetPrintSize(xml, &size));
    std::string buffer((size_t)size + 11, '\0');
    int length = 0;
    ASSERT_EQ(1, Xml_PrintToBuffer(xml, buffer.data(), (int)buffer.size(), &length));
    EXPECT_EQ(size, length);
    EXPECT_EQ(strlen(buffer.c_str()), (size_t)length);
    testsupport::ConsoleCapture capture;
    EXPECT_EQ(0, Xml_PrintToBuffer(xml, buffer.data(), (int)size / 2, &length));
    EXPECT_EQ(0, length);
    EXPECT_TRUE(capture.Contains("Buffer boundary hit")) << capture.Text();
    testsupport::TempDir dir;
    EXPECT_EQ(1, Xml_SaveFile(xml, (dir / "heavy.xml").c_str()));
    EXPECT_EQ((size_t)size, testsupport::ReadFile(dir / "heavy.xml").size());
}

// Documents as gateways send them: byte order mark, CR LF, namespaces, entities.
TEST_F(XmlTest, GatewayDocuments) {
    struct {
        const char *File, *Path, *Text;
    } cases[] = {
        {"soap_reply.xml", "Envelope.Body.GetExternalIPAddressResponse.NewExternalIPAddress",
         "203.0.113.7"},
        {"device.xml", "root.device.friendlyName", "Home Gateway & Router"},
        {"device.xml", "root.URLBase", "http://192.168.1.1:5000/"},
        {"device.xml", "root.device.deviceList.device.serviceList.service.controlURL",
         "/ctl/IPConn"},
    };
    for (const auto &c : cases) {
        std::string path = std::string(PORTICO_TEST_DATA) + "/xml/" + c.File;
        ASSERT_EQ(1, Xml_LoadFile(xml, path.c_str())) << path;
        XmlNodeStruct *node = nullptr;
        ASSERT_EQ(1, Xml_FindPath(xml, c.Path, &node)) << c.Path;
        const char *data = nullptr;
        Xml_GetData(xml, node, &data);
        EXPECT_STREQ(c.Text, data) << c.Path;
    }
    XmlNodeStruct *found = nullptr;
    ASSERT_EQ(1, Xml_Find(xml, "serviceType", XML_NO_DEPTH_LIMIT, 0, nullptr, &found));
    char buffer[64];
    EXPECT_EQ(1, Xml_CopyData(xml, found, buffer, sizeof buffer));
    EXPECT_STREQ("urn:schemas-upnp-org:service:WANIPConnection:1", buffer);
}

TEST_F(XmlTest, LoadFailuresLeaveTheDocumentCleared) {
    testsupport::TempDir dir;
    Parse("<a/>");
    testsupport::ConsoleCapture capture;
    EXPECT_EQ(0, Xml_LoadFile(xml, (dir / "missing.xml").c_str()));
    EXPECT_EQ("", Tree());
    // Backslashes from server documents are accepted.
    testsupport::WriteFile(dir / "w.xml", "<w>1</w>");
    EXPECT_EQ(1, Xml_LoadFile(xml, (dir.path() + "\\w.xml").c_str()));
    EXPECT_EQ("w=\"1\"", Tree());
    testsupport::WriteFile(dir / "empty.xml", "");
    EXPECT_EQ(1, Xml_LoadFile(xml, (dir / "empty.xml").c_str()));
    EXPECT_EQ("", Tree());
}

TEST_F(XmlTest, SaveFailureLeavesTheOldFile) {
    testsupport::TempDir dir;
    std::string path = dir / "keep.xml";
    testsupport::WriteFile(path, "<old/>");
    Parse("<new/>");
    testsupport::ConsoleCapture capture;
    std::string tooLong = dir.path() + "/" + std::string(400, 'x') + ".xml";
    EXPECT_EQ(0, Xml_SaveFile(xml, tooLong.c_str()));
    EXPECT_EQ(0, Xml_SaveFile(xml, (path + "/inside.xml").c_str())); // folder is a file
    ASSERT_EQ(0, mkdir((dir / "folder").c_str(), 0700));
    EXPECT_EQ(0, Xml_SaveFile(xml, (dir / "folder").c_str())); // target is a folder
    EXPECT_EQ("<old/>", testsupport::ReadFile(path));
    EXPECT_EQ(1, Xml_SaveFile(xml, path.c_str()));
    EXPECT_EQ("<new />\n", testsupport::ReadFile(path));
    // Nothing but the two entries is left in the folder.
    std::string listing;
    testsupport::RunCommand("ls -A '" + dir.path() + "'", &listing);
    EXPECT_EQ("folder\nkeep.xml\n", listing);
}

TEST_F(XmlTest, AddAndRemoveNodes) {
    XmlNodeStruct *root = nullptr, *a = nullptr, *b = nullptr, *c = nullptr, *x = nullptr;
    Xml_AddElement(xml, nullptr, nullptr, &root, "r");
    Xml_AddElement(xml, root, nullptr, &a, "a");
    Xml_AddElement(xml, root, nullptr, &c, "c");
    Xml_AddElement(xml, nullptr, a, &b, "b"); // after a
    Xml_AddElement(xml, a, nullptr, &x, "x");
    Xml_AddAttribute(xml, x, "k", "v");
    EXPECT_EQ(0, Xml_AddAttribute(xml, x, "K", "w")); // names ignore case
    EXPECT_EQ("r{a{x[k=v]},b,c}", Tree());
    int count = 0;
    Xml_GetNodeCount(xml, &count);
    EXPECT_EQ(6, count);
    EXPECT_EQ(1, Xml_RemoveNode(xml, a));
    Xml_GetNodeCount(xml, &count);
    EXPECT_EQ(3, count);
    EXPECT_EQ(1, Xml_RemoveNode(xml, c)); // the last child: appends go after b again
    Xml_AddElement(xml, root, nullptr, &c, "d");
    EXPECT_EQ("r{b,d}", Tree());
    XmlNodeStruct *attribute = nullptr;
    Xml_AddAttribute(xml, root, "z", "1");
    ASSERT_EQ(1, Xml_FindAttribute(xml, root, "Z", &attribute));
    EXPECT_EQ(1, Xml_RemoveNode(xml, attribute));
    EXPECT_EQ(0, Xml_HasAttribute(xml, root, "z"));
    EXPECT_EQ(1, Xml_RemoveNode(xml, root));
    EXPECT_EQ("", Tree());
}

TEST_F(XmlTest, Attributes) {
    Parse("<a x=\"1\" bare/>");
    XmlNodeStruct *a = nullptr;
    Xml_GetRoot(xml, &a);
    char value[8];
    EXPECT_EQ(1, Xml_GetAttribute(xml, a, "X", value, sizeof value));
    EXPECT_STREQ("1", value);
    EXPECT_EQ(1, Xml_GetAttribute(xml, a, "bare", value, sizeof value));
    EXPECT_STREQ("", value);
    EXPECT_EQ(0, Xml_GetAttribute(xml, a, "none", value, sizeof value));
    EXPECT_EQ(0, Xml_SetAttribute(xml, a, "none", "v"));
    EXPECT_EQ(1, Xml_SetAttribute(xml, a, "bare", "now"));
    EXPECT_EQ(1, Xml_SetAttribute(xml, a, "x", "12345678901"));
    EXPECT_EQ(0, Xml_GetAttribute(xml, a, "x", value, sizeof value)); // cut
    EXPECT_EQ("a[x=12345678901 bare=now]", Tree());
}

TEST_F(XmlTest, FindTakesTheNearestMatch) {
    Parse("<?xml?><r><a><t>deep</t></a><t>near</t><s><t>later</t></s></r>");
    XmlNodeStruct *found = nullptr;
    const char *data = nullptr;
    ASSERT_EQ(1, Xml_Find(xml, "T", XML_NO_DEPTH_LIMIT, 0, nullptr, &found));
    Xml_GetData(xml, found, &data);
    EXPECT_STREQ("near", data);
    EXPECT_EQ(0, Xml_Find(xml, "t", 0, 0, nullptr, &found)); // r is depth 0, t depth 1
    EXPECT_EQ(nullptr, found);
    XmlNodeStruct *r = nullptr;
    ASSERT_EQ(1, Xml_Find(xml, "r", 0, 0, nullptr, &r)); // the declaration adds no depth
    ASSERT_EQ(1, Xml_FindChild(xml, r, "t", 0, &found));
    Xml_GetData(xml, found, &data);
    EXPECT_STREQ("near", data);
    // With the skip flag the start node is no candidate; deeper ones and later
    // siblings are.
    Parse("<t>start<t>child</t></t><t>sibling</t>");
    XmlNodeStruct *start = nullptr;
    Xml_GetRoot(xml, &start);
    ASSERT_EQ(1, Xml_Find(xml, "t", XML_NO_DEPTH_LIMIT, 1, start, &found));
    EXPECT_NE(start, found);
    Xml_GetData(xml, found, &data);
    EXPECT_STREQ("sibling", data);
    Parse("<t>start<t>child</t></t>");
    Xml_GetRoot(xml, &start);
    ASSERT_EQ(1, Xml_Find(xml, "t", XML_NO_DEPTH_LIMIT, 1, start, &found));
    Xml_GetData(xml, found, &data);
    EXPECT_STREQ("child", data);
}

TEST_F(XmlTest, DottedPaths) {
    Parse("<?xml version=\"1.0\"?><Package><Name>p</Name><Releases><Incremental>i</Incremental>"
          "</Releases></Package>");
    XmlNodeStruct *found = nullptr;
    const char *data = nullptr;
    ASSERT_EQ(1, Xml_FindPath(xml, "package.releases.incremental", &found));
    Xml_GetData(xml, found, &data);
    EXPECT_STREQ("i", data);
    EXPECT_EQ(0, Xml_FindPath(xml, "Package.Incremental", &found)); // one level per segment
    EXPECT_EQ(0, Xml_FindPath(xml, "Package..Name", &found));
    EXPECT_EQ(0, Xml_FindPath(xml, "", &found));
    ASSERT_EQ(1, Xml_FindPathChildren(xml, "Package.Releases", &found));
    const char *name = nullptr;
    Xml_GetName(xml, found, &name);
    EXPECT_STREQ("Incremental", name);
    EXPECT_EQ(0, Xml_FindPathChildren(xml, "Package.Releases.Incremental", &found));
    // A's own child B comes before a later sibling B.
    Parse("<A><B>inside</B></A><B>top</B>");
    ASSERT_EQ(1, Xml_FindPath(xml, "A.B", &found));
    Xml_GetData(xml, found, &data);
    EXPECT_STREQ("inside", data);
    // A segment of 320 characters is refused, never cut.
    testsupport::ConsoleCapture capture;
    std::string longName(320, 'n');
    Parse("<" + longName + "/>");
    EXPECT_EQ(0, Xml_FindPath(xml, longName.c_str(), &found));
    EXPECT_TRUE(capture.Contains("path segment too long"));
    EXPECT_EQ(0, Xml_FindPath(xml, longName.substr(0, 319).c_str(), &found));
}

struct DecodeCase {
    const char *In;
    int Size;
    const char *Out;
    int Result;
};

const DecodeCase kDecodeCases[] = {
    {"&lt;b&GT; &amp;&quot;&apos;", 64, "<b> &\"'", 1},
    {"&nbsp;&copy;", 64, " \xa9", 1},
    {"&#65;&#9;&#321;", 64, "A\tA", 1}, // 321 mod 256 = 65
    {"&#1234;", 64, "&#1234;", 1},      // four digits: no ';' within reach
    {"&#0; &#ab;", 64, "&#0; &#ab;", 1},
    {"a\r\nb<br>c<BR>d", 64, "ab\nc\nd", 1},
    {"x<![CDATA[<&>\r\n]]>y", 64, "x<&>\r\ny", 1},
    {"a < b", 64, "a < b", 1},
    {"abcdef", 4, "abc", 0},
    {"abc", 4, "abc", 0}, // reaching size - 1 stops, even at the end
    {"<![CDATA[abcdef]]>", 4, "abc", 0},
    {"ab", 4, "ab", 1},
};

TEST(XmlDecodeText, Table) {
    testsupport::ConsoleCapture capture;
    for (const DecodeCase &c : kDecodeCases) {
        char buffer[64];
        EXPECT_EQ(c.Result, Xml_DecodeText(c.In, buffer, c.Size)) << c.In;
        EXPECT_STREQ(c.Out, buffer) << c.In;
    }
    EXPECT_TRUE(capture.Contains("Unknown escape character (&)[#12]")) << capture.Text();
}

TEST_F(XmlTest, DumpListsTheTree) {
    Parse("<a x=\"1\" y><b>t</b></a>");
    testsupport::ConsoleCapture capture;
    Xml_Dump(xml);
    std::string text = capture.Text();
    EXPECT_NE(std::string::npos, text.find("() a (1): [A:N(x) B(1) N(y)] [  0] \"\"")) << text;
    EXPECT_NE(std::string::npos, text.find(":01      () b (1): [A:] [  1] \"t\"")) << text;
}

// Hostile input: bounded depth, no crash, memory proportional to the input.
TEST_F(XmlTest, DeepNestingIsCutAtTheDepthLimit) {
    testsupport::ConsoleCapture capture;
    std::string deep;
    for (int i = 0; i < 100000; i++)
        deep += "<a>";
    deep += "x";
    Parse(deep + "<after/>");
    int count = 0;
    Xml_GetNodeCount(xml, &count);
    EXPECT_EQ(XML_MAX_DEPTH + 1, count);
    EXPECT_TRUE(capture.Contains("nesting deeper than 256 levels dropped"));
    // Well-formed content past the limit is skipped up to its closing tag.
    std::string closed;
    for (int i = 0; i < 300; i++)
        closed += "<a>";
    for (int i = 0; i < 300; i++)
        closed += "</a>";
    Parse(closed + "<after>1</after>");
    XmlNodeStruct *after = nullptr;
    EXPECT_EQ(1, Xml_Find(xml, "after", 0, 0, nullptr, &after));
    int64_t size = 0;
    Xml_GetPrintSize(xml, &size);
    EXPECT_GT(size, 0);
    EXPECT_EQ(1, Xml_Find(xml, "a", XML_NO_DEPTH_LIMIT, 0, nullptr, &after));
    // Chains of declarations (which add no depth) are bounded as well.
    std::string declarations;
    for (int i = 0; i < 100000; i++)
        declarations += "<?x?>";
    Parse(declarations);
    Xml_GetNodeCount(xml, &count);
    EXPECT_EQ(XML_MAX_DEPTH + 1, count);
    EXPECT_EQ(0, Xml_Find(xml, "none", XML_NO_DEPTH_LIMIT, 0, nullptr, &after));
}

// A repeated closing tag alternately opens and closes an element; alternating
// names nest without end under the tolerance rules.
TEST_F(XmlTest, MillionUnmatchedClosingTags) {
    testsupport::ConsoleCapture capture;
    for (int alternate = 0; alternate < 2; alternate++) {
        std::string text = "<r>";
        // Alternating names print with deep indentation: fewer of them.
        for (int i = 0; i < (alternate ? 200000 : 1000000); i++)
            text += alternate && i % 2 ? "</b>" : "</a>";
        int64_t blocks = 0, before = 0, after = 0;
        Zyl_MemoryGetUsage(&blocks, &before);
        Parse(text);
        Zyl_MemoryGetUsage(&blocks, &after);
        int count = 0;
        Xml_GetNodeCount(xml, &count);
        if (!alternate) {
            EXPECT_EQ(500001, count); // r and 500,000 empty a
        }
        EXPECT_LE(count, 500001);
        EXPECT_LT(after - before, 128 * 1024 * 1024) << count;
        EXPECT_FALSE(Print().empty());
        XmlNodeStruct *found = nullptr;
        EXPECT_EQ(0, Xml_Find(xml, "none", XML_NO_DEPTH_LIMIT, 0, nullptr, &found));
        Xml_Clear(xml);
    }
}

// Appends stay O(1) for many top-level nodes and many attributes of one tag.
TEST_F(XmlTest, WideListsParseInLinearTime) {
    std::string text;
    for (int i = 0; i < 200000; i++)
        text += "<a/>";
    Parse(text);
    text = "<r";
    for (int i = 0; i < 200000; i++)
        text += " x";
    Parse(text + "/><t/>");
    int count = 0;
    Xml_GetNodeCount(xml, &count);
    EXPECT_EQ(200002, count);
    XmlNodeStruct *r = nullptr, *t = nullptr;
    Xml_GetRoot(xml, &r);
    XmlNodeStruct *added = nullptr;
    Xml_AddElement(xml, nullptr, r, &added, "after"); // between r and t at the top
    ASSERT_EQ(1, Xml_RemoveNode(xml, r));
    ASSERT_EQ(1, Xml_GetRoot(xml, &r));
    EXPECT_EQ(added, r);
    ASSERT_EQ(1, Xml_GetNextSibling(xml, r, &t));
    EXPECT_EQ(0, Xml_GetNextSibling(xml, t, &r));
}

TEST_F(XmlTest, NodeCountIsCapped) {
    testsupport::ConsoleCapture capture;
    std::string text = "<r>";
    for (int i = 0; i < XML_MAX_NODES / 4 + 10; i++)
        text += "<a x y z/>";
    Parse(text);
    int count = 0;
    Xml_GetNodeCount(xml, &count);
    EXPECT_EQ(XML_MAX_NODES, count);
    EXPECT_TRUE(capture.Contains("more than")) << capture.Text().substr(0, 200);
}

TEST_F(XmlTest, TruncatedInputAtEveryLength) {
    const std::string text =
        "<?xml version=\"1.0\"?><Package name=\"p&amp;q\" x='1'><!-- c --><Releases>"
        "<Incremental id=\"5\">&#65;<![CDATA[z]]></Incremental></Releases><e/></Package>";
    for (size_t cut = 0; cut <= text.size(); cut++) {
        Parse(text.substr(0, cut));
        std::string printed = Print();
        // What was printed reads again, and prints the same: printing is stable.
        Xml_ParseBuffer(xml, printed.c_str());
        EXPECT_EQ(printed, Print()) << "cut at " << cut;
    }
}

TEST_F(XmlTest, RandomBytes) {
    unsigned seed = (unsigned)std::random_device{}();
    std::printf("XmlTest.RandomBytes seed %u\n", seed);
    std::mt19937 rng(seed);
    const char alphabet[] = "<>/?!=\"' \n&#;:ax[]-";
    const char markup[] = "<<>>//  \nabx;#:";
    for (int round = 0; round < 300; round++) {
        std::string text;
        size_t length = rng() % (round % 2 ? 200 : 2000);
        // Odd rounds draw from markup without declarations, <!...> and names
        // that markup cannot hold, so that stability is checked often.
        for (size_t i = 0; i < length; i++) {
            if (round % 2) {
                text += markup[rng() % (sizeof markup - 1)];
                continue;
            }
            text += rng() % 2 ? alphabet[rng() % (sizeof alphabet - 1)] : (char)(1 + rng() % 255);
        }
        Parse(text);
        int64_t size = 0;
        // Printing is stable (what was printed reads again and prints the same)
        // for every tree that can be printed (no name that markup cannot hold)
        // and holds no declaration or <!...> node: those own the nodes after
        // them, and an owner's closing tag inside one reads as a new element.
        bool stable = text.find_first_of("?!") == std::string::npos;
        if (Xml_GetPrintSize(xml, &size)) {
            std::string printed = Print();
            if (stable) {
                Xml_ParseBuffer(xml, printed.c_str());
                EXPECT_EQ(printed, Print()) << "round " << round << " read from: " << text;
            }
        }
        XmlNodeStruct *found = nullptr;
        Xml_Find(xml, "a", XML_NO_DEPTH_LIMIT, 0, nullptr, &found);
        Xml_FindPath(xml, "a.x.a", &found);
    }
}

// Saves two documents alternately until killed.
PORTICO_TEST_CHILD(XmlSaveLoop) {
    XmlStruct *xml = nullptr;
    Xml_Create(&xml);
    XmlNodeStruct *root = nullptr, *item = nullptr;
    Xml_AddElement(xml, nullptr, nullptr, &root, "Doc");
    for (int i = 0; i < 20000; i++) {
        Xml_AddElement(xml, root, nullptr, &item, "Item");
        Xml_SetData(xml, item, "some text that makes the document large");
    }
    Xml_AddAttribute(xml, root, "round", "even");
    for (int round = 0;; round++) {
        Xml_SetAttribute(xml, root, "round", round % 2 ? "odd" : "even");
        if (!Xml_SaveFile(xml, args[0].c_str()))
            return 1;
        if (round == 1)
            testsupport::WriteFile(args[1], "saved");
    }
}

TEST(XmlSave, KilledWhileSavingLeavesALoadableDocument) {
    testsupport::TempDir dir;
    std::string path = dir / "doc.xml", marker = dir / "marker";
    for (int kill = 0; kill < 5; kill++) {
        unlink(marker.c_str());
        pid_t child = testsupport::SpawnChild("XmlSaveLoop", {path, marker});
        ASSERT_GT(child, 0);
        // Waits for the child's first two saves, not for a time; a child that
        // ended before them fails the test instead of leaving it waiting.
        int status = 0;
        while (!testsupport::FileExists(marker)) {
            ASSERT_EQ(0, waitpid(child, &status, WNOHANG)) << "save loop ended, status " << status;
            usleep(1000);
        }
        usleep(1000 * (kill * 7 % 20));
        ::kill(child, SIGKILL);
        EXPECT_EQ(-1, testsupport::WaitChild(child));
        XmlStruct *xml = nullptr;
        Xml_Create(&xml);
        ASSERT_EQ(1, Xml_LoadFile(xml, path.c_str()));
        XmlNodeStruct *root = nullptr;
        ASSERT_EQ(1, Xml_FindPath(xml, "Doc", &root));
        char round[8];
        ASSERT_EQ(1, Xml_GetAttribute(xml, root, "round", round, sizeof round));
        EXPECT_TRUE(strcmp(round, "odd") == 0 || strcmp(round, "even") == 0) << round;
        int count = 0;
        Xml_GetNodeCount(xml, &count);
        EXPECT_EQ(20002, count);
        Xml_Destroy(&xml);
    }
}

TEST(XmlDeath, WrongTagStopsTheProgram) {
    struct Fake {
        const char *Tag;
    } fake = {"other"};
    EXPECT_DEATH(Xml_Clear(reinterpret_cast<XmlStruct *>(&fake)), "Struct mismatch pointer");
    EXPECT_DEATH(Xml_Clear(nullptr), "Pointer is NULL");
}

} // namespace
