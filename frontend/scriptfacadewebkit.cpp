// The program's side of the page bridge on WebKitGTK: the private socket and
// its connections (one GLib source each, allowed to recurse, reading without
// blocking), page calls handed to the ScriptDispatcher, page function calls
// matched to their results by id, and the view's loads, dialogs and crashes.
#include "frontend/scriptfacadewebkit.h"

#include "core/oshelper.h"
#include "core/zyl.h"
#include "frontend/bridgeframe.h"
#include "frontend/frontendlog.h"
#include "frontend/launchermodel.h"
#include "frontend/launcherview.h"
#include "frontend/scriptdispatcher.h"

#include <cerrno>
#include <cstring>
#include <deque>
#include <glib-unix.h>
#include <gtk/gtk.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <webkit2/webkit2.h>

// One web process's connection.
struct BridgeConnection {
    int Fd = -1;
    GSource *Source = nullptr;      // reads
    GSource *WriteSource = nullptr; // while Outgoing is not empty
    BridgeReader Reader;
    std::deque<std::vector<uint8_t>> Outgoing;
    int Authenticated = 0;
    int Admitted = 0; // its current document has the page object
    int Closed = 0;
};

namespace {

// Logs why a page function call to name came to nothing.
void LogOutcome(int outcome, const char *name) {
    switch (outcome) {
    case BRIDGE_OUTCOME_OTHER:
        Frontend_Log(FRONTEND_LOG_WARNING,
                     "ScriptFacadeWebKit::Execute() error.  improper return type [%s]", name);
        break;
    case BRIDGE_OUTCOME_MISSING:
        Frontend_Log(FRONTEND_LOG_WARNING,
                     "ScriptFacadeWebKit::Execute() error.  unable to get function [%s]", name);
        break;
    case BRIDGE_OUTCOME_THREW:
        Frontend_Log(FRONTEND_LOG_WARNING,
                     "ScriptFacadeWebKit::Execute() error.  invoke error [%s]", name);
        break;
    default:
        Frontend_Log(FRONTEND_LOG_WARNING,
                     "ScriptFacadeWebKit::Execute() error.  unable to retrieve document");
        break;
    }
}

// The origin of an http or https URI as "scheme://host:port", or "".
std::string OriginOf(const char *uri) {
    GUri *parsed = g_uri_parse(uri, G_URI_FLAGS_NONE, nullptr);
    if (parsed == nullptr)
        return "";
    std::string origin;
    const char *scheme = g_uri_get_scheme(parsed);
    const char *host = g_uri_get_host(parsed);
    if (host != nullptr &&
        (g_ascii_strcasecmp(scheme, "http") == 0 || g_ascii_strcasecmp(scheme, "https") == 0)) {
        int port = g_uri_get_port(parsed);
        int https = g_ascii_strcasecmp(scheme, "https") == 0;
        if (port < 0)
            port = https ? 443 : 80;
        char *lower = g_ascii_strdown(host, -1);
        origin = std::string(https ? "https" : "http") + "://" + lower + ":" + std::to_string(port);
        g_free(lower);
    }
    g_uri_unref(parsed);
    return origin;
}

ScriptFacadeWebKit *FacadeOf(gpointer data) {
    return static_cast<ScriptFacadeWebKit *>(data);
}

void OnLoadChanged(WebKitWebView *, WebKitLoadEvent event, gpointer data) {
    if (event == WEBKIT_LOAD_FINISHED)
        FacadeOf(data)->OnLoadFinished();
}

void OnTerminated(WebKitWebView *, WebKitWebProcessTerminationReason reason, gpointer data) {
    FacadeOf(data)->OnWebProcessTerminated((int)reason);
}

gboolean OnDialog(WebKitWebView *, WebKitScriptDialog *dialog, gpointer data) {
    int type = SCRIPT_DIALOG_ALERT;
    switch (webkit_script_dialog_get_dialog_type(dialog)) {
    case WEBKIT_SCRIPT_DIALOG_CONFIRM:
    case WEBKIT_SCRIPT_DIALOG_BEFORE_UNLOAD_CONFIRM:
        type = SCRIPT_DIALOG_CONFIRM;
        break;
    case WEBKIT_SCRIPT_DIALOG_PROMPT:
        type = SCRIPT_DIALOG_PROMPT;
        break;
    default:
        break;
    }
    const char *defaultText =
        type == SCRIPT_DIALOG_PROMPT ? webkit_script_dialog_prompt_get_default_text(dialog) : "";
    std::string text;
    int confirmed = 0;
    FacadeOf(data)->OnScriptDialog(type, webkit_script_dialog_get_message(dialog), defaultText,
                                   &text, &confirmed);
    if (type == SCRIPT_DIALOG_CONFIRM)
        webkit_script_dialog_confirm_set_confirmed(dialog, confirmed == 1);
    else if (type == SCRIPT_DIALOG_PROMPT)
        webkit_script_dialog_prompt_set_text(dialog, confirmed == 1 ? text.c_str() : nullptr);
    return TRUE;
}

gboolean OnDecidePolicy(WebKitWebView *, WebKitPolicyDecision *decision,
                        WebKitPolicyDecisionType type, gpointer data) {
    if (type != WEBKIT_POLICY_DECISION_TYPE_NEW_WINDOW_ACTION)
        return FALSE;
    WebKitNavigationAction *action = webkit_navigation_policy_decision_get_navigation_action(
        WEBKIT_NAVIGATION_POLICY_DECISION(decision));
    const char *uri = webkit_uri_request_get_uri(webkit_navigation_action_get_request(action));
    webkit_policy_decision_ignore(decision);
    if (uri != nullptr)
        FacadeOf(data)->OnNewWindow(uri);
    return TRUE;
}

// window.open asks for a view of its own: the address goes to the user's browser.
GtkWidget *OnCreate(WebKitWebView *, WebKitNavigationAction *action, gpointer data) {
    WebKitURIRequest *request = webkit_navigation_action_get_request(action);
    const char *uri = request != nullptr ? webkit_uri_request_get_uri(request) : nullptr;
    if (uri != nullptr && uri[0] != 0)
        FacadeOf(data)->OnNewWindow(uri);
    return nullptr;
}

void OnDownload(WebKitWebContext *, WebKitDownload *download, gpointer) {
    WebKitURIRequest *request = webkit_download_get_request(download);
    Frontend_Log(FRONTEND_LOG_WARNING, "ScriptFacadeWebKit: download of [%s] cancelled",
                 request != nullptr ? webkit_uri_request_get_uri(request) : "");
    webkit_download_cancel(download);
}

void OnInitializeExtensions(WebKitWebContext *context, gpointer data) {
    auto *pair = static_cast<std::pair<std::string, std::string> *>(data);
    webkit_web_context_set_web_extensions_initialization_user_data(
        context, g_variant_new("(ss)", pair->first.c_str(), pair->second.c_str()));
}

gboolean OnListenReadable(gint, GIOCondition, gpointer data) {
    FacadeOf(data)->OnAccept();
    return G_SOURCE_CONTINUE;
}

struct SourceData {
    ScriptFacadeWebKit *Facade;
    BridgeConnection *Connection;
};

gboolean OnConnectionReadable(gint, GIOCondition, gpointer data) {
    auto *source = static_cast<SourceData *>(data);
    source->Facade->OnReadable(source->Connection);
    return G_SOURCE_CONTINUE; // Close destroys the source
}

gboolean OnConnectionWritable(gint, GIOCondition, gpointer data) {
    auto *source = static_cast<SourceData *>(data);
    source->Facade->OnWritable(source->Connection);
    return G_SOURCE_CONTINUE;
}

GSource *WatchFd(int fd, GIOCondition condition, GUnixFDSourceFunc function, gpointer data,
                 GDestroyNotify destroy) {
    GSource *source = g_unix_fd_source_new(fd, condition);
    g_source_set_can_recurse(source, TRUE);
    g_source_set_callback(source, (GSourceFunc)(void (*)(void))function, data, destroy);
    g_source_attach(source, nullptr);
    return source;
}

void FreeSourceData(gpointer data) {
    delete static_cast<SourceData *>(data);
}

gboolean WakeUp(gpointer) {
    return G_SOURCE_CONTINUE;
}

} // namespace

