// Test support shared by every subsystem's test program: temporary folders,
// child processes that re-run the test program with a registered entry, and
// small file helpers.
#pragma once

#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace testsupport {

// A fresh folder under $TMPDIR (or /tmp), removed with everything in it on destruction.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    // path() + "/" + name
    std::string operator/(const std::string &name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

std::string ReadFile(const std::string &path);
void WriteFile(const std::string &path, const std::string &bytes);
bool FileExists(const std::string &path);
// The SHA-1 digest of bytes: 20 raw bytes, or 40 lower-case hex digits.
std::string Sha1Bytes(const std::string &bytes);
std::string Sha1Hex(const std::string &bytes);
// Runs a shell command, returns its exit status (-1 when it could not run);
// standard output is captured into *output when given.
int RunCommand(const std::string &command, std::string *output = nullptr);
// True when a program is on PATH.
bool HaveProgram(const std::string &name);
// Path of the running test program.
std::string SelfPath();

// Child entries: a test starts `SpawnChild("name", {args})`, which runs this
// test program again as `<self> --child name args...`; the registered function
// runs instead of the tests and its result becomes the exit status.
typedef int (*ChildMain)(const std::vector<std::string> &args);
bool RegisterChild(const char *name, ChildMain main);
pid_t SpawnChild(const std::string &name, const std::vector<std::string> &args);
// Starts the program args[0] with the arguments, its standard output and error
// appended to logPath; the pid, or -1 (a failure of the test).
pid_t SpawnLogged(const std::vector<std::string> &args, const std::string &logPath);
// Waits for a child and returns its exit status (-1 when it died by a signal).
int WaitChild(pid_t pid);
// Waits up to seconds for a child: its exit status, -1 when it died by a
// signal, -2 after killing one still running then.
int FinishChild(pid_t pid, int seconds);
// Polls done every 10 ms until it holds (true) or seconds have passed (false).
bool WaitUntil(const std::function<bool()> &done, double seconds);

} // namespace testsupport

#define PORTICO_TEST_CHILD(name)                                                                   \
    static int TestChild_##name(const std::vector<std::string> &args);                             \
    static const bool TestChildRegistered_##name =                                                 \
        testsupport::RegisterChild(#name, TestChild_##name);                                       \
    static int TestChild_##name([[maybe_unused]] const std::vector<std::string> &args)
