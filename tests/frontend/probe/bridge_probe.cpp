// The page bridge on a real WebKitGTK view (run under xvfb-run and
// dbus-run-session): the WebKit facade with a scripted responder and a model
// without an engine, test pages from a temporary program folder and from nginx.
// Prints one line per check and "N passed, N failed"; exits 1 on a failure.
#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

#include "core/zyl.h"
#include "frontend/bridgeframe.h"
#include "frontend/launchermodelgtk.h"
#include "frontend/launcherview.h"
#include "frontend/scriptfacadewebkit.h"
#include "tests/support/log_capture.h"
#include "tests/support/nginx_server.h"
#include "tests/support/support.h"

namespace {

int g_passed = 0;
int g_failed = 0;

void Check(bool good, const std::string &what, const std::string &detail = "") {
    if (good) {
        g_passed++;
        std::printf("ok - %s\n", what.c_str());
    } else {
        g_failed++;
        std::printf("FAIL - %s%s%s\n", what.c_str(), detail.empty() ? "" : ": ", detail.c_str());
    }
    std::fflush(stdout);
}

// Runs the main context until done() or seconds pass; true when done.
gboolean WakeUp(gpointer) {
    return G_SOURCE_CONTINUE;
}

// Runs the main context until done() or seconds pass; true when done.
template <typename Done> bool PumpUntil(Done done, int seconds = 30) {
    int64_t end = g_get_monotonic_time() + (int64_t)seconds * 1000000;
    guint timer = g_timeout_add(20, WakeUp, nullptr);
    while (!done() && g_get_monotonic_time() < end)
        g_main_context_iteration(nullptr, TRUE);
    g_source_remove(timer);
    return done();
}

void Pump(int milliseconds) {
    int64_t end = g_get_monotonic_time() + (int64_t)milliseconds * 1000;
    PumpUntil([&] { return g_get_monotonic_time() >= end; });
}

std::string Describe(const ScriptEvent *event) {
    std::string text = std::string(event->Name) + "(";
    for (int i = 0; i < event->Count; i++) {
        const ScriptParameter &p = event->Parameters[i];
        text += i ? "," : "";
        if (p.Type == SCRIPT_VALUE_INT)
            text += "I:" + std::to_string(p.Value.Int);
        else if (p.Type == SCRIPT_VALUE_BOOL)
            text += "B:" + std::to_string(p.Value.Bool);
        else if (p.Type == SCRIPT_VALUE_STRING)
            text += "S:" + std::string(p.Value.Text);
        else
            text += "?";
    }
    return text + ")";
}

// The facade with a scripted responder in place of the command table: calls
// whose name starts with "yes" answer true; "yesDown" with int n calls the
// page function level(n + 1) while n < 3.
class ProbeFacade : public ScriptFacadeWebKit {
  public:
    ProbeFacade(CLauncherModelScriptable *model, const char *extensions)
        : ScriptFacadeWebKit(model, extensions) {}
    int ReceiveScriptBool(const ScriptEvent *event) override {
        std::string name = event->Name;
        if (name == "yesDown" && event->Count == 1 &&
            event->Parameters[0].Type == SCRIPT_VALUE_INT) {
            int level = event->Parameters[0].Value.Int;
            if (level < 3) {
                ScriptArgument next{};
                next.Type = SCRIPT_VALUE_INT;
                next.Value.Int = level + 1;
                ScriptResult result{};
                int made = ExecuteWithResult("level", &next, 1, &result);
                events.push_back("level" + std::to_string(level + 1) + "=" +
                                 (made ? std::to_string(result.Value) : "failed"));
            }
            return 1;
        }
        events.push_back(Describe(event));
        return name.rfind("yes", 0) == 0 ? 1 : 0;
    }
    int ReceiveScriptSettings(const ScriptEvent *, char *answer, int size) override {
        Zyl_StrCopy(answer, "settings:\xC3\xA9\xE2\x82\xAC", size);
        return 1;
    }
    int ReceiveScriptString(const ScriptEvent *event, char *answer, int size) override {
        Zyl_FormatString(answer, size, "string:%s", event->Name);
        return 1;
    }
    int ReceiveScriptPackageOptions(const ScriptEvent *, char *answer, int size) override {
        Zyl_StrCopy(answer, "options:1:0", size);
        return 1;
    }
    void OnLoadFinished() override {
        loads++;
        ScriptFacadeWebKit::OnLoadFinished();
    }
    void ResetVersionCheck() { VersionChecked = 0; }