ScriptFacadeWebKit::ScriptFacadeWebKit(CLauncherModelScriptable *model, const char *extensionFolder,
                                       WebKitWebContext *context)
    : ScriptFacade(model), Context(context != nullptr ? context : webkit_web_context_get_default()),
      Dispatcher(new ScriptDispatcher(this)) {
    char folder[1024] = "";
    if (model != nullptr)
        model->GetWorkingDirectory(folder, sizeof(folder));
    if (folder[0] == 0)
        Zyl_GetModuleDirectory(folder, sizeof(folder));
    ProgramFolder = folder;
    if (ProgramFolder.empty() || ProgramFolder.back() != '/')
        ProgramFolder += '/';
    std::string extensions =
        extensionFolder != nullptr ? std::string(extensionFolder) : ProgramFolder + "webext";
    webkit_web_context_set_web_extensions_directory(Context, extensions.c_str());

    unsigned char secret[BRIDGE_TOKEN_SIZE / 2];
    if (getrandom(secret, sizeof(secret), 0) != (ssize_t)sizeof(secret)) {
        Frontend_Log(FRONTEND_LOG_WARNING, "ScriptFacadeWebKit: getrandom failed (%d)", errno);
        return;
    }
    static const char kHex[] = "0123456789abcdef";
    for (unsigned char byte : secret) {
        Token += kHex[byte >> 4];
        Token += kHex[byte & 15];
    }
    const char *runtime = g_getenv("XDG_RUNTIME_DIR");
    std::string base = runtime != nullptr && runtime[0] == '/' ? runtime : g_get_tmp_dir();
    std::string pattern = base + "/portico-bridge-XXXXXX";
    std::vector<char> made(pattern.begin(), pattern.end());
    made.push_back(0);
    if (mkdtemp(made.data()) == nullptr) {
        Frontend_Log(FRONTEND_LOG_WARNING, "ScriptFacadeWebKit: mkdtemp [%s] failed (%d)",
                     pattern.c_str(), errno);
        return;
    }
    Folder = made.data(); // mkdtemp makes it 0700
    Path = Folder + "/bridge";
    struct sockaddr_un address {};
    address.sun_family = AF_UNIX;
    if (Path.size() >= sizeof(address.sun_path)) {
        Frontend_Log(FRONTEND_LOG_WARNING, "ScriptFacadeWebKit: socket path too long [%s]",
                     Path.c_str());
        return;
    }
    std::memcpy(address.sun_path, Path.c_str(), Path.size() + 1);
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0 || bind(fd, (struct sockaddr *)&address, sizeof(address)) != 0 ||
        listen(fd, 8) != 0) {
        Frontend_Log(FRONTEND_LOG_WARNING, "ScriptFacadeWebKit: socket [%s] failed (%d)",
                     Path.c_str(), errno);
        if (fd >= 0)
            close(fd);
        return;
    }
    Listener = fd;
    ListenSource = WatchFd(fd, G_IO_IN, OnListenReadable, this, nullptr);
    auto *pair = new std::pair<std::string, std::string>(Path, Token);
    InitHandler = g_signal_connect_data(
        Context, "initialize-web-extensions", G_CALLBACK(OnInitializeExtensions), pair,
        [](gpointer data, GClosure *) {
            delete static_cast<std::pair<std::string, std::string> *>(data);
        },
        (GConnectFlags)0);
    DownloadHandler = g_signal_connect(Context, "download-started", G_CALLBACK(OnDownload), this);
}

