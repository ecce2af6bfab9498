// Alert recording shared by the download engine's tests.
#include "tests/engine/alert_capture.h"

#include <mutex>

#include "core/alert.h"

namespace enginetest {
namespace {

std::mutex g_lock;
std::vector<std::string> g_lines;

void Record(int kind, int, const char *text) {
    std::lock_guard<std::mutex> hold(g_lock);
    g_lines.push_back(std::to_string(kind) + ":" + text);
}

} // namespace

void CaptureAlerts() {
    static const bool created = Alert_Create() == 1;
    (void)created;
    Alert_SetPrinter(Record);
    std::lock_guard<std::mutex> hold(g_lock);
    g_lines.clear();
}

const std::vector<std::string> &CapturedAlerts() {
    return g_lines;
}

bool AlertSeen(const std::string &part) {
    std::lock_guard<std::mutex> hold(g_lock);
    for (const std::string &line : g_lines)
        if (line.find(part) != std::string::npos)
            return true;
    return false;
}

std::string AlertText() {
    std::lock_guard<std::mutex> hold(g_lock);
    std::string text;
    for (const std::string &line : g_lines)
        text += line + "\n";
    return text;
}

} // namespace enginetest