    std::vector<std::string> events;
    int loads = 0;
};

class ProbeView : public ILauncherView {
  public:
    IBrowserControl *GetBrowserControl() override { return nullptr; }
    int Navigate(const char *address) override {
        webkit_web_view_load_uri(view, address);
        return 1;
    }
    int Close() override { return 1; }
    int Minimize() override { return 1; }
    int Restore() override { return 1; }
    int BeginMoveWindow() override { return 1; }
    int SetWindowSize(int, int) override { return 1; }
    int OpenNativeLogPage() override { return 1; }
    int OpenNativeDirectoryBrowserPage(const char *, char *, int) override { return 0; }
    WebKitWebView *view = nullptr;
};

class ProbeModel : public CLauncherModelGtk {
  public:
    ProbeModel(const char *folder, const char *extensions, ProbeView *view)
        : CLauncherModelGtk(folder), Extensions(extensions), View(view) {}
    ScriptFacade *CreateScriptFacade() override { return new ProbeFacade(this, Extensions); }
    ILauncherView *GetView() override { return View; }
    int OnFatalError(int32_t code, const char *, const char *text) override {
        fatal.push_back(std::to_string(code) + ":" + text);
        return 1;
    }
    int OpenExternalUrl(const char *text) override {
        external.push_back(text);
        return 1;
    }
    std::vector<std::string> fatal;
    std::vector<std::string> external;

  private:
    const char *Extensions;
    ProbeView *View;
};

struct Evaluation {
    int Done = 0;
    std::string Text;
};

// The page's value of script as text ("<error>" when it threw).
std::string Eval(WebKitWebView *view, const char *script) {
    Evaluation evaluation;
    webkit_web_view_evaluate_javascript(
        view, script, -1, nullptr, nullptr, nullptr,
        [](GObject *object, GAsyncResult *result, gpointer data) {
            auto *e = static_cast<Evaluation *>(data);
            JSCValue *value = webkit_web_view_evaluate_javascript_finish(WEBKIT_WEB_VIEW(object),
                                                                         result, nullptr);
            if (value != nullptr) {
                char *text = jsc_value_to_string(value);
                e->Text = text;
                g_free(text);
                g_object_unref(value);
            } else {
                e->Text = "<error>";
            }
            e->Done = 1;
        },
        &evaluation);
    PumpUntil([&] { return evaluation.Done == 1; }, 10);
    return evaluation.Text;
}

ScriptArgument Int(int value) {
    ScriptArgument a{};
    a.Type = SCRIPT_VALUE_INT;
    a.Value.Int = value;
    return a;
}

// The web processes of this program (children named WebKitWebProcess).
std::vector<int> WebProcesses() {
    std::vector<int> pids;
    DIR *proc = opendir("/proc");
    for (dirent *entry = proc ? readdir(proc) : nullptr; entry != nullptr; entry = readdir(proc)) {
        int pid = (int)strtol(entry->d_name, nullptr, 10);
        if (pid <= 0)
            continue;
        std::ifstream stat("/proc/" + std::string(entry->d_name) + "/stat");
        std::string line;
        std::getline(stat, line);
        size_t close = line.rfind(')');
        if (close == std::string::npos || line.find("(WebKitWebProces") == std::string::npos)
            continue;
        int parent = (int)strtol(line.c_str() + close + 4, nullptr, 10);
        if (parent == getpid())
            pids.push_back(pid);
    }
    if (proc != nullptr)
        closedir(proc);
    return pids;
}

const char kCommonScript[] = R"(<script>
window.calls = [];
function kinds(args) {
  return Array.from(args).map(function (a) {
    if (typeof a === 'number') return Number.isInteger(a) ? 'I' : 'D';
    if (a === 'TRUE' || a === 'FALSE') return 'B';
    return /^-?[0-9]+$/.test(a) ? 'N' : 'S';
  }).join('');
}
var answers = {__Patcher_reportpackageUpdateAvailable: 7, __Patcher_reportpackageAllowRestart: true,
               __Patcher_reportpackageMaintenance: false};
['__Launcher_reportlauncherSettingsChanged', '__Launcher_reportlauncherLog',
 '__Launcher_reportlauncherError', '__Patcher_reportpackageUpdateAvailable',
 '__Patcher_reportpackageAllowRestart', '__Patcher_reportpackagePerformRestart',
 '__Patcher_reportpackageMaintenance', '__Patcher_reportpackageStatus',
 '__Patcher_reportpackageListStatus', '__Downloader_reportdownloadStatus'].forEach(function (n) {
  window[n] = function () { calls.push(n + ':' + kinds(arguments)); return answers[n]; };
});
window.seenAtStart = typeof QTRLauncher + ' ' + typeof document.QTRLauncher;
window.firstCall = QTRLauncher.XRBLauncher_ReturnBool('yesFirst');
function shapes() {
  var Q = QTRLauncher;
  window.shapeResults = [Q.XRBLauncher_ReturnBool(), Q.XRBLauncher_ReturnBool('yesNoParams'),
    Q.XRBLauncher_ReturnBool('yesParams', 'string:a|int:5|bool:yes'),
    Q.XRBLauncher_ReturnBool('yesA', 'b', 'c'), Q.XRBLauncher_ReturnBool(5),
    Q.XRBLauncher_ReturnBool('yesNum', 7),
    Q.XRBLauncher_ReturnBool('yesLong', 'string:' + 'x'.repeat(70000)),
    Q.XRBLauncher_ReturnBool('yesUtf', 'string:caf\u00e9\u20ac\ud83d\ude00'),
    Q.XRBLauncher_ReturnBool('no')].join(',');
  window.textResults = [Q.XRBLauncher_ReturnSettings('getSettings'),
    Q.XRBLauncher_ReturnString('openNativeDirectoryBrowserPage', 'string:/x'),
    Q.XRBLauncher_ReturnPackageOptions('getPackageOptions', 'string:p'),
    Q.XRBLauncher_ReturnString(), typeof Q.XRBLauncher_ReturnString('x')].join('|');
  return 1;
}
function aInt() { return 5; }
function aTrue() { return true; }
function aFalse() { return false; }
function aText() { return '5'; }
function aFraction() { return 2.5; }
function aNothing() {}
function aOver() { return 2147483648; }
function aLowest() { return -2147483648; }
function aThrow() { throw new Error('thrown'); }
function aHang() { for (;;) {} }
function level(n) { return QTRLauncher.XRBLauncher_ReturnBool('yesDown', 'int:' + n) ? n * 10 : -1; }
function pageStart() { window.pageChain = level(1); }
function dialogs() {
  alert('hello');
  var c = confirm('sure?');
  var p = prompt('name?', 'default');
  window.dialogResult = c + ':' + p;
  return 7;
}
function echo() { window.echoed = kinds(arguments) + ':' + Array.from(arguments).join('|'); return 1; }
</script>)";