ScriptFacadeWebKit::~ScriptFacadeWebKit() {
    ShuttingDown = 1;
    if (View != nullptr) {
        for (unsigned long handler : Handlers)
            g_signal_handler_disconnect(View, handler);
        g_object_unref(View);
        View = nullptr;
    }
    if (InitHandler != 0)
        g_signal_handler_disconnect(Context, InitHandler);
    if (DownloadHandler != 0)
        g_signal_handler_disconnect(Context, DownloadHandler);
    while (!Connections.empty())
        Close(Connections.back().get(), nullptr);
    Live.reset();
    if (ListenSource != nullptr) {
        g_source_destroy((GSource *)ListenSource);
        g_source_unref((GSource *)ListenSource);
    }
    if (Listener >= 0)
        close(Listener);
    if (!Path.empty())
        unlink(Path.c_str());
    if (!Folder.empty())
        rmdir(Folder.c_str());
    Dispatcher->Release();
}

int ScriptFacadeWebKit::Initialize() {
    return Listener >= 0 ? 1 : 0;
}

int ScriptFacadeWebKit::AttachView(WebKitWebView *view) {
    if (View != nullptr)
        return 0;
    View = view;
    g_object_ref(View);
    Handlers.push_back(g_signal_connect(View, "load-changed", G_CALLBACK(OnLoadChanged), this));
    Handlers.push_back(
        g_signal_connect(View, "web-process-terminated", G_CALLBACK(OnTerminated), this));
    Handlers.push_back(g_signal_connect(View, "script-dialog", G_CALLBACK(OnDialog), this));
    Handlers.push_back(g_signal_connect(View, "decide-policy", G_CALLBACK(OnDecidePolicy), this));
    Handlers.push_back(g_signal_connect(View, "create", G_CALLBACK(OnCreate), this));
    return 1;
}

