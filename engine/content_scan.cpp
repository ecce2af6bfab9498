// The start-up scan: prepares the download's files and checks, piece by piece,
// what already lies on disk; also erasing a content. Polls the download's stop
// event between pieces so a stop ends the check promptly.
#include "core/alert.h"
#include "core/bitfield.h"
#include "core/mutex.h"
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

int Content_CheckExisting(ContentStruct *content) {
    ZYL_CHECK_TAG(content, Content_Tag);
    for (int i = content->CheckProgress; i < content->PieceCount; i++) {
        if (InternalStopped(content))
            return 0;
        __atomic_store_n(&content->CheckProgress, i, __ATOMIC_RELAXED);
        // Pieces that were wanted and lie wholly in bytes created by the
        // preparation hold nothing yet: they are skipped like unwanted ones.
        if (!Bitfield_Test(content->Wanted, i) || Bitfield_Test(content->Checked, i)) {
            Content_Log(content, "Check block: %5d/%d -- Skip", i, content->PieceCount);
            Bitfield_Set(content->Checked, i);
            continue;
        }
        uint8_t digest[20];
        int size = 0;
        Content_GetPieceSize(content, i, &size);
        if (Content_HashPiece(i, content, digest) &&
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
