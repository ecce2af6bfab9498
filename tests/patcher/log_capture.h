// Capture of the patch engine's log lines and errors for one test: a fixture
// derives from PatcherLogCapture, calls StartCapture() in SetUp and
// StopCapture() in TearDown, and reads `logs` and `errors`.
#pragma once

#include <string>

#include "patcher/patcherlog.h"
#include "tests/support/log_capture.h"

namespace patchertest {

struct PatcherLogCapture {
    // (level or code, text) in the order they were reported.
    testsupport::LogLines logs, errors;

    void StartCapture() { Patcher_SetLogCallbacks(this, CaptureLog, CaptureError); }
    static void StopCapture() { Patcher_SetLogCallbacks(nullptr, nullptr, nullptr); }

    // Number of captured lines equal to text.
    static int Count(const testsupport::LogLines &lines, const std::string &text) {
        return testsupport::Count(lines, text);
    }
    // Every captured line, for failure messages.
    std::string DumpLogs() const {
        return testsupport::Dump("log", logs) + testsupport::Dump("error", errors);
    }

  private:
    static int CaptureLog(void *context, int level, const char *text) {
        static_cast<PatcherLogCapture *>(context)->logs.emplace_back(level, text);
        return 1;
    }
    static int CaptureError(void *context, int code, const char *text) {
        static_cast<PatcherLogCapture *>(context)->errors.emplace_back(code, text);
        return 1;
    }
};

} // namespace patchertest
