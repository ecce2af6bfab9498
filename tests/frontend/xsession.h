// A virtual display for the window tests: Xvfb (its number picked by the server
// itself) with openbox as window manager, started once per test process and
// stopped by pid at exit. Helpers run the X tools against it and start
// `portico` from a program folder of its own.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <sys/types.h>

namespace xtest {

// Starts the display once (DISPLAY is set for this process and its children)
// and GTK on it when gtk is true. False (with a test failure) when it cannot run.
bool StartDisplay(bool gtk);
// Runs a shell command with DISPLAY set; its exit status, output in *output.
int X(const std::string &command, std::string *output = nullptr);
// Polls check every 50 ms, pumping GTK events when GTK runs here, until it
// holds or seconds pass. True when it held.
bool WaitFor(const std::function<bool()> &check, double seconds);
// The first window whose name is exactly name, as a decimal id; "" when none
// shows within seconds.
std::string FindWindow(const std::string &name, double seconds);
// "r,g,b" of the root window's pixel at (x, y) in a fresh screenshot.
std::string PixelAt(int x, int y);
// The skin's frame, 400 x 300 in BMP of depth 8, 24 or 32: a rounded
// rectangle (shape extents 380x280+10+10) with a round hole at (200, 150), the
// rest magenta (255, 0, 255).
void WriteFrame(const std::string &path, int depth);
// The window's property text (xprop), e.g. "WM_STATE".
std::string Property(const std::string &window, const std::string &name);
// The window's absolute position and size from xwininfo.
struct Geometry {
    int x = -1, y = -1, width = -1, height = -1;
};
Geometry GeometryOf(const std::string &window);

// A program folder with `portico`, its strings, a configuration and a skin.
struct ProgramFolder {
    std::string path;    // with no trailing '/'
    std::string appName; // the window's title
    std::string program; // path of the copied program
    std::string log;     // its standard output and error
};
// Copies the program and its strings into folder; config is the text of
// launcher.config.xml (nothing written when empty).
ProgramFolder MakeProgramFolder(const std::string &folder, const std::string &appName,
                                const std::string &config);
// Starts the folder's program (leak reports of the toolkit's libraries off).
pid_t StartPortico(const ProgramFolder &folder);
// Waits up to seconds for pid to end: its exit status, or -2 when it is still
// running (then it is killed).
int WaitExit(pid_t pid, double seconds);

} // namespace xtest
