// Alert log capture and the line helpers shared by every subsystem's tests.
// One recorder for the whole program: the Alert log itself is process-wide.
#include "tests/support/log_capture.h"

#include <climits>

#include "core/alert.h"
#include "tests/support/leak_check.h"

namespace testsupport {
namespace {

std::mutex g_alertLock;
LogLines g_alerts;

void RecordAlert(int kind, int, const char *text) {
    std::lock_guard<std::mutex> hold(g_alertLock);
    g_alerts.emplace_back(kind, text);
}

} // namespace

int Count(const LogLines &lines, const std::string &text) {
    int n = 0;
    for (const auto &line : lines)
        n += line.second == text;
    return n;
}

std::string Dump(const char *label, const LogLines &lines) {
    std::string all;
    for (const auto &line : lines)
        all += std::string(label) + " " + std::to_string(line.first) + ": " + line.second + "\n";
    return all;
}

void EnsureAlertLog() {
    // Alert_Log returns 0 at the lowest level only while there is no Alert log
    // (a second Alert_Create is fatal); the probe prints one space.
    if (Alert_Log(ALERT_KIND_MESSAGE, INT_MIN, " ") == 0)
        KeepForProcess([] { return Alert_Create(); });
}

void CaptureAlerts() {
    EnsureAlertLog();
    Alert_SetPrinter(RecordAlert);
    ClearAlerts();
}

void StopAlertCapture() {
    Alert_SetPrinter(nullptr);
}

void ClearAlerts() {
    std::lock_guard<std::mutex> hold(g_alertLock);
    g_alerts.clear();
}

LogLines CapturedAlerts() {
    std::lock_guard<std::mutex> hold(g_alertLock);
    return g_alerts;
}

bool AlertSeen(const std::string &part) {
    std::lock_guard<std::mutex> hold(g_alertLock);
    for (const auto &line : g_alerts)
        if (line.second.find(part) != std::string::npos)
            return true;
    return false;
}

std::string AlertText() {
    std::lock_guard<std::mutex> hold(g_alertLock);
    std::string text;
    for (const auto &line : g_alerts)
        text += std::to_string(line.first) + ":" + line.second + "\n";
    return text;
}

} // namespace testsupport
