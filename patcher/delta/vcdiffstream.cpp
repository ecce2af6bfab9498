// VCDIFF stream: drives the decoder over a delta that arrives in pieces, serving
// source blocks of 16 KiB from the old file and writing each target window to
// the new file, so a delta against a file of any size needs one block in memory.
#include "patcher/delta/vcdiffstream.h"

#include "core/alert.h"
#include "core/file.h"
#include "core/zyl.h"
#include "patcher/delta/fileverify.h"
#include "patcher/delta/vcdiff.h"

#include <cstring>
#include <sys/stat.h>

static const char kVCDiffStreamTag[] = "..\\vcdiffstream.c";

enum { kBlockSize = 0x4000, kApplyPiece = 0x40000 };

// SHA-1 of no bytes: a digest that says the result is empty.
static const uint8_t kEmptySha1[20] = {0xda, 0x39, 0xa3, 0xee, 0x5e, 0x6b, 0x4b, 0x0d, 0x32, 0x55,
                                       0xbf, 0xef, 0x95, 0x60, 0x18, 0x90, 0xaf, 0xd8, 0x07, 0x09};

struct VCDiffStreamStruct {
    const char *Tag;
    VCDiffStruct *Decoder;
    VCDiffSourceStruct Source;
    char SourcePath[FILE_PATH_SIZE];
    int DecoderReady;     // 1 while a decoder is set up
    int Failed;           // 1 after a failure since Begin
    int64_t ExpectedSize; // bytes the result must have; -1 when unknown
    FileStruct *SourceFile;
    FileStruct *TargetFile; // the caller's, between Begin and End; null otherwise
    uint8_t *Block;         // kBlockSize bytes: the current source block
};

int VCDiffStream_Create(VCDiffStreamStruct **stream) {
    ZYL_CHECK_PTR(stream);
    VCDiffStreamStruct *s = ZYL_NEW(VCDiffStreamStruct);
    s->Tag = kVCDiffStreamTag;
    File_New(&s->SourceFile);
    File_SetOpenRetries(s->SourceFile, 1);
    s->Block = static_cast<uint8_t *>(ZYL_ALLOC(kBlockSize));
    *stream = s;
    return 1;
}

// Closes the source and lets go of the caller's target (left open).
static void VCDiffStream_InternalCloseFiles(VCDiffStreamStruct *s) {
    s->TargetFile = nullptr;
    if (File_IsOpen(s->SourceFile)) {
        File_Close(s->SourceFile);
    }
}

int VCDiffStream_Destroy(VCDiffStreamStruct **stream) {
    ZYL_CHECK_PTR(stream);
    VCDiffStreamStruct *s = *stream;
    if (s == nullptr) {
        return 1;
    }
    ZYL_CHECK_TAG(s, kVCDiffStreamTag);
    VCDiffStream_InternalCloseFiles(s);
    File_Delete(&s->SourceFile);
    ZYL_FREE(s->Block, kBlockSize);
    VCDiff_Destroy(&s->Decoder);
    s->Tag = Zyl_DeadTag;
    ZYL_FREE(s, sizeof(VCDiffStreamStruct));
    *stream = nullptr;
    return 1;
}

// Loads source block n into the block buffer.
static int VCDiffStream_InternalProcessGetSource(VCDiffStreamStruct *s, int64_t n) {
    if (!File_SetPosition(s->SourceFile, n * kBlockSize)) {
        Alert_Log(ALERT_KIND_ERROR, ALERT_LEVEL_NORMAL,
                  "VCDiffStream_InternalProcessGetSource() unable to seek");
        return 0;
    }
    int count = 0;
    File_Read(s->SourceFile, s->Block, kBlockSize, &count); // at the end: 0 bytes
    s->Source.CurrentBlock = n;
    s->Source.OnBlock = (uint32_t)count;
    s->Source.Block = s->Block;
    return 1;
}

static int VCDiffStream_InternalInflateBegin(VCDiffStreamStruct *s, const char *sourcePath,
                                             FileStruct *target, int64_t expectedSize) {
    VCDiff_Destroy(&s->Decoder);
    s->DecoderReady = 0;
    memset(&s->Source, 0, sizeof(s->Source));
    VCDiffSettingsStruct settings;
    VCDiff_InitSettings(&settings);
    settings.WindowSize = 0x4000;
    settings.Flags = VCDIFF_ADLER32;
    settings.MaxTargetSize = expectedSize;
    VCDiff_Create(&s->Decoder);
    if (VCDiff_Config(s->Decoder, &settings) != 0) {
        Alert_Log(ALERT_KIND_ERROR, ALERT_LEVEL_NORMAL,
                  "VCDiffStream_InternalInflateBegin() decoder setup failed %s",
                  VCDiff_GetMessage(s->Decoder));
        return 0;
    }
    s->DecoderReady = 1;
    VCDiffStream_InternalCloseFiles(s);
    if (!File_Open(s->SourceFile, sourcePath, FILE_MODE_READ | FILE_MODE_SHARE_READ)) {
        Alert_Log(ALERT_KIND_ERROR, ALERT_LEVEL_NORMAL,
                  "VCDiffStream_InternalInflateBegin() unable to open [%s]", sourcePath);
        return 0;
    }
    File_GetSize(s->SourceFile, &s->Source.Size);
    s->TargetFile = target;
    s->ExpectedSize = expectedSize;
    s->Source.BlockSize = kBlockSize;
    s->Source.Block = s->Block;
    Zyl_StrCopy(s->SourcePath, sourcePath, (int)sizeof(s->SourcePath));
    s->Source.Name = s->SourcePath;
    if (!VCDiffStream_InternalProcessGetSource(s, 0)) {
        return 0;
    }
    VCDiff_SetSource(s->Decoder, &s->Source);
    return 1;
}