std::string Page(const std::string &version, const std::string &body = "") {
    std::string versionScript =
        version.empty()
            ? ""
            : "<script>function __Launcher_getVersion() { return " + version + "; }</script>";
    return "<!DOCTYPE html><html><head><meta charset='utf-8'>" + std::string(kCommonScript) +
           versionScript + "</head><body>" + body + "</body></html>";
}

struct Probe {
    testsupport::TempDir folder;
    ProbeView view;
    ProbeModel *model = nullptr;
    ProbeFacade *facade = nullptr;
    testsupport::ConsoleCapture log;

    // Loads address through the facade and waits for its document.
    bool Load(const char *address) {
        int before = facade->loads;
        if (facade->Navigate(address, 0) != 1)
            return false;
        return PumpUntil(
            [&] { return facade->loads > before && !webkit_web_view_is_loading(view.view); });
    }
    int Call(const char *name, ScriptResult *result, const ScriptArgument *arguments = nullptr,
             int count = 0) {
        return facade->ExecuteWithResult(name, arguments, count, result);
    }
};

void FirstScriptAndVersion(Probe &p) {
    Check(p.Load("skin/index.html"), "the skin page loads");
    WebKitWebView *view = p.view.view;
    Check(Eval(view, "window.seenAtStart") == "object object",
          "the first inline script sees QTRLauncher on the window and the document",
          Eval(view, "window.seenAtStart"));
    Check(Eval(view, "String(window.firstCall)") == "true" && !p.facade->events.empty() &&
              p.facade->events[0] == "yesFirst()",
          "a call from the first inline script reaches the responder");
    Check(p.model->fatal.empty(), "version 5 is accepted",
          p.model->fatal.empty() ? "" : p.model->fatal[0]);
}

