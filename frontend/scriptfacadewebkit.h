// The facade on WebKitGTK: the page object QTRLauncher lives in a web-process
// extension (its own folder, loaded by every web process), which talks to this
// object over one private SEQPACKET socket: page calls with their answers, page
// function invocations with their results. Also the view's loads, native page
// dialogs, new windows, downloads, and recovery from a crashed or hung page.
// UI thread only. Waits run the default main context re-entrantly.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "frontend/scriptfacade.h"

typedef struct _WebKitWebView WebKitWebView;
typedef struct _WebKitWebContext WebKitWebContext;
class ScriptDispatcher;
struct BridgeMessage;
struct BridgeConnection;

enum {
    SCRIPT_WAIT_LIMIT_MS = 10000, // longest wait for a page function's answer
};

// A page dialog (alert, confirm, prompt) to answer natively.
enum ScriptDialogType {
    SCRIPT_DIALOG_ALERT = 0,
    SCRIPT_DIALOG_CONFIRM = 1,
    SCRIPT_DIALOG_PROMPT = 2,
};

class ScriptFacadeWebKit : public ScriptFacade {
  public:
    // Sets the web context's extensions folder (extensionFolder; null: "webext"
    // in the running program's folder) and opens the private socket. Make it
    // before the first web view of context (null: the default context) exists.
    ScriptFacadeWebKit(CLauncherModelScriptable *model, const char *extensionFolder = nullptr,
                       WebKitWebContext *context = nullptr);
    ~ScriptFacadeWebKit() override;

    // 1 when the socket is open (the constructor logged why not).
    int Initialize() override;
    // Binds the view the page shows in: loads, page dialogs, new windows,
    // crashes. The view's ILauncherView::Navigate gets a whole URI (file, http
    // or https) to load with webkit_web_view_load_uri. Returns 1.
    int AttachView(WebKitWebView *view);
    // Calls the page function; waits for its answer (at most the wait limit,
    // running the main context meanwhile). See ScriptFacade.
    int ExecuteWithResult(const char *name, const ScriptArgument *arguments, int count,
                          ScriptResult *result) override;
    // Sends the call and returns 1 at once; failures are logged when they come back.
    int ExecuteNoResult(const char *name, const ScriptArgument *arguments, int count) override;
    // http and https addresses as given; anything else a path under the program
    // folder, made a file URI. Refuses (logs, 0) addresses over 1023 bytes,
    // absolute paths and other schemes. external 1: as ScriptFacade::Navigate.
    int Navigate(const char *address, int external) override;
    // From now on page calls are answered false or "" at once, and page
    // functions are not called.
    void Shutdown();

    // The URI Navigate loads for address under programFolder (ending in '/').
    // 1 with *uri set; 0 (logged) when refused.
    static int ComposeUri(const char *programFolder, const char *address, std::string *uri);

    // Test hooks: the wait limit; a stand-in for the native dialogs (answers 1
    // for OK, a prompt's text in *text); the count of page reloads after a crash
    // or a hung page.
    void SetWaitLimit(int milliseconds) { WaitLimitMs = milliseconds; }
    void SetDialogHook(std::function<int(int type, const char *message, std::string *text)> hook) {
        DialogHook = std::move(hook);
    }
    int GetReloadCount() const { return Reloads; }
    const std::string &GetSocketPath() const { return Path; }
    const std::string &GetToken() const { return Token; }
    WebKitWebView *GetWebView() const { return View; }
    // Handlers of the view's signals (public for the C callbacks).
    virtual void OnLoadFinished();
    void OnWebProcessTerminated(int reason);
    int OnScriptDialog(int type, const char *message, const char *defaultText, std::string *text,
                       int *confirmed);
    void OnNewWindow(const char *uri);
    // Handlers of the socket sources.
    void OnAccept();
    void OnReadable(BridgeConnection *connection);
    void OnWritable(BridgeConnection *connection);

  private:
    struct PendingWait {
        int Done = 0;
        int Outcome = 0;
        int64_t Number = 0;
    };
    int Execute(const char *name, const ScriptArgument *arguments, int count, int wantResult,
                ScriptResult *result);
    void Handle(const std::shared_ptr<BridgeConnection> &connection, const BridgeMessage &message);
    void HandleCall(const std::shared_ptr<BridgeConnection> &connection,
                    const BridgeMessage &message);
    int Send(BridgeConnection *connection, const BridgeMessage &message);
    void Close(BridgeConnection *connection, const char *why);
    int Admits(const std::string &uri);
    void Recover(const char *why);
    int64_t NowMs() const;

    WebKitWebView *View = nullptr;       // not owned (a reference is held)
    WebKitWebContext *Context = nullptr; // not owned
    ScriptDispatcher *Dispatcher = nullptr;
    std::string Folder; // the private socket's folder
    std::string Path;   // the socket's path
    std::string Token;  // the extensions' secret
    std::string ProgramFolder;
    int Listener = -1;
    void *ListenSource = nullptr; // GSource
    std::vector<std::shared_ptr<BridgeConnection>> Connections;
    std::shared_ptr<BridgeConnection> Live; // the view's current web process
    std::set<std::string> Origins;          // http(s) origins the program navigated to
    std::map<uint32_t, PendingWait *> Waits;
    std::map<uint32_t, std::string> Unanswered; // no-result calls, for their failure lines
    uint32_t NextId = 1;
    int WaitLimitMs = SCRIPT_WAIT_LIMIT_MS;
    int64_t DialogMs = 0; // time spent in page dialogs, not counted against waits
    int ShuttingDown = 0;
    int Reloads = 0;
    int CompletedSinceReload = 1;
    std::vector<unsigned long> Handlers; // signal handler ids on View
    unsigned long DownloadHandler = 0;   // on Context
    unsigned long InitHandler = 0;       // on Context
    std::function<int(int, const char *, std::string *)> DialogHook;
};
