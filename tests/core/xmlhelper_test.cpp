// XML path helpers: exact-name lookups, path creation and reuse, path texts,
// xsi:type and attribute replacement.
#include "core/xml.h"
#include "core/xmlhelper.h"
#include "tests/support/log_capture.h"

#include <gtest/gtest.h>
#include <string>

namespace {

struct XmlHelperTest : ::testing::Test {
    XmlStruct *xml = nullptr;
    void SetUp() override { ASSERT_EQ(1, Xml_Create(&xml)); }
    void TearDown() override { Xml_Destroy(&xml); }
    int Count() {
        int count = 0;
        Xml_GetNodeCount(xml, &count);
        return count;
    }
};

TEST_F(XmlHelperTest, FindPathCreatesThenFinds) {
    XmlNodeStruct *x = nullptr, *again = nullptr;
    EXPECT_EQ(0, XmlHelper_FindPath("settings.window.x", xml, nullptr, 0, &x));
    EXPECT_EQ(nullptr, x);
    ASSERT_EQ(1, XmlHelper_FindPath("settings.window.x", xml, nullptr, 1, &x));
    EXPECT_EQ(3, Count());
    ASSERT_EQ(1, XmlHelper_FindPath("settings.window.x", xml, nullptr, 0, &again));
    EXPECT_EQ(x, again);
    ASSERT_EQ(1, XmlHelper_FindPath("settings.window.y", xml, nullptr, 1, &again));
    EXPECT_EQ(4, Count());
    XmlNodeStruct *window = nullptr;
    ASSERT_EQ(1, XmlHelper_FindPath("settings.window", xml, nullptr, 0, &window));
    ASSERT_EQ(1, XmlHelper_FindPath("", xml, window, 0, &again)); // empty path: the start
    EXPECT_EQ(window, again);
    ASSERT_EQ(1, XmlHelper_FindPath("x", xml, window, 0, &again));
    EXPECT_EQ(x, again);
    testsupport::ConsoleCapture capture;
    EXPECT_EQ(0, XmlHelper_FindPath("settings..x", xml, nullptr, 1, &again));
    EXPECT_EQ(0, XmlHelper_FindPath(std::string(320, 's').c_str(), xml, nullptr, 1, &again));
    EXPECT_EQ(4, Count());
}

TEST_F(XmlHelperTest, FindChildIsCaseSensitive) {
    Xml_ParseBuffer(xml, "<root><window>1</window><Window>2</Window></root>");
    XmlNodeStruct *root = nullptr, *found = nullptr;
    ASSERT_EQ(1, XmlHelper_FindChild(nullptr, "root", &root, xml));
    EXPECT_EQ(0, XmlHelper_FindChild(nullptr, "Root", &found, xml));
    ASSERT_EQ(1, XmlHelper_FindChild(root, "Window", &found, xml));
    const char *data = nullptr;
    Xml_GetData(xml, found, &data);
    EXPECT_STREQ("2", data);
}

TEST_F(XmlHelperTest, LoadedDocumentWithDeclaration) {
    // The document element sits below the "xml" declaration, where elements added
    // without a parent go too; both are found from the top level.
    Xml_ParseBuffer(xml, "<?xml version=\"1.0\"?><Settings><Rate>10</Rate></Settings>");
    const char *text = nullptr;
    ASSERT_EQ(1, XmlHelper_GetPathText(nullptr, "Settings.Rate", xml, &text));
    EXPECT_STREQ("10", text);
    EXPECT_EQ(1, XmlHelper_SetPathText("Settings.Rate", nullptr, "20", xml));
    EXPECT_EQ(1, XmlHelper_SetPathText("Other.Value", nullptr, "v", xml));
    int count = Count();
    EXPECT_EQ(1, XmlHelper_SetPathText("Other.Value", nullptr, "w", xml));
    EXPECT_EQ(count, Count());
    int length = 0;
    char buffer[512];
    ASSERT_EQ(1, Xml_PrintToBuffer(xml, buffer, sizeof buffer, &length));
    EXPECT_STREQ("<?xml version=\"1.0\"?>\n<Settings>\n    <Rate>20</Rate>\n</Settings>\n"
                 "<Other>\n    <Value>w</Value>\n</Other>\n",
                 buffer);
    EXPECT_EQ(0, XmlHelper_GetPathText(nullptr, "Settings.Missing", xml, &text));
    EXPECT_EQ(nullptr, text);
}

TEST_F(XmlHelperTest, PathTextBelowANode) {
    XmlNodeStruct *root = nullptr, *leaf = nullptr;
    Xml_AddElement(xml, nullptr, nullptr, &root, "root");
    ASSERT_EQ(1, XmlHelper_SetPathText("a.b", root, "text", xml));
    const char *text = nullptr;
    ASSERT_EQ(1, XmlHelper_GetPathText(root, "a.b", xml, &text));
    EXPECT_STREQ("text", text);
    ASSERT_EQ(1, XmlHelper_FindPath("a", xml, root, 0, &leaf));
    ASSERT_EQ(1, XmlHelper_GetPathText(root, "a", xml, &text)); // exists without text
    EXPECT_STREQ("", text);
}

TEST_F(XmlHelperTest, AttributesAndXsiType) {
    Xml_ParseBuffer(xml, "<Command xsi:type=\"RegistryCommand\" a=\"1\"/>");
    XmlNodeStruct *node = nullptr;
    Xml_GetRoot(xml, &node);
    char type[XMLHELPER_TEXT_SIZE];
    ASSERT_EQ(1, XmlHelper_GetXsiType(type, xml, node));
    EXPECT_STREQ("RegistryCommand", type);
    EXPECT_EQ(1, XmlHelper_SetAttribute(xml, "b", node, "first"));
    EXPECT_EQ(1, XmlHelper_SetAttribute(xml, "b", node, "second"));
    EXPECT_EQ(1, XmlHelper_SetAttribute(xml, "a", node, "2"));
    EXPECT_EQ(4, Count()); // the element, xsi:type, a and b
    char value[16];
    Xml_GetAttribute(xml, node, "b", value, sizeof value);
    EXPECT_STREQ("second", value);
    Xml_ParseBuffer(xml, "<Command/>");
    Xml_GetRoot(xml, &node);
    EXPECT_EQ(0, XmlHelper_GetXsiType(type, xml, node));
    EXPECT_STREQ("", type);
}

} // namespace
