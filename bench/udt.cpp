// Reliable UDP over loopback: 64 MiB from one socket to another, ours against
// the UDT4 reference library in the same run, and the CPU time an idle connected
// pair costs over 10 s (each side measured in a process of its own by filter).
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <thread>
#include <vector>

#include <udt/udt.h>

#include "core/zyl.h"
#include "net/socket.h"
#include "net/udt.h"

namespace {

const int64_t kBytes = 64ll << 20;
const uint8_t kLoopback[4] = {127, 0, 0, 1};
const int kSendBuffer = 8192 * 1456; // bytes

UDTSocketStruct *OurSocket(int reuse) {
    UDTSocketStruct *s = nullptr;
    UDTSocket_Create(&s);
    UDTSocket_Open(s);
    UDTSocket_SetReuseAddress(s, reuse);
    return s;
}

// Listener, connected client and accepted server of our own, each end on its own port.
void OurPair(UDTSocketStruct **listener, UDTSocketStruct **client, UDTSocketStruct **server) {
    *listener = OurSocket(0);
    UDTSocket_Bind(*listener, kLoopback, 0);
    UDTSocket_Listen(*listener);
    uint8_t address[4];
    int port = 0;
    UDTSocket_GetSockName(*listener, address, &port);
    *client = OurSocket(0);
    // The reference's default send buffer (8192 packets): a sender can only have
    // one buffer in flight per 10 ms acknowledgement period, and our default of
    // 1 MB would cap the transfer at 100 MB/s by itself.
    UDTSocket_SetSendBufferSize(*client, kSendBuffer);
    UDTSocket_Connect(*client, kLoopback, port);
    UDTSocket_Accept(*listener, server);
}

void BM_OursLoopback(benchmark::State &state) {
    std::vector<char> chunk(1 << 16, 'u');
    for (auto _ : state) {
        UDTSocketStruct *listener, *client, *server = nullptr;
        OurPair(&listener, &client, &server);
        std::thread writer([&] {
            UDTSocket_SetLinger(client, 1, 60);
            for (int64_t done = 0; done < kBytes;) {
                int n = 0;
                int want = (int)std::min<int64_t>((int64_t)chunk.size(), kBytes - done);
                if (!UDTSocket_Write(client, chunk.data(), want, &n)) {
                    break;
                }
                done += n;
            }
            UDTSocket_Close(client);
        });
        std::vector<char> buffer(1 << 16);
        int64_t total = 0;
        for (int n = 0; UDTSocket_Read(server, buffer.data(), (int)buffer.size(), &n);) {
            total += n;
        }
        writer.join();
        if (total != kBytes) {
            state.SkipWithError("short transfer");
        }
        UDTSocket_Destroy(&server);
        UDTSocket_Destroy(&client);
        UDTSocket_Destroy(&listener);
    }
}
BENCHMARK(BM_OursLoopback)->Unit(benchmark::kMillisecond)->UseRealTime();

sockaddr_in Loopback(int port) {
    sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons((uint16_t)port);
    return sa;
}

void ReferencePair(UDTSOCKET *listener, UDTSOCKET *client, UDTSOCKET *server) {
    *listener = UDT::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa = Loopback(0);
    UDT::bind(*listener, (sockaddr *)&sa, sizeof sa);
    UDT::listen(*listener, 4);
    int len = sizeof sa;
    UDT::getsockname(*listener, (sockaddr *)&sa, &len);
    *client = UDT::socket(AF_INET, SOCK_STREAM, 0);
    UDT::connect(*client, (sockaddr *)&sa, sizeof sa);
    sockaddr_in peer;
    int peerLen = sizeof peer;
    *server = UDT::accept(*listener, (sockaddr *)&peer, &peerLen);
}

void BM_ReferenceLoopback(benchmark::State &state) {
    std::vector<char> chunk(1 << 16, 'u');
    for (auto _ : state) {
        UDTSOCKET listener, client, server;
        ReferencePair(&listener, &client, &server);
        std::thread writer([&] {
            for (int64_t done = 0; done < kBytes;) {
                int want = (int)std::min<int64_t>((int64_t)chunk.size(), kBytes - done);
                int n = UDT::send(client, chunk.data(), want, 0);
                if (n == UDT::ERROR) {
                    break;
                }
                done += n;
            }
            UDT::close(client); // lingers until delivered
        });
        std::vector<char> buffer(1 << 16);
        int64_t total = 0;
        for (;;) {
            int n = UDT::recv(server, buffer.data(), (int)buffer.size(), 0);
            if (n == UDT::ERROR || n <= 0) {
                break;
            }
            total += n;
        }
        writer.join();
        if (total != kBytes) {
            state.SkipWithError("short transfer");
        }
        UDT::close(server);
        UDT::close(listener);
    }
}
BENCHMARK(BM_ReferenceLoopback)->Unit(benchmark::kMillisecond)->UseRealTime();

double ProcessCpuSeconds() {
    timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return (double)t.tv_sec + (double)t.tv_nsec * 1e-9;
}

// Percent of one core the process spends while a connected pair sits idle for
// 10 s; echo must then carry one byte across the pair, or the run is an error
// (a pair that never connected, or dropped, would idle for free).
template <typename Echo, typename Close>
void IdleCpu(benchmark::State &state, Echo echo, Close close) {
    for (auto _ : state) {
        double before = ProcessCpuSeconds();
        sleep(10);
        state.counters["cpu_percent"] = (ProcessCpuSeconds() - before) * 10.0;
    }
    if (!echo())
        state.SkipWithError("the pair did not stay connected");
    close();
}

void BM_IdleOurs(benchmark::State &state) {
    UDTSocketStruct *listener, *client, *server = nullptr;
    OurPair(&listener, &client, &server);
    IdleCpu(
        state,
        [&] {
            char byte = 'x';
            int n = 0;
            return server != nullptr && UDTSocket_Write(client, &byte, 1, &n) && n == 1 &&
                   UDTSocket_Read(server, &byte, 1, &n) && n == 1;
        },
        [&] {
            UDTSocket_Destroy(&server);
            UDTSocket_Destroy(&client);
            UDTSocket_Destroy(&listener);
        });
}
BENCHMARK(BM_IdleOurs)->Iterations(1)->Unit(benchmark::kSecond);

void BM_IdleReference(benchmark::State &state) {
    UDTSOCKET listener, client, server;
    ReferencePair(&listener, &client, &server);
    IdleCpu(
        state,
        [&] {
            char byte = 'x';
            return server != UDT::INVALID_SOCK && UDT::send(client, &byte, 1, 0) == 1 &&
                   UDT::recv(server, &byte, 1, 0) == 1;
        },
        [&] {
            UDT::close(server);
            UDT::close(client);
            UDT::close(listener);
        });
}
BENCHMARK(BM_IdleReference)->Iterations(1)->Unit(benchmark::kSecond);

} // namespace

int main(int argc, char **argv) {
    Zyl_Init("bench_udt.log", ZYL_LOG_NO_MESSAGE_BOX);
    Zyl_MemoryInit(INT_MAX);
    Socket_Init();
    UDTSocket_Init();
    UDT::startup();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    UDT::cleanup();
    UDTSocket_Remove();
    return 0;
}