void ScriptFacadeWebKit::Shutdown() {
    ShuttingDown = 1;
}

int64_t ScriptFacadeWebKit::NowMs() const {
    return g_get_monotonic_time() / 1000;
}

// ---- navigation

int ScriptFacadeWebKit::ComposeUri(const char *programFolder, const char *address,
                                   std::string *uri) {
    uri->clear();
    const char *why = nullptr;
    std::string path = address;
    for (char &c : path)
        if (c == '\\')
            c = '/';
    size_t schemeEnd =
        path.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789+.-");
    int web =
        Zyl_StrStartsWithNoCase(address, "http://") || Zyl_StrStartsWithNoCase(address, "https://");
    if (path.empty())
        why = "empty";
    else if ((web ? 0 : std::strlen(programFolder)) + path.size() > SCRIPT_ADDRESS_MAX)
        why = "longer than 1023 bytes";
    else if (web)
        *uri = address;
    else if (path[0] == '/')
        why = "absolute path";
    else if (schemeEnd != std::string::npos && schemeEnd > 0 && path[schemeEnd] == ':' &&
             g_ascii_isalpha(path[0]))
        why = "scheme other than http or https";
    if (why == nullptr && !web) {
        char *base = g_filename_to_uri(programFolder, nullptr, nullptr);
        char *escaped = g_uri_escape_string(path.c_str(), "!$&'()*+,;=:@/?#%", FALSE);
        char *resolved = base != nullptr
                             ? g_uri_resolve_relative(base, escaped, G_URI_FLAGS_NONE, nullptr)
                             : nullptr;
        if (resolved == nullptr)
            why = "not a URI reference";
        else
            *uri = resolved;
        g_free(resolved);
        g_free(escaped);
        g_free(base);
    }
    if (why != nullptr) {
        Frontend_Log(FRONTEND_LOG_WARNING, "ScriptFacadeWebKit::Navigate() refused [%.200s]: %s",
                     address, why);
        return 0;
    }
    return 1;
}

int ScriptFacadeWebKit::Navigate(const char *address, int external) {
    if (external == 1)
        return Model != nullptr ? ScriptFacade::Navigate(address, external) : 0;
    std::string folder = ProgramFolder;
    if (folder.size() > 1 && folder.back() != '/')
        folder += '/';
    std::string uri;
    if (ComposeUri(folder.c_str(), address, &uri) != 1)
        return 0;
    std::string origin = OriginOf(uri.c_str());
    if (!origin.empty()) {
        Origins.insert(origin);
        if (Zyl_StrStartsWithNoCase(uri.c_str(), "http://"))
            Frontend_Log(FRONTEND_LOG_WARNING,
                         "ScriptFacadeWebKit::Navigate() page over plain http [%.200s]",
                         uri.c_str());
    }
    ILauncherView *view = Model != nullptr ? Model->GetView() : nullptr;
    if (view != nullptr)
        view->Navigate(uri.c_str());
    else if (View != nullptr)
        webkit_web_view_load_uri(View, uri.c_str());
    return 1;
}

