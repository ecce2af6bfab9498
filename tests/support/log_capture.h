// Capture of what the code under test logs, for tests that check the exact text
// of a failure: the Alert log (kept per test program, lines as (kind, text)) and
// the core log (through the console callback, as one text).
#pragma once

#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "core/zyl.h"

namespace testsupport {

// Captured lines in the order they were reported: (kind, level or code; text).
typedef std::vector<std::pair<int, std::string>> LogLines;

// Number of lines whose text equals text.
int Count(const LogLines &lines, const std::string &text);
// Every line as "<label> <number>: <text>", one per line, for failure messages.
std::string Dump(const char *label, const LogLines &lines);

// Creates the process's Alert log unless some other test already did.
void EnsureAlertLog();

// Starts recording the Alert log's lines (and forgets earlier ones); the lines
// may come from any thread.
void CaptureAlerts();
// Stops recording; the Alert log prints as it did before CaptureAlerts.
void StopAlertCapture();
// Forgets the lines recorded so far.
void ClearAlerts();
// A copy of the lines recorded since CaptureAlerts.
LogLines CapturedAlerts();
// True when a recorded line's text contains part.
bool AlertSeen(const std::string &part);
// All recorded lines, each as "<kind>:<text>" and a line end.
std::string AlertText();

// Collects every message of the core log while alive, through the console
// callback (the test program formats messages under flag 0x400).
class ConsoleCapture {
  public:
    ConsoleCapture() {
        Clear();
        Zyl_SetConsoleCallback(&ConsoleCapture::Receive);
    }
    ~ConsoleCapture() { Zyl_SetConsoleCallback(nullptr); }
    ConsoleCapture(const ConsoleCapture &) = delete;
    ConsoleCapture &operator=(const ConsoleCapture &) = delete;

    std::string Text() {
        std::lock_guard<std::mutex> guard(Lock());
        return Buffer();
    }
    void Clear() {
        std::lock_guard<std::mutex> guard(Lock());
        Buffer().clear();
    }
    bool Contains(const std::string &part) { return Text().find(part) != std::string::npos; }

  private:
    static int Receive(const char *text) {
        std::lock_guard<std::mutex> guard(Lock());
        Buffer() += text;
        return 1;
    }
    static std::mutex &Lock() {
        static std::mutex lock;
        return lock;
    }
    static std::string &Buffer() {
        static std::string buffer;
        return buffer;
    }
};

} // namespace testsupport