void ArgumentShapes(Probe &p) {
    p.facade->events.clear();
    ScriptResult result{};
    Check(p.Call("shapes", &result) == 1, "the page function making every call shape answers");
    std::string shapes = Eval(p.view.view, "window.shapeResults");
    Check(shapes == "false,true,true,false,false,false,true,true,false",
          "0 to 3 arguments, non-strings, over-long and UTF-8 texts get their answers", shapes);
    std::string seen;
    for (const std::string &e : p.facade->events)
        seen += e + ";";
    Check(seen == "yesNoParams();yesParams(S:a,I:5,B:1);yesUtf(S:"
                  "caf\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80);no();",
          "only well-shaped calls reach the responder, UTF-8 intact", seen);
    std::string texts = Eval(p.view.view, "window.textResults");
    Check(texts == "settings:\xC3\xA9\xE2\x82\xAC|string:openNativeDirectoryBrowserPage|options:1:"
                   "0||string",
          "the three string methods answer their texts, a bad shape answers \"\"", texts);
}

void AnswerTypes(Probe &p) {
    const struct {
        const char *Name;
        int Made;
        int Type;
        int Value;
    } cases[] = {
        {"aInt", 1, SCRIPT_VALUE_INT, 5},     {"aTrue", 1, SCRIPT_VALUE_BOOL, 1},
        {"aFalse", 1, SCRIPT_VALUE_BOOL, 0},  {"aLowest", 1, SCRIPT_VALUE_INT, INT_MIN},
        {"aText", 0, SCRIPT_VALUE_INT, 0},    {"aFraction", 0, SCRIPT_VALUE_INT, 0},
        {"aNothing", 0, SCRIPT_VALUE_INT, 0}, {"aOver", 0, SCRIPT_VALUE_INT, 0},
        {"aThrow", 0, SCRIPT_VALUE_INT, 0},   {"aMissing", 0, SCRIPT_VALUE_INT, 0},
    };
    for (const auto &c : cases) {
        ScriptResult result{};
        int made = p.Call(c.Name, &result);
        Check(made == c.Made && (!made || (result.Type == c.Type && result.Value == c.Value)),
              std::string("answer of ") + c.Name,
              std::to_string(made) + " " + std::to_string(result.Type) + " " +
                  std::to_string(result.Value));
    }
    Check(p.log.Contains("ScriptFacadeWebKit::Execute() error.  improper return type [aText]"),
          "a text answer logs an improper return type");
    Check(p.log.Contains("ScriptFacadeWebKit::Execute() error.  invoke error [aThrow]"),
          "a throwing function logs an invoke error");
    Check(p.log.Contains("ScriptFacadeWebKit::Execute() error.  unable to get function [aMissing]"),
          "a missing function logs that it is missing");
    p.facade->ExecuteNoResult("aMissingLater", nullptr, 0);
    Check(
        PumpUntil(
            [&] {
                return p.log.Contains(
                    "ScriptFacadeWebKit::Execute() error.  unable to get function [aMissingLater]");
            },
            10),
        "a missing function called without a wanted result is logged when the page answers");
    ScriptArgument arguments[5] = {Int(-3)};
    arguments[1].Type = SCRIPT_VALUE_DOUBLE;
    arguments[1].Value.Double = 1.5;
    arguments[2].Type = SCRIPT_VALUE_BOOL;
    arguments[2].Value.Bool = 1;
    arguments[3].Type = SCRIPT_VALUE_NUMERIC;
    arguments[3].Value.Numeric = 1234567890123LL;
    arguments[4].Type = SCRIPT_VALUE_STRING;
    arguments[4].Value.Text = "caf\xC3\xA9 \xFF";
    ScriptResult result{};
    p.Call("echo", &result, arguments, 5);
    std::string echoed = Eval(p.view.view, "window.echoed");
    Check(echoed == "IDBNS:-3|1.5|TRUE|1234567890123|caf\xC3\xA9 \xEF\xBF\xBD",
          "arguments arrive as int, double, \"TRUE\", decimal text and valid UTF-8", echoed);
}

