// Shared helpers of the document tests (task status, version and package
// documents): Alert and patcher log capture, fixture paths, and checks that a
// written document is accepted by xmllint and by TinyXML (the front end's parser).
#pragma once

#include <climits>
#include <gtest/gtest.h>
#include <string>
#include <utility>
#include <vector>

#define TIXML_USE_STL
#include <tinyxml.h>

#include "core/alert.h"
#include "core/xml.h"
#include "core/zyl.h"
#include "patcher/patcherlog.h"
#include "tests/patcher/log_capture.h"
#include "tests/support/support.h"

namespace documenttest {

// Lines of the Alert log and of the patch engine's log, captured per test.
class DocumentTest : public ::testing::Test, protected patchertest::PatcherLogCapture {
  protected:
    void SetUp() override {
        current_ = this;
        // The Alert log is process-wide and other tests may have made it.
        if (Alert_Log(ALERT_KIND_MESSAGE, INT_MIN, " ") == 0)
            Alert_Create();
        Alert_SetPrinter(CaptureAlert);
        StartCapture();
    }
    void TearDown() override {
        StopCapture();
        Alert_SetPrinter(nullptr);
        current_ = nullptr;
    }
    static void CaptureAlert(int kind, int, const char *text) {
        if (current_ != nullptr)
            current_->alerts.emplace_back(kind, text);
    }
    std::string Dump() const {
        std::string all;
        for (const auto &line : alerts)
            all += "alert " + std::to_string(line.first) + ": " + line.second + "\n";
        return all + DumpLogs();
    }

    std::vector<std::pair<int, std::string>> alerts;
    testsupport::TempDir dir_;

  private:
    static inline DocumentTest *current_ = nullptr;
};

inline std::string Fixture(const std::string &name) {
    return std::string(PORTICO_TEST_DATA) + "/patcher/" + name;
}

// The document printed as text.
inline std::string Print(XmlStruct *xml) {
    int64_t size = 0;
    Xml_GetPrintSize(xml, &size);
    std::string text((size_t)size + 64, '\0');
    int length = 0;
    Xml_PrintToBuffer(xml, text.data(), (int)text.size(), &length);
    text.resize((size_t)length);
    return text;
}

// Both parsers the system's documents meet accept the file.
inline void ExpectWellFormed(const std::string &path) {
    TiXmlDocument document;
    EXPECT_TRUE(document.LoadFile(path.c_str())) << path << ": " << document.ErrorDesc();
    if (testsupport::HaveProgram("xmllint")) {
        std::string output;
        EXPECT_EQ(0, testsupport::RunCommand("xmllint --noout '" + path + "' 2>&1", &output))
            << output;
    }
}

} // namespace documenttest