int VCDiffStream_InflateBegin(VCDiffStreamStruct *s, const char *sourcePath, FileStruct *target,
                              int64_t expectedSize) {
    ZYL_CHECK_TAG(s, kVCDiffStreamTag);
    ZYL_CHECK_PTR(sourcePath);
    ZYL_CHECK_PTR(target);
    s->Failed = 0;
    if (!VCDiffStream_InternalInflateBegin(s, sourcePath, target,
                                           expectedSize < 0 ? -1 : expectedSize)) {
        s->Failed = 1;
        return 0;
    }
    return 1;
}

static int VCDiffStream_InternalWriteOutput(VCDiffStreamStruct *s) {
    const uint8_t *bytes = nullptr;
    uint32_t length = 0;
    VCDiff_GetOutput(s->Decoder, &bytes, &length);
    int written = 0;
    if (length > 0 && !File_Write(s->TargetFile, bytes, (int)length, &written)) {
        return 0; // the file object logged the failed write
    }
    VCDiff_ConsumeOutput(s->Decoder);
    return 1;
}

static int VCDiffStream_InternalProcessBuffer(VCDiffStreamStruct *s) {
    for (;;) {
        int r = VCDiff_Decode(s->Decoder);
        switch (r) {
        case VCDIFF_WINFINISH:
        case VCDIFF_WINSTART:
        case VCDIFF_GOTHEADER:
            break;
        case VCDIFF_GETSRCBLK:
            if (!VCDiffStream_InternalProcessGetSource(s, s->Source.RequestedBlock)) {
                return 0;
            }
            break;
        case VCDIFF_OUTPUT:
            if (!VCDiffStream_InternalWriteOutput(s)) {
                return 0;
            }
            break;
        case VCDIFF_INPUT:
            return 1;
        default:
            Alert_Log(ALERT_KIND_ERROR, ALERT_LEVEL_NORMAL,
                      "VCDiffStream_InternalProcessBuffer() decode error msg %s",
                      VCDiff_GetMessage(s->Decoder));
            return 0;
        }
    }
}

int VCDiffStream_InflateBuffer(VCDiffStreamStruct *s, const uint8_t *bytes, int length) {
    ZYL_CHECK_TAG(s, kVCDiffStreamTag);
    if (length > 0) {
        ZYL_CHECK_PTR(bytes);
    }
    if (s->Failed || !s->DecoderReady || length < 0) {
        return 0;
    }
    VCDiff_AvailInput(s->Decoder, bytes, (uint32_t)length);
    if (!VCDiffStream_InternalProcessBuffer(s)) {
        s->Failed = 1;
        return 0;
    }
    return 1;
}

// The checks of a delta that decoded cleanly: at least one window unless the
// result is known to be empty, and exactly the expected size when one is known.
static int VCDiffStream_InternalCheckResult(VCDiffStreamStruct *s) {
    int windows = VCDiff_GetWindowCount(s->Decoder);
    int64_t produced = (int64_t)VCDiff_GetTotalOut(s->Decoder);
    if (windows == 0 && s->ExpectedSize != 0) {
        Alert_Log(ALERT_KIND_ERROR, ALERT_LEVEL_NORMAL,
                  "VCDiffStream_InflateEnd() delta holds no window");
        return 0;
    }
    if (s->ExpectedSize >= 0 && produced != s->ExpectedSize) {
        Alert_Log(ALERT_KIND_ERROR, ALERT_LEVEL_NORMAL,
                  "VCDiffStream_InflateEnd() result is %I64d bytes, expected %I64d", produced,
                  s->ExpectedSize);
        return 0;
    }
    return 1;
}

