// FFS archive reader. Every count, position and size read from the archive is
// checked against the file's size before use; archives are small settings
// containers, so records are read whole with plain positioned reads.
#include "patcher/delta/ffscontainer.h"

#include "core/file.h"
#include "core/zyl.h"

#include <cstring>
#include <zlib.h>

static const char kFfsTag[] = "ffscntnr";

enum {
    kHeaderSize = 24,
    kFlagSequential = 0x1, // records may be read in table order
    kFlagUpperCase = 0x2,  // paths are upper-cased before hashing
    kPeekSize = 16,
    kNameSize = 80,
    kPathSize = 320,
    kMaxDecodedSize = 0x4000000, // a stored file never decodes to more (callers allocate it)
};

struct FfsCodecEntry {
    char Name[kNameSize];
    char Version[kNameSize];
    void *Context;
    FfsCodecDetect Detect;
    FfsCodecGetSize GetSize;
    FfsCodecDecompress Decompress;
    FfsCodecCreateContext CreateContext;
    FfsCodecDestroyContext DestroyContext;
    FfsCodecEntry *Next;
};

struct FfsEntry {
    int32_t Hash;
    int32_t Position;
};

struct FfsContainer {
    const char *Tag;
    FileStruct *File;
    int Flags;
    int32_t DataSize;   // Z
    int32_t EntryCount; // N
    int64_t Start;      // offset of the "FFS!" tag
    int64_t FileSize;
    FfsEntry *Table;
    FfsCodecEntry *Codecs;
    int Open;   // 1 while an archive is open
    int Bypass; // 1 after opening with an empty path
    char Path[kPathSize];
    char BaseFolder[kPathSize];
};

