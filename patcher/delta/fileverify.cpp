// Whole-file SHA-1 verification: hashes a file in 64 KiB reads (large enough
// to keep the disk streaming, small enough for the stack) and compares digests.
#include "patcher/delta/fileverify.h"

#include "core/file.h"
#include "core/sha1.h"
#include "core/zyl.h"

#include <cstring>

static const char kFileVerifyTag[] = "..\\fileverify.c";

int FileVerify_Create(FileVerifyStruct **verifier) {
    ZYL_CHECK_PTR(verifier);
    FileVerifyStruct *v = ZYL_NEW(FileVerifyStruct);
    v->Tag = kFileVerifyTag;
    v->ReadSize = 0x10000;
    *verifier = v;
    return 1;
}

int FileVerify_Destroy(FileVerifyStruct **verifier) {
    ZYL_CHECK_PTR(verifier);
    FileVerifyStruct *v = *verifier;
    if (v == nullptr) {
        return 1;
    }
    ZYL_CHECK_TAG(v, kFileVerifyTag);
    v->Tag = Zyl_DeadTag;
    ZYL_FREE(v, sizeof(FileVerifyStruct));
    *verifier = nullptr;
    return 1;
}

// Feeds the open file to the digest; 0 when a read fails before the end.
static int FileVerify_InternalHash(FileStruct *file, FileVerifyStruct *v, Sha1Struct *sha) {
    int64_t size = 0;
    File_GetSize(file, &size);
    uint8_t *buffer = static_cast<uint8_t *>(ZYL_ALLOC(v->ReadSize));
    int64_t total = 0;
    int count = 0;
    while (File_Read(file, buffer, v->ReadSize, &count) && count > 0) {
        Sha1_Update(sha, buffer, count);
        total += count;
    }
    ZYL_FREE(buffer, v->ReadSize);
    if (total != size) {
        Zyl_Print("FileVerify_ComputeFile() read %I64d of %I64d bytes\n", total, size);
        return 0;
    }
    return 1;
}

int FileVerify_ComputeFile(const char *path, FileVerifyStruct *v) {
    ZYL_CHECK_PTR(path);
    ZYL_CHECK_TAG(v, kFileVerifyTag);
    memset(v->Digest, 0, sizeof(v->Digest));
    FileStruct *file = nullptr;
    File_New(&file);
    File_SetOpenRetries(file, 1);
    if (!File_Open(file, path, FILE_MODE_READ | FILE_MODE_SHARE_READ)) {
        File_Delete(&file);
        return 0;
    }
    Sha1Struct *sha = nullptr;
    Sha1_Create(&sha);
    int ok = FileVerify_InternalHash(file, v, sha);
    File_Close(file);
    File_Delete(&file);
    if (ok) {
        Sha1_Final(sha);
        Sha1_GetDigest(sha, v->Digest, (int)sizeof(v->Digest));
    }
    Sha1_Destroy(&sha);
    return ok;
}

int FileVerify_Compare(FileVerifyStruct *v, const uint8_t *expected) {
    ZYL_CHECK_TAG(v, kFileVerifyTag);
    ZYL_CHECK_PTR(expected);
    return Zyl_MemEqual(v->Digest, expected, 20);
}
