// The binding of the optional outside library "libhostlink.so" in the
// program's folder: bound with dlopen when the file is there, offered every
// boolean page call first, and allowed to call page functions through a
// callback. Calls from the library's own threads are copied and made on the
// UI thread at the next tick.
#pragma once

#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "frontend/hostlink.h"

class CLauncherModelScriptable;

class InteropLibrary {
  public:
    explicit InteropLibrary(CLauncherModelScriptable *model) : Model(model) {}
    virtual ~InteropLibrary() {}
    InteropLibrary(const InteropLibrary &) = delete;
    InteropLibrary &operator=(const InteropLibrary &) = delete;
    // Binds the library when its file exists. Returns 1.
    virtual int Init() = 0;
    // Unbinds it when bound. Returns 1.
    virtual int Remove() = 0;
    // The library's answer to a page call (1 handled), 0 when not bound.
    virtual int SendEvent(const ScriptEvent *event) = 0;

  protected:
    CLauncherModelScriptable *Model; // not owned
};

class InteropLibraryPosix : public InteropLibrary {
  public:
    // folder: the program's folder with its trailing '/'.
    InteropLibraryPosix(CLauncherModelScriptable *model, const char *folder);
    ~InteropLibraryPosix() override;
    int Init() override;
    int Remove() override;
    int SendEvent(const ScriptEvent *event) override;
    int IsInitialized() const { return Initialized; }

    // The callback the library gets (context: the model). Returns 1 when the
    // call was made or queued; 0 for a null name or more than 64 arguments.
    static int Callback(void *context, const char *name, const ScriptArgument *arguments,
                        int count);
    // Makes the calls queued by other threads, in order. Returns how many.
    int RunPending();

  private:
    struct PendingCall {
        std::string Name;
        std::vector<ScriptArgument> Arguments;
        std::vector<std::string> Texts; // the string arguments' copies
    };
    int Queue(const char *name, const ScriptArgument *arguments, int count);
    // Remove's work, also done by the destructor. Returns 1.
    int Unbind();

    std::string Folder;
    void *Handle = nullptr;
    HostlinkInitFunc InitFunction = nullptr;
    HostlinkRemoveFunc RemoveFunction = nullptr;
    HostlinkReceiveEventFunc ReceiveFunction = nullptr;
    int Initialized = 0;
    int Enabled = 1;
    std::thread::id UiThread;
    std::mutex PendingLock;
    std::vector<PendingCall> Pending;
};
