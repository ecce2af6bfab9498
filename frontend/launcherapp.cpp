// Start-up and shutdown of `portico`. The single-instance check runs right after
// the configuration is read and before the engine starts, so a second start
// writes nothing, starts nothing and only brings the first window forward.
#include "frontend/launcherapp.h"

#include "core/oshelper.h"
#include "core/zyl.h"
#include "frontend/config.h"
#include "frontend/dialogs.h"
#include "frontend/frontendlog.h"
#include "frontend/gtkhooks.h"
#include "frontend/launchermodelgtk.h"
#include "frontend/launcherwindow.h"
#include "frontend/scriptfacadewebkit.h"
#include "patcher/launcherlib.h"
#include "platform/crashdump.h"

#include <unistd.h>

namespace {

// The model of the program: the page's facade is the WebKit one, its
// extension in "webext" beside the program.
class CLauncherModelApp : public CLauncherModelGtk {
  public:
    explicit CLauncherModelApp(const char *programFolder) : CLauncherModelGtk(programFolder) {}
    ScriptFacade *CreateScriptFacade() override { return new ScriptFacadeWebKit(this); }
};

} // namespace

CLauncherApp::CLauncherApp(const char *programFolder) {
    char folder[CONFIG_TEXT_SIZE] = "";
    if (programFolder != nullptr && programFolder[0] != 0)
        Zyl_StrCopy(folder, programFolder, sizeof(folder));
    else
        Zyl_GetModuleDirectory(folder, sizeof(folder));
    Folder = folder;
    if (Folder.empty() || Folder.back() != '/')
        Folder += '/';
}

CLauncherApp::~CLauncherApp() {
    Shutdown();
}

void CLauncherApp::ShowError(const char *text) {
    // Before the engine starts the log is off: standard error keeps the reason.
    Frontend_Log(FRONTEND_LOG_WARNING, "%s", text);
    g_printerr("portico: %s\n", text);
    Zyl_MessageBox(View != nullptr ? View->GetWindow() : nullptr, text,
                   Model != nullptr ? Model->GetConfig().AppName : "portico");
}

int CLauncherApp::Run(int argc, char **argv) {
    // X11 first (XWayland under Wayland): the window's shape needs it.
    gdk_set_allowed_backends("x11,*");
    if (!gtk_init_check(&argc, &argv)) {
        Frontend_Log(FRONTEND_LOG_WARNING, "portico: cannot open a display");
        return APP_EXIT_NO_DISPLAY;
    }
    GtkHooks_Install(nullptr);
    int result = Start();
    if (result == APP_EXIT_OK && View != nullptr)
        View->RunLoop();
    Shutdown();
    return result;
}

