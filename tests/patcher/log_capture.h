// Capture of the patch engine's log lines and errors for one test: a fixture
// derives from PatcherLogCapture, calls StartCapture() in SetUp and
// StopCapture() in TearDown, and reads `logs` and `errors`.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "patcher/patcherlog.h"

namespace patchertest {

struct PatcherLogCapture {
    // (level or code, text) in the order they were reported.
    std::vector<std::pair<int, std::string>> logs, errors;

    void StartCapture() { Patcher_SetLogCallbacks(this, CaptureLog, CaptureError); }
    static void StopCapture() { Patcher_SetLogCallbacks(nullptr, nullptr, nullptr); }

    // Number of captured lines equal to text.
    static int Count(const std::vector<std::pair<int, std::string>> &lines,
                     const std::string &text) {
        int n = 0;
        for (const auto &line : lines)
            n += line.second == text;
        return n;
    }
    // Every captured line, for failure messages.
    std::string DumpLogs() const {
        std::string all;
        for (const auto &line : logs)
            all += "log " + std::to_string(line.first) + ": " + line.second + "\n";
        for (const auto &line : errors)
            all += "error " + std::to_string(line.first) + ": " + line.second + "\n";
        return all;
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
