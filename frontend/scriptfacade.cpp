// The browser-independent half of the facade: navigation, the version check,
// and the four receive operations of the page's scripting object.
#include "frontend/scriptfacade.h"

#include "core/zyl.h"
#include "frontend/frontendlog.h"
#include "frontend/launchermodel.h"
#include "frontend/launcherview.h"
#include "frontend/scriptresponder.h"
#include "patcher/launcherlib.h"

#include <string>

ScriptFacade::ScriptFacade(CLauncherModelScriptable *model)
    : Model(model), Responder(new ScriptResponder(this)) {}

ScriptFacade::~ScriptFacade() {
    delete Responder;
}

int ScriptFacade::Initialize() {
    return 1;
}

int ScriptFacade::OnDocumentComplete() {
    if (VersionChecked == 0) {
        VersionChecked = 1;
        CheckVersion();
    }
    return 1;
}

int ScriptFacade::CheckVersion() {
    ScriptResult result{};
    char text[SCRIPT_ANSWER_SIZE];
    if (ExecuteWithResult("__Launcher_getVersion", nullptr, 0, &result) == 1) {
        if (result.Type == SCRIPT_VALUE_INT && result.Value == SCRIPT_PAGE_VERSION)
            return 1;
        Zyl_FormatString(text, sizeof(text), "ScriptFacade version mismatch [%d/%d]", result.Value,
                         (int)SCRIPT_PAGE_VERSION);
    } else {
        Zyl_StrCopy(text, "Unable to test version", sizeof(text));
    }
    Frontend_Log(FRONTEND_LOG_WARNING, "%s", text);
    char date[320] = "";
    LauncherLib_FormatDate(date);
    Model->OnFatalError(SCRIPT_ERROR_VERSION, date, text);
    return 0;
}

int ScriptFacade::Navigate(const char *address, int external) {
    std::string composed;
    if (Zyl_StrStartsWithNoCase(address, "http://") ||
        Zyl_StrStartsWithNoCase(address, "https://")) {
        composed = address;
    } else {
        char folder[320] = "";
        Model->GetWorkingDirectory(folder, sizeof(folder));
        composed = std::string(folder) + address;
    }
    if (composed.size() > SCRIPT_ADDRESS_MAX) {
        Frontend_Log(FRONTEND_LOG_WARNING, "ScriptFacade::Navigate() address too long [%.64s...]",
                     address);
        return 0;
    }
    if (external == 1)
        return Model->OpenExternalUrl(address);
    ILauncherView *view = Model->GetView();
    if (view != nullptr)
        view->Navigate(composed.c_str());
    return 1;
}

int ScriptFacade::ReceiveScriptBool(const ScriptEvent *event) {
    if (Model->SendInteropEvent(event) == 1)
        return 1;
    if (Responder->HandleBoolEvent(event) == 1)
        return 1;
    Frontend_Log(FRONTEND_LOG_WARNING, "Unhandled event [%s]", event->Name);
    return 0;
}

int ScriptFacade::ReceiveScriptString(const ScriptEvent *event, char *answer, int size) {
    if (size > 0)
        answer[0] = 0;
    if (Responder->HandleStringEvent(event, answer, size) == 1)
        return 1;
    Frontend_Log(FRONTEND_LOG_WARNING, "Unhandled event [%s]", event->Name);
    return 0;
}

int ScriptFacade::ReceiveScriptSettings(const ScriptEvent *event, char *answer, int size) {
    if (size > 0)
        answer[0] = 0;
    if (!Zyl_StrEqual(event->Name, "getSettings")) {
        Frontend_Log(FRONTEND_LOG_WARNING, "Unhandled event [%s]", event->Name);
        return 0;
    }
    const CSettings &s = Model->GetSettings();
    Zyl_FormatString(answer, size, "%d:%d:%d:%I64d:%I64d", s.P2PEnabled, s.WebEnabled,
                     s.RateLimitEnabled, s.RateLimitUp, s.RateLimitDown);
    return 1;
}

int ScriptFacade::ReceiveScriptPackageOptions(const ScriptEvent *event, char *answer, int size) {
    if (size > 0)
        answer[0] = 0;
    if (event->Count != 1) {
        Frontend_Log(FRONTEND_LOG_WARNING,
                     "ScriptFacade::ReceiveScriptPackageOptions() incorrect # parameters %s()",
                     event->Name);
        return 0;
    }
    typedef int (*Getter)(const char *, PackageOptions *);
    Getter getter = nullptr;
    if (Zyl_StrEqual(event->Name, "getDownloadOptions"))
        getter = LauncherLib_GetDownloadOptions;
    else if (Zyl_StrEqual(event->Name, "getPackageOptions"))
        getter = LauncherLib_GetPackageOptions;
    else if (Zyl_StrEqual(event->Name, "getPackageListOptions"))
        getter = LauncherLib_GetPackageListOptions;
    if (getter == nullptr) {
        Frontend_Log(FRONTEND_LOG_WARNING, "Unhandled event [%s]", event->Name);
        return 0;
    }
    if (Model->IsEngineRunning() != 1)
        return 0;
    PackageOptions options{};
    getter(ScriptParameter_Text(&event->Parameters[0]), &options);
    Zyl_FormatString(answer, size, "%d:%d", options.PeerToPeer, options.Web);
    return 1;
}