int ScriptFacadeWebKit::Admits(const std::string &uri) {
    if (Zyl_StrStartsWithNoCase(uri.c_str(), "file:")) {
        char *path = g_filename_from_uri(uri.c_str(), nullptr, nullptr);
        int under = path != nullptr && std::strstr(path, "/../") == nullptr &&
                    std::strncmp(path, ProgramFolder.c_str(), ProgramFolder.size()) == 0;
        g_free(path);
        return under;
    }
    std::string origin = OriginOf(uri.c_str());
    return !origin.empty() && Origins.count(origin) == 1;
}

// ---- the view's events

void ScriptFacadeWebKit::OnLoadFinished() {
    CompletedSinceReload = 1;
    if (Model != nullptr)
        Model->OnDocumentComplete();
}

void ScriptFacadeWebKit::Recover(const char *why) {
    Frontend_Log(FRONTEND_LOG_WARNING, "ScriptFacadeWebKit: %s", why);
    if (Live != nullptr)
        Close(Live.get(), nullptr);
    if (View == nullptr || ShuttingDown)
        return;
    // Once per failure: a page that fails again before it has loaded stays down.
    if (!CompletedSinceReload) {
        Frontend_Log(FRONTEND_LOG_WARNING, "ScriptFacadeWebKit: page not reloaded again");
        return;
    }
    CompletedSinceReload = 0;
    Reloads++;
    webkit_web_view_reload(View);
}

void ScriptFacadeWebKit::OnWebProcessTerminated(int reason) {
    const char *why = reason == WEBKIT_WEB_PROCESS_CRASHED
                          ? "web process crashed; reloading the page"
                      : reason == WEBKIT_WEB_PROCESS_EXCEEDED_MEMORY_LIMIT
                          ? "web process exceeded its memory limit; reloading the page"
                          : "web process terminated; reloading the page";
    Recover(why);
}

int ScriptFacadeWebKit::OnScriptDialog(int type, const char *message, const char *defaultText,
                                       std::string *text, int *confirmed) {
    int64_t start = NowMs();
    *confirmed = 0;
    if (DialogHook) {
        *confirmed = DialogHook(type, message, text);
    } else {
        GtkWidget *top = View != nullptr ? gtk_widget_get_toplevel(GTK_WIDGET(View)) : nullptr;
        GtkWindow *parent = top != nullptr && GTK_IS_WINDOW(top) ? GTK_WINDOW(top) : nullptr;
        GtkWidget *dialog = gtk_message_dialog_new(
            parent, GTK_DIALOG_MODAL,
            type == SCRIPT_DIALOG_ALERT ? GTK_MESSAGE_INFO : GTK_MESSAGE_QUESTION,
            type == SCRIPT_DIALOG_ALERT ? GTK_BUTTONS_OK : GTK_BUTTONS_OK_CANCEL, "%s", message);
        GtkWidget *entry = nullptr;
        if (type == SCRIPT_DIALOG_PROMPT) {
            entry = gtk_entry_new();
            gtk_entry_set_text(GTK_ENTRY(entry), defaultText != nullptr ? defaultText : "");
            gtk_entry_set_activates_default(GTK_ENTRY(entry), TRUE);
            gtk_container_add(
                GTK_CONTAINER(gtk_message_dialog_get_message_area(GTK_MESSAGE_DIALOG(dialog))),
                entry);
            gtk_widget_show(entry);
        }
        gtk_dialog_set_default_response(GTK_DIALOG(dialog), GTK_RESPONSE_OK);
        *confirmed = gtk_dialog_run(GTK_DIALOG(dialog)) == GTK_RESPONSE_OK;
        if (entry != nullptr)
            *text = gtk_entry_get_text(GTK_ENTRY(entry));
        gtk_widget_destroy(dialog);
    }
    DialogMs += NowMs() - start;
    return 1;
}