void Reentrancy(Probe &p) {
    p.facade->events.clear();
    ScriptResult result{};
    ScriptArgument one = Int(1);
    int made = p.Call("level", &result, &one, 1);
    std::string seen;
    for (const std::string &e : p.facade->events)
        seen += e + ";";
    Check(made == 1 && result.Value == 10 && seen == "level3=30;level2=20;",
          "program -> page -> program three levels deep",
          std::to_string(result.Value) + " " + seen);
    p.facade->events.clear();
    p.facade->ExecuteNoResult("pageStart", nullptr, 0);
    PumpUntil([&] { return Eval(p.view.view, "String(window.pageChain)") == "10"; }, 10);
    seen.clear();
    for (const std::string &e : p.facade->events)
        seen += e + ";";
    Check(Eval(p.view.view, "String(window.pageChain)") == "10" && seen == "level3=30;level2=20;",
          "page -> program -> page three levels deep", seen);
}

void Dialogs(Probe &p) {
    std::vector<std::string> shown;
    p.facade->SetDialogHook([&](int type, const char *message, std::string *text) {
        shown.push_back(std::to_string(type) + ":" + message);
        if (type == SCRIPT_DIALOG_PROMPT)
            *text = "typed";
        Pump(800); // time in a dialog does not count against the wait
        return 1;
    });
    p.facade->SetWaitLimit(2000);
    ScriptResult result{};
    int made = p.Call("dialogs", &result);
    p.facade->SetWaitLimit(SCRIPT_WAIT_LIMIT_MS);
    std::string seen;
    for (const std::string &s : shown)
        seen += s + ";";
    Check(made == 1 && result.Value == 7 && seen == "0:hello;1:sure?;2:name?;",
          "alert, confirm and prompt during a wait are answered natively", seen);
    Check(Eval(p.view.view, "window.dialogResult") == "true:typed",
          "the page gets the dialogs' answers", Eval(p.view.view, "window.dialogResult"));
}

void PageFunctions(Probe &p) {
    Eval(p.view.view, "window.calls = []; 0");
    ProbeModel &m = *p.model;
    m.OnLog("12:00", "log text");
    m.OnError(1, "12:01", "error text");
    PatcherVersionCheckRecord check{};
    check.PackageType = 1;
    Zyl_StrCopy(check.CurrentName, "old", sizeof(check.CurrentName));
    check.CurrentVersion = 3;
    Zyl_StrCopy(check.TargetName, "new", sizeof(check.TargetName));
    check.TargetVersion = 4;
    int32_t target = 4;
    m.OnPackageUpdateAvailable("game", &target, check);
    int32_t allow = 1;
    m.OnPackageAllowRestart("game", &allow);
    m.OnPackagePerformRestart();
    PatcherMaintenanceRecord maintenance{};
    Zyl_StrCopy(maintenance.MaintenanceUrl, "http://maintenance.example/",
                sizeof(maintenance.MaintenanceUrl));
    Zyl_StrCopy(maintenance.AdditionalInfo, "info", sizeof(maintenance.AdditionalInfo));
    m.OnPackageMaintenance("game", maintenance);
    PatcherPackageStatus status{};
    status.State = 2;
    Zyl_StrCopy(status.CurrentName, "cur", sizeof(status.CurrentName));
    Zyl_StrCopy(status.TargetName, "tgt", sizeof(status.TargetName));
    status.PeakRate = 1.5;
    status.AverageRate = 2.5;
    status.CurrentRate = 3.5;
    m.ReportPackageStatus("game", status);
    PatcherPackageListStatusRecord list{};
    Zyl_StrCopy(list.ListName, "list", sizeof(list.ListName));
    Zyl_StrCopy(list.PackageName, "game", sizeof(list.PackageName));
    list.Status = status;
    m.ReportPackageListStatus(list);
    PatcherDownloadStatus download{};
    download.PeakRate = 1.5;
    download.AverageRate = 2.5;
    download.CurrentRate = 3.5;
    m.ReportDownloadStatus("dl", download);
    CSettings settings = m.GetSettings();
    settings.P2PEnabled = 1;
    m.SetSettings(settings);
    PumpUntil([&] { return Eval(p.view.view, "String(calls.length)") == "10"; }, 10);
    std::string calls = Eval(p.view.view, "calls.join(';')");
    Check(calls == "__Launcher_reportlauncherLog:SS;__Launcher_reportlauncherError:ISS;"
                   "__Patcher_reportpackageUpdateAvailable:SISISI;"
                   "__Patcher_reportpackageAllowRestart:S;__Patcher_reportpackagePerformRestart:;"
                   "__Patcher_reportpackageMaintenance:SSS;"
                   "__Patcher_reportpackageStatus:SISISIIIBNNNNNDDDNN;"
                   "__Patcher_reportpackageListStatus:SSIISISIIIBNNNNNDDDNN;"
                   "__Downloader_reportdownloadStatus:SIINNDDDNNN;"
                   "__Launcher_reportlauncherSettingsChanged:BBBNN",
          "every page function gets its argument types", calls);
    Check(target == 7 && allow == 1, "the update and restart answers reach the model",
          std::to_string(target) + " " + std::to_string(allow));
}

