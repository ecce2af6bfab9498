// Binding of "libhostlink.so": dlopen by absolute path in the program's folder,
// its three functions looked up at Init. Calls the library makes from other
// threads are deep-copied and made on the UI thread by RunPending.
#include "frontend/interoplibrary.h"

#include "core/zyl.h"
#include "frontend/frontendlog.h"
#include "frontend/launchermodel.h"

#include <dlfcn.h>
#include <unistd.h>

InteropLibraryPosix::InteropLibraryPosix(CLauncherModelScriptable *model, const char *folder)
    : InteropLibrary(model), Folder(folder) {}

InteropLibraryPosix::~InteropLibraryPosix() {
    Unbind();
}

int InteropLibraryPosix::Init() {
    if (Initialized == 1)
        return 1;
    std::string path = Folder + "libhostlink.so";
    if (access(path.c_str(), R_OK) != 0)
        return 1; // the normal case: no outside library
    UiThread = std::this_thread::get_id();
    Handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (Handle != nullptr) {
        InitFunction = reinterpret_cast<HostlinkInitFunc>(dlsym(Handle, "Hostlink_Init"));
        RemoveFunction = reinterpret_cast<HostlinkRemoveFunc>(dlsym(Handle, "Hostlink_Remove"));
        ReceiveFunction =
            reinterpret_cast<HostlinkReceiveEventFunc>(dlsym(Handle, "Hostlink_ReceiveEvent"));
    }
    if (Handle == nullptr || InitFunction == nullptr || RemoveFunction == nullptr ||
        ReceiveFunction == nullptr) {
        const char *reason = dlerror();
        Frontend_Log(FRONTEND_LOG_WARNING, "Unable to initialize interop library");
        Frontend_Log(FRONTEND_LOG_WARNING, "dlopen [%s]: %s", path.c_str(),
                     reason != nullptr ? reason : "missing function");
        if (Handle != nullptr)
            dlclose(Handle);
        Handle = nullptr;
        InitFunction = nullptr;
        RemoveFunction = nullptr;
        ReceiveFunction = nullptr;
        return 1;
    }
    Initialized = 1;
    InitFunction(&InteropLibraryPosix::Callback, Model);
    return 1;
}

int InteropLibraryPosix::Remove() {
    return Unbind();
}

int InteropLibraryPosix::Unbind() {
    if (Initialized != 1)
        return 1;
    Initialized = 0;
    RemoveFunction();
    dlclose(Handle);
    Handle = nullptr;
    std::lock_guard<std::mutex> guard(PendingLock);
    Pending.clear();
    return 1;
}

int InteropLibraryPosix::SendEvent(const ScriptEvent *event) {
    if (Initialized != 1 || Enabled != 1)
        return 0;
    return ReceiveFunction(event) == 1 ? 1 : 0;
}

int InteropLibraryPosix::Callback(void *context, const char *name, const ScriptArgument *arguments,
                                  int count) {
    if (context == nullptr)
        return 1;
    CLauncherModelScriptable *model = static_cast<CLauncherModelScriptable *>(context);
    if (name == nullptr || count < 0 || count > HOSTLINK_ARGUMENT_MAX ||
        (count > 0 && arguments == nullptr)) {
        Frontend_Log(FRONTEND_LOG_WARNING, "Interop callback refused [%s] with %d arguments",
                     name != nullptr ? name : "(null)", count);
        return 0;
    }
    InteropLibraryPosix *self = static_cast<InteropLibraryPosix *>(model->GetInteropLibrary());
    if (self == nullptr || std::this_thread::get_id() == self->UiThread)
        return model->OnInteropEvent(name, arguments, count);
    return self->Queue(name, arguments, count);
}

int InteropLibraryPosix::Queue(const char *name, const ScriptArgument *arguments, int count) {
    PendingCall call;
    call.Name = name;
    call.Arguments.assign(arguments, arguments + count);
    call.Texts.reserve(count);
    for (ScriptArgument &argument : call.Arguments) {
        if (argument.Type != SCRIPT_VALUE_STRING)
            continue;
        call.Texts.emplace_back(argument.Value.Text != nullptr ? argument.Value.Text : "");
        argument.Value.Text = call.Texts.back().c_str();
    }
    std::lock_guard<std::mutex> guard(PendingLock);
    Pending.push_back(std::move(call));
    return 1;
}

int InteropLibraryPosix::RunPending() {
    std::vector<PendingCall> calls;
    {
        std::lock_guard<std::mutex> guard(PendingLock);
        calls.swap(Pending);
    }
    for (const PendingCall &call : calls)
        Model->OnInteropEvent(call.Name.c_str(), call.Arguments.data(), (int)call.Arguments.size());
    return (int)calls.size();
}
