// Whole-file SHA-1 verification: hashes a file in 64 KiB reads and compares
// the digest with an expected 20-byte value.
#pragma once

#include <cstdint>

struct FileVerifyStruct {
    const char *Tag;
    int ReadSize;       // bytes per read (0x10000)
    uint8_t Digest[20]; // digest of the last file hashed
};

// Allocates a verifier into *verifier. Returns 1.
int FileVerify_Create(FileVerifyStruct **verifier);
// Frees and clears *verifier; accepts null. Returns 1.
int FileVerify_Destroy(FileVerifyStruct **verifier);
// Hashes the whole file at path and keeps the digest. 1 on success; 0 when the
// file cannot be opened or a read fails (the digest is then all zero).
int FileVerify_ComputeFile(const char *path, FileVerifyStruct *verifier);
// 1 when the kept digest equals the 20 expected bytes.
int FileVerify_Compare(FileVerifyStruct *verifier, const uint8_t *expected);