void FramesAndOrigins(Probe &p) {
    Check(p.Load("skin/frames.html"), "a page with an iframe loads");
    PumpUntil([&] { return Eval(p.view.view, "String(window.innerSeen)") != "undefined"; }, 10);
    Check(Eval(p.view.view, "window.innerSeen") == "inner:undefined" &&
              Eval(p.view.view, "typeof QTRLauncher") == "object",
          "the object is in the main frame only", Eval(p.view.view, "String(window.innerSeen)"));
    Eval(p.view.view, "window.open('https://example.org/new'); 1");
    Check(PumpUntil(
              [&] {
                  return !p.model->external.empty() &&
                         p.model->external.back() == "https://example.org/new";
              },
              10),
          "window.open opens the address in the user's browser instead");
    Eval(p.view.view, "var a = document.createElement('a'); a.href = 'https://example.org/link';"
                      " a.target = '_blank'; document.body.appendChild(a); a.click(); 1");
    Check(PumpUntil(
              [&] {
                  return !p.model->external.empty() &&
                         p.model->external.back() == "https://example.org/link";
              },
              10),
          "a link to a new window opens in the user's browser instead");
    nettest::NginxServer nginx("location /files/ { default_type application/octet-stream;"
                               " add_header Content-Disposition attachment; }");
    if (!nginx.ok()) {
        Check(false, "nginx starts", nginx.error());
        return;
    }
    testsupport::WriteFile(nginx.root() + "/page.html", Page("5"));
    std::string own = "http://127.0.0.1:" + std::to_string(nginx.port()) + "/page.html";
    Check(p.Load(own.c_str()), "a page of a navigated origin loads");
    Check(Eval(p.view.view, "typeof QTRLauncher") == "object",
          "a page of an origin the program navigated to has the object");
    Check(p.log.Contains("ScriptFacadeWebKit::Navigate() page over plain http [" + own + "]"),
          "a page over plain http is logged");
    std::string other = "http://localhost:" + std::to_string(nginx.port()) + "/page.html";
    int before = p.facade->loads;
    webkit_web_view_load_uri(p.view.view, other.c_str());
    PumpUntil([&] {
        return p.facade->loads > before && !webkit_web_view_is_loading(p.view.view) &&
               other == webkit_web_view_get_uri(p.view.view);
    });
    Check(Eval(p.view.view, "typeof QTRLauncher") == "undefined",
          "a page of another origin has no object");
    ScriptResult result{};
    Check(p.Call("aInt", &result) == 0, "no page function is called on another origin");
    // Last: the cancelled load may still report its end while the next one starts.
    g_mkdir_with_parents((nginx.root() + "/files").c_str(), 0700);
    testsupport::WriteFile(nginx.root() + "/files/setup.bin", std::string(4096, 'x'));
    std::string file = "http://127.0.0.1:" + std::to_string(nginx.port()) + "/files/setup.bin";
    webkit_web_view_load_uri(p.view.view, file.c_str());
    Check(PumpUntil([&] { return p.log.Contains("download of [" + file + "] cancelled"); }, 10),
          "a download is cancelled and logged");
    PumpUntil([&] { return !webkit_web_view_is_loading(p.view.view); }, 10);
}

void VersionCheck(Probe &p) {
    const struct {
        const char *Page;
        const char *Fatal;
    } cases[] = {
        {"skin/v4.html", "18:ScriptFacade version mismatch [4/5]"},
        {"skin/vtext.html", "18:Unable to test version"},
        {"skin/vnone.html", "18:Unable to test version"},
        {"skin/index.html", ""},
    };
    for (const auto &c : cases) {
        p.model->fatal.clear();
        p.facade->ResetVersionCheck();
        p.Load(c.Page);
        std::string fatal = p.model->fatal.empty() ? "" : p.model->fatal[0];
        Check(fatal == c.Fatal, std::string("version check of ") + c.Page, fatal);
    }
}

