// A writer of FFS archives for tests, built from the format: header, hash
// table, records, "Comp1" chunks, CRC and the optional trailer.
#pragma once

#include "tests/patcher/delta_support.h"

#include <algorithm>
#include <map>
#include <string>
#include <vector>
#include <zlib.h>

namespace ffstest {

using deltatest::PutLe32;
using deltatest::SetLe32;

// The archive writer's path form: backslashes, optional upper case.
inline int32_t PathHash(std::string path, bool upper) {
    std::replace(path.begin(), path.end(), '/', '\\');
    if (upper) {
        std::transform(path.begin(), path.end(), path.begin(), ::toupper);
    }
    return (int32_t)crc32(0, (const Bytef *)path.data(), (uInt)path.size());
}

// A "Comp1" chunk made of literal runs of up to 15 bytes and the end operation.
inline std::string Comp1Literal(const std::string &data) {
    std::string out = "FFC!";
    PutLe32(&out, (uint32_t)data.size());
    for (size_t i = 0; i < data.size(); i += 15) {
        size_t n = std::min<size_t>(15, data.size() - i);
        out += (char)(n << 4);
        out += data.substr(i, n);
    }
    return out + std::string("\x01\x00\x00\x00", 4);
}

inline std::string Comp1(uint32_t size, const std::string &ops) {
    std::string out = "FFC!";
    PutLe32(&out, size);
    return out + ops;
}

struct Archive {
    std::map<std::string, std::string> records; // path -> stored bytes
    int flags = 0;
    std::string prefix;   // bytes before the archive (then a trailer names the start)
    bool trailer = false; // append the 8-byte trailer naming the start

    std::string Build() const {
        std::vector<std::pair<int32_t, std::string>> entries;
        for (const auto &r : records) {
            entries.push_back({PathHash(r.first, flags & 2), r.second});
        }
        std::sort(entries.begin(), entries.end(),
                  [](const auto &a, const auto &b) { return a.first < b.first; });
        uint32_t n = (uint32_t)entries.size();
        std::string out = prefix + "FFS!";
        PutLe32(&out, n);
        PutLe32(&out, ~n);
        PutLe32(&out, 0); // Z, set below
        PutLe32(&out, 0);
        PutLe32(&out, (uint32_t)flags);
        size_t table = out.size();
        out.append(8 * n, '\0');
        for (uint32_t i = 0; i < n; i++) {
            SetLe32(&out, table + 8 * i, (uint32_t)entries[i].first);
            SetLe32(&out, table + 8 * i + 4, (uint32_t)out.size());
            PutLe32(&out, (uint32_t)entries[i].first);
            PutLe32(&out, (uint32_t)entries[i].second.size());
            out += entries[i].second;
        }
        uint32_t z = (uint32_t)(out.size() - prefix.size()) + 4; // checksum from the archive
        SetLe32(&out, prefix.size() + 12, z);
        SetLe32(&out, prefix.size() + 16, ~z);
        uint32_t crc = (uint32_t)crc32(0, (const Bytef *)out.data() + prefix.size(),
                                       (uInt)(out.size() - prefix.size()));
        out.append(8, '\0');
        PutLe32(&out, crc);
        if (trailer) {
            PutLe32(&out, (uint32_t)prefix.size());
            PutLe32(&out, 0);
        }
        return out;
    }
};

} // namespace ffstest
