// The virtual display of the window tests and the X tool helpers.
#include "tests/frontend/xsession.h"

#include <gtk/gtk.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "tests/support/support.h"

// The toolkit's libraries keep caches for the life of the process; their leak
// reports say nothing about this code.
extern "C" const char *__lsan_default_suppressions() {
    return "leak:libgtk-3.so\nleak:libgdk-3.so\nleak:libglib-2.0.so\nleak:libgobject-2.0.so\n"
           "leak:libgio-2.0.so\nleak:libfontconfig.so\nleak:libdbus-1.so\nleak:libwebkit2gtk\n"
           "leak:libjavascriptcoregtk\nleak:libcairo.so\nleak:libpango\nleak:libharfbuzz\n"
           "leak:libX11.so\nleak:libatk\nleak:libepoxy\nleak:libgdk_pixbuf\n";
}

namespace xtest {

namespace {

pid_t gServer = -1;
pid_t gManager = -1;
bool gGtk = false;
std::string gDisplay;

void StopDisplay() {
    for (pid_t *pid : {&gManager, &gServer}) {
        if (*pid > 0) {
            kill(*pid, SIGTERM);
            testsupport::WaitChild(*pid);
        }
        *pid = -1;
    }
}

} // namespace

bool StartDisplay(bool gtk) {
    if (gServer < 0) {
        // One window test at a time on this machine: several displays, window
        // managers and web processes at once starve each other on small machines.
        int lock = open("/tmp/portico-window-tests.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        if (lock >= 0)
            flock(lock, LOCK_EX); // held until this process ends
        for (const char *tool :
             {"Xvfb", "openbox", "xdotool", "xprop", "xwininfo", "import", "xclip", "xsetroot"}) {
            if (!testsupport::HaveProgram(tool)) {
                ADD_FAILURE() << tool << " is missing: run tools/setup";
                return false;
            }
        }
        int fds[2];
        if (pipe(fds) != 0)
            return false;
        std::string fd = std::to_string(fds[1]);
        std::string log = "/tmp/portico-xvfb-" + std::to_string(getpid()) + ".log";
        gServer = testsupport::SpawnLogged(
            {"/usr/bin/Xvfb", "-displayfd", fd, "-screen", "0", "1024x768x24", "-nolisten", "tcp"},
            log);
        close(fds[1]);
        char number[32] = "";
        ssize_t got = 0;
        // The server writes its display number once it accepts clients.
        while (got < (ssize_t)sizeof(number) - 1) {
            ssize_t n = read(fds[0], number + got, sizeof(number) - 1 - got);
            if (n <= 0)
                break;
            got += n;
            if (number[got - 1] == '\n')
                break;
        }
        close(fds[0]);
        number[got > 0 ? got : 0] = 0;
        if (gServer < 0 || got <= 1) {
            ADD_FAILURE() << "Xvfb did not start";
            return false;
        }
        gDisplay = ":" + std::string(number, got - 1);
        setenv("DISPLAY", gDisplay.c_str(), 1);
        unsetenv("WAYLAND_DISPLAY");
        // No session bus here: the toolkit's settings stay in memory.
        setenv("GSETTINGS_BACKEND", "memory", 1);
        setenv("NO_AT_BRIDGE", "1", 1);
        atexit(StopDisplay);
        gManager = testsupport::SpawnLogged({"/usr/bin/openbox"}, log);
        // openbox owns the WM_S0 selection once it manages the screen.
        WaitFor([] { return X("xprop -root _NET_SUPPORTING_WM_CHECK | grep -q window") == 0; }, 20);
        // After the manager, which may paint the root itself.
        X("xsetroot -solid '#123456'");
    }
    if (gtk && !gGtk) {
        if (!gtk_init_check(nullptr, nullptr)) {
            ADD_FAILURE() << "GTK cannot open " << gDisplay;
            return false;
        }
        gGtk = true;
    }
    return true;
}

int X(const std::string &command, std::string *output) {
    return testsupport::RunCommand(command, output);
}

bool WaitFor(const std::function<bool()> &check, double seconds) {
    auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (true) {
        if (gGtk) {
            while (gtk_events_pending())
                gtk_main_iteration_do(FALSE);
        }
        if (check())
            return true;
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

std::string FindWindow(const std::string &name, double seconds) {
    std::string found;
    WaitFor(
        [&] {
            std::string out;
            if (X("xdotool search --onlyvisible --name '^" + name + "$' 2>/dev/null", &out) != 0)
                return false;
            found = out.substr(0, out.find('\n'));
            return !found.empty();
        },
        seconds);
    return found;
}

std::string PixelAt(int x, int y) {
    std::string out;
    X("import -silent -window root -crop 1x1+" + std::to_string(x) + "+" + std::to_string(y) +
          " -depth 8 txt:- | tail -1",
      &out);
    // "0,0: (18,52,86)  #123456  srgb(18,52,86)"
    size_t open = out.find('(');
    size_t close = out.find(')', open);
    if (open == std::string::npos || close == std::string::npos)
        return out;
    return out.substr(open + 1, close - open - 1);
}

void WriteFrame(const std::string &path, int depth) {
    std::string format = depth == 8 ? "BMP3:" : "BMP:";
    std::string type = depth == 8 ? " -type Palette" : (depth == 32 ? " -type TrueColorAlpha" : "");
    EXPECT_EQ(X("convert -size 400x300 xc:'#ff00ff' -fill '#00ff00' -draw 'roundrectangle "
                "10,10 389,289 30,30' -fill '#ff00ff' -draw 'circle 200,150 200,190'" +
                type + " " + format + path),
              0);
}

std::string Property(const std::string &window, const std::string &name) {
    std::string out;
    X("xprop -id " + window + " " + name, &out);
    return out;
}

Geometry GeometryOf(const std::string &window) {
    std::string out;
    Geometry g;
    if (X("xwininfo -id " + window, &out) != 0)
        return g;
    auto field = [&](const char *label) {
        size_t at = out.find(label);
        return at == std::string::npos ? -1 : atoi(out.c_str() + at + strlen(label));
    };
    g.x = field("Absolute upper-left X:");
    g.y = field("Absolute upper-left Y:");
    g.width = field("Width:");
    g.height = field("Height:");
    return g;
}

ProgramFolder MakeProgramFolder(const std::string &folder, const std::string &appName,
                                const std::string &config) {
    ProgramFolder made;
    made.path = folder;
    made.appName = appName;
    made.program = folder + "/portico";
    made.log = folder + "/portico.out";
    EXPECT_EQ(X("cp '" + std::string(PORTICO_PROGRAM) + "' '" + made.program + "'"), 0);
    // The page bridge's extension is built beside the program.
    std::string built = std::string(PORTICO_PROGRAM);
    built = built.substr(0, built.rfind('/'));
    EXPECT_EQ(X("cp -r '" + built + "/webext' '" + folder + "/webext'"), 0);
    testsupport::WriteFile(
        folder + "/launcher.lang-en.xml",
        testsupport::ReadFile(std::string(PORTICO_SOURCE_DIR) + "/frontend/launcher.lang-en.xml"));
    if (!config.empty())
        testsupport::WriteFile(folder + "/launcher.config.xml", config);
    return made;
}

pid_t StartPortico(const ProgramFolder &folder) {
    setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
    pid_t pid = testsupport::SpawnLogged({folder.program}, folder.log);
    return pid;
}

int WaitExit(pid_t pid, double seconds) {
    int status = -2;
    bool ended = WaitFor(
        [&] {
            int raw = 0;
            pid_t got = waitpid(pid, &raw, WNOHANG);
            if (got != pid)
                return false;
            status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
            return true;
        },
        seconds);
    if (!ended) {
        kill(pid, SIGKILL);
        testsupport::WaitChild(pid);
        return -2;
    }
    return status;
}

} // namespace xtest
