// libFuzzer target over the reliable-UDP packet handler: each input is a script
// of datagrams handed to a fresh listener and connected pair on one port (driven
// from this thread), interleaved with writes, reads, timer passes and real
// traffic. Built by `tools/fuzz/run udt_packet`, never by CMake.
#include <climits>
#include <cstddef>
#include <cstdint>

#include "core/zyl.h"
#include "net/socket.h"
#include "net/udt.h"
#include "net/udt_harness.h"

using namespace udtharness;

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    Zyl_Init("udtfuzz.log", ZYL_LOG_NO_MESSAGE_BOX);
    Zyl_MemoryInit(INT_MAX);
    Socket_Init();
    UDTSocket_Init();
    return 0;
}

// Record: selector byte, two length bytes (big-endian, at most 1500), datagram.
// Selector bits 0-1: 0 listener, 1 client, 2 server, 3 destination left as given;
// bit 2 from a stranger's port; bit 3 pump real traffic after; bit 4 write on
// the client first; bit 5 let 50 ms pass; bit 6 read on the server.
static void Step(Pair *p, uint8_t selector, const uint8_t *bytes, int length) {
    static char chunk[4000];
    int n = 0;
    if (selector & 0x10) {
        UDTSocket_Write(p->Client, chunk, (int)sizeof chunk, &n);
    }
    if (selector & 0x20) {
        p->Now += 0.05;
    }
    UDTAddress from = p->Self;
    if (selector & 0x04) {
        from.Port ^= 1;
    }
    int32_t ids[3] = {0, UDTCore_GetId(p->Client), UDTCore_GetId(p->Server)};
    if ((selector & 3) == 3) {
        UDTMultiplexer_TestDeliver(p->Mux, bytes, length, &from, p->Now);
    } else {
        Deliver(p, ids[selector & 3], bytes, length, &from);
    }
    if (selector & 0x08) {
        Pump(p, 1);
    }
    if (selector & 0x40) {
        UDTSocket_Read(p->Server, chunk, (int)sizeof chunk, &n);
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Pair pair;
    if (!Open(&pair)) {
        Close(&pair);
        return 0;
    }
    size_t at = 0;
    for (int records = 0; records < 64 && at + 3 <= size; records++) {
        uint8_t selector = data[at];
        int length = (data[at + 1] << 8) | data[at + 2];
        at += 3;
        length = length > 1500 ? 1500 : length;
        length = (size_t)length > size - at ? (int)(size - at) : length;
        Step(&pair, selector, data + at, length);
        at += (size_t)length;
    }
    Pump(&pair, 2);
    Close(&pair);
    return 0;
}