static int32_t Ffs_InternalLe32(const uint8_t *p) {
    return (int32_t)((uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 |
                     (uint32_t)p[3] << 24);
}

// Reads exactly length bytes at offset; 0 (buffer zeroed) when fewer are there.
static int Ffs_InternalReadAt(FfsContainer *c, int64_t offset, void *buffer, int length) {
    if (length > 0) {
        memset(buffer, 0, (size_t)length); // a failed read leaves zeros, never stale bytes
    }
    if (offset < 0 || length < 0 || offset > c->FileSize - length) {
        return 0;
    }
    int count = 0;
    if (!File_SetPosition(c->File, offset)) {
        return 0;
    }
    if (length == 0) {
        return 1;
    }
    return File_Read(c->File, buffer, length, &count) && count == length;
}

int FfsContainer_Create(FfsContainer **container) {
    ZYL_CHECK_PTR(container);
    FfsContainer *c = ZYL_NEW(FfsContainer);
    c->Tag = kFfsTag;
    File_New(&c->File);
    File_SetOpenRetries(c->File, 1);
    *container = c;
    return 1;
}

int FfsContainer_Destroy(FfsContainer **container) {
    ZYL_CHECK_PTR(container);
    FfsContainer *c = *container;
    if (c == nullptr) {
        return 1;
    }
    ZYL_CHECK_TAG(c, kFfsTag);
    FfsContainer_Close(c);
    File_Delete(&c->File);
    c->Tag = Zyl_DeadTag;
    ZYL_FREE(c, sizeof(FfsContainer));
    *container = nullptr;
    return 1;
}

static void Ffs_InternalCloseFile(FfsContainer *c) {
    if (File_IsOpen(c->File)) {
        File_Close(c->File);
    }
    if (c->Table != nullptr) {
        ZYL_FREE(c->Table, (int64_t)c->EntryCount * (int64_t)sizeof(FfsEntry));
    }
    c->EntryCount = 0;
    c->Open = 0;
    c->Bypass = 0;
}

int FfsContainer_Close(FfsContainer *c) {
    ZYL_CHECK_TAG(c, kFfsTag);
    while (c->Codecs != nullptr) {
        FfsCodecEntry *codec = c->Codecs;
        c->Codecs = codec->Next;
        if (codec->DestroyContext != nullptr) {
            codec->DestroyContext(&codec->Context);
        }
        ZYL_FREE(codec, sizeof(FfsCodecEntry));
    }
    Ffs_InternalCloseFile(c);
    c->BaseFolder[0] = 0;
    Zyl_Print("Flat/Fast File System Removed...\n");
    return 1;
}

int FfsContainer_SetBaseFolder(FfsContainer *c, const char *folder) {
    ZYL_CHECK_TAG(c, kFfsTag);
    c->BaseFolder[0] = 0;
    if (folder != nullptr && !Zyl_StrCopy(c->BaseFolder, folder, kPathSize)) {
        c->BaseFolder[0] = 0;
        Zyl_Print("FfsContainer_SetBaseFolder() folder too long [%s]\n", folder);
        return 0;
    }
    return 1;
}

int FfsContainer_AddCodec(FfsContainer *c, const char *name, const char *version,
                          FfsCodecCreateContext create, FfsCodecDestroyContext destroy,
                          FfsCodecDecompress decompress, FfsCodecGetSize getSize,
                          FfsCodecDetect detect) {
    ZYL_CHECK_TAG(c, kFfsTag);
    ZYL_CHECK_PTR(name);
    ZYL_CHECK_PTR(version);
    ZYL_CHECK_PTR(decompress);
    ZYL_CHECK_PTR(getSize);
    ZYL_CHECK_PTR(detect);
    FfsCodecEntry *codec = ZYL_NEW(FfsCodecEntry);
    Zyl_StrCopy(codec->Name, name, kNameSize);
    Zyl_StrCopy(codec->Version, version, kNameSize);
    codec->Detect = detect;
    codec->GetSize = getSize;
    codec->Decompress = decompress;
    codec->CreateContext = create;
    codec->DestroyContext = destroy;
    if (create != nullptr) {
        create(&codec->Context);
    }
    FfsCodecEntry **tail = &c->Codecs;
    while (*tail != nullptr) {
        tail = &(*tail)->Next;
    }
    *tail = codec;
    return 1;
}

// ---------------------------------------------------------------------------
// Open
// ---------------------------------------------------------------------------

// Finds the "FFS!" tag at tagOffset or through the trailer.
static int Ffs_InternalFindStart(FfsContainer *c, int64_t tagOffset) {
    uint8_t tag[4];
    if (Ffs_InternalReadAt(c, tagOffset, tag, 4) && memcmp(tag, "FFS!", 4) == 0) {
        c->Start = tagOffset;
        return 1;
    }
    uint8_t word[4];
    int32_t start = 0;
    if (Ffs_InternalReadAt(c, c->FileSize - 8, word, 4)) {
        start = Ffs_InternalLe32(word);
    }
    if (start <= 0 || start >= c->FileSize) {
        Zyl_Print("File '%s' doesn't contain FFS data!\n", c->Path);
        return 0;
    }
    if (!Ffs_InternalReadAt(c, start, tag, 4) || memcmp(tag, "FFS!", 4) != 0) {
        Zyl_Print("FFS Does not contain proper tag (Read %d from %d)!!!\n", Ffs_InternalLe32(tag),
                  start);
        return 0;
    }
    c->Start = start;
    return 1;
}

static int Ffs_InternalReadHeader(FfsContainer *c) {
    uint8_t h[kHeaderSize];
    if (!Ffs_InternalReadAt(c, c->Start, h, kHeaderSize)) {
        Zyl_Print("File '%s' doesn't contain FFS data!\n", c->Path);
        return 0;
    }
    int32_t n = Ffs_InternalLe32(h + 4), notN = Ffs_InternalLe32(h + 8);
    int32_t z = Ffs_InternalLe32(h + 12), notZ = Ffs_InternalLe32(h + 16);
    if (n != ~notN) {
        Zyl_Print("FFS: CMatch Fail %d != %d\n", n, ~notN);
        return 0;
    }
    if (z != ~notZ) {
        Zyl_Print("FFS: SMatch Fail %d != %d\n", z, ~notZ);
        return 0;
    }
    int64_t tableEnd = c->Start + kHeaderSize + (int64_t)n * (int64_t)sizeof(FfsEntry);
    if (n < 0 || tableEnd > c->FileSize) {
        Zyl_Print("FFS: entry count %d does not fit the file '%s'\n", n, c->Path);
        return 0;
    }
    c->EntryCount = n;
    c->DataSize = z;
    c->Flags = Ffs_InternalLe32(h + 20);
    return 1;
}

static int Ffs_InternalReadTable(FfsContainer *c) {
    int64_t bytes = (int64_t)c->EntryCount * 8;
    if (bytes == 0) {
        return 1;
    }
    uint8_t *raw = static_cast<uint8_t *>(ZYL_ALLOC(bytes));
    int ok = Ffs_InternalReadAt(c, c->Start + kHeaderSize, raw, (int)bytes);
    c->Table = static_cast<FfsEntry *>(ZYL_ALLOC(c->EntryCount * (int64_t)sizeof(FfsEntry)));
    for (int32_t i = 0; ok && i < c->EntryCount; i++) {
        c->Table[i].Hash = Ffs_InternalLe32(raw + i * 8);
        c->Table[i].Position = Ffs_InternalLe32(raw + i * 8 + 4);
        if (c->Table[i].Position < 0 || c->Table[i].Position > c->FileSize - 8) {
            Zyl_Print("FFS: Pos Fail %x outside the file\n", c->Table[i].Position);
            ok = 0;
        }
    }
    ZYL_FREE(raw, bytes);
    return ok;
}

// CRC-32 of Z - 4 bytes from verifyStart against the int32 at verifyStart + Z + 4.
static int Ffs_InternalVerify(FfsContainer *c, int64_t verifyStart) {
    int64_t length = (int64_t)c->DataSize - 4;
    uint8_t word[4];
    if (length < 0 || !Ffs_InternalReadAt(c, verifyStart + c->DataSize + 4, word, 4)) {
        Zyl_Print("FFS: CMatch2 Fail %d != %d\n", 0, c->DataSize);
        return 0;
    }
    int32_t expected = Ffs_InternalLe32(word);
    uint32_t crc = 0;
    uint8_t block[512];
    File_SetPosition(c->File, verifyStart);
    for (int64_t done = 0; done < length;) {
        int n = length - done < 512 ? (int)(length - done) : 512;
        int count = 0;
        if (!File_Read(c->File, block, n, &count) || count != n) {
            Zyl_Print("FFS: CMatch2 Fail %d != %d\n", 0, expected);
            return 0;
        }
        crc = (uint32_t)crc32(crc, block, (uInt)n);
        done += n;
    }
    if ((int32_t)crc != expected) {
        Zyl_Print("FFS: CMatch2 Fail %d != %d\n", (int32_t)crc, expected);
        return 0;
    }
    return 1;
}

int FfsContainer_Open(FfsContainer *c, const char *path, int tagOffset, int verifyStart,
                      int verify) {
    ZYL_CHECK_TAG(c, kFfsTag);
    ZYL_CHECK_PTR(path);
    Ffs_InternalCloseFile(c);
    if (path[0] == 0) {
        Zyl_Print("Flat/Fast File System Bypassed...\n");
        c->Bypass = 1;
        return 1;
    }
    if (!Zyl_StrCopy(c->Path, path, kPathSize) ||
        !File_Open(c->File, path, FILE_MODE_READ | FILE_MODE_SHARE_READ)) {
        Zyl_Print("Couldn't open flat file '%s'!\n", path);
        c->Path[0] = 0;
        return 0;
    }
    File_GetSize(c->File, &c->FileSize);
    int ok = 1;
    if (verifyStart < 0 || c->FileSize < verifyStart) {
        Zyl_Print("Offset too large for flat file '%s' (%d < %d)!\n", path, (int)c->FileSize,
                  verifyStart);
        ok = 0;
    }
    ok = ok && Ffs_InternalFindStart(c, tagOffset) && Ffs_InternalReadHeader(c) &&
         Ffs_InternalReadTable(c);
    ok = ok && (!verify || Ffs_InternalVerify(c, verifyStart));
    if (!ok) {
        Ffs_InternalCloseFile(c);
        return 0;
    }
    c->Open = 1;
    File_SetPosition(c->File, c->Start + kHeaderSize + (int64_t)c->EntryCount * 8);
    return 1;
}

// ---------------------------------------------------------------------------
// Records
// ---------------------------------------------------------------------------

// The path as the archive's writer hashed it: backslashes, "." and ".."
// resolved, no trailing backslash, upper-cased when the flag says so.
static int Ffs_InternalHash(FfsContainer *c, const char *path, int32_t *hash) {
    char norm[kPathSize];
    int len = 0;
    for (const char *p = path; *p != 0;) {
        const char *end = p;
        while (*end != 0 && *end != '/' && *end != '\\') {
            end++;
        }
        int n = (int)(end - p);
        if (n == 2 && p[0] == '.' && p[1] == '.') {
            while (len > 0 && norm[len - 1] != '\\') {
                len--;
            }
            len = len > 0 ? len - 1 : 0;
        } else if (n > 0 && !(n == 1 && p[0] == '.')) {
            if (len + n + 2 > kPathSize) {
                return 0;
            }
            if (len > 0 || p != path) {
                norm[len++] = '\\';
            }
            memcpy(norm + len, p, (size_t)n);
            len += n;
        }
        p = *end != 0 ? end + 1 : end;
    }
    norm[len] = 0;
    if (c->Flags & kFlagUpperCase) {
        Zyl_StrUpper(norm);
    }
    *hash = (int32_t)Zyl_Crc32(norm, len);
    return 1;
}

// Positions the file at the record's data. 1 and *stored when found.
static int Ffs_InternalFind(FfsContainer *c, int32_t hash, int64_t *dataAt, int32_t *stored) {
    uint8_t rec[8];
    int64_t here = 0;
    if ((c->Flags & kFlagSequential) && File_Tell(c->File, &here)) {
        if (Ffs_InternalReadAt(c, here, rec, 8) && Ffs_InternalLe32(rec) == hash) {
            *stored = Ffs_InternalLe32(rec + 4);
            *dataAt = here + 8;
            return *stored > 0 && *stored <= c->FileSize - *dataAt;
        }
        c->Flags &= ~kFlagSequential;
    }
    int lo = 0, hi = c->EntryCount - 1;
    while (lo <= hi) {
        int mid = lo + (hi - lo) / 2;
        if (c->Table[mid].Hash == hash) {
            int64_t at = c->Table[mid].Position;
            if (!Ffs_InternalReadAt(c, at, rec, 8) || Ffs_InternalLe32(rec) != hash) {
                Zyl_Print("FFS: Pos Fail %x != %x\n", Ffs_InternalLe32(rec), hash);
                return 0;
            }
            *stored = Ffs_InternalLe32(rec + 4);
            *dataAt = at + 8;
            if (*stored < 0 || *stored > c->FileSize - *dataAt) {
                Zyl_Print("FFS: stored size %d outside the file\n", *stored);
                return 0;
            }
            return *stored > 0;
        }
        if (c->Table[mid].Hash < hash) {
            lo = mid + 1;
        } else {
            hi = mid - 1;
        }
    }
    return 0;
}

static FfsCodecEntry *Ffs_InternalDetect(FfsContainer *c, const uint8_t *data, int length) {
    for (FfsCodecEntry *codec = c->Codecs; codec != nullptr; codec = codec->Next) {
        if (codec->Detect(codec->Context, data, length)) {
            return codec;
        }
    }
    return nullptr;
}

static int Ffs_InternalBypassPath(FfsContainer *c, const char *path, char *full) {
    if (Zyl_FormatString(full, kPathSize, "%s%s", c->BaseFolder, path) !=
        Zyl_StrLen(c->BaseFolder) + Zyl_StrLen(path)) {
        Zyl_Print("Unable to read from file '%s'\n", path);
        return 0;
    }
    return 1;
}

int FfsContainer_GetSize(FfsContainer *c, const char *path, int *size) {
    ZYL_CHECK_TAG(c, kFfsTag);
    ZYL_CHECK_PTR(path);
    ZYL_CHECK_PTR(size);
    *size = 0;
    char full[kPathSize];
    if (c->Bypass) {
        FileStruct *file = nullptr;
        int64_t bytes = 0;
        File_New(&file);
        int ok = Ffs_InternalBypassPath(c, path, full) && File_Stat(file, full) &&
                 File_GetSize(file, &bytes) && bytes <= 0x7FFFFFFF;
        File_Delete(&file);
        *size = ok ? (int)bytes : 0;
        return ok;
    }
    int32_t hash = 0, stored = 0;
    int64_t at = 0;
    if (!c->Open || !Ffs_InternalHash(c, path, &hash)) {
        return 0;
    }
    Zyl_Print("Size [%.8X] [%s]\n", hash, path);
    if (!Ffs_InternalFind(c, hash, &at, &stored)) {
        return 0;
    }
    uint8_t peek[kPeekSize];
    int n = stored < kPeekSize ? stored : kPeekSize;
    if (!Ffs_InternalReadAt(c, at, peek, n)) {
        Zyl_Print("Unable to peek into compressed data\n");
        return 0;
    }
    File_SetPosition(c->File, at - 8); // the peek does not move the reader
    FfsCodecEntry *codec = Ffs_InternalDetect(c, peek, n);
    if (codec == nullptr) {
        *size = stored;
        return 1;
    }
    if (!codec->GetSize(codec->Context, peek, n, size) || *size < 0 || *size > kMaxDecodedSize) {
        Zyl_Print("[%s] Unable to get size\n", codec->Name);
        *size = 0;
        return 0;
    }
    return 1;
}

static int Ffs_InternalLoadBypass(FfsContainer *c, const char *path, uint8_t *buffer, int size) {
    char full[kPathSize];
    if (!Ffs_InternalBypassPath(c, path, full)) {
        return 0;
    }
    FileStruct *file = nullptr;
    File_New(&file);
    File_SetOpenRetries(file, 1);
    int count = 0;
    int64_t bytes = -1;
    int ok = File_Open(file, full, FILE_MODE_READ | FILE_MODE_SHARE_READ) &&
             File_GetSize(file, &bytes) && bytes == size &&
             (size == 0 || (File_Read(file, buffer, size, &count) && count == size));
    File_Close(file);
    File_Delete(&file);
    if (!ok) {
        Zyl_Print("Unable to read from file '%s'\n", full);
    }
    return ok;
}

static int Ffs_InternalDecode(FfsContainer *c, const uint8_t *data, int stored, uint8_t *buffer,
                              int size) {
    FfsCodecEntry *codec = Ffs_InternalDetect(c, data, stored);
    if (codec == nullptr) {
        if (stored != size) {
            Zyl_Print("Incompatible sizes (%d != %d)\n", stored, size);
            return 0;
        }
        memcpy(buffer, data, (size_t)size);
        return 1;
    }
    int decoded = 0;
    if (!codec->GetSize(codec->Context, data, stored, &decoded)) {
        Zyl_Print("[%s] Unable to get size\n", codec->Name);
        return 0;
    }
    if (decoded != size) {
        Zyl_Print("[%s] Memory size not same (%d != %d)\n", codec->Name, decoded, size);
        return 0;
    }
    if (!codec->Decompress(codec->Context, data, stored, buffer, size)) {
        Zyl_Print("[%s] Failed to decompress\n", codec->Name);
        return 0;
    }
    return 1;
}

int FfsContainer_Load(FfsContainer *c, const char *path, uint8_t *buffer, int size) {
    ZYL_CHECK_TAG(c, kFfsTag);
    ZYL_CHECK_PTR(path);
    ZYL_CHECK_PTR(buffer);
    if (size < 0) {
        return 0;
    }
    if (c->Bypass) {
        return Ffs_InternalLoadBypass(c, path, buffer, size);
    }
    int32_t hash = 0, stored = 0;
    int64_t at = 0;
    if (!c->Open || !Ffs_InternalHash(c, path, &hash)) {
        return 0;
    }
    Zyl_Print("Load [%.8X] [%s]\n", hash, path);
    if (!Ffs_InternalFind(c, hash, &at, &stored)) {
        return 0;
    }
    uint8_t *data = static_cast<uint8_t *>(ZYL_ALLOC(stored));
    int ok = Ffs_InternalReadAt(c, at, data, stored);
    if (!ok) {
        Zyl_Print("Unable to read from file '%s'\n", path);
    }
    ok = ok && Ffs_InternalDecode(c, data, stored, buffer, size);
    ZYL_FREE(data, stored);
    return ok;
}
