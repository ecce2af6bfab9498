// Test helpers for VCDIFF: a small writer of hand-made deltas (default code
// table, self-addressed copies, optional Adler-32) and an in-memory driver of
// the decoder that feeds the delta in pieces and serves source blocks.
#pragma once

#include "patcher/delta/vcdiff.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>
#include <zlib.h>

namespace vcdfixture {

typedef std::string Bytes;

inline std::string Varint(uint64_t v) {
    std::string out(1, (char)(v & 0x7F));
    while ((v >>= 7) != 0) {
        out.insert(out.begin(), (char)(0x80 | (v & 0x7F)));
    }
    return out;
}

inline std::string Header(int indicator) {
    return std::string("\xD6\xC3\xC4\x00", 4) + std::string(1, (char)indicator);
}

struct Instruction {
    int type; // 1 ADD, 2 RUN, 3 COPY, 0 raw opcode
    uint32_t size;
    uint32_t addr;
    std::string data;
    int opcode;
};

// One window written with the default code table (or raw opcodes).
class Window {
  public:
    void Add(const std::string &bytes) {
        list_.push_back({1, (uint32_t)bytes.size(), 0, bytes, 0});
    }
    void Run(uint32_t n, char c) { list_.push_back({2, n, 0, std::string(1, c), 0}); }
    // COPY with a VCD_SELF address.
    void Copy(uint32_t n, uint32_t addr, int) { list_.push_back({3, n, addr, "", 0}); }
    // A raw opcode taking one self address and copying copySize bytes (custom tables).
    void Raw(int opcode, uint32_t addr, uint32_t copySize = 7) {
        list_.push_back({0, copySize, addr, "", opcode});
    }
    void ExtraData(const std::string &bytes) { extraData_ += bytes; }

    // The window's bytes. segment: the bytes of the copy window (source or
    // earlier target) used to compute the checksum.
    std::string Encode(int winInd, uint32_t cpyLen, uint64_t cpyOff, bool adler, int encDelta = 0,
                       int64_t tgtOverride = -1, const std::string &segment = "") const {
        std::string data, inst, addr, target;
        for (const auto &i : list_) {
            Append(i, &data, &inst, &addr);
            Simulate(i, cpyLen, segment, &target);
        }
        data += extraData_;
        if (adler) {
            winInd |= 0x04;
        }
        uint32_t tgtLen = tgtOverride >= 0 ? (uint32_t)tgtOverride : (uint32_t)target.size();
        std::string body = Varint(tgtLen) + std::string(1, '\0') + Varint(data.size()) +
                           Varint(inst.size()) + Varint(addr.size());
        if (adler) {
            uint32_t sum = (uint32_t)adler32(1L, (const Bytef *)target.data(), (uInt)target.size());
            for (int s = 24; s >= 0; s -= 8) {
                body += (char)((sum >> s) & 0xFF);
            }
        }
        body += data + inst + addr;
        std::string out(1, (char)winInd);
        if (winInd & 0x03) {
            out += Varint(cpyLen) + Varint(cpyOff);
        }
        return out + Varint(body.size() + encDelta) + body;
    }

