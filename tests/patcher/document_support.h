// Shared helpers of the document tests (task status, version and package
// documents): Alert and patcher log capture, fixture paths, and checks that a
// written document is accepted by xmllint and by TinyXML (the front end's parser).
#pragma once

#include <gtest/gtest.h>
#include <string>
#include <utility>
#include <vector>

#define TIXML_USE_STL
#include <tinyxml.h>

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
        testsupport::CaptureAlerts();
        StartCapture();
    }
    void TearDown() override {
        StopCapture();
        testsupport::StopAlertCapture();
    }
    std::string Dump() const {
        return testsupport::Dump("alert", testsupport::CapturedAlerts()) + DumpLogs();
    }

    testsupport::TempDir dir_;
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
