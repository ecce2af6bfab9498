// One download of our engine from a metafile into a folder, for tests and
// benchmarks: it seeds a complete folder until SIGTERM, or fetches from the
// peers given and exits 0 once every piece is verified, printing the transfer
// time from the first connect to the last piece verified, and the time from
// the start of the download (web sources need no connect) as "elapsed".
//   swarmfetch METAFILE FOLDER [--peer A.B.C.D:PORT]... [--port N] [--types N]
//              [--accept N] [--transports N] [--seed] [--timeout SECONDS]
//              [--log FILE] [--web-reserve N]
// With --log the core log goes to FILE, with the swarm's status lines and one
// log per connection in "peers/" beside it.
#include <atomic>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include "core/alert.h"
#include "core/bitfield.h"
#include "core/zyl.h"
#include "engine/base.h"
#include "engine/content.h"
#include "engine/iplist.h"
#include "engine/manager.h"
#include "engine/swarm.h"
#include "engine/transport.h"
#include "engine/webbase.h"

namespace {

volatile sig_atomic_t g_stop = 0;
std::atomic<double> g_first{0};
std::atomic<double> g_done{0};

void OnSignal(int) {
    g_stop = 1;
}

void OnMember(BitBaseStruct *, BitPeerStruct *, void *, int added) {
    double none = 0;
    if (added)
        g_first.compare_exchange_strong(none, Zyl_GetTickSeconds());
}

void OnComplete(BaseStruct *, void *) {
    g_done = Zyl_GetTickSeconds();
}

struct Options {
    const char *Metafile = nullptr;
    const char *Folder = nullptr;
    std::vector<std::pair<std::string, int>> Peers;
    int Port = 0;
    int Types = -2;
    int Accept = -2;
    int Transports = -2;
    bool Seed = false;
    double Timeout = 600;
    const char *Log = nullptr;
    int WebReserve = 0; // whole pieces a web source asks for at once; 0 keeps the default
};

bool Parse(int argc, char **argv, Options *o) {
    if (argc < 3)
        return false;
    o->Metafile = argv[1];
    o->Folder = argv[2];
    for (int i = 3; i < argc; i++) {
        const std::string a = argv[i];
        const bool more = i + 1 < argc;
        if (a == "--seed") {
            o->Seed = true;
        } else if (a == "--peer" && more) {
            const std::string p = argv[++i];
            const size_t colon = p.rfind(':');
            if (colon == std::string::npos)
                return false;
            o->Peers.emplace_back(p.substr(0, colon), Zyl_AtoI(p.c_str() + colon + 1));
        } else if (a == "--port" && more) {
            o->Port = Zyl_AtoI(argv[++i]);
        } else if (a == "--types" && more) {
            o->Types = Zyl_AtoI(argv[++i]);
        } else if (a == "--accept" && more) {
            o->Accept = Zyl_AtoI(argv[++i]);
        } else if (a == "--transports" && more) {
            o->Transports = Zyl_AtoI(argv[++i]);
        } else if (a == "--timeout" && more) {
            o->Timeout = Zyl_AtoF(argv[++i]);
        } else if (a == "--web-reserve" && more) {
            o->WebReserve = Zyl_AtoI(argv[++i]);
        } else if (a == "--log" && more) {
            o->Log = argv[++i];
        } else {
            return false;
        }
    }
    return true;
}

bool ParseAddress(const std::string &text, uint8_t address[4]) {
    size_t at = 0;
    for (int i = 0; i < 4; i++) {
        const size_t dot = i < 3 ? text.find('.', at) : text.size();
        if (dot == std::string::npos || dot == at)
            return false;
        const int part = Zyl_AtoI(text.substr(at, dot - at).c_str());
        if (part < 0 || part > 255)
            return false;
        address[i] = (uint8_t)part;
        at = dot + 1;
    }
    return true;
}

} // namespace