void ScriptFacadeWebKit::OnNewWindow(const char *uri) {
    if (Model != nullptr)
        ScriptFacade::Navigate(uri, 1);
}

// ---- the socket

void ScriptFacadeWebKit::OnAccept() {
    for (;;) {
        int fd = accept4(Listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
                Frontend_Log(FRONTEND_LOG_WARNING, "ScriptFacadeWebKit: accept failed (%d)", errno);
            if (errno == EINTR)
                continue;
            return;
        }
        struct ucred peer {};
        socklen_t size = sizeof(peer);
        if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 || peer.uid != getuid()) {
            Frontend_Log(FRONTEND_LOG_WARNING,
                         "ScriptFacadeWebKit: connection of another user refused");
            close(fd);
            continue;
        }
        auto connection = std::make_shared<BridgeConnection>();
        connection->Fd = fd;
        connection->Source = WatchFd(fd, G_IO_IN, OnConnectionReadable,
                                     new SourceData{this, connection.get()}, FreeSourceData);
        Connections.push_back(connection);
    }
}

void ScriptFacadeWebKit::Close(BridgeConnection *connection, const char *why) {
    if (why != nullptr)
        Frontend_Log(FRONTEND_LOG_WARNING, "ScriptFacadeWebKit: connection closed: %s", why);
    std::shared_ptr<BridgeConnection> kept;
    for (size_t i = 0; i < Connections.size(); i++) {
        if (Connections[i].get() == connection) {
            kept = Connections[i];
            Connections.erase(Connections.begin() + (long)i);
            break;
        }
    }
    if (connection->Closed)
        return;
    connection->Closed = 1;
    for (GSource **source : {&connection->Source, &connection->WriteSource}) {
        if (*source != nullptr) {
            g_source_destroy(*source);
            g_source_unref(*source);
            *source = nullptr;
        }
    }
    close(connection->Fd);
    connection->Fd = -1;
    connection->Outgoing.clear();
    if (Live.get() == connection) {
        Live.reset();
        Unanswered.clear(); // their answers cannot come any more
    }
}

void ScriptFacadeWebKit::OnReadable(BridgeConnection *connection) {
    std::shared_ptr<BridgeConnection> kept;
    for (const auto &each : Connections)
        if (each.get() == connection)
            kept = each;
    if (kept == nullptr || connection->Closed)
        return;
    std::vector<uint8_t> buffer(BRIDGE_HEADER_SIZE + BRIDGE_CHUNK_MAX);
    while (!connection->Closed) {
        // MSG_DONTWAIT: a wait further up may have taken the datagram poll saw.
        ssize_t got = recv(connection->Fd, buffer.data(), buffer.size(), MSG_DONTWAIT | MSG_TRUNC);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return;
        if (got <= 0) {
            Close(connection, got == 0 ? nullptr : "receive failed");
            return;
        }
        if ((size_t)got > buffer.size()) {
            Close(connection, "datagram over the chunk size");
            return;
        }
        BridgeFeed fed = connection->Reader.Feed(buffer.data(), (size_t)got);
        if (fed == BRIDGE_FEED_ERROR) {
            Close(connection, connection->Reader.Error());
            return;
        }
        if (fed == BRIDGE_FEED_MESSAGE) {
            BridgeMessage message = connection->Reader.Message();
            Handle(kept, message);
        }
    }
}

void ScriptFacadeWebKit::OnWritable(BridgeConnection *connection) {
    while (!connection->Closed && !connection->Outgoing.empty()) {
        const std::vector<uint8_t> &chunk = connection->Outgoing.front();
        ssize_t sent =
            send(connection->Fd, chunk.data(), chunk.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (connection->WriteSource == nullptr)
                connection->WriteSource = WatchFd(connection->Fd, G_IO_OUT, OnConnectionWritable,
                                                  new SourceData{this, connection}, FreeSourceData);
            return;
        }
        if (sent != (ssize_t)chunk.size()) {
            Close(connection, "send failed");
            return;
        }
        connection->Outgoing.pop_front();
    }
    if (connection->WriteSource != nullptr) {
        g_source_destroy(connection->WriteSource);
        g_source_unref(connection->WriteSource);
        connection->WriteSource = nullptr;
    }
}