int VCDiffStream_InflateEnd(VCDiffStreamStruct *s) {
    ZYL_CHECK_TAG(s, kVCDiffStreamTag);
    int ok = !s->Failed && s->DecoderReady;
    VCDiffStream_InternalCloseFiles(s);
    if (s->DecoderReady) {
        VCDiff_SetFlags(s->Decoder, VCDIFF_ADLER32 | VCDIFF_FLUSH);
        if (!s->Failed && VCDiff_Close(s->Decoder) != 0) {
            Alert_Log(ALERT_KIND_ERROR, ALERT_LEVEL_NORMAL,
                      "VCDiffStream_InflateEnd() decode error msg %s",
                      VCDiff_GetMessage(s->Decoder));
            ok = 0;
        }
        ok = ok && VCDiffStream_InternalCheckResult(s);
        VCDiff_Destroy(&s->Decoder);
        s->DecoderReady = 0;
    }
    s->Failed = 0;
    return ok;
}

// ---------------------------------------------------------------------------
// Whole-file application
// ---------------------------------------------------------------------------

static int VCDiffStream_InternalFeedFile(VCDiffStreamStruct *s, const char *deltaPath) {
    FileStruct *delta = nullptr;
    File_New(&delta);
    File_SetOpenRetries(delta, 1);
    if (!File_Open(delta, deltaPath, FILE_MODE_READ | FILE_MODE_SHARE_READ)) {
        Alert_Log(ALERT_KIND_ERROR, ALERT_LEVEL_NORMAL,
                  "VCDiffStream_ApplyFile() unable to open [%s]", deltaPath);
        File_Delete(&delta);
        return 0;
    }
    int64_t size = 0, total = 0;
    File_GetSize(delta, &size);
    uint8_t *buffer = static_cast<uint8_t *>(ZYL_ALLOC(kApplyPiece));
    int ok = 1, count = 0;
    while (ok && File_Read(delta, buffer, kApplyPiece, &count) && count > 0) {
        total += count;
        ok = VCDiffStream_InflateBuffer(s, buffer, count);
    }
    if (ok && total != size) {
        Alert_Log(ALERT_KIND_ERROR, ALERT_LEVEL_NORMAL,
                  "VCDiffStream_ApplyFile() read failure [%s]", deltaPath);
        ok = 0;
    }
    ZYL_FREE(buffer, kApplyPiece);
    File_Close(delta);
    File_Delete(&delta);
    return ok;
}

static int VCDiffStream_InternalVerify(FileStruct *file, const uint8_t *expectedSha1) {
    char path[FILE_PATH_SIZE];
    FileVerifyStruct *verify = nullptr;
    FileVerify_Create(&verify);
    int ok = File_GetPath(file, path, (int)sizeof(path)) && FileVerify_ComputeFile(path, verify) &&
             FileVerify_Compare(verify, expectedSha1);
    FileVerify_Destroy(&verify);
    if (!ok) {
        Alert_Log(ALERT_KIND_ERROR, ALERT_LEVEL_NORMAL,
                  "VCDiffStream_ApplyFile() digest mismatch [%s]", path);
    }
    return ok;
}

// 1 when targetPath is missing or a regular file (a link, a folder or a device
// is never replaced by a file).
static int VCDiffStream_InternalCheckTarget(const char *targetPath) {
    struct stat info;
    if (lstat(targetPath, &info) != 0 || S_ISREG(info.st_mode)) {
        return 1;
    }
    Alert_Log(ALERT_KIND_ERROR, ALERT_LEVEL_NORMAL,
              "VCDiffStream_ApplyFile() target is not a regular file [%s]", targetPath);
    return 0;
}

int VCDiffStream_ApplyFile(const char *sourcePath, const char *deltaPath, const char *targetPath,
                           const uint8_t *expectedSha1, int64_t expectedSize) {
    ZYL_CHECK_PTR(sourcePath);
    ZYL_CHECK_PTR(deltaPath);
    ZYL_CHECK_PTR(targetPath);
    if (!VCDiffStream_InternalCheckTarget(targetPath)) {
        return 0;
    }
    if (expectedSha1 != nullptr && expectedSize < 0 &&
        memcmp(expectedSha1, kEmptySha1, sizeof(kEmptySha1)) == 0) {
        expectedSize = 0; // the digest says the result is empty
    }
    FileStruct *target = nullptr;
    File_New(&target);
    // The result is written to a new file of this call only, beside the target.
    int ok = File_OpenReplacement(target, targetPath, ".part", -1);
    if (ok) {
        VCDiffStreamStruct *s = nullptr;
        VCDiffStream_Create(&s);
        ok = VCDiffStream_InflateBegin(s, sourcePath, target, expectedSize);
        ok = ok && VCDiffStream_InternalFeedFile(s, deltaPath);
        ok = VCDiffStream_InflateEnd(s) && ok;
        VCDiffStream_Destroy(&s);
    }
    if (ok && expectedSha1 != nullptr) {
        ok = VCDiffStream_InternalVerify(target, expectedSha1);
    }
    // Synced, then renamed over the target in one step: the target is always
    // the old or the new file. A failure removes only this call's file.
    ok = ok && File_CommitReplacement(target);
    File_Close(target);
    File_Delete(&target);
    return ok;
}
