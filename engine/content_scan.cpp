// The start-up scan: prepares the download's files and checks, piece by piece,
// what already lies on disk; also erasing a content. Polls the download's stop
// event between blocks so a stop ends the check promptly. Tuned for large
// complete downloads: a helper thread checks blocks beside the caller's thread.
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
// The check of the blocks on disk, on two threads: the checking thread and a
// helper each take the next block not yet taken, read it whole and hash it
// while it is still in that processor's cache (hashing bytes another
// processor has just copied is far slower). A block is taken and read under
// ReadLock, so the file list sees one call at a time and the reads still run
// back to back through the files, as the disk cache and storage expect of a
// scan; the hashing overlaps the other thread's read. The checking thread
// applies the results in block order and stays in the check until the helper
// is joined. Without a helper (none could be started, or it has no
// processor), the checking thread takes every block itself.
// ---------------------------------------------------------------------------

namespace {

enum { kBlockPending = 0, kBlockPassed = 1, kBlockFailed = 2 };

struct CheckShared {
    ContentStruct *Content = nullptr;
    const std::vector<int> *Blocks = nullptr; // the blocks to check, ascending
    // Guarded by Lock: blocks taken so far (Blocks[0..Taken)), each one's
    // result, whether the checking thread sleeps on a result, the request to stop.
    std::mutex Lock;
    std::condition_variable Changed;
    size_t Taken = 0;
    std::vector<int> Results;
    int CheckerWaiting = 0;
    int Stop = 0;
    // Held while a block is taken and read.
    std::mutex ReadLock;
};

// One thread's hashing state: its context and its block buffer.
struct CheckWorker {
    Sha1Struct Sha1;
    uint8_t *Buffer = nullptr; // BufferSize bytes, the piece length
    int BufferSize = 0;
};

// A read holds the lock for tens of microseconds: spin briefly before sleeping.
void InternalLockReads(CheckShared *shared) {
    for (int k = 0; k < 1000; k++) {
        if (shared->ReadLock.try_lock())
            return;
    }
    shared->ReadLock.lock();
}

// Takes the next block not yet taken, reads it (both under ReadLock) and
// checks its digest against the metafile's; 0 when none is left or the check
// is stopping.
int InternalCheckNext(CheckShared *shared, CheckWorker *worker) {
    ContentStruct *content = shared->Content;
    InternalLockReads(shared);
    size_t at = 0;
    {
        std::lock_guard<std::mutex> hold(shared->Lock);
        if (shared->Stop || shared->Taken >= shared->Blocks->size()) {
            shared->ReadLock.unlock();
            return 0;
        }
        at = shared->Taken++;
    }
    const int block = (*shared->Blocks)[at];
    int size = 0;
    int passed = Content_GetPieceSize(content, block, &size) && size <= worker->BufferSize;
    if (!passed)
        Alert_Log(ALERT_KIND_ERROR, ALERT_LEVEL_NORMAL, "Piece outside content [%d]", block);
    passed = passed && Content_Read(worker->Buffer, content, block, 0, size);
    shared->ReadLock.unlock();
    if (passed) {
        uint8_t digest[20];
        Sha1_Init(&worker->Sha1);
        Sha1_Update(&worker->Sha1, worker->Buffer, size);
        Sha1_Final(&worker->Sha1);
        passed = Sha1_GetDigest(&worker->Sha1, digest, 20) &&
                 Zyl_MemEqual(digest, content->PieceTable + (int64_t)block * 20, 20);
    }
    std::lock_guard<std::mutex> hold(shared->Lock);
    shared->Results[at] = passed ? kBlockPassed : kBlockFailed;
    if (shared->CheckerWaiting)
        shared->Changed.notify_all();
    return 1;
}

// The result of Blocks[at], checking other blocks while it is not there;
// kBlockPending when the download's stop event is set meanwhile.
int InternalResult(CheckShared *shared, CheckWorker *worker, size_t at) {
    for (int first = 1;; first = 0) {
        if (!first && InternalStopped(shared->Content))
            return kBlockPending;
        {
            std::unique_lock<std::mutex> hold(shared->Lock);
            if (shared->Results[at] != kBlockPending)
                return shared->Results[at];
            if (shared->Taken >= shared->Blocks->size()) {
                // The helper has it: wait for its result.
                shared->CheckerWaiting = 1;
                shared->Changed.wait(hold,
                                     [shared, at] { return shared->Results[at] != kBlockPending; });
                shared->CheckerWaiting = 0;
                return shared->Results[at];
            }
        }
        InternalCheckNext(shared, worker);
    }
}

void InternalHelperRun(CheckShared *shared, CheckWorker *worker) {
    while (InternalCheckNext(shared, worker)) {
    }
}

} // namespace

int Content_CheckExisting(ContentStruct *content) {
    ZYL_CHECK_TAG(content, Content_Tag);
    // The blocks to hash are fixed before the check starts: wanted ones not
    // yet checked. Blocks that were wanted and lie wholly in bytes created by
    // the preparation hold nothing yet: they are marked checked like unwanted ones.
    std::vector<int> blocks;
    for (int i = content->CheckProgress; i < content->PieceCount; i++) {
        if (Bitfield_Test(content->Wanted, i) && !Bitfield_Test(content->Checked, i))
            blocks.push_back(i);
    }
    CheckShared shared;
    shared.Content = content;
    shared.Blocks = &blocks;
    shared.Results.assign(blocks.size(), kBlockPending);
    CheckWorker workers[2];
    std::thread helper;
    for (CheckWorker &worker : workers) {
        Sha1_Init(&worker.Sha1);
        worker.BufferSize = content->PieceLength > 0 ? content->PieceLength : 1;
        worker.Buffer = static_cast<uint8_t *>(ZYL_ALLOC_UNFILLED(worker.BufferSize));
    }
    // A helper gains nothing on a machine with one processor.
    if (blocks.size() > 1 && std::thread::hardware_concurrency() != 1) {
        try {
            helper = std::thread(InternalHelperRun, &shared, &workers[1]);
        } catch (const std::system_error &error) {
            Alert_Log(ALERT_KIND_NOTICE, ALERT_LEVEL_NORMAL,
                      "Content check runs without a helper thread (%s)", error.what());
        }
    }
    auto finish = [&]() {
        if (helper.joinable()) {
            {
                std::lock_guard<std::mutex> hold(shared.Lock);
                shared.Stop = 1;
            }
            helper.join();
        }
        for (CheckWorker &worker : workers)
            ZYL_FREE(worker.Buffer, worker.BufferSize);
    };
    size_t next = 0;
    for (int i = content->CheckProgress; i < content->PieceCount; i++) {
        if (InternalStopped(content)) {
            finish();
            return 0;
        }
        __atomic_store_n(&content->CheckProgress, i, __ATOMIC_RELAXED);
        if (next >= blocks.size() || blocks[next] != i) {
            Content_Log(content, "Check block: %5d/%d -- Skip", i, content->PieceCount);
            Bitfield_Set(content->Checked, i);
            continue;
        }
        const int result = InternalResult(&shared, &workers[0], next);
        if (result == kBlockPending) {
            finish();
            return 0;
        }
        next++;
        int size = 0;
        Content_GetPieceSize(content, i, &size);
        if (result == kBlockPassed) {
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
    finish();
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
