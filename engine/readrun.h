// A run of back-to-back reads of one file, as the disk cache and storage follow
// it to tell a sequential scan from other reads.
#pragma once

#include <cstdint>

struct ReadRunStruct {
    int64_t End;   // where the last read ended (0 before any)
    int64_t Bytes; // bytes read back to back up to End
};

// Follows a read of length bytes at offset: it extends the run when it starts
// where the last one ended, else it starts a new one. Returns the run's bytes.
inline int64_t ReadRun_Follow(ReadRunStruct *run, int64_t offset, int64_t length) {
    run->Bytes = offset == run->End ? run->Bytes + length : length;
    run->End = offset + length;
    return run->Bytes;
}