int ScriptFacadeWebKit::Send(BridgeConnection *connection, const BridgeMessage &message) {
    std::vector<std::vector<uint8_t>> chunks;
    if (connection->Closed || Bridge_Encode(message, &chunks) != 1)
        return 0;
    for (auto &chunk : chunks)
        connection->Outgoing.push_back(std::move(chunk));
    if (connection->WriteSource == nullptr)
        OnWritable(connection);
    return connection->Closed ? 0 : 1;
}

void ScriptFacadeWebKit::Handle(const std::shared_ptr<BridgeConnection> &connection,
                                const BridgeMessage &message) {
    BridgeConnection *c = connection.get();
    if (!c->Authenticated) {
        // Compared in constant time: the secret is all that tells the page's
        // process from another program of the same user.
        unsigned char differ = 1;
        if (message.Name.size() == Token.size()) {
            differ = 0;
            for (size_t k = 0; k < Token.size(); k++)
                differ |= (unsigned char)(message.Name[k] ^ Token[k]);
        }
        if (message.Type != BRIDGE_HELLO || differ != 0) {
            Close(c, "not the page's process");
            return;
        }
        c->Authenticated = 1;
        return;
    }
    switch (message.Type) {
    case BRIDGE_READY: {
        BridgeMessage admit;
        admit.Type = BRIDGE_ADMIT;
        admit.Id = message.Id;
        c->Admitted = 0;
        if (View != nullptr && (uint64_t)message.Number == webkit_web_view_get_page_id(View)) {
            Live = connection;
            c->Admitted = Admits(message.Name);
        }
        admit.Code = (uint32_t)c->Admitted;
        Send(c, admit);
        return;
    }
    case BRIDGE_CALL:
        HandleCall(connection, message);
        return;
    case BRIDGE_RESULT: {
        auto wait = Waits.find(message.Id);
        if (wait != Waits.end()) {
            wait->second->Done = 1;
            wait->second->Outcome = (int)message.Code;
            wait->second->Number = message.Number;
            return;
        }
        auto unanswered = Unanswered.find(message.Id);
        if (unanswered == Unanswered.end())
            return; // a late answer of a wait that gave up
        if (message.Code > BRIDGE_OUTCOME_OTHER)
            LogOutcome((int)message.Code, unanswered->second.c_str());
        Unanswered.erase(unanswered);
        return;
    }
    default:
        Close(c, "message of the wrong direction");
        return;
    }
}

void ScriptFacadeWebKit::HandleCall(const std::shared_ptr<BridgeConnection> &connection,
                                    const BridgeMessage &message) {
    BridgeMessage answer;
    answer.Type = BRIDGE_ANSWER;
    answer.Id = message.Id;
    if (!ShuttingDown && connection == Live && connection->Admitted) {
        std::vector<std::string> texts(message.Values.size());
        std::vector<ScriptPageValue> values(message.Values.size());
        for (size_t i = 0; i < message.Values.size(); i++) {
            const BridgeValue &value = message.Values[i];
            int text = value.Kind == BRIDGE_VALUE_TEXT || value.Kind == BRIDGE_VALUE_LONG;
            if (text)
                texts[i] =
                    Bridge_ValidUtf8(value.Text.data(), value.Text.size(), value.Text.size());
            values[i] = ScriptPageValue{text, text ? texts[i].c_str() : nullptr};
        }
        int boolAnswer = 0;
        char text[SCRIPT_ANSWER_SIZE] = "";
        Dispatcher->AddRef();
        Dispatcher->Invoke(SCRIPT_DISPID_RETURNBOOL + (int)message.Code, values.data(),
                           (int)values.size(), &boolAnswer, text, sizeof(text));
        Dispatcher->Release();
        answer.Code = boolAnswer == 1 ? 1 : 0;
        answer.Name = text;
    }
    Send(connection.get(), answer);
}

// ---- page functions