int main(int argc, char **argv) {
    Options o;
    if (!Parse(argc, argv, &o)) {
        fprintf(stderr, "usage: swarmfetch METAFILE FOLDER [--peer A.B.C.D:PORT]... [--port N] "
                        "[--types N] [--accept N] [--transports N] [--seed] [--timeout S] "
                        "[--log FILE] [--web-reserve N]\n");
        return 2;
    }
    if (o.Log) {
        Zyl_Init(o.Log, ZYL_LOG_NO_MESSAGE_BOX | ZYL_LOG_FILE | ZYL_LOG_TIMESTAMP);
        Alert_Create(); // the engine's messages go to the same file
    } else {
        Zyl_Init("swarmfetch.log", ZYL_LOG_NO_MESSAGE_BOX);
    }
    Zyl_MemoryInit(INT_MAX);
    signal(SIGTERM, OnSignal);
    signal(SIGINT, OnSignal);
    Transport_Startup();
    ManagerStruct *manager = nullptr;
    Manager_Create(&manager);
    Manager_DisableWebServer(manager);
    if (o.Port > 0)
        Manager_SetListenPort(manager, o.Port);
    if (o.Types != -2)
        Manager_SetOutgoingConnectionTypes(manager, o.Types);
    if (o.Accept != -2)
        Manager_SetAcceptedConnectionTypes(manager, o.Accept);
    if (o.Transports != -2)
        Manager_SetOutgoingTransports(manager, o.Transports);
    ManagerMemberStruct *member = nullptr;
    Manager_AddMember(manager, &member);
    BaseStruct *base = nullptr;
    ManagerMember_GetBase(member, &base);
    ContentStruct *content = nullptr;
    Base_GetContent(base, &content);
    Content_SetSource(content, o.Metafile, CONTENT_SOURCE_METAFILE);
    if (!Content_Open(content) || !Content_SetPath(content, o.Folder) ||
        !Content_ScanExisting(content)) {
        fprintf(stderr, "swarmfetch: cannot open the download\n");
        return 1;
    }
    BitBaseStruct *swarm = nullptr;
    Base_GetBitBase(base, &swarm);
    BitBase_SetMemberCallback(swarm, OnMember, nullptr);
    BitBase_SetVerbose(swarm, o.Log ? 1 : 0);
    BitBase_SetPeerLogging(swarm, o.Log ? 1 : 0);
    BitBase_SetConnectInterval(swarm, 0);
    WebBaseStruct *web = nullptr;
    if (o.WebReserve > 0 && Base_GetWebBase(base, &web) && web)
        WebBase_SetReserveMaxPieces(web, o.WebReserve);
    IPListStruct *list = nullptr;
    Base_GetIPList(base, &list);
    for (const auto &peer : o.Peers) {
        uint8_t address[4];
        IPListMemberStruct *entry = nullptr;
        if (!ParseAddress(peer.first, address) ||
            !IPList_AddMember(&entry, list, address, peer.second)) {
            fprintf(stderr, "swarmfetch: bad peer %s:%d\n", peer.first.c_str(), peer.second);
            return 2;
        }
    }
    Base_SetStatusCallback(base, OnComplete, nullptr);
    const double start = Zyl_GetTickSeconds();
    Base_SetActive(base, 1);
    Manager_SetActive(manager, 1);
    int port = 0;
    for (int i = 0; i < 5000 && port == 0; i++) {
        Manager_GetLocalPort(manager, &port);
        usleep(1000);
    }
    printf("listening %d\n", port);
    fflush(stdout);
    const double end = Zyl_GetTickSeconds() + o.Timeout;
    int status = 0;
    if (o.Seed) {
        while (!g_stop)
            pause();
    } else {
        // The completion callback stamps the time: this thread only looks in
        // now and then, so that it takes no processor from the engine.
        while (!g_stop && g_done.load() == 0 && Zyl_GetTickSeconds() < end)
            usleep(20000);
        if (g_done.load() > 0) {
            const double first = g_first.load();
            printf("transfer %.3f s\n", first > 0 ? g_done.load() - first : 0.0);
            printf("elapsed %.3f s\n", g_done.load() - start);
        } else {
            printf("incomplete\n");
            status = 1;
        }
        fflush(stdout);
    }
    Manager_ReleaseMember(manager, &member);
    Manager_SetActive(manager, 0);
    Manager_Destroy(&manager);
    Transport_Shutdown();
    if (o.Log)
        Alert_Destroy();
    return status;
}
