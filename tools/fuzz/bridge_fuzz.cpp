// libFuzzer target for the page bridge's frame reader: the input is a run of
// datagrams (a 2-byte little-endian length, then that many bytes), fed to one
// reader in order. Every whole message must encode again and read back equal;
// after a refused chunk the reader must refuse everything that follows; the
// text cleaner must give valid UTF-8 within its limit.
#include "frontend/bridgeframe.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

uint64_t Bits(double value) {
    uint64_t bits = 0;
    std::memcpy(&bits, &value, sizeof(bits));
    return bits;
}

int SameMessage(const BridgeMessage &a, const BridgeMessage &b) {
    if (a.Type != b.Type || a.Id != b.Id || a.Code != b.Code || a.Number != b.Number ||
        a.Name != b.Name || a.Values.size() != b.Values.size())
        return 0;
    for (size_t i = 0; i < a.Values.size(); i++) {
        const BridgeValue &x = a.Values[i];
        const BridgeValue &y = b.Values[i];
        if (x.Kind != y.Kind || x.Number != y.Number || x.Text != y.Text ||
            Bits(x.Double) != Bits(y.Double))
            return 0;
    }
    return 1;
}

void CheckRoundTrip(const BridgeMessage &message) {
    std::vector<std::vector<uint8_t>> chunks;
    if (Bridge_Encode(message, &chunks) != 1)
        abort();
    BridgeReader again;
    for (size_t i = 0; i < chunks.size(); i++) {
        BridgeFeed fed = again.Feed(chunks[i].data(), chunks[i].size());
        if (fed != (i + 1 == chunks.size() ? BRIDGE_FEED_MESSAGE : BRIDGE_FEED_PARTIAL))
            abort();
    }
    if (!SameMessage(message, again.Message()))
        abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    BridgeReader reader;
    int refused = 0;
    size_t at = 0;
    while (size - at >= 2) {
        size_t length = data[at] | (size_t)data[at + 1] << 8;
        at += 2;
        if (length > size - at)
            length = size - at;
        BridgeFeed fed = reader.Feed(data + at, length);
        at += length;
        if (refused && fed != BRIDGE_FEED_ERROR)
            abort();
        if (fed == BRIDGE_FEED_ERROR)
            refused = 1;
        else if (fed == BRIDGE_FEED_MESSAGE)
            CheckRoundTrip(reader.Message());
    }
    std::string clean = Bridge_ValidUtf8((const char *)data, size, 300);
    std::string twice = Bridge_ValidUtf8(clean.data(), clean.size(), 300);
    if (clean.size() > 300 || twice != clean)
        abort();
    return 0;
}
