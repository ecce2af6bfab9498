// Engines that exchange a real content on 127.0.0.1: each one a manager with
// one download made from a metafile by mktorrent, listening on a free port,
// either complete (a seed) or starting from an empty folder.
#pragma once

#include <atomic>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "core/bitfield.h"
#include "engine/base.h"
#include "engine/content.h"
#include "engine/iplist.h"
#include "engine/manager.h"
#include "tests/engine/manager_support.h"
#include "tests/support/support.h"

namespace enginetest {

inline const uint8_t kLoopbackAddress[4] = {127, 0, 0, 1};

// Deterministic bytes (a simple generator) for source files.
inline std::string MakeBytes(size_t n, uint32_t seed) {
    std::string s(n, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < n; i++) {
        x = x * 1103515245u + 12345u;
        s[i] = (char)(x >> 16);
    }
    return s;
}

// One engine with one download.
struct Engine {
    ManagerStruct *Manager = nullptr;
    ManagerMemberStruct *Member = nullptr;
    BaseStruct *Base = nullptr;
    int Port = 0;
    int Types = -2;           // outgoing connection types; -2 keeps the manager's default
    std::atomic<int> Done{0}; // the completion callback ran (on the manager thread)

    static void OnComplete(BaseStruct *, void *user) { static_cast<Engine *>(user)->Done = 1; }

    // Opens the metafile over folder (complete or empty) and listens on a free port.
    bool Open(const std::string &torrent, const std::string &folder) {
        if (Manager_Create(&Manager) != 1)
            return false;
        Manager_SetTraversal(Manager, 0); // no mappings on the test machine's gateway
        Manager_SetBindAddress(Manager, kLoopbackAddress);
        Port = FreePort();
        Manager_SetListenPort(Manager, Port);
        if (Types != -2)
            Manager_SetOutgoingConnectionTypes(Manager, Types);
        if (Manager_AddMember(Manager, &Member) != 1)
            return false;
        ManagerMember_GetBase(Member, &Base);
        Base_SetStatusCallback(Base, &Engine::OnComplete, this);
        ContentStruct *content = nullptr;
        Base_GetContent(Base, &content);
        Content_SetSource(content, torrent.c_str(), CONTENT_SOURCE_METAFILE);
        if (Content_Open(content) != 1)
            return false;
        Content_SetPath(content, folder.c_str());
        return Content_ScanExisting(content) == 1;
    }
    void Start() {
        Base_SetActive(Base, 1);
        Manager_SetActive(Manager, 1);
    }
    // Gives the download an address to connect to.
    void AddPeer(int port) {
        IPListStruct *list = nullptr;
        Base_GetIPList(Base, &list);
        IPListMemberStruct *entry = nullptr;
        IPList_AddMember(&entry, list, kLoopbackAddress, port);
    }
    // Before the engine starts (its thread writes the piece set).
    bool Complete() {
        ContentStruct *content = nullptr;
        BitfieldStruct *held = nullptr;
        Base_GetContent(Base, &content);
        return Content_GetBitfield(content, &held) && held && Bitfield_IsComplete(held);
    }
    // Waits for the completion report or until `seconds` pass.
    bool WaitComplete(double seconds) {
        const auto end =
            std::chrono::steady_clock::now() + std::chrono::milliseconds((int64_t)(seconds * 1000));
        while (!Done && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return Done != 0;
    }
    void Close() {
        if (Manager)
            Manager_SetActive(Manager, 0);
        if (Member)
            Manager_ReleaseMember(Manager, &Member);
        Manager_Destroy(&Manager);
    }
};

// The info hash text of a metafile, read by our own content.
inline std::string TorrentHash(const std::string &torrent) {
    ContentStruct *content = nullptr;
    Content_Create(&content);
    Content_SetSource(content, torrent.c_str(), CONTENT_SOURCE_METAFILE);
    char text[64] = "";
    if (Content_Open(content) == 1)
        Content_GetInfoHashText(content, text, sizeof text);
    Content_Destroy(&content);
    return text;
}

// A source folder "pack" with files and its metafile (piece length 2^pieceBits).
inline bool MakeTorrent(const testsupport::TempDir &dir, const std::string &name,
                        const std::vector<std::pair<std::string, std::string>> &files,
                        int pieceBits, std::string *torrent) {
    const std::string src = dir / "src";
    if (testsupport::RunCommand("mkdir -p '" + src + "/" + name + "'") != 0)
        return false;
    for (const auto &f : files)
        testsupport::WriteFile(src + "/" + name + "/" + f.first, f.second);
    *torrent = dir / (name + ".torrent");
    return testsupport::RunCommand("cd '" + src + "' && mktorrent -l " + std::to_string(pieceBits) +
                                   " -a http://127.0.0.1:1/a -o '" + *torrent + "' " + name +
                                   " >/dev/null") == 0;
}

// The metafile with a reliable source added at its root (after "info", keys
// stay sorted), as the content reads it.
inline bool AddReliable(const std::string &torrent, const std::string &url) {
    std::string bytes = testsupport::ReadFile(torrent);
    if (bytes.empty() || bytes.back() != 'e')
        return false;
    bytes.pop_back();
    bytes += "8:reliable" + std::to_string(url.size()) + ":" + url + "e";
    testsupport::WriteFile(torrent, bytes);
    return true;
}

// An outside program started by the test, its output in a file, stopped by its pid.
struct Program {
    pid_t Pid = -1;
    std::string Output;
    int Status = -1;

