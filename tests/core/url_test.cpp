// URL object: the resolution table against one base, the base forms, the
// switches, normalising in place and the refusal of results that do not fit.
#include <gtest/gtest.h>

#include <string>

#include "core/url.h"

namespace {

struct Url {
    UrlStruct *u = nullptr;
    explicit Url(const char *base) {
        Url_Create(&u);
        Url_SetBase(u, base);
    }
    ~Url() { Url_Destroy(&u); }
    std::string Resolve(const std::string &link, int *result) {
        char out[4096];
        *result = Url_MakeAbsolute(u, link.c_str(), out, sizeof(out));
        return out;
    }
};

TEST(Url, ResolutionTable) {
    struct Case {
        const char *link;
        int result;
        const char *absolute;
    } cases[] = {
        {"d.html", 1, "http://h/a/b/d.html"},
        {"../d.html", 1, "http://h/a/d.html"},
        {"/x/y.html", 1, "http://h/x/y.html"},
        {"#frag", 1, "http://h/a/b/c.html"},
        {"?q=1", 1, "http://h/a/b/c.html?q=1"},
        {"//cdn.example/lib.js", 1, "http://cdn.example/lib.js"},
        {"http://other.example", 1, "http://other.example/"},
        {"http://other.example:81/p", 1, "http://other.example:81/p"},
        {"javascript:alert(1)", 0, ""},
        {"JavaScript:void(0)", 0, ""},
        {"", 0, ""},
        {"   ", 0, ""},
        {"my file  name.html  ", 1, "http://h/a/b/my%20file%20%20name.html"},
        {"   lead.html", 1, "http://h/a/b/lead.html"},
        {"mailto:someone@mail.example", 1, "mailto:someone@mail.example"},
        {"h/z.html", 1, "http://h/z.html"},
        {"hz.html", 1, "http://h/a/b/hz.html"},
        {"e\\f.html", 1, "http://h/a/b/e/f.html"},
        {"d.html#sec", 1, "http://h/a/b/d.html"},
        {"./e/./f.html", 1, "http://h/a/b/e/f.html"},
        {"../../../../g", 1, "http://h/g"},
        {"sub/..", 1, "http://h/a/b/"},
        {"sub/.", 1, "http://h/a/b/sub/"},
        {"x;jsessionid=1?y=2", 1, "http://h/a/b/x?y=2"},
        {"d.html\" onclick=\"x", 1, "http://h/a/b/d.html"},
        {"d.html'>", 1, "http://h/a/b/d.html"},
        {"e//f.html", 1, "http://h/a/b/e/f.html"},
        {"http://e.example/p//q?r=//s", 1, "http://e.example/p/q?r=//s"},
        {"http://e.example/a/../b", 1, "http://e.example/b"},
        {"///x", 1, ""},
        {"x\ty.html", 1, "http://h/a/b/x"},
    };
    Url url("http://h/a/b/c.html?old=1");
    for (const Case &c : cases) {
        int result = -1;
        EXPECT_EQ(url.Resolve(c.link, &result), c.absolute) << "[" << c.link << "]";
        EXPECT_EQ(result, c.result) << "[" << c.link << "]";
    }
}

TEST(Url, BaseForms) {
    struct Case {
        const char *base;
        const char *directory;
        const char *host;
        const char *file;
    } cases[] = {
        {"http://h/a/b/c.html?x=1", "http://h/a/b/", "h", "c.html"},
        {"http://h:8080", "http://h:8080/", "h:8080", ""},
        {"http://h/dir/", "http://h/dir/", "h", ""},
        {"h2/dir/page", "http://h2/dir/", "h2", "page"},
        {"192.168.1.1:5000/desc.xml", "http://192.168.1.1:5000/", "192.168.1.1:5000", "desc.xml"},
    };
    for (const Case &c : cases) {
        Url url(c.base);
        EXPECT_STREQ(url.u->Base, c.directory) << c.base;
        EXPECT_STREQ(url.u->Host, c.host) << c.base;
        EXPECT_STREQ(url.u->File, c.file) << c.base;
    }
    Url device("192.168.1.1:5000/desc.xml");
    int result = 0;
    EXPECT_EQ(device.Resolve("/ctl/IPConn", &result), "http://192.168.1.1:5000/ctl/IPConn");
    EXPECT_EQ(device.Resolve("192.168.1.1:5000/ctl", &result), "http://192.168.1.1:5000/ctl");
    Url_Reset(device.u);
    EXPECT_STREQ(device.u->Base, "/");
}

TEST(Url, Switches) {
    Url url("http://h/a/c.html");
    url.u->StripFragment = 0;
    int result = 0;
    EXPECT_EQ(url.Resolve("#top", &result), "http://h/a/c.html#top");
    EXPECT_EQ(url.Resolve("d.html#s", &result), "http://h/a/d.html#s");
    url.u->SpaceAsPlus = 1;
    EXPECT_EQ(url.Resolve("a b ", &result), "http://h/a/a+b");
}

TEST(Url, NormalizeInPlace) {
    Url url("http://h/");
    struct Case {
        const char *in;
        const char *out;
    } cases[] = {
        {"http://h/a/./b/../c;p?x=/../y", "http://h/a/c?x=/../y"},
        {"http://h/../../a", "http://h/a"},
        {"http://h/a/b/..", "http://h/a/"},
        {"http://h/a/.", "http://h/a/"},
        {"http://h", "http://h"},
        {"/a/b/../c", "/a/c"},
    };
    for (const Case &c : cases) {
        char text[128];
        snprintf(text, sizeof(text), "%s", c.in);
        EXPECT_EQ(Url_Normalize(url.u, text, sizeof(text)), 1);
        EXPECT_STREQ(text, c.out) << c.in;
    }
}

TEST(Url, ResultsThatDoNotFitAreRefused) {
    Url url("http://h/a/");
    char small[12];
    EXPECT_EQ(Url_MakeAbsolute(url.u, "long-name.html", small, sizeof(small)), 0);
    EXPECT_STREQ(small, "");
    const std::string huge(3000, 'x');
    int result = -1;
    EXPECT_EQ(url.Resolve(huge, &result), "");
    EXPECT_EQ(result, 0);
    const std::string blanks = "a" + std::string(1000, ' ') + "b"; // 3002 characters cleaned
    EXPECT_EQ(url.Resolve(blanks, &result), "");
    EXPECT_EQ(result, 0);
}

} // namespace
