// Collects every message of the core log while alive, through the console
// callback (the test program formats messages under flag 0x400).
#pragma once

#include <mutex>
#include <string>

#include "core/zyl.h"

namespace testsupport {

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
