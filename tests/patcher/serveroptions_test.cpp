// The download client's readers of "settings.xml": texts and booleans under
// "Application.User.", and a download's server options from a table of documents.
#include "core/xml.h"
#include "patcher/patcherclient.h"
#include "patcher/serveroptions.h"

#include <gtest/gtest.h>
#include <string>

namespace {

struct Document {
    XmlStruct *xml = nullptr;
    explicit Document(const std::string &user) {
        Xml_Create(&xml);
        std::string text = "<Application><User>" + user + "</User></Application>";
        Xml_ParseBuffer(xml, text.c_str());
    }
    ~Document() { Xml_Destroy(&xml); }
};

TEST(ServerOptionsTest, ReadsTextsAndBooleansUnderTheUserNode) {
    Document d("<AdvertisementUrl_0>http://a/x</AdvertisementUrl_0><Flag>yes</Flag>"
               "<Other>maybe</Other><Empty/>");
    char text[16] = "kept";
    EXPECT_EQ(0, ServerOptions_GetString(text, d.xml, "Missing", sizeof text));
    EXPECT_STREQ("kept", text);
    EXPECT_EQ(0, ServerOptions_ReadString(text, d.xml, "Missing", sizeof text));
    EXPECT_STREQ("", text);
    EXPECT_EQ(1, ServerOptions_ReadString(text, d.xml, "AdvertisementUrl_0", sizeof text));
    EXPECT_STREQ("http://a/x", text);
    char small[5];
    EXPECT_EQ(1, ServerOptions_GetString(small, d.xml, "AdvertisementUrl_0", sizeof small));
    EXPECT_STREQ("http", small);
    EXPECT_EQ(1, ServerOptions_GetString(text, d.xml, "Empty", sizeof text));
    EXPECT_STREQ("", text);
    int32_t flag = -1;
    EXPECT_EQ(1, ServerOptions_GetBool("Flag", d.xml, &flag));
    EXPECT_EQ(1, flag);
    EXPECT_EQ(1, ServerOptions_GetBool("Other", d.xml, &flag));
    EXPECT_EQ(0, flag);
    flag = -1;
    EXPECT_EQ(0, ServerOptions_GetBool("Missing", d.xml, &flag));
    EXPECT_EQ(0, flag);
    std::string longKey(2000, 'k');
    EXPECT_EQ(0, ServerOptions_GetString(text, d.xml, longKey.c_str(), sizeof text));
}

TEST(ServerOptionsTest, LoadsADownloadsServerOptions) {
    struct Case {
        const char *name;
        std::string user;
        int bit, web, order, stagger, reserve;
        const char *base;
    } const cases[] = {
        {"empty document: both sources read as off", "", 0, 0, 2, 0, 1, ""},
        {"all keys",
         "<TorrentBase>http://s/m/</TorrentBase><AllowBitBase>1</AllowBitBase>"
         "<AllowWebBase>TRUE</AllowWebBase><PieceOrder>sequential</PieceOrder>"
         "<ReliableSource_Stagger>1</ReliableSource_Stagger>"
         "<ReliableSource_ReserveMaxPieces>6</ReliableSource_ReserveMaxPieces>",
         1, 1, 0, 1, 6, "http://s/m/"},
        {"older names",
         "<AllowWebBase>1</AllowWebBase><ReliableStagger>on</ReliableStagger>"
         "<ReliableReserveMaxPieces>3</ReliableReserveMaxPieces>",
         0, 1, 2, 1, 3, ""},
        {"newer names win",
         "<ReliableSource_Stagger>0</ReliableSource_Stagger>"
         "<ReliableStagger>1</ReliableStagger>"
         "<ReliableSource_ReserveMaxPieces>2</ReliableSource_ReserveMaxPieces>"
         "<ReliableReserveMaxPieces>9</ReliableReserveMaxPieces>",
         0, 0, 2, 0, 2, ""},
        {"unknown order, bad counts",
         "<PieceOrder>Fastest</PieceOrder>"
         "<ReliableReserveMaxPieces>-4</ReliableReserveMaxPieces>",
         0, 0, 2, 0, 1, ""},
        {"count not a number",
         "<ReliableReserveMaxPieces>7x</ReliableReserveMaxPieces>"
         "<PieceOrder>Backward</PieceOrder>",
         0, 0, 3, 0, 1, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Document d(c.user);
        ServerOptions options;
        ASSERT_EQ(1, ServerOptions_Load(&options, d.xml));
        EXPECT_EQ(c.bit, options.AllowBitBase);
        EXPECT_EQ(c.web, options.AllowWebBase);
        EXPECT_EQ(c.order, options.PieceOrder);
        EXPECT_EQ(c.stagger, options.ReliableStagger);
        EXPECT_EQ(c.reserve, options.ReliableReserveMaxPieces);
        EXPECT_STREQ(c.base, options.TorrentBase);
    }
}

} // namespace