int CLauncherApp::Start() {
    std::string name = CLanguageModule::FileNameFor(LanguageCode.c_str());
    if (Language.Load((Folder + name).c_str()) != 1) {
        char text[CONFIG_TEXT_SIZE + 64];
        Zyl_FormatString(text, sizeof(text), "Unable to load language module [%s]\n", name.c_str());
        ShowError(text);
        return APP_EXIT_REFUSED;
    }
    CConfig config;
    if (config.Read((Folder + "launcher.config.xml").c_str()) != 1) {
        ShowError(Language.Get(LANGUAGE_STRING_START_FAILED));
        return APP_EXIT_REFUSED;
    }
    CrashDump_SetType(config.MiniDumpType);
    if (LauncherLib_CheckSingleInstance(config.AppName) == 1) {
        Frontend_Log(FRONTEND_LOG_INFO, "portico: [%s] runs already; brought forward",
                     config.AppName);
        return APP_EXIT_OK;
    }
    if (access(Folder.c_str(), W_OK) != 0) {
        ShowError(Language.Get(LANGUAGE_STRING_NO_RIGHTS));
        return APP_EXIT_REFUSED;
    }

    // The facade sets up the web context before the first web view exists.
    Model = new CLauncherModelApp(Folder.c_str());
    Model->CreatePlatformObjects();
    View = new CLauncherView(Language);
    GtkHooks_SetOwner(View->GetWindow());
    View->SetModel(Model);
    if (Model->GetScriptFacade() != nullptr)
        static_cast<ScriptFacadeWebKit *>(Model->GetScriptFacade())->AttachView(View->GetWebView());
    Model->AddMacro("{LANG_CODE}", LanguageCode.c_str());
    Model->AddMacro("{LANG_ENVSTRING_1}", Language.Get(LANGUAGE_STRING_ENV_1));
    Model->AddMacro("{LANG_ENVSTRING_2}", Language.Get(LANGUAGE_STRING_ENV_2));
    if (Model->Initialize(View) != 1) {
        ShowError(Language.Get(LANGUAGE_STRING_START_FAILED));
        return APP_EXIT_REFUSED;
    }
    if (Model->GetScriptFacade() == nullptr) {
        // No page bridge: the page is shown as it is.
        char url[MODEL_MACRO_TEXT_SIZE];
        Zyl_StrCopy(url, Model->GetConfig().LayoutUrl, sizeof(url));
        Model->ExpandMacros(url);
        if (Zyl_StrStartsWithNoCase(url, "http://") || Zyl_StrStartsWithNoCase(url, "https://"))
            View->Navigate(url);
        else if (url[0] != 0)
            View->Navigate((Folder + url).c_str());
    }
    gtk_window_set_title(View->GetWindow(), Model->GetConfig().AppName);
    View->WatchInstanceSocket();
    if (RunEulaGate() != 1)
        return APP_EXIT_REFUSED;
    ApplySkin();
    Model->Start();
    View->StartTimer();
    gtk_widget_show(GTK_WIDGET(View->GetWindow()));
    return APP_EXIT_OK;
}

int CLauncherApp::RunEulaGate() {
    const CConfig &config = Model->GetConfig();
    if (config.DisplayEULA != 1 || Model->GetSettings().EULAAccepted != 0)
        return 1;
    std::string name = "eula-" + LanguageCode + ".txt";
    std::string path = Folder + name;
    if (access(path.c_str(), R_OK) != 0) {
        // Without the agreement it could never be accepted.
        char text[CONFIG_TEXT_SIZE + 64];
        Zyl_FormatString(text, sizeof(text), "Unable to read the licence agreement [%s]",
                         name.c_str());
        ShowError(text);
        View->Close();
        return 0;
    }
    CEULADlg dialog(nullptr, Language);
    dialog.LoadAgreement(path.c_str());
    if (dialog.Run() != 1) {
        Frontend_Log(FRONTEND_LOG_INFO, "portico: licence agreement declined");
        View->Close();
        return 0;
    }
    CSettings settings = Model->GetSettings();
    settings.EULAAccepted = 1;
    Model->SetSettings(settings);
    return 1;
}

void CLauncherApp::ApplySkin() {
    const CConfig &config = Model->GetConfig();
    View->SetMinimizeToTray(config.MinimizeToTray);
    View->SetWindowSize(config.LayoutWidth, config.LayoutHeight);
    if (config.FrameBitmap[0] == 0)
        return;
    char path[CONFIG_TEXT_SIZE];
    Zyl_StrCopy(path, config.FrameBitmap, sizeof(path));
    Frontend_SlashPath(path);
    std::string full = path[0] == '/' ? std::string(path) : Folder + path;
    View->SetRegionEnabled(1);
    View->SetTransparencyColor(config.TransparencyColor[0], config.TransparencyColor[1],
                               config.TransparencyColor[2]);
    View->LoadBitmap(full.c_str());
}

void CLauncherApp::Shutdown() {
    if (View != nullptr)
        View->StopTimer();
    Language.Free();
    if (Model != nullptr) {
        Model->Shutdown();
        delete Model;
    }
    Model = nullptr;
    delete View;
    View = nullptr;
    GtkHooks_Remove();
}