void HangAndCrash(Probe &p) {
    p.facade->SetWaitLimit(1500);
    ScriptResult result{};
    int64_t start = g_get_monotonic_time();
    int loadsBefore = p.facade->loads;
    int made = p.Call("aHang", &result);
    int64_t waited = (g_get_monotonic_time() - start) / 1000;
    Check(made == 0 && waited >= 1500 && waited < 8000,
          "a page function that never returns fails after the limit",
          std::to_string(waited) + " ms");
    Check(PumpUntil([&] { return p.facade->loads > loadsBefore; }) &&
              p.facade->GetReloadCount() == 1,
          "the hung page is reloaded once", std::to_string(p.facade->GetReloadCount()));
    p.facade->SetWaitLimit(SCRIPT_WAIT_LIMIT_MS);
    Check(p.Call("aInt", &result) == 1 && result.Value == 5, "the reloaded page answers");

    std::vector<int> pids = WebProcesses();
    Check(pids.size() >= 1, "the web process is found");
    loadsBefore = p.facade->loads;
    for (int pid : pids)
        kill(pid, SIGKILL);
    Check(PumpUntil([&] { return p.facade->loads > loadsBefore; }) &&
              p.facade->GetReloadCount() == 2,
          "a killed web process's page is reloaded", std::to_string(p.facade->GetReloadCount()));
    Check(p.Call("aInt", &result) == 1 && result.Value == 5, "the page answers after the crash");
}

// A stand-in for a web process on the facade's socket.
class FakePageProcess {
  public:
    explicit FakePageProcess(const std::string &path) {
        fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
        connected = connect(fd, (sockaddr *)&address, sizeof(address)) == 0;
    }
    ~FakePageProcess() { close(fd); }
    FakePageProcess(const FakePageProcess &) = delete;
    FakePageProcess &operator=(const FakePageProcess &) = delete;
    void Send(const BridgeMessage &message) {
        std::vector<std::vector<uint8_t>> chunks;
        Bridge_Encode(message, &chunks);
        for (const auto &chunk : chunks)
            send(fd, chunk.data(), chunk.size(), MSG_NOSIGNAL);
    }
    void SendRaw(const std::vector<uint8_t> &bytes) {
        send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    }
    // Runs the main context until a message or the end of the connection
    // arrives (5 s at most). 1 with a message, 0 closed, -1 nothing.
    int Receive(BridgeMessage *message) {
        int result = -1;
        std::vector<uint8_t> buffer(BRIDGE_HEADER_SIZE + BRIDGE_CHUNK_MAX);
        PumpUntil(
            [&] {
                ssize_t got = recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
                if (got == 0)
                    result = 0;
                if (got > 0 && reader.Feed(buffer.data(), (size_t)got) == BRIDGE_FEED_MESSAGE) {
                    *message = reader.Message();
                    result = 1;
                }
                return result != -1;
            },
            5);
        return result;
    }

    int fd = -1;
    bool connected = false;
    BridgeReader reader;
};

BridgeMessage OfType(uint8_t type, uint32_t id = 0, const std::string &name = "") {
    BridgeMessage message;
    message.Type = type;
    message.Id = id;
    message.Name = name;
    return message;
}

void Socket(Probe &p) {
    const std::string &path = p.facade->GetSocketPath();
    std::string folder = path.substr(0, path.rfind('/'));
    struct stat info {};
    Check(stat(folder.c_str(), &info) == 0 && (info.st_mode & 0777) == 0700,
          "the socket's folder is the user's alone");
    BridgeMessage message;
    std::string wrong = p.facade->GetToken();
    wrong[0] = wrong[0] == 'a' ? 'b' : 'a';
    int closed = 0;
    for (const BridgeMessage &first :
         {OfType(BRIDGE_HELLO, 0, wrong), OfType(BRIDGE_HELLO), OfType(BRIDGE_CALL)}) {
        FakePageProcess rogue(path);
        rogue.Send(first);
        closed += rogue.connected && rogue.Receive(&message) == 0;
    }
    Check(closed == 3 && p.log.Contains("connection closed: not the page's process"),
          "a process without the secret is shut out");
    FakePageProcess broken(path);
    broken.Send(OfType(BRIDGE_HELLO, 0, p.facade->GetToken()));
    broken.SendRaw({9, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0});
    Check(broken.Receive(&message) == 0 &&
              p.log.Contains("connection closed: unknown message type"),
          "a malformed frame closes its connection");
    FakePageProcess other(path);
    other.Send(OfType(BRIDGE_HELLO, 0, p.facade->GetToken()));
    BridgeMessage call = OfType(BRIDGE_CALL, 7);
    call.Code = BRIDGE_METHOD_BOOL;
    call.Values.resize(1);
    call.Values[0].Text = "yesFromElsewhere";
    other.Send(call);
    Check(other.Receive(&message) == 1 && message.Type == BRIDGE_ANSWER && message.Id == 7 &&
              message.Code == 0,
          "a call from a process that is not the view's live one answers false");
    BridgeMessage ready = OfType(BRIDGE_READY, 8, "file:///etc/passwd");
    ready.Number = (int64_t)webkit_web_view_get_page_id(p.view.view) + 1000;
    other.Send(ready);
    Check(other.Receive(&message) == 1 && message.Type == BRIDGE_ADMIT && message.Code == 0,
          "a document of another page is not admitted");
    other.Send(OfType(BRIDGE_INVOKE, 9, "f"));
    Check(other.Receive(&message) == 0 &&
              p.log.Contains("connection closed: message of the wrong direction"),
          "a message only the program sends closes the connection");
    ScriptResult result{};
    Check(p.Call("aInt", &result) == 1 && result.Value == 5, "the live page goes on answering");
}