    bool Start(const std::vector<std::string> &args, const std::string &output) {
        Output = output;
        Pid = fork();
        if (Pid == 0) {
            int fd = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (fd >= 0) {
                dup2(fd, 1);
                dup2(fd, 2);
                close(fd);
            }
            std::vector<char *> argv;
            for (const std::string &a : args)
                argv.push_back(const_cast<char *>(a.c_str()));
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        return Pid > 0;
    }
    std::string Text() const { return testsupport::ReadFile(Output); }
    // Waits until the output holds text or the program ended; false on time-out.
    bool WaitFor(const std::string &text, double seconds) {
        const auto end =
            std::chrono::steady_clock::now() + std::chrono::milliseconds((int64_t)(seconds * 1000));
        while (std::chrono::steady_clock::now() < end) {
            if (Text().find(text) != std::string::npos)
                return true;
            if (Exited())
                return Text().find(text) != std::string::npos;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }
    bool Exited() {
        if (Pid <= 0)
            return true;
        int status = 0;
        if (waitpid(Pid, &status, WNOHANG) == Pid) {
            Status = WIFEXITED(status) ? WEXITSTATUS(status) : 128;
            Pid = -1;
            return true;
        }
        return false;
    }
    void Stop() {
        if (Pid > 0) {
            kill(Pid, SIGTERM);
            int status = 0;
            waitpid(Pid, &status, 0);
            Pid = -1;
        }
    }
    ~Program() { Stop(); }
};

// Serves the download of engine, a seed, to reference leechers through
// opentracker: starts the tracker on 127.0.0.1:port with folder (below
// parent) whitelisting only that download, starts engine and announces it
// there, waiting until the tracker answers. The tracker changes root to
// folder and drops to an unprivileged user, so both folders are opened to it.
inline ::testing::AssertionResult StartTrackedSeed(Program *tracker, Engine *engine,
                                                   const std::string &parent,
                                                   const std::string &folder, int port,
                                                   const std::string &announce,
                                                   const std::string &trackerOutput) {
    ContentStruct *content = nullptr;
    Base_GetContent(engine->Base, &content);
    uint8_t hash[20];
    Content_GetInfoHash(content, hash);
    std::string hex, escaped;
    static const char kHex[] = "0123456789abcdef";
    for (uint8_t b : hash) {
        hex += kHex[b >> 4];
        hex += kHex[b & 15];
        escaped += '%';
        escaped += kHex[b >> 4];
        escaped += kHex[b & 15];
    }
    if (testsupport::RunCommand("mkdir -p '" + folder + "' && chmod 755 '" + parent + "' '" +
                                folder + "'") != 0)
        return ::testing::AssertionFailure() << "cannot open " << folder << " to the tracker";
    testsupport::WriteFile(folder + "/whitelist", hex + "\n");
    testsupport::RunCommand("chmod 644 '" + folder + "/whitelist'");
    if (!tracker->Start({"/usr/bin/opentracker", "-i", "127.0.0.1", "-p", std::to_string(port),
                         "-P", std::to_string(port), "-d", folder, "-w", "whitelist"},
                        trackerOutput))
        return ::testing::AssertionFailure() << "cannot start opentracker";
    engine->Start();
    const std::string query = announce + "?info_hash=" + escaped +
                              "&peer_id=-TT0001-abcdefghijkl&port=" + std::to_string(engine->Port) +
                              "&uploaded=0&downloaded=0&left=0&event=started&compact=1";
    std::string reply;
    for (int i = 0; i < 50; i++) {
        if (testsupport::RunCommand("curl -s -g '" + query + "'", &reply) == 0 &&
            reply.find("interval") != std::string::npos)
            return ::testing::AssertionSuccess();
        usleep(100000);
    }
    return ::testing::AssertionFailure() << reply << tracker->Text();
}

} // namespace enginetest
