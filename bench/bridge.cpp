// The page bridge against WebKit's own calls into the page, on one view under
// Xvfb, same run, best of five rounds each, interleaved:
//   call:   10,000 page calls of ReturnBool timed in the page, against 10,000
//           webkit_web_view_evaluate_javascript round trips timed in the program;
//   invoke: 10,000 calls of a 21-argument page function until the page has
//           counted them, against webkit_web_view_call_async_javascript_function
//           doing the same. Both from the program's first send to the page's count.
// Usage: bench_bridge call|invoke EXTENSION_FOLDER. Prints "OURS REFERENCE" in
// nanoseconds per call; exits 1 when a side did not complete its calls.
#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

#include "core/oshelper.h"
#include "core/zyl.h"
#include "frontend/scriptfacadewebkit.h"

namespace {

const int kCalls = 10000;
const int kRounds = 5;

gboolean WakeUp(gpointer) {
    return G_SOURCE_CONTINUE;
}

template <typename Done> bool PumpUntil(Done done, int seconds = 120) {
    int64_t end = g_get_monotonic_time() + (int64_t)seconds * 1000000;
    guint timer = g_timeout_add(50, WakeUp, nullptr);
    while (!done() && g_get_monotonic_time() < end)
        g_main_context_iteration(nullptr, TRUE);
    g_source_remove(timer);
    return done();
}

// Answers every page call true at once (no command table: the bridge alone is
// measured); "done" marks the end of an invocation round.
class BenchFacade : public ScriptFacadeWebKit {
  public:
    explicit BenchFacade(const char *extensions) : ScriptFacadeWebKit(nullptr, extensions) {}
    int ReceiveScriptBool(const ScriptEvent *event) override {
        if (std::strcmp(event->Name, "done") == 0)
            done = 1;
        return 1;
    }
    void OnLoadFinished() override { loads++; }
    int loads = 0;
    int done = 0;
};

const char kPage[] = R"(<!DOCTYPE html><html><head><script>
function benchCalls(n) {
  var start = performance.now(), yes = 0;
  for (var i = 0; i < n; i++) yes += QTRLauncher.XRBLauncher_ReturnBool('ping', 'int:1') ? 1 : 0;
  var elapsed = performance.now() - start;
  return yes === n ? Math.round(elapsed * 1000) : -1;
}
var counted = 0, target = 0;
function reset(n) { counted = 0; target = n; return 1; }
function __Patcher_reportpackageListStatus() {
  if (arguments.length === 21) counted++;
  if (counted === target) QTRLauncher.XRBLauncher_ReturnBool('done');
}
</script></head><body></body></html>)";

struct Round {
    int Pending = 0;
    int Failed = 0;
};

// 10,000 evaluate_javascript round trips, one after the other. Nanoseconds per call.
double EvaluateRound(WebKitWebView *view) {
    Round round;
    int64_t start = g_get_monotonic_time();
    for (int i = 0; i < kCalls; i++) {
        round.Pending = 1;
        webkit_web_view_evaluate_javascript(
            view, "1", -1, nullptr, nullptr, nullptr,
            [](GObject *object, GAsyncResult *result, gpointer data) {
                auto *r = static_cast<Round *>(data);
                JSCValue *value = webkit_web_view_evaluate_javascript_finish(
                    WEBKIT_WEB_VIEW(object), result, nullptr);
                r->Failed |= value == nullptr;
                if (value != nullptr)
                    g_object_unref(value);
                r->Pending = 0;
            },
            &round);
        while (round.Pending)
            g_main_context_iteration(nullptr, TRUE);
    }
    if (round.Failed)
        return -1;
    return (double)(g_get_monotonic_time() - start) * 1000.0 / kCalls;
}

// The page's own timing of 10,000 ReturnBool calls. Nanoseconds per call.
double CallRound(BenchFacade *facade) {
    ScriptArgument count{};
    count.Type = SCRIPT_VALUE_INT;
    count.Value.Int = kCalls;
    ScriptResult result{};
    if (facade->ExecuteWithResult("benchCalls", &count, 1, &result) != 1 || result.Value <= 0)
        return -1;
    return (double)result.Value * 1000.0 / kCalls;
}

// The status record's 21 arguments as the model passes them.
void StatusArguments(ScriptArgument *arguments) {
    static const char *const kTexts[] = {"list", "game", "current", "target"};
    const int types[21] = {0, 0, 1, 1, 0, 1, 0, 1, 1, 1, 4, 3, 3, 3, 3, 3, 2, 2, 2, 3, 3};
    int text = 0;
    for (int i = 0; i < 21; i++) {
        arguments[i] = ScriptArgument{};
        arguments[i].Type = types[i];
        if (types[i] == SCRIPT_VALUE_STRING)
            arguments[i].Value.Text = kTexts[text++ % 4];
        else if (types[i] == SCRIPT_VALUE_DOUBLE)
            arguments[i].Value.Double = 1234.5;
        else if (types[i] == SCRIPT_VALUE_NUMERIC)
            arguments[i].Value.Numeric = 123456789012LL;
        else
            arguments[i].Value.Int = i;
    }
}

int ResetCount(BenchFacade *facade) {
    ScriptArgument n{};
    n.Type = SCRIPT_VALUE_INT;
    n.Value.Int = kCalls;
    ScriptResult result{};
    facade->done = 0;
    return facade->ExecuteWithResult("reset", &n, 1, &result);
}