  private:
    static void Append(const Instruction &i, std::string *data, std::string *inst,
                       std::string *addr) {
        if (i.type == 0) {
            *inst += (char)i.opcode;
            *addr += Varint(i.addr);
        } else if (i.type == 1) {
            *data += i.data;
            if (i.size >= 1 && i.size <= 17) {
                *inst += (char)(1 + i.size);
            } else {
                *inst += (char)1 + Varint(i.size);
            }
        } else if (i.type == 2) {
            *data += i.data;
            *inst += (char)0 + Varint(i.size);
        } else {
            if (i.size >= 4 && i.size <= 18) {
                *inst += (char)(19 + i.size - 3);
            } else {
                *inst += (char)19 + Varint(i.size);
            }
            *addr += Varint(i.addr);
        }
    }
    static void Simulate(const Instruction &i, uint32_t cpyLen, const std::string &segment,
                         std::string *target) {
        if (i.type == 1) {
            *target += i.data;
        } else if (i.type == 2) {
            target->append(i.size, i.data[0]);
        } else {
            for (uint32_t k = 0; k < i.size; k++) {
                uint64_t a = (uint64_t)i.addr + k;
                char c = 0;
                if (a < cpyLen) {
                    c = a < segment.size() ? segment[a] : 0;
                } else if (a - cpyLen < target->size()) {
                    c = (*target)[a - cpyLen];
                }
                *target += c;
            }
        }
    }
    std::vector<Instruction> list_;
    std::string extraData_;
};

// File header carrying a code table that differs from the default in entry 0:
// first instruction type `type`, size `size`, mode 0.
inline std::string CustomTableHeader(int type, int size) {
    uint8_t table[1536];
    VCDiff_SerializeDefaultTable(table);
    std::string segment((const char *)table, sizeof(table));
    Window w;
    w.Add(std::string(1, (char)type));
    w.Copy(511, 1, 0);
    w.Add(std::string(1, (char)size));
    w.Copy(1023, 513, 0);
    std::string tableDelta = Header(0) + w.Encode(0x01, 1536, 0, true, 0, -1, segment);
    return Header(0x02) + Varint(tableDelta.size() + 2) + "\x04\x03" + tableDelta;
}

struct DecodeResult {
    int code = 0;
    std::string message;
    std::string output;
    int blockLoads = 0;
};

// Decodes delta against source; piece 0 gives the whole delta at once.
inline DecodeResult Decode(const std::string &delta, const std::string &source, uint32_t piece,
                           uint32_t blockSize, bool setSource = true) {
    DecodeResult result;
    VCDiffStruct *d = nullptr;
    VCDiff_Create(&d);
    VCDiffSettingsStruct s;
    VCDiff_InitSettings(&s);
    s.WindowSize = 0x4000;
    s.Flags = VCDIFF_ADLER32;
    VCDiff_Config(d, &s);
    VCDiffSourceStruct src = {};
    src.Size = (int64_t)source.size();
    src.BlockSize = blockSize;
    src.Block = (const uint8_t *)source.data();
    src.OnBlock = (uint32_t)std::min<size_t>(blockSize, source.size());
    if (setSource) {
        VCDiff_SetSource(d, &src);
    }
    size_t pos = 0;
    size_t step = piece == 0 ? std::max<size_t>(delta.size(), 1) : piece;
    int code = 0;
    do {
        size_t n = std::min(step, delta.size() - pos);
        VCDiff_AvailInput(d, (const uint8_t *)delta.data() + pos, (uint32_t)n);
        pos += n;
        for (;;) {
            code = VCDiff_Decode(d);
            if (code == VCDIFF_INPUT) {
                code = 0;
                break;
            }
            if (code == VCDIFF_OUTPUT) {
                const uint8_t *bytes = nullptr;
                uint32_t len = 0;
                VCDiff_GetOutput(d, &bytes, &len);
                result.output.append((const char *)bytes, len);
                VCDiff_ConsumeOutput(d);
            } else if (code == VCDIFF_GETSRCBLK) {
                uint64_t off = (uint64_t)src.RequestedBlock * blockSize;
                src.CurrentBlock = src.RequestedBlock;
                src.Block = (const uint8_t *)source.data() + std::min<uint64_t>(off, source.size());
                src.OnBlock = off >= source.size()
                                  ? 0
                                  : (uint32_t)std::min<uint64_t>(blockSize, source.size() - off);
                result.blockLoads++;
            } else if (code != VCDIFF_GOTHEADER && code != VCDIFF_WINSTART &&
                       code != VCDIFF_WINFINISH) {
                break;
            }
        }
    } while (code == 0 && pos < delta.size());
    if (code == 0) {
        code = VCDiff_Close(d);
    }
    result.code = code;
    if (code != 0) {
        result.message = VCDiff_GetMessage(d);
    }
    VCDiff_Destroy(&d);
    return result;
}

} // namespace vcdfixture
