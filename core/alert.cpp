// The process-wide Alert log: one record holding the print callback and the
// maximum level. Logging may come from any thread; the record's fields are
// atomics, set at start-up and read on every message.
#include "core/alert.h"

#include "core/zyl.h"

#include <atomic>
#include <climits>
#include <cstdarg>

static const char kAlertTag[] = "AlertStruct";

enum { kAlertBufferSize = 1024, kAlertFormatSize = 1023 };

struct AlertStruct {
    const char *Tag;
    std::atomic<AlertPrinter> Printer;
    std::atomic<int> MaxLevel; // messages above it are dropped
};

static std::atomic<AlertStruct *> gAlert{nullptr};

// The default printer: Zyl_Print of "++++ %s\n" (kind 1), "**** %s\n" (kind 2)
// or "%s\n" (other kinds).
static void Alert_DefaultPrinter(int kind, int level, const char *text) {
    (void)level;
    if (kind == ALERT_KIND_NOTICE) {
        Zyl_Print("++++ %s\n", text);
    } else if (kind == ALERT_KIND_ERROR) {
        Zyl_Print("**** %s\n", text);
    } else {
        Zyl_Print("%s\n", text);
    }
}

int Alert_Create(void) {
    if (gAlert.load() != nullptr) {
        ZYL_FATAL("Alert_Create() alert log already exists\n");
    }
    AlertStruct *alert = ZYL_NEW(AlertStruct);
    alert->Tag = kAlertTag;
    alert->Printer.store(Alert_DefaultPrinter);
    alert->MaxLevel.store(INT_MAX);
    gAlert.store(alert);
    return 1;
}

int Alert_Destroy(void) {
    AlertStruct *alert = gAlert.exchange(nullptr);
    ZYL_CHECK_TAG(alert, kAlertTag);
    alert->Tag = Zyl_DeadTag;
    ZYL_FREE(alert, sizeof(AlertStruct));
    return 1;
}

int Alert_SetPrinter(AlertPrinter printer) {
    AlertStruct *alert = gAlert.load();
    ZYL_CHECK_TAG(alert, kAlertTag);
    alert->Printer.store(printer ? printer : Alert_DefaultPrinter);
    return 1;
}

int Alert_SetMaxLevel(int level) {
    AlertStruct *alert = gAlert.load();
    ZYL_CHECK_TAG(alert, kAlertTag);
    alert->MaxLevel.store(level);
    return 1;
}

int(Alert_Log)(int kind, int level, const char *format, ...) {
    ZYL_CHECK_PTR(format);
    AlertStruct *alert = gAlert.load();
    if (alert == nullptr || level > alert->MaxLevel.load()) {
        return 0;
    }
    ZYL_CHECK_TAG(alert, kAlertTag);
    char text[kAlertBufferSize];
    va_list args;
    va_start(args, format);
    int length = Zyl_FormatStringV(text, kAlertFormatSize, format, args);
    va_end(args);
    AlertPrinter printer = alert->Printer.load();
    if (printer) {
        printer(kind, level, text);
    }
    return length;
}