void ShutdownAnswers(Probe &p) {
    p.facade->Shutdown();
    ScriptResult result{};
    Check(p.Call("aInt", &result) == 0, "no page function is called during shutdown");
    Check(Eval(p.view.view, "String(QTRLauncher.XRBLauncher_ReturnBool('yesLate'))") == "false" &&
              Eval(p.view.view, "QTRLauncher.XRBLauncher_ReturnString('x')") == "",
          "page calls during shutdown answer false and \"\"");
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: bridge_probe EXTENSION_FOLDER\n");
        return 2;
    }
    Zyl_Init("bridge_probe.log", ZYL_LOG_FORMAT_ALWAYS | ZYL_LOG_NO_MESSAGE_BOX);
    gtk_init(nullptr, nullptr);
    {
        Probe p;
        std::string skin = p.folder / "skin";
        g_mkdir_with_parents(skin.c_str(), 0700);
        testsupport::WriteFile(skin + "/index.html", Page("5"));
        testsupport::WriteFile(skin + "/v4.html", Page("4"));
        testsupport::WriteFile(skin + "/vtext.html", Page("'5'"));
        testsupport::WriteFile(skin + "/vnone.html", Page(""));
        testsupport::WriteFile(skin + "/frames.html",
                               Page("5", "<iframe src='inner.html'></iframe><script>"
                                         "addEventListener('message', function (e) {"
                                         " window.innerSeen = e.data; });</script>"));
        testsupport::WriteFile(
            skin + "/inner.html",
            "<script>parent.postMessage('inner:' + typeof QTRLauncher, '*');</script>");
        p.model = new ProbeModel(p.folder.path().c_str(), argv[1], &p.view);
        p.model->CreatePlatformObjects();
        p.facade = static_cast<ProbeFacade *>(p.model->GetScriptFacade());
        GtkWidget *window = gtk_offscreen_window_new();
        p.view.view = WEBKIT_WEB_VIEW(webkit_web_view_new());
        // Pages may open windows without a click, so the new-window rule is reached.
        webkit_settings_set_javascript_can_open_windows_automatically(
            webkit_web_view_get_settings(p.view.view), TRUE);
        gtk_container_add(GTK_CONTAINER(window), GTK_WIDGET(p.view.view));
        gtk_widget_show_all(window);
        p.facade->AttachView(p.view.view);
        Check(p.facade->Initialize() == 1, "the bridge's socket is open");

        FirstScriptAndVersion(p);
        ArgumentShapes(p);
        AnswerTypes(p);
        Reentrancy(p);
        Dialogs(p);
        PageFunctions(p);
        FramesAndOrigins(p);
        VersionCheck(p);
        HangAndCrash(p);
        Socket(p);
        ShutdownAnswers(p);

        std::string socketFolder = p.facade->GetSocketPath();
        socketFolder.resize(socketFolder.rfind('/'));
        delete p.model;
        struct stat info {};
        Check(stat(socketFolder.c_str(), &info) != 0, "the socket's folder goes with the facade");
        gtk_widget_destroy(window);
    }
    std::printf("%d passed, %d failed\n", g_passed, g_failed);
    return g_failed == 0 ? 0 : 1;
}
