// The command table of the page's boolean and string calls. Each command names
// its parameter types; a wrong count or type is logged and answered 1 so the
// page's script goes on. Commands that reach the engine answer 0 once the
// engine is gone or a close was asked for.
#include "frontend/scriptresponder.h"

#include "core/cgi.h"
#include "core/zyl.h"
#include "frontend/frontendlog.h"
#include "frontend/launchermodel.h"
#include "frontend/launcherview.h"
#include "frontend/scriptfacade.h"
#include "patcher/launcherlib.h"

#include <cstdint>

const char *ScriptParameter_Text(const ScriptParameter *parameter) {
    return parameter->Type == SCRIPT_VALUE_STRING ? parameter->Value.Text : "";
}

namespace {

enum { kCommandLineSize = 320 };

// What a command is given: the facade, its model and the event's parameters.
struct Call {
    ScriptFacade *Facade;
    CLauncherModelScriptable *Model;
    const ScriptEvent *Event;

    const char *S(int i) const { return ScriptParameter_Text(&Event->Parameters[i]); }
    int32_t B(int i) const { return Event->Parameters[i].Value.Bool; }
    int32_t I(int i) const { return Event->Parameters[i].Value.Int; }
    ILauncherView *View() const { return Model->GetView(); }
};

// Defaults with the peer-to-peer and web switches from parameters p and w.
PackageOptions OptionsFrom(const Call &c, int p, int w) {
    PackageOptions options;
    LauncherLib_InitPackageOptions(&options);
    options.PeerToPeer = c.B(p);
    options.Web = c.B(w);
    return options;
}

int64_t Rate(const char *text) {
    uint64_t value = Frontend_ParseUInt64(text);
    return value > (uint64_t)INT64_MAX ? INT64_MAX : (int64_t)value;
}

int SetSettings(const Call &c) {
    const CConfig &config = c.Model->GetConfig();
    CSettings settings = c.Model->GetSettings();
    settings.P2PEnabled = c.B(0);
    settings.WebEnabled = c.B(1);
    settings.RateLimitEnabled = c.B(2);
    settings.RateLimitUp = Rate(c.S(3));
    settings.RateLimitDown = Rate(c.S(4));
    settings.OptionalPatchDownload = config.OptionalPatchDownloadDefault;
    settings.Clamp(config);
    c.Model->SetSettings(settings);
    return 1;
}

int LaunchProcess(const Call &c) {
    char commandLine[kCommandLineSize] = "";
    Cgi_UrlDecode(c.S(0), commandLine, sizeof(commandLine), 0);
    return c.Model->LaunchProcess(commandLine, c.B(1));
}

int SendLog(const Call &c) {
    Frontend_Log(FRONTEND_LOG_INFO, "%s", c.S(0));
    return 1;
}

int SendError(const Call &c) {
    if (LauncherLib_IsInitialized() == 1)
        LauncherLib_ReportError(c.I(0), "%s", c.S(1));
    else
        Frontend_Log(FRONTEND_LOG_WARNING, "Error %d: %s", c.I(0), c.S(1));
    return 1;
}

int GetActive(int (*getter)(const char *, int32_t *), const char *name) {
    int32_t active = 0;
    return getter(name, &active) == 1 && active != 0;
}

int SetPackageListOptions(const Call &c) {
    PackageOptions options;
    if (LauncherLib_GetPackageListOptions(c.S(0), &options) != 1)
        return 0;
    options.PeerToPeer = c.B(1);
    options.Web = c.B(2);
    return LauncherLib_SetPackageListOptions(c.S(0), &options);
}

// A command: its exact name, its parameter types ('s' string, 'b' bool, 'i'
// int, or "*" for any parameters at all), whether it reaches the engine's
// tables, and its work.
struct Command {
    const char *Name;
    const char *Types;
    int Engine;
    int (*Run)(const Call &c);
};

const Command kCommands[] = {
    {"setSettings", "bbbss", 1, SetSettings},
    {"launchProcess", "sb", 0, LaunchProcess},
    {"play", "", 1, [](const Call &c) { return c.Model->Play(), 1; }},
    {"setWindowSize", "ii", 0,
     [](const Call &c) { return c.View() ? c.View()->SetWindowSize(c.I(0), c.I(1)), 1 : 1; }},
    {"sendInteropEvent", "*", 0,
     [](const Call &c) { return c.Model->SendInteropEvent(c.Event), 1; }},
    {"sendAnalyticsEvent", "i", 0,
     [](const Call &) { return Frontend_Log(FRONTEND_LOG_WARNING, "Unimplemented"), 1; }},
    {"sendLog", "s", 0, SendLog},
    {"sendError", "is", 0, SendError},
    {"beginMoveWindow", "", 0,
     [](const Call &c) { return c.View() ? c.View()->BeginMoveWindow(), 1 : 1; }},
    {"minimize", "", 0, [](const Call &c) { return c.View() ? c.View()->Minimize(), 1 : 1; }},
    {"close", "", 0, [](const Call &c) { return c.View() ? c.View()->Close(), 1 : 1; }},
    {"navigate", "sb", 0, [](const Call &c) { return c.Facade->Navigate(c.S(0), c.B(1)), 1; }},
    {"openNativeLogPage", "", 0,
     [](const Call &c) { return c.View() ? c.View()->OpenNativeLogPage(), 1 : 1; }},
    {"addDownload", "ssss", 1,
     [](const Call &c) {
         return LauncherLib_AddDownload(c.S(0), c.S(1), c.S(2), c.S(3), nullptr);
     }},
    {"addDownloadOptions", "ssssbb", 1,
     [](const Call &c) {
         PackageOptions options = OptionsFrom(c, 4, 5);
         return LauncherLib_AddDownload(c.S(0), c.S(1), c.S(2), c.S(3), &options);
     }},
    {"removeDownload", "s", 1, [](const Call &c) { return LauncherLib_RemoveDownload(c.S(0)); }},
    {"setDownloadOptions", "sbb", 1,
     [](const Call &c) {
         PackageOptions options = OptionsFrom(c, 1, 2);
         return LauncherLib_SetDownloadOptions(c.S(0), &options);
     }},
    {"getDownloadActive", "s", 1,
     [](const Call &c) { return GetActive(LauncherLib_GetDownloadActive, c.S(0)); }},
    {"setDownloadActive", "sb", 1,
     [](const Call &c) { return LauncherLib_SetDownloadActive(c.S(0), c.B(1)); }},
    {"addPackage", "sss", 1,
     [](const Call &c) { return LauncherLib_AddPackage(c.S(0), c.S(1), c.S(2), nullptr); }},
    {"addPackageOptions", "sssbb", 1,
     [](const Call &c) {
         PackageOptions options = OptionsFrom(c, 3, 4);
         return LauncherLib_AddPackage(c.S(0), c.S(1), c.S(2), &options);
     }},
    {"removePackage", "s", 1, [](const Call &c) { return LauncherLib_RemovePackage(c.S(0)); }},
    {"setPackageOptions", "sbb", 1,
     [](const Call &c) {
         PackageOptions options = OptionsFrom(c, 1, 2);
         return LauncherLib_SetPackageOptions(c.S(0), &options);
     }},
    {"getPackageActive", "s", 1,
     [](const Call &c) { return GetActive(LauncherLib_GetPackageActive, c.S(0)); }},
    {"setPackageActive", "sb", 1,
     [](const Call &c) { return LauncherLib_SetPackageActive(c.S(0), c.B(1)); }},
    // A list is known by its address, which is also its name.
    {"addPackageList", "ss", 1,
     [](const Call &c) { return LauncherLib_AddPackageList(c.S(1), c.S(1), nullptr); }},
    {"addPackageListOptions", "ssbb", 1,
     [](const Call &c) {
         PackageOptions options = OptionsFrom(c, 2, 3);
         return LauncherLib_AddPackageList(c.S(1), c.S(1), &options);
     }},
    {"removePackageList", "s", 1,
     [](const Call &c) { return LauncherLib_RemovePackageList(c.S(0)); }},
    {"setPackageListOptions", "sbb", 1, SetPackageListOptions},
    {"getPackageListActive", "s", 1,
     [](const Call &c) { return GetActive(LauncherLib_GetPackageListActive, c.S(0)); }},
    {"setPackageListActive", "sb", 1,
     [](const Call &c) { return LauncherLib_SetPackageListActive(c.S(0), c.B(1)); }},
};

ScriptValueType TypeOf(char code) {
    return code == 'b' ? SCRIPT_VALUE_BOOL : code == 'i' ? SCRIPT_VALUE_INT : SCRIPT_VALUE_STRING;
}

// 1 when the event's parameters fit command; else logs why and gives 0.
int CheckParameters(const Command &command, const ScriptEvent *event) {
    if (command.Types[0] == '*')
        return 1;
    if (event->Count != Zyl_StrLen(command.Types)) {
        Frontend_Log(FRONTEND_LOG_WARNING, "ScriptResponder:: incorrect # parameters %s()",
                     command.Name);
        return 0;
    }
    for (int i = 0; i < event->Count; i++) {
        if (event->Parameters[i].Type != TypeOf(command.Types[i])) {
            Frontend_Log(FRONTEND_LOG_WARNING, "ScriptResponder:: incorrect parameters (%d)", i);
            return 0;
        }
    }
    return 1;
}

} // namespace

int ScriptResponder::HandleBoolEvent(const ScriptEvent *event) {
    for (const Command &command : kCommands) {
        if (!Zyl_StrEqual(event->Name, command.Name))
            continue;
        if (CheckParameters(command, event) != 1)
            return 1;
        CLauncherModelScriptable *model = Facade->GetModel();
        if (command.Engine && model->IsEngineRunning() != 1)
            return 0;
        Call call = {Facade, model, event};
        return command.Run(call) == 1 ? 1 : 0;
    }
    return 0;
}

int ScriptResponder::HandleStringEvent(const ScriptEvent *event, char *answer, int size) {
    if (!Zyl_StrEqual(event->Name, "openNativeDirectoryBrowserPage"))
        return 0;
    if (event->Count != 1) {
        Frontend_Log(FRONTEND_LOG_WARNING,
                     "ScriptResponder:: incorrect # parameters openNativeDirectoryBrowserPage()");
        return 1;
    }
    ILauncherView *view = Facade->GetModel()->GetView();
    if (view != nullptr)
        view->OpenNativeDirectoryBrowserPage(ScriptParameter_Text(&event->Parameters[0]), answer,
                                             size);
    return 1;
}
