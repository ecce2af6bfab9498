// The addresses the WebKit facade loads: web addresses as given, paths under
// the program folder as file URIs, and the refusals.
#include <gtest/gtest.h>

#include <string>

#include "frontend/scriptfacadewebkit.h"
#include "tests/support/log_capture.h"

namespace {

TEST(PageBridgeNavigation, AddressesBecomeUrisOrAreRefused) {
    const std::string longPath(1024 - 13, 'a'); // with "/opt/my game/": 1024 bytes
    const struct {
        std::string Address;
        std::string Uri; // empty: refused
        const char *Why;
    } cases[] = {
        {"skin/index.html", "file:///opt/my%20game/skin/index.html", ""},
        {"skin\\page 2.html?x=1#top", "file:///opt/my%20game/skin/page%202.html?x=1#top", ""},
        {"./skin/../other/a.html", "file:///opt/my%20game/other/a.html", ""},
        {"caf\xC3\xA9.html", "file:///opt/my%20game/caf%C3%A9.html", ""},
        {"http://127.0.0.1:8080/p.html", "http://127.0.0.1:8080/p.html", ""},
        {"HTTPS://Example.org/", "HTTPS://Example.org/", ""},
        {"", "", "empty"},
        {"/etc/passwd", "", "absolute path"},
        {"\\\\server\\share\\x.html", "", "absolute path"},
        {"c:\\games\\skin.html", "", "scheme other than http or https"},
        {"file:///etc/passwd", "", "scheme other than http or https"},
        {"javascript:alert(1)", "", "scheme other than http or https"},
        {"ftp://example.org/", "", "scheme other than http or https"},
        {longPath, "", "longer than 1023 bytes"},
        {"http://example.org/" + std::string(1024 - 19, 'a'), "", "longer than 1023 bytes"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.Address.substr(0, 60));
        testsupport::ConsoleCapture log;
        std::string uri;
        int made = ScriptFacadeWebKit::ComposeUri("/opt/my game/", c.Address.c_str(), &uri);
        EXPECT_EQ(made, c.Uri.empty() ? 0 : 1);
        EXPECT_EQ(uri, c.Uri);
        if (c.Uri.empty()) {
            EXPECT_TRUE(log.Contains("ScriptFacadeWebKit::Navigate() refused [") &&
                        log.Contains(std::string("]: ") + c.Why))
                << log.Text();
        }
    }
    std::string uri;
    EXPECT_EQ(ScriptFacadeWebKit::ComposeUri("/opt/my game/", longPath.substr(1).c_str(), &uri), 1);
}

} // namespace
