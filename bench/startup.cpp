// `portico`'s start against a bare GTK window with a WebKit web view, both
// loading the same page under one display: from the program's spawn to the
// page's load handler reaching a listener of this program (the skin's first
// completed load). Rounds alternate between the two programs, which start
// cold each time (killed after their load).
// Usage: bench_startup view URL          the reference: window, view, load URL
//        bench_startup measure BUILD N   N rounds each; BUILD holds portico, its
//                                        strings and webext. Prints "OURS
//                                        REFERENCE", the best round of each in
//                                        milliseconds; exits 1 when a load did
//                                        not arrive or the page saw the wrong
//                                        bridge (QTRLauncher in portico only).
#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace {

namespace fs = std::filesystem;

int View(const char *url) {
    gtk_init(nullptr, nullptr);
    GtkWidget *window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_default_size(GTK_WINDOW(window), 480, 320);
    GtkWidget *view = webkit_web_view_new();
    gtk_container_add(GTK_CONTAINER(window), view);
    g_signal_connect(window, "destroy", G_CALLBACK(gtk_main_quit), nullptr);
    webkit_web_view_load_uri(WEBKIT_WEB_VIEW(view), url);
    gtk_widget_show_all(window);
    gtk_main();
    return 0;
}

// The page: on its load it tells the listener what bridge it sees.
std::string Page(int port) {
    return "<!DOCTYPE html><html><head><meta charset='utf-8'><script>\n"
           "function __Launcher_getVersion() { return 5; }\n"
           "window.addEventListener('load', function () {\n"
           "  var x = new XMLHttpRequest();\n"
           "  x.open('GET', 'http://127.0.0.1:" +
           std::to_string(port) +
           "/loaded?bridge=' + typeof QTRLauncher);\n"
           "  x.send();\n"
           "});\n"
           "</script></head><body style='margin:0;background:#1d3040;color:#fff'>"
           "<h1>startup</h1><p>The skin of the startup benchmark.</p></body></html>\n";
}

void Write(const fs::path &path, const std::string &text) {
    std::ofstream(path, std::ios::binary) << text;
}

pid_t Spawn(const std::vector<std::string> &argv, const fs::path &folder) {
    std::vector<char *> args;
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    if (posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

// Waits (60 s at most) for the page's request; its path, "" when none came.
std::string AwaitLoad(int listener) {
    pollfd p{listener, POLLIN, 0};
    if (poll(&p, 1, 60000) != 1)
        return "";
    int connection = accept(listener, nullptr, nullptr);
    if (connection < 0)
        return "";
    std::string request;
    char buffer[2048];
    while (request.find("\r\n") == std::string::npos) {
        pollfd c{connection, POLLIN, 0};
        if (poll(&c, 1, 10000) != 1)
            break;
        ssize_t got = read(connection, buffer, sizeof(buffer));
        if (got <= 0)
            break;
        request.append(buffer, (size_t)got);
    }
    const char answer[] = "HTTP/1.1 204 No Content\r\nAccess-Control-Allow-Origin: *\r\n"
                          "Connection: close\r\n\r\n";
    ssize_t sent = write(connection, answer, sizeof(answer) - 1);
    (void)sent;
    close(connection);
    size_t start = request.find(' ');
    size_t end = start == std::string::npos ? start : request.find(' ', start + 1);
    return end == std::string::npos ? "" : request.substr(start + 1, end - start - 1);
}

void Stop(pid_t pid) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

// One cold start: milliseconds from spawn to the load's request; -1 on failure.
double Round(const std::vector<std::string> &argv, const fs::path &folder, int listener,
             const char *bridge) {
    auto start = std::chrono::steady_clock::now();
    pid_t pid = Spawn(argv, folder);
    if (pid <= 0) {
        fprintf(stderr, "bench_startup: cannot start %s\n", argv[0].c_str());
        return -1;
    }
    std::string path = AwaitLoad(listener);
    double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    Stop(pid);
    if (path != std::string("/loaded?bridge=") + bridge) {
        fprintf(stderr, "bench_startup: %s: page reported [%s], expected bridge=%s\n",
                argv[0].c_str(), path.c_str(), bridge);
        return -1;
    }
    return ms;
}

int Measure(const char *build, int rounds) {
    char self[4096];
    ssize_t size = readlink("/proc/self/exe", self, sizeof(self) - 1);
    if (size <= 0)
        return 1;
    self[size] = 0;
    char pattern[] = "/tmp/bench-startup-XXXXXX";
    if (mkdtemp(pattern) == nullptr)
        return 1;
    fs::path folder = pattern;
    fs::path from = build;
    fs::copy(from / "portico", folder / "portico");
    fs::copy(from / "launcher.lang-en.xml", folder / "launcher.lang-en.xml");
    fs::copy(from / "webext", folder / "webext", fs::copy_options::recursive);

    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (listener < 0 || bind(listener, (sockaddr *)&address, sizeof(address)) != 0 ||
        listen(listener, 16) != 0 || getsockname(listener, (sockaddr *)&address, &length) != 0) {
        fprintf(stderr, "bench_startup: no listener: %s\n", strerror(errno));
        return 1;
    }
    Write(folder / "skin.html", Page(ntohs(address.sin_port)));
    Write(folder / "launcher.config.xml",
          "<Config><Launcher><AppName>StartupBench</AppName><AppRegistryPath>Software\\"
          "PorticoBench\\Startup</AppRegistryPath><DisplayEULA>0</DisplayEULA>"
          "<ConfigureFirewall>0</ConfigureFirewall></Launcher><LayoutInfo><Url>skin.html</Url>"
          "<Width>480</Width><Height>320</Height></LayoutInfo></Config>");
    std::vector<std::string> ours{(folder / "portico").string()};
    std::vector<std::string> reference{self, "view", "file://" + (folder / "skin.html").string()};

    double bestOurs = 1e300;
    double bestReference = 1e300;
    int status = 0;
    for (int round = 0; round < rounds && status == 0; round++) {
        // Alternating which goes first, so neither always follows the other.
        for (int side = 0; side < 2 && status == 0; side++) {
            bool isOurs = (side == 0) == (round % 2 == 0);
            double ms =
                Round(isOurs ? ours : reference, folder, listener, isOurs ? "object" : "undefined");
            if (ms < 0)
                status = 1;
            else if (isOurs)
                bestOurs = std::min(bestOurs, ms);
            else
                bestReference = std::min(bestReference, ms);
        }
    }
    close(listener);
    fs::remove_all(folder);
    if (status != 0)
        return status;
    printf("%.3f %.3f\n", bestOurs, bestReference);
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    if (argc == 3 && std::strcmp(argv[1], "view") == 0)
        return View(argv[2]);
    if (argc == 4 && std::strcmp(argv[1], "measure") == 0)
        return Measure(argv[2], (int)strtol(argv[3], nullptr, 10));
    fprintf(stderr, "usage: bench_startup view URL | measure BUILD ROUNDS\n");
    return 2;
}
