// The bencode writer (to a file through a 2048-byte buffer, or into a 512-byte
// caller buffer for DHT messages) and the tree dump. Members are written in
// stored order; dictionary keys are never re-sorted.
#include <cstring>

#include "core/alert.h"
#include "core/file.h"
#include "core/zyl.h"
#include "engine/metafile.h"

enum { kWriteReserve = 100, kFileBuffer = 2048 };

struct WriteState {
    char *Buffer;
    int Capacity;
    int Position;
    FileStruct *File; // null: buffer mode
};

static int InternalFlush(WriteState *w) {
    int count = 0;
    if (w->Position > 0 && !File_Write(w->File, w->Buffer, w->Position, &count))
        return 0;
    w->Position = 0;
    return 1;
}

// Appends n bytes. In file mode a full buffer goes to the file first and bytes
// that cannot fit the buffer go straight to the file; in buffer mode running
// out of room fails.
static int InternalPut(WriteState *w, const void *bytes, int n) {
    int remaining = w->Capacity - w->Position;
    if (n <= remaining) {
        memcpy(w->Buffer + w->Position, bytes, (size_t)n);
        w->Position += n;
        return 1;
    }
    if (w->File == nullptr) {
        Alert_Log(ALERT_KIND_ERROR, ALERT_LEVEL_NORMAL, "Out of buffer space (%d <= %d)", remaining,
                  n);
        return 0;
    }
    if (!InternalFlush(w))
        return 0;
    if (n > w->Capacity) {
        int count = 0;
        return File_Write(w->File, bytes, n, &count);
    }
    memcpy(w->Buffer, bytes, (size_t)n);
    w->Position = n;
    return 1;
}

static int MetaFile_InternalWrite(WriteState *w, MetaFileMemberStruct *m) {
    for (; m; m = m->Next) {
        int remaining = w->Capacity - w->Position;
        if (remaining <= kWriteReserve) {
            if (w->File == nullptr) {
                Alert_Log(ALERT_KIND_ERROR, ALERT_LEVEL_NORMAL, "Out of buffer space (%d <= %d)",
                          remaining, kWriteReserve);
                return 0;
            }
            if (!InternalFlush(w))
                return 0;
        }
        char head[24];
        int ok = 1;
        switch (m->Type) {
        case METAFILE_TYPE_STRING: {
            int n = Zyl_FormatString(head, sizeof head, "%d:", m->Length);
            ok = InternalPut(w, head, n) && InternalPut(w, m->Data, m->Length);
            break;
        }
        case METAFILE_TYPE_INTEGER:
            ok = InternalPut(w, "i", 1) && InternalPut(w, m->Data, m->Length) &&
                 InternalPut(w, "e", 1);
            break;
        case METAFILE_TYPE_DICTIONARY:
        case METAFILE_TYPE_LIST:
            ok = InternalPut(w, m->Type == METAFILE_TYPE_LIST ? "l" : "d", 1) &&
                 MetaFile_InternalWrite(w, m->Children.First) && InternalPut(w, "e", 1);
            break;
        default:
            break;
        }
        if (!ok)
            return 0;
    }
    return 1;
}

int MetaFile_Save(MetaFileStruct *doc) {
    ZYL_CHECK_TAG(doc, MetaFile_Tag);
    if (doc->FileName[0] == 0) {
        Alert_Log(ALERT_KIND_ERROR, ALERT_LEVEL_NORMAL, "No filename specified!");
        return 0;
    }
    if (!File_Open(doc->File, doc->FileName, FILE_MODE_WRITE)) {
        if (doc->Report)
            Alert_Log(ALERT_KIND_ERROR, ALERT_LEVEL_NORMAL, "Unable to open [%s]", doc->FileName);
        return 0;
    }
    int result = 0;
    if (doc->Root.First == nullptr) {
        Zyl_Print("MetaFile is empty\n");
    } else {
        char buffer[kFileBuffer];
        WriteState w = {buffer, kFileBuffer, 0, doc->File};
        result = MetaFile_InternalWrite(&w, doc->Root.First) && InternalFlush(&w);
        if (result)
            result = File_Truncate(doc->File);
    }
    if (!File_Close(doc->File))
        result = 0;
    return result;
}

int MetaFile_SaveBuffer(MetaFileStruct *doc, char *buffer, int *size) {
    ZYL_CHECK_TAG(doc, MetaFile_Tag);
    ZYL_CHECK_PTR(buffer);
    ZYL_CHECK_PTR(size);
    *size = 0;
    if (doc->Root.First == nullptr)
        return 0;
    WriteState w = {buffer, METAFILE_SAVE_BUFFER_SIZE, 0, nullptr};
    int result = MetaFile_InternalWrite(&w, doc->Root.First);
    *size = w.Position;
    return result;
}

static void InternalDump(MetaFileMemberStruct *m, int depth) {
    for (; m; m = m->Next) {
        unsigned id = (unsigned)(uintptr_t)m;
        if (m->Type == METAFILE_TYPE_DICTIONARY || m->Type == METAFILE_TYPE_LIST) {
            uint8_t digest[20];
            char hex[48];
            MetaFile_GetMemberSHA1(m, digest);
            Zyl_BytesToHex(digest, 20, hex, sizeof hex);
            Zyl_PrintIndented(depth, "[%.8X] %d:%7d SHA1:%s\n", id, m->Type, m->Length, hex);
            InternalDump(m->Children.First, depth + 1);
        } else if (m->Length > 999 || m->Data == nullptr) {
            Zyl_PrintIndented(depth, "[%.8X] %d:%7d\n", id, m->Type, m->Length);
        } else {
            Zyl_PrintIndented(depth, "[%.8X] %d:%7d[%s]\n", id, m->Type, m->Length, m->Data);
        }
    }
}

int MetaFile_Dump(MetaFileStruct *doc) {
    ZYL_CHECK_TAG(doc, MetaFile_Tag);
    if (doc->Root.First == nullptr) {
        Zyl_Print("MetaFile is empty\n");
        return 0;
    }
    Zyl_Print("\nListing of [%s] ----\n", doc->FileName);
    InternalDump(doc->Root.First, 0);
    return 1;
}
