// The start-up scan: prepares the download's files and checks, piece by piece,
// what already lies on disk; also erasing a content. Polls the download's stop
// event between blocks so a stop ends the check promptly. Tuned for large
// complete downloads: a helper thread reads ahead while the blocks are hashed.
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "core/alert.h"
#include "core/bitfield.h"
#include "core/mutex.h"
#include "core/sha1.h"
#include "core/zyl.h"
#include "engine/content.h"
#include "engine/filelist.h"
#include "engine/kickstart.h"

extern const char Content_Tag[];

static int InternalStopped(ContentStruct *content) {
    int set = 0;
    if (content->StopEvent && (!Event_Poll(content->StopEvent, &set) || set)) {
        Alert_Log(ALERT_KIND_NOTICE, ALERT_LEVEL_NORMAL, "Content scan aborted");
        return 1;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// The check of blocks on disk. A helper thread reads the blocks to be hashed,
// in order, in chunks of up to kChunkSize bytes into a ring of kSlotCount
// slots, while the checking thread hashes the chunks behind it: the copies
// out of the page cache overlap the hashing. When the ring is empty and no
// read is under way (the helper has not had a processor), the checking thread
// reads the next chunk itself, so a busy machine costs no more than reading
// and hashing in turn. One read runs at a time (the Reading token), and the
// checking thread stays in the check until the helper is joined, so the file
// list sees one caller at a time as before.
// ---------------------------------------------------------------------------

namespace {

// A full ring waits until half of it is free again, so each side wakes the
// other about once per half ring rather than once per chunk.
enum { kChunkSize = 1 << 17, kSlotCount = 16 };

struct CheckChunk {
    int Length; // bytes in Bytes
    int Ok;     // 0: the block could not be read (logged where the read failed)
    int Last;   // 1: the block's last chunk
    uint8_t *Bytes;
};

struct CheckReader {
    ContentStruct *Content = nullptr;
    const std::vector<int> *Blocks = nullptr; // the blocks to read, ascending
    uint8_t *Ring = nullptr;                  // kSlotCount x kChunkSize bytes
    CheckChunk Slots[kSlotCount] = {};
    // The next chunk's place: an index into Blocks, that block's size and the
    // byte in it. Used only by the thread holding the Reading token.
    size_t NextBlock = 0;
    int BlockSize = 0;
    int NextBegin = 0;
    // Guarded by Lock: chunks written and taken (slot = count % kSlotCount),
    // the Reading token, who sleeps, and the checking thread's request to stop.
    std::mutex Lock;
    std::condition_variable Changed;
    uint64_t Written = 0;
    uint64_t Taken = 0;
    int Reading = 0;
    int Stop = 0;
    int ReaderWaiting = 0;  // the helper sleeps
    int CheckerWaiting = 0; // the checking thread sleeps on an empty ring
    std::thread Thread;
    int Threaded = 0; // 0: no helper; the checking thread reads every chunk
};

// Reads the next chunk into the slot after the last written one. The caller
// holds the Reading token and the slot is free. A block whose read fails ends
// with that chunk.
void InternalReadChunk(CheckReader *reader) {
    CheckChunk *chunk = &reader->Slots[reader->Written % kSlotCount];
    const int block = (*reader->Blocks)[reader->NextBlock];
    chunk->Length = 0;
    chunk->Ok = 1;
    if (reader->NextBegin == 0 &&
        !Content_GetPieceSize(reader->Content, block, &reader->BlockSize)) {
        Alert_Log(ALERT_KIND_ERROR, ALERT_LEVEL_NORMAL, "Piece outside content [%d]", block);
        chunk->Ok = 0;
    }
    if (chunk->Ok) {
        const int rest = reader->BlockSize - reader->NextBegin;
        chunk->Length = rest < kChunkSize ? rest : kChunkSize;
        chunk->Ok =
            Content_Read(chunk->Bytes, reader->Content, block, reader->NextBegin, chunk->Length);
    }
    reader->NextBegin += chunk->Length;
    chunk->Last = !chunk->Ok || reader->NextBegin >= reader->BlockSize;
    if (chunk->Last) {
        reader->NextBlock++;
        reader->NextBegin = 0;
    }
}

// Takes the Reading token (Lock held through `hold`), reads one chunk with the
// lock released, then publishes it and wakes whoever waits for it.
void InternalReadLocked(CheckReader *reader, std::unique_lock<std::mutex> &hold) {
    reader->Reading = 1;
    hold.unlock();
    InternalReadChunk(reader);
    hold.lock();
    reader->Reading = 0;
    reader->Written++;
    if (reader->CheckerWaiting || reader->ReaderWaiting)
        reader->Changed.notify_all();
}

void InternalReaderRun(CheckReader *reader) {
    std::unique_lock<std::mutex> hold(reader->Lock);
    for (;;) {
        if (reader->Stop || (!reader->Reading && reader->NextBlock >= reader->Blocks->size()))
            return;
        if (reader->Reading || reader->Written - reader->Taken >= kSlotCount) {
            reader->ReaderWaiting = 1;
            reader->Changed.wait(hold, [reader] {
                return reader->Stop ||
                       (!reader->Reading && reader->Written - reader->Taken <= kSlotCount / 2);
            });
            reader->ReaderWaiting = 0;
            continue;
        }
        InternalReadLocked(reader, hold);
    }
}

// Starts reading `blocks` (kept by the caller until InternalReaderEnd).
void InternalReaderStart(CheckReader *reader, ContentStruct *content,
                         const std::vector<int> *blocks) {
    reader->Content = content;
    reader->Blocks = blocks;
    if (blocks->empty())
        return;
    reader->Ring = static_cast<uint8_t *>(ZYL_ALLOC_UNFILLED((int64_t)kSlotCount * kChunkSize));
    for (int k = 0; k < kSlotCount; k++)
        reader->Slots[k].Bytes = reader->Ring + (int64_t)k * kChunkSize;
    try {
        reader->Thread = std::thread(InternalReaderRun, reader);
        reader->Threaded = 1;
    } catch (const std::system_error &error) {
        Alert_Log(ALERT_KIND_NOTICE, ALERT_LEVEL_NORMAL,
                  "Content check reads without a helper thread (%s)", error.what());
    }
}

// The next chunk in order, read here when none is ready and no read is under
// way; release it with InternalReaderRelease.
const CheckChunk *InternalReaderNext(CheckReader *reader) {
    std::unique_lock<std::mutex> hold(reader->Lock);
    while (reader->Written == reader->Taken) {
        if (!reader->Reading) {
            InternalReadLocked(reader, hold);
            break;
        }
        reader->CheckerWaiting = 1;
        reader->Changed.wait(
            hold, [reader] { return reader->Written > reader->Taken || !reader->Reading; });
        reader->CheckerWaiting = 0;
    }
    return &reader->Slots[reader->Taken % kSlotCount];
}

void InternalReaderRelease(CheckReader *reader) {
    std::lock_guard<std::mutex> hold(reader->Lock);
    reader->Taken++;
    if (reader->ReaderWaiting && !reader->Reading &&
        reader->Written - reader->Taken <= kSlotCount / 2)
        reader->Changed.notify_all();
}

// Stops and joins the helper and frees the ring.
void InternalReaderEnd(CheckReader *reader) {
    if (reader->Threaded) {
        {
            std::lock_guard<std::mutex> hold(reader->Lock);
            reader->Stop = 1;
            reader->Changed.notify_all();
        }
        reader->Thread.join();
        reader->Threaded = 0;
    }
    if (reader->Ring)
        ZYL_FREE(reader->Ring, (int64_t)kSlotCount * kChunkSize);
}

// Hashes the reader's chunks of one block into digest; 0 when the block could
// not be read whole.
int InternalHashBlock(ContentStruct *content, CheckReader *reader, uint8_t digest[20]) {
    Sha1_Init(content->Sha1);
    int ok = 1;
    for (;;) {
        const CheckChunk *chunk = InternalReaderNext(reader);
        ok = chunk->Ok;
        if (ok)
            Sha1_Update(content->Sha1, chunk->Bytes, chunk->Length);
        const int last = chunk->Last;
        InternalReaderRelease(reader);
        if (last)
            break;
    }
    Sha1_Final(content->Sha1);
    return Sha1_GetDigest(content->Sha1, digest, 20) && ok;
}

} // namespace

int Content_CheckExisting(ContentStruct *content) {
    ZYL_CHECK_TAG(content, Content_Tag);
    // The blocks to hash are fixed before the reading starts: wanted ones not
    // yet checked. Blocks that were wanted and lie wholly in bytes created by
    // the preparation hold nothing yet: they are marked checked like unwanted ones.
    std::vector<int> blocks;
    for (int i = content->CheckProgress; i < content->PieceCount; i++) {
        if (Bitfield_Test(content->Wanted, i) && !Bitfield_Test(content->Checked, i))
            blocks.push_back(i);
    }
    CheckReader reader;
    InternalReaderStart(&reader, content, &blocks);
    size_t next = 0;
    for (int i = content->CheckProgress; i < content->PieceCount; i++) {
        if (InternalStopped(content)) {
            InternalReaderEnd(&reader);
            return 0;
        }
        __atomic_store_n(&content->CheckProgress, i, __ATOMIC_RELAXED);
        if (next >= blocks.size() || blocks[next] != i) {
            Content_Log(content, "Check block: %5d/%d -- Skip", i, content->PieceCount);
            Bitfield_Set(content->Checked, i);
            continue;
        }
        next++;
        uint8_t digest[20];
        int size = 0;
        Content_GetPieceSize(content, i, &size);
        if (InternalHashBlock(content, &reader, digest) &&
            Zyl_MemEqual(digest, content->PieceTable + (int64_t)i * 20, 20)) {
            Content_Log(content, "Check block: %5d/%d -- Pass", i, content->PieceCount);
            if (!Bitfield_Test(content->Held, i)) {
                __atomic_fetch_sub(&content->BytesLeft, (int64_t)size, __ATOMIC_RELAXED);
                Bitfield_Set(content->Held, i);
            }
        } else {
            Content_Log(content, "Check block: %5d/%d -- Failed", i, content->PieceCount);
            content->FailedCount++;
        }
        Bitfield_Set(content->Checked, i);
    }
    InternalReaderEnd(&reader);
    __atomic_store_n(&content->CheckProgress, content->PieceCount, __ATOMIC_RELAXED);
    Content_Log(content, "Completed - (%d failed check)", content->FailedCount);
    return FileList_ReleaseCacheFiles(content->FileList);
}

int Content_ScanExisting(ContentStruct *content) {
    ZYL_CHECK_TAG(content, Content_Tag);
    double start = Zyl_GetSeconds();
    FileListStruct *list = content->FileList;
    FileList_SetDirectory(content->Path, list);
    int count = 0;
    FileList_GetCount(list, &count);
    FileListMemberStruct *first = nullptr;
    if (count <= 1 && content->Name[0] && FileList_FirstMember(list, &first))
        FileList_SetMemberPath(first, content->Name);
    content->Checking = 1;
    int existing = 0;
    int ok = FileList_PrepareFiles(list, content->Checked, &content->CheckProgress, &existing);
    if (ok && existing > 0) {
        // A kick file that still matches the disk stands for the check.
        KickStartStruct *kick = Content_GetKickStart(content);
        if (kick && KickStart_LoadBaseAccelerator(kick, content->Base)) {
            Content_Recount(content);
            FileList_CheckCompleted(list, content->Held, 0, 0);
        } else {
            // The preparation moved the figure over the files; the check sweeps
            // every piece again from the first.
            __atomic_store_n(&content->CheckProgress, 0, __ATOMIC_RELAXED);
            ok = Content_CheckExisting(content);
            if (ok)
                FileList_CheckCompleted(list, content->Held, 0, 0);
        }
    }
    content->Checking = 0;
    if (!ok)
        return 0;
    Bitfield_SetAll(content->Checked);
    __atomic_store_n(&content->CheckProgress, content->PieceCount, __ATOMIC_RELAXED);
    int held = 0;
    Bitfield_GetSetCount(content->Held, &held);
    Content_Log(content, "Already/Total: %d/%d (%d existing/%I64d) (%.2f secs)", held,
                content->PieceCount, existing, content->BytesLeft, Zyl_GetSeconds() - start);
    return 1;
}

int Content_Erase(ContentStruct *content) {
    ZYL_CHECK_TAG(content, Content_Tag);
    Bitfield_SetAll(content->Wanted);
    Bitfield_ClearAll(content->Held);
    Bitfield_ClearAll(content->Checked);
    Bitfield_ClearAll(content->Aux);
    if (!FileList_Erase(content->FileList))
        return 0;
    return Content_Recount(content);
}
