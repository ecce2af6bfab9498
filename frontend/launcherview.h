// What the model and the page ask of the window: the view interface that the
// main window implements (and tests replace with a recording stand-in).
#pragma once

// The browser the page is shown in; the window's own type behind it.
class IBrowserControl {
  public:
    virtual ~IBrowserControl() {}
};

class ILauncherView {
  public:
    virtual ~ILauncherView() {}
    virtual IBrowserControl *GetBrowserControl() = 0;
    // Shows address (UTF-8) in the browser. Returns 1.
    virtual int Navigate(const char *address) = 0;
    // Asks the window to end; the program ends once its loop returns.
    virtual int Close() = 0;
    virtual int Minimize() = 0;
    virtual int Restore() = 0;
    // Starts moving the window with the mouse (unless something holds the pointer).
    virtual int BeginMoveWindow() = 0;
    virtual int SetWindowSize(int width, int height) = 0;
    // The modal log window with the model's log lines. Returns 1.
    virtual int OpenNativeLogPage() = 0;
    // The folder picker, opened at initial (may be empty); the chosen folder goes
    // into answer (size bytes). 1 when a folder was chosen, 0 when cancelled.
    virtual int OpenNativeDirectoryBrowserPage(const char *initial, char *answer, int size) = 0;
};