double InvokeRound(BenchFacade *facade) {
    ScriptArgument arguments[21];
    StatusArguments(arguments);
    if (ResetCount(facade) != 1)
        return -1;
    int64_t start = g_get_monotonic_time();
    for (int i = 0; i < kCalls; i++)
        facade->ExecuteNoResult("__Patcher_reportpackageListStatus", arguments, 21);
    if (!PumpUntil([&] { return facade->done == 1; }))
        return -1;
    return (double)(g_get_monotonic_time() - start) * 1000.0 / kCalls;
}

// The same 21 values as WebKit's call arguments (names a0..a20).
GVariant *StatusVariant() {
    ScriptArgument arguments[21];
    StatusArguments(arguments);
    GVariantBuilder builder;
    g_variant_builder_init(&builder, G_VARIANT_TYPE("a{sv}"));
    for (int i = 0; i < 21; i++) {
        char key[8];
        Zyl_FormatString(key, sizeof(key), "a%d", i);
        const ScriptArgument &a = arguments[i];
        GVariant *value = a.Type == SCRIPT_VALUE_STRING   ? g_variant_new_string(a.Value.Text)
                          : a.Type == SCRIPT_VALUE_DOUBLE ? g_variant_new_double(a.Value.Double)
                          : a.Type == SCRIPT_VALUE_NUMERIC
                              ? g_variant_new_string(std::to_string(a.Value.Numeric).c_str())
                          : a.Type == SCRIPT_VALUE_BOOL ? g_variant_new_string("TRUE")
                                                        : g_variant_new_int32(a.Value.Int);
        g_variant_builder_add(&builder, "{sv}", key, value);
    }
    return g_variant_ref_sink(g_variant_builder_end(&builder));
}

double AsyncFunctionRound(BenchFacade *facade, WebKitWebView *view, GVariant *values) {
    static const char kBody[] =
        "__Patcher_reportpackageListStatus(a0, a1, a2, a3, a4, a5, a6, a7, a8, a9, a10, a11, a12, "
        "a13, a14, a15, a16, a17, a18, a19, a20); return 1;";
    if (ResetCount(facade) != 1)
        return -1;
    Round round;
    round.Pending = kCalls;
    int64_t start = g_get_monotonic_time();
    for (int i = 0; i < kCalls; i++) {
        webkit_web_view_call_async_javascript_function(
            view, kBody, -1, values, nullptr, nullptr, nullptr,
            [](GObject *object, GAsyncResult *result, gpointer data) {
                auto *r = static_cast<Round *>(data);
                JSCValue *value = webkit_web_view_call_async_javascript_function_finish(
                    WEBKIT_WEB_VIEW(object), result, nullptr);
                r->Failed |= value == nullptr;
                if (value != nullptr)
                    g_object_unref(value);
                r->Pending--;
            },
            &round);
    }
    if (!PumpUntil([&] { return facade->done == 1 && round.Pending == 0; }) || round.Failed)
        return -1;
    return (double)(g_get_monotonic_time() - start) * 1000.0 / kCalls;
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 3 || (std::strcmp(argv[1], "call") != 0 && std::strcmp(argv[1], "invoke") != 0)) {
        std::fprintf(stderr, "usage: bench_bridge call|invoke EXTENSION_FOLDER\n");
        return 2;
    }
    Zyl_Init("bench.log", ZYL_LOG_NO_MESSAGE_BOX);
    gtk_init(nullptr, nullptr);
    char folder[1024] = "";
    Zyl_GetModuleDirectory(folder, sizeof(folder));
    std::string pageFolder = std::string(folder) + "/bridge_page";
    g_mkdir_with_parents(pageFolder.c_str(), 0700);
    if (!g_file_set_contents((pageFolder + "/index.html").c_str(), kPage, -1, nullptr)) {
        std::fprintf(stderr, "bench_bridge: cannot write the page\n");
        return 1;
    }
    auto *facade = new BenchFacade(argv[2]);
    GtkWidget *window = gtk_offscreen_window_new();
    WebKitWebView *view = WEBKIT_WEB_VIEW(webkit_web_view_new());
    gtk_container_add(GTK_CONTAINER(window), GTK_WIDGET(view));
    gtk_widget_show_all(window);
    facade->AttachView(view);
    int status = 1;
    if (facade->Initialize() == 1 && facade->Navigate("bridge_page/index.html", 0) == 1 &&
        PumpUntil([&] { return facade->loads > 0; }, 60)) {
        int call = std::strcmp(argv[1], "call") == 0;
        GVariant *values = StatusVariant();
        double ours = 1e300, reference = 1e300;
        int failed = 0;
        for (int round = 0; round < kRounds && !failed; round++) {
            double o = call ? CallRound(facade) : InvokeRound(facade);
            double r = call ? EvaluateRound(view) : AsyncFunctionRound(facade, view, values);
            failed = o <= 0 || r <= 0;
            ours = std::min(ours, o);
            reference = std::min(reference, r);
        }
        g_variant_unref(values);
        if (!failed) {
            std::printf("%.1f %.1f\n", ours, reference);
            status = 0;
        } else {
            std::fprintf(stderr, "bench_bridge %s: a round did not complete its calls\n", argv[1]);
        }
    } else {
        std::fprintf(stderr, "bench_bridge: the page did not load\n");
    }
    delete facade;
    gtk_widget_destroy(window);
    return status;
}