int ScriptFacadeWebKit::ExecuteWithResult(const char *name, const ScriptArgument *arguments,
                                          int count, ScriptResult *result) {
    return Execute(name, arguments, count, 1, result);
}

int ScriptFacadeWebKit::ExecuteNoResult(const char *name, const ScriptArgument *arguments,
                                        int count) {
    return Execute(name, arguments, count, 0, nullptr);
}

int ScriptFacadeWebKit::Execute(const char *name, const ScriptArgument *arguments, int count,
                                int wantResult, ScriptResult *result) {
    if (result != nullptr)
        *result = ScriptResult{0, SCRIPT_VALUE_INT};
    if (ShuttingDown)
        return 0;
    std::shared_ptr<BridgeConnection> connection = Live;
    if (connection == nullptr || !connection->Admitted) {
        LogOutcome(BRIDGE_OUTCOME_NO_PAGE, name);
        return 0;
    }
    BridgeMessage invoke;
    invoke.Type = BRIDGE_INVOKE;
    invoke.Id = NextId++;
    invoke.Name = Bridge_ValidUtf8(name, std::strlen(name), 256);
    for (int i = 0; i < count; i++) {
        BridgeValue value;
        const ScriptArgument &argument = arguments[i];
        switch (argument.Type) {
        case SCRIPT_VALUE_INT:
            value.Kind = BRIDGE_VALUE_INT;
            value.Number = argument.Value.Int;
            break;
        case SCRIPT_VALUE_DOUBLE:
            value.Kind = BRIDGE_VALUE_DOUBLE;
            value.Double = argument.Value.Double;
            break;
        case SCRIPT_VALUE_NUMERIC:
            value.Text = std::to_string(argument.Value.Numeric);
            break;
        case SCRIPT_VALUE_BOOL:
            value.Text = argument.Value.Bool == 1 ? "TRUE" : "FALSE";
            break;
        default: {
            const char *text = argument.Value.Text != nullptr ? argument.Value.Text : "";
            value.Text = Bridge_ValidUtf8(text, std::strlen(text), BRIDGE_MESSAGE_MAX);
            break;
        }
        }
        invoke.Values.push_back(std::move(value));
    }
    if (Send(connection.get(), invoke) != 1) {
        Frontend_Log(FRONTEND_LOG_WARNING,
                     "ScriptFacadeWebKit::Execute() error.  invoke error [%s]", name);
        return 0;
    }
    if (!wantResult) {
        if (Unanswered.size() >= 4096)
            Unanswered.erase(Unanswered.begin());
        Unanswered[invoke.Id] = name;
        return 1;
    }
    PendingWait wait;
    Waits[invoke.Id] = &wait;
    int64_t start = NowMs();
    int64_t dialogsBefore = DialogMs;
    guint timer = g_timeout_add(50, WakeUp, nullptr);
    int timedOut = 0;
    while (!wait.Done && !connection->Closed) {
        if (NowMs() - start - (DialogMs - dialogsBefore) >= WaitLimitMs) {
            timedOut = 1;
            break;
        }
        g_main_context_iteration(nullptr, TRUE);
    }
    g_source_remove(timer);
    Waits.erase(invoke.Id);
    if (timedOut) {
        Frontend_Log(FRONTEND_LOG_WARNING,
                     "ScriptFacadeWebKit::Execute() error.  no answer from [%s] within %d ms", name,
                     WaitLimitMs);
        if (View != nullptr && connection == Live)
            webkit_web_view_terminate_web_process(View);
        return 0;
    }
    if (!wait.Done) {
        Frontend_Log(FRONTEND_LOG_WARNING,
                     "ScriptFacadeWebKit::Execute() error.  page process lost during [%s]", name);
        return 0;
    }
    if (wait.Outcome == BRIDGE_OUTCOME_INT || wait.Outcome == BRIDGE_OUTCOME_BOOL) {
        result->Value = (int32_t)wait.Number;
        result->Type = wait.Outcome == BRIDGE_OUTCOME_INT ? SCRIPT_VALUE_INT : SCRIPT_VALUE_BOOL;
        return 1;
    }
    LogOutcome(wait.Outcome, name);
    return 0;
}
