// The program `portico`: start-up in a fixed order (crash dumps, display,
// language strings, configuration, one instance, rights, model and engine,
// licence agreement, skin, timer), the main loop, and shutdown once the loop
// has ended. Every start-up refusal shows its message and ends the program
// without leaving a window behind.
#pragma once

#include <string>

#include "frontend/language.h"

class CLauncherView;
class CLauncherModelGtk;

enum {
    APP_EXIT_OK = 0,
    APP_EXIT_REFUSED = 1, // a start-up check ended the program (message shown)
    APP_EXIT_NO_DISPLAY = 2,
};

class CLauncherApp {
  public:
    // programFolder: where the configuration, strings and skin are (null: the
    // program's own folder).
    explicit CLauncherApp(const char *programFolder = nullptr);
    ~CLauncherApp();
    CLauncherApp(const CLauncherApp &) = delete;
    CLauncherApp &operator=(const CLauncherApp &) = delete;

    // Runs the program; returns its exit status (APP_EXIT_*). A second instance
    // returns APP_EXIT_OK at once.
    int Run(int argc, char **argv);

  private:
    int Start();
    int RunEulaGate();
    void ApplySkin();
    void ShowError(const char *text);
    void Shutdown();

    std::string Folder; // with a trailing '/'
    std::string LanguageCode = "en";
    CLanguageModule Language;
    CLauncherView *View = nullptr;      // owned
    CLauncherModelGtk *Model = nullptr; // owned
};
