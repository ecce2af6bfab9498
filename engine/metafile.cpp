// The bencode reader: a recursive, bounded parser of untrusted bytes into
// members and packed texts bumped out of reused blocks, key search and path
// joining. Container digests are taken on request from a retained copy of the
// input.
#include "engine/metafile.h"

#include <cstring>

#include "core/alert.h"
#include "core/file.h"
#include "core/pool.h"
#include "core/sha1.h"
#include "core/zyl.h"

extern const char MetaFile_Tag[] = "MetaFileStruct";
extern const char MetaFileMember_Tag[] = "MetaFileMemberStruct";

enum {
    // Member blocks double from the first size up to the largest (64 KiB: blocks
    // below the C library's mapping threshold come back from its heap when a
    // document is made again, instead of as new pages).
    kFirstMemberBlockBytes = 64 * 64,
    kLargestMemberBlockBytes = 1024 * 64,
    // Parsed texts are packed into blocks of this many bytes.
    kTextBlockBytes = 65536 - 64,
    kStringBlock = 51200,
    kMaxDigits = 16,
};

static_assert(sizeof(MetaFileMemberStruct) == 64, "members stay one cache line");

// Size bytes that members or texts are bumped out of; Used of them are handed
// out since the last clear.
struct MetaFileBlockStruct {
    MetaFileBlockStruct *Next; // newer block
    int Size;
    int Used;
    uint8_t *Bytes;
};

// Moves the run on to its next kept block, or to a new one (twice the size of
// the last, from first up to largest) after the last. Returns the block. Kept
// out of line: inlined, it slows every member and text taken (by about 5%).
__attribute__((noinline)) static MetaFileBlockStruct *InternalNextBlock(MetaFileBlockRun *run,
                                                                        int first, int largest) {
    MetaFileBlockStruct *block = run->Current;
    if (block && block->Next) {
        run->Current = block->Next;
        return run->Current;
    }
    MetaFileBlockStruct *added = ZYL_NEW(MetaFileBlockStruct);
    added->Size = first;
    if (block)
        added->Size = block->Size < largest / 2 ? block->Size * 2 : largest;
    added->Bytes = static_cast<uint8_t *>(ZYL_ALLOC_UNFILLED(added->Size));
    if (block)
        block->Next = added;
    else
        run->First = added;
    run->Current = added;
    return added;
}

// n bytes (n at most the first block size) bumped out of the run's current
// block, or of the next one when they do not fit there. The bytes are
// unfilled: every caller writes what it takes before anything reads it.
static inline uint8_t *InternalTake(MetaFileBlockRun *run, int n, int first, int largest) {
    MetaFileBlockStruct *block = run->Current;
    if (block == nullptr || block->Used + n > block->Size)
        block = InternalNextBlock(run, first, largest);
    uint8_t *bytes = block->Bytes + block->Used;
    block->Used += n;
    return bytes;
}

// Hands every block of the run out again from its start (a clear).
static void InternalRewindBlocks(MetaFileBlockRun *run) {
    for (MetaFileBlockStruct *block = run->First; block; block = block->Next)
        block->Used = 0;
    run->Current = run->First;
}

static void InternalFreeBlocks(MetaFileBlockRun *run) {
    while (run->First) {
        MetaFileBlockStruct *block = run->First;
        run->First = block->Next;
        ZYL_FREE(block->Bytes, block->Size);
        ZYL_FREE(block, sizeof(MetaFileBlockStruct));
    }
    run->Current = nullptr;
}

#define METAFILE_ERROR(...) Alert_Log(ALERT_KIND_ERROR, ALERT_LEVEL_NORMAL, __VA_ARGS__)

// ---------------------------------------------------------------------------
// Life
// ---------------------------------------------------------------------------

int MetaFile_Create(MetaFileStruct **doc) {
    ZYL_CHECK_PTR(doc);
    *doc = nullptr;
    MetaFileStruct *d = ZYL_NEW(MetaFileStruct);
    d->Tag = MetaFile_Tag;
    MetaFile_Init(d);
    *doc = d;
    return 1;
}

int MetaFile_Init(MetaFileStruct *doc) {
    ZYL_CHECK_TAG(doc, MetaFile_Tag);
    doc->FileName[0] = 0;
    doc->PathSeparator = '\\';
    File_New(&doc->File);
    doc->Verbose = 0;
    doc->Report = 1;
    doc->Strict = 0;
    doc->MemberCount = 0;
    doc->Root.First = doc->Root.Last = nullptr;
    doc->Members = doc->Texts = MetaFileBlockRun{};
    doc->Input = nullptr;
    doc->InputSize = 0;
    Sha1_Create(&doc->Sha1);
    POOL_CREATE(doc->StringPool);
    Pool_SetMemberSize(doc->StringPool, kStringBlock);
    Pool_SetMembersPerChunk(doc->StringPool, 1);
    Pool_SetStringMode(doc->StringPool, 1);
    return 1;
}

int MetaFile_Deinit(MetaFileStruct *doc) {
    ZYL_CHECK_TAG(doc, MetaFile_Tag);
    MetaFile_Clear(doc);
    InternalFreeBlocks(&doc->Members);
    InternalFreeBlocks(&doc->Texts);
    Pool_Destroy(&doc->StringPool);
    Sha1_Destroy(&doc->Sha1);
    File_Delete(&doc->File);
    return 1;
}

int MetaFile_Destroy(MetaFileStruct **doc) {
    ZYL_CHECK_PTR(doc);
    MetaFileStruct *d = *doc;
    if (d == nullptr)
        return 1;
    *doc = nullptr;
    MetaFile_Deinit(d);
    d->Tag = Zyl_DeadTag;
    ZYL_FREE(d, sizeof(MetaFileStruct));
    return 1;
}

int MetaFile_Clear(MetaFileStruct *doc) {
    ZYL_CHECK_TAG(doc, MetaFile_Tag);
    InternalRewindBlocks(&doc->Members);
    InternalRewindBlocks(&doc->Texts);
    Pool_Reset(doc->StringPool);
    if (doc->Input)
        ZYL_FREE(doc->Input, doc->InputSize);
    doc->Input = nullptr;
    doc->InputSize = 0;
    doc->Root.First = doc->Root.Last = nullptr;
    doc->MemberCount = 0;
    return 1;
}

int MetaFile_DisableStrict(MetaFileStruct *doc) {
    ZYL_CHECK_TAG(doc, MetaFile_Tag);
    doc->Strict = 0;
    return 1;
}

int MetaFile_SetVerbose(MetaFileStruct *doc, int verbose) {
    ZYL_CHECK_TAG(doc, MetaFile_Tag);
    doc->Verbose = verbose;
    return 1;
}

int MetaFile_SetReport(MetaFileStruct *doc, int report) {
    ZYL_CHECK_TAG(doc, MetaFile_Tag);
    doc->Report = report;
    return 1;
}

int MetaFile_SetPathSeparator(MetaFileStruct *doc, char separator) {
    ZYL_CHECK_TAG(doc, MetaFile_Tag);
    doc->PathSeparator = separator;
    return 1;
}

int MetaFile_SetFileName(MetaFileStruct *doc, const char *name) {
    ZYL_CHECK_TAG(doc, MetaFile_Tag);
    ZYL_CHECK_PTR(name);
    Zyl_StrCopy(doc->FileName, name, sizeof doc->FileName);
    return 1;
}

int MetaFile_GetFileName(MetaFileStruct *doc, char *name, int size) {
    ZYL_CHECK_TAG(doc, MetaFile_Tag);
    ZYL_CHECK_PTR(name);
    Zyl_StrCopy(name, doc->FileName, size);
    return 1;
}

int MetaFile_GetSourceName(MetaFileStruct *doc, char *name, int size) {
    ZYL_CHECK_TAG(doc, MetaFile_Tag);
    ZYL_CHECK_PTR(name);
    if (size > 0)
        name[0] = 0;
    int at = -1;
    for (int i = 0; doc->FileName[i]; i++) {
        if (doc->FileName[i] == '/' || doc->FileName[i] == '\\' || doc->FileName[i] == ':')
            at = i;
    }
    Zyl_StrCopy(name, doc->FileName + at + 1, size);
    return 1;
}

// ---------------------------------------------------------------------------
// Members
// ---------------------------------------------------------------------------

static MetaFileMemberStructLinked *InternalListOf(MetaFileStruct *doc,
                                                  MetaFileMemberStruct *parent) {
    return parent ? &parent->Children : &doc->Root;
}

// A new member of type 0 without links, data or span (every field is set here,
// the block bytes being unfilled); counted in the document.
static MetaFileMemberStruct *InternalNewMember(MetaFileStruct *doc) {
    MetaFileMemberStruct *m = reinterpret_cast<MetaFileMemberStruct *>(
        InternalTake(&doc->Members, (int)sizeof(MetaFileMemberStruct), kFirstMemberBlockBytes,
                     kLargestMemberBlockBytes));
    m->Tag = MetaFileMember_Tag;
    m->Type = METAFILE_TYPE_NONE;
    m->Length = 0;
    m->Data = nullptr;
    m->Children.First = m->Children.Last = nullptr;
    m->Next = nullptr;
    m->Span = nullptr;
    m->SpanLength = 0;
    doc->MemberCount++;
    return m;
}

// Links a new member at the end of a sibling run.
static void InternalAppend(MetaFileMemberStructLinked *list, MetaFileMemberStruct *m) {
    if (list->Last)
        list->Last->Next = m;
    else
        list->First = m;
    list->Last = m;
}

int MetaFile_AddMember(MetaFileStruct *doc, MetaFileMemberStruct *parent,
                       MetaFileMemberStruct *prev, MetaFileMemberStruct **member) {
    ZYL_CHECK_TAG(doc, MetaFile_Tag);
    ZYL_CHECK_PTR(member);
    if (parent)
        ZYL_CHECK_TAG(parent, MetaFileMember_Tag);
    MetaFileMemberStruct *m = InternalNewMember(doc);
    MetaFileMemberStructLinked *list = InternalListOf(doc, parent);
    if (prev == nullptr || prev == list->Last) {
        InternalAppend(list, m);
    } else {
        ZYL_CHECK_TAG(prev, MetaFileMember_Tag);
        m->Next = prev->Next;
        prev->Next = m;
    }
    *member = m;
    return 1;
}

// Every text gets a terminating zero that its length does not count, so that
// built byte strings can be printed and compared safely too.
static char *InternalCopyText(MetaFileStruct *doc, const void *bytes, int length) {
    char *data = static_cast<char *>(POOL_ALLOC(doc->StringPool, length + 1));
    if (length > 0)
        memcpy(data, bytes, (size_t)length);
    data[length] = 0;
    return data;
}

int MetaFile_SetMemberType(MetaFileMemberStruct *member, int type) {
    ZYL_CHECK_TAG(member, MetaFileMember_Tag);
    member->Type = type;
    return 1;
}

int MetaFile_SetMemberData(MetaFileMemberStruct *member, char *data, int length) {
    ZYL_CHECK_TAG(member, MetaFileMember_Tag);
    member->Data = data;
    member->Length = length;
    return 1;
}

int MetaFile_SetMemberString(MetaFileStruct *doc, MetaFileMemberStruct *member, const char *text) {
    ZYL_CHECK_TAG(doc, MetaFile_Tag);
    ZYL_CHECK_TAG(member, MetaFileMember_Tag);
    ZYL_CHECK_PTR(text);
    int length = Zyl_StrLen(text);
    member->Type = METAFILE_TYPE_STRING;
    member->Data = InternalCopyText(doc, text, length);
    member->Length = length;
    return 1;
}

int MetaFile_SetMemberInteger(MetaFileStruct *doc, MetaFileMemberStruct *member, int64_t value) {
    ZYL_CHECK_TAG(doc, MetaFile_Tag);
    ZYL_CHECK_TAG(member, MetaFileMember_Tag);
    char text[32];
    int length = Zyl_FormatString(text, sizeof text, "%I64d", value);
    member->Type = METAFILE_TYPE_INTEGER;
    member->Data = InternalCopyText(doc, text, length);
    member->Length = length;
    return 1;
}

int MetaFile_AddBytes(MetaFileStruct *doc, MetaFileMemberStruct *parent, MetaFileMemberStruct *prev,
                      MetaFileMemberStruct **member, const void *bytes, int length) {
    ZYL_CHECK_PTR(bytes);
    MetaFile_AddMember(doc, parent, prev, member);
    (*member)->Type = METAFILE_TYPE_STRING;
    (*member)->Data = InternalCopyText(doc, bytes, length);
    (*member)->Length = length;
    return 1;
}

int MetaFile_AddString(MetaFileStruct *doc, MetaFileMemberStruct *parent,
                       MetaFileMemberStruct *prev, MetaFileMemberStruct **member,
                       const char *text) {
    MetaFile_AddMember(doc, parent, prev, member);
    return MetaFile_SetMemberString(doc, *member, text);
}

int MetaFile_AddInteger(MetaFileStruct *doc, MetaFileMemberStruct *parent,
                        MetaFileMemberStruct *prev, MetaFileMemberStruct **member, int64_t value) {
    MetaFile_AddMember(doc, parent, prev, member);
    return MetaFile_SetMemberInteger(doc, *member, value);
}

int MetaFile_AddDictionary(MetaFileStruct *doc, MetaFileMemberStruct *parent,
                           MetaFileMemberStruct *prev, MetaFileMemberStruct **member) {
    MetaFile_AddMember(doc, parent, prev, member);
    (*member)->Type = METAFILE_TYPE_DICTIONARY;
    return 1;
}

int MetaFile_AddList(MetaFileStruct *doc, MetaFileMemberStruct *parent, MetaFileMemberStruct *prev,
                     MetaFileMemberStruct **member) {
    MetaFile_AddMember(doc, parent, prev, member);
    (*member)->Type = METAFILE_TYPE_LIST;
    return 1;
}

// ---------------------------------------------------------------------------
// Parsing
// ---------------------------------------------------------------------------

static void InternalTrace(MetaFileStruct *doc, int depth, MetaFileMemberStruct *m) {
    if (doc->Verbose) {
        Zyl_Print("%d - Member [%.8X] %d:%7d[%s]\n", depth, (unsigned)(uintptr_t)m, m->Type,
                  m->Length, m->Length <= 999 ? m->Data : "");
    }
}

// A parsed text with its terminating zero, packed into the current text block
// (moving on to the next, or a new one, when it does not fit); from the string
// pool when it is longer than a block.
static char *InternalParsedText(MetaFileStruct *doc, const uint8_t *bytes, int length) {
    if (length >= kTextBlockBytes)
        return InternalCopyText(doc, bytes, length);
    char *data = reinterpret_cast<char *>(
        InternalTake(&doc->Texts, length + 1, kTextBlockBytes, kTextBlockBytes));
    memcpy(data, bytes, (size_t)length);
    data[length] = 0;
    return data;
}

// A new member at the end of parent's children (the root when null), refused
// past the member limit.
static MetaFileMemberStruct *InternalParsedMember(MetaFileStruct *doc, MetaFileMemberStruct *parent,
                                                  int type, int64_t at) {
    if (doc->MemberCount >= METAFILE_MAX_MEMBERS) {
        METAFILE_ERROR("Too many members at %I64d [%d]", at, doc->MemberCount);
        return nullptr;
    }
    MetaFileMemberStruct *m = InternalNewMember(doc);
    m->Type = type;
    InternalAppend(InternalListOf(doc, parent), m);
    return m;
}

// A string "<digits>:<bytes>". The length is kept in 64 bits and may not pass
// the end of the input.
static int InternalParseString(MetaFileStruct *doc, int depth, const uint8_t *base,
                               const uint8_t **cursor, const uint8_t *end,
                               MetaFileMemberStruct *parent) {
    const uint8_t *p = *cursor;
    int digits = 0;
    int64_t length = 0;
    while (p < end && *p >= '0' && *p <= '9' && digits <= kMaxDigits) {
        length = length * 10 + (*p - '0');
        digits++;
        p++;
    }
    if (p >= end || *p != ':' || digits > kMaxDigits) {
        METAFILE_ERROR("Failed on string read [%d:%c]", digits, p < end ? *p : ' ');
        return 0;
    }
    p++;
    if (length > end - p || length > INT32_MAX - 1) {
        METAFILE_ERROR("Field length invalid [%I64d:%I64d]", length, (int64_t)(end - p));
        return 0;
    }
    MetaFileMemberStruct *m =
        InternalParsedMember(doc, parent, METAFILE_TYPE_STRING, (int64_t)(*cursor - base));
    if (m == nullptr)
        return 0;
    m->Data = InternalParsedText(doc, p, (int)length);
    m->Length = (int)length;
    *cursor = p + length;
    InternalTrace(doc, depth, m);
    return 1;
}

// An integer "i[-]<digits>e", kept as its text.
static int InternalParseInteger(MetaFileStruct *doc, int depth, const uint8_t *base,
                                const uint8_t **cursor, const uint8_t *end,
                                MetaFileMemberStruct *parent) {
    const uint8_t *start = *cursor + 1;
    const uint8_t *p = start;
    if (p < end && *p == '-')
        p++;
    while (p < end && *p >= '0' && *p <= '9' && p - start <= kMaxDigits)
        p++;
    int count = (int)(p - start);
    if (p >= end || *p != 'e' || count > kMaxDigits) {
        METAFILE_ERROR("Failed on integer read [%d:%c]", count, p < end ? *p : ' ');
        return 0;
    }
    MetaFileMemberStruct *m =
        InternalParsedMember(doc, parent, METAFILE_TYPE_INTEGER, (int64_t)(*cursor - base));
    if (m == nullptr)
        return 0;
    m->Data = InternalParsedText(doc, start, count);
    m->Length = count;
    *cursor = p + 1;
    InternalTrace(doc, depth, m);
    return 1;
}

static int InternalParseContainer(MetaFileStruct *doc, int depth, const uint8_t *base,
                                  const uint8_t **cursor, const uint8_t *end,
                                  MetaFileMemberStruct *parent) {
    const uint8_t *start = *cursor;
    int list = (*start == 'l');
    if (depth + 1 > METAFILE_MAX_DEPTH) {
        METAFILE_ERROR("Nesting too deep at %I64d [%d]", (int64_t)(start - base), depth + 1);
        return 0;
    }
    MetaFileMemberStruct *m = InternalParsedMember(
        doc, parent, list ? METAFILE_TYPE_LIST : METAFILE_TYPE_DICTIONARY, (int64_t)(start - base));
    if (m == nullptr)
        return 0;
    *cursor = start + 1;
    if (doc->Verbose && list)
        Zyl_Print("<Open list:%d>\n", depth);
    else if (doc->Verbose)
        Zyl_Print("<Open dictionary:%d>\n", depth);
    if (!MetaFile_Parse(doc, depth + 1, base, cursor, end, m))
        return 0;
    // The whole input is below 2 GiB (MetaFile_LoadBuffer), so a span fits an int.
    m->Span = start;
    m->SpanLength = (int)(*cursor - start);
    return 1;
}

int MetaFile_Parse(MetaFileStruct *doc, int depth, const uint8_t *base, const uint8_t **cursor,
                   const uint8_t *end, MetaFileMemberStruct *parent) {
    ZYL_CHECK_TAG(doc, MetaFile_Tag);
    ZYL_CHECK_PTR(cursor);
    if (parent)
        ZYL_CHECK_TAG(parent, MetaFileMember_Tag);
    while (*cursor < end) {
        uint8_t c = **cursor;
        int ok = 1;
        if (c >= '0' && c <= '9') {
            ok = InternalParseString(doc, depth, base, cursor, end, parent);
        } else if (c == 'i') {
            ok = InternalParseInteger(doc, depth, base, cursor, end, parent);
        } else if (c == 'l' || c == 'd') {
            ok = InternalParseContainer(doc, depth, base, cursor, end, parent);
        } else if (c == 'e') {
            if (doc->Verbose)
                Zyl_Print("<Close:%d>\n", depth);
            (*cursor)++;
            return 1;
        } else {
            METAFILE_ERROR("Unknown field type at %I64d [%d:%c] %d", (int64_t)(*cursor - base), c,
                           (c >= 32 && c < 127) ? c : '?', depth);
            if (doc->Strict)
                return 0;
            *cursor = end;
            return 1;
        }
        if (!ok)
            return 0;
    }
    return *cursor == end ? 1 : 0;
}

// The checks before a parse: a length the spans can count, and a first byte
// that starts a value.
static int InternalCheckInput(MetaFileStruct *doc, const void *bytes, int64_t length) {
    if (bytes == nullptr || length <= 0 || length > INT32_MAX - 16) {
        METAFILE_ERROR("Metafile buffer invalid [%I64d]", length);
        return 0;
    }
    uint8_t first = *static_cast<const uint8_t *>(bytes);
    if (!((first >= '0' && first <= '9') || first == 'd' || first == 'i' || first == 'l')) {
        if (doc->Report)
            Alert_Log(ALERT_KIND_NOTICE, ALERT_LEVEL_NORMAL, "Metafile appears to be corrupt [%d]",
                      first);
        return 0;
    }
    return 1;
}

// Parses the document's retained input (length bytes).
static int InternalParseInput(MetaFileStruct *doc, int64_t length) {
    const uint8_t *cursor = doc->Input;
    return MetaFile_Parse(doc, 0, doc->Input, &cursor, doc->Input + length, nullptr);
}

int MetaFile_LoadBuffer(MetaFileStruct *doc, const void *bytes, int64_t length) {
    ZYL_CHECK_TAG(doc, MetaFile_Tag);
    MetaFile_Clear(doc);
    if (!InternalCheckInput(doc, bytes, length))
        return 0;
    // The copy lives as long as the members; the container digests are taken from it.
    doc->InputSize = length;
    doc->Input = static_cast<uint8_t *>(ZYL_ALLOC(length));
    memcpy(doc->Input, bytes, (size_t)length);
    return InternalParseInput(doc, length);
}

int MetaFile_Load(MetaFileStruct *doc, const char *path) {
    ZYL_CHECK_TAG(doc, MetaFile_Tag);
    ZYL_CHECK_PTR(path);
    double start = Zyl_GetSeconds();
    MetaFile_Clear(doc);
    MetaFile_SetFileName(doc, path);
    char *data = nullptr;
    int64_t length = 0;
    if (!File_ReadAll(path, METAFILE_MAX_FILE_SIZE, &data, &length)) {
        if (doc->Report)
            METAFILE_ERROR("Unable to open datafile [%s]", path);
        return 0;
    }
    // The file's buffer becomes the retained input: no second copy.
    int result = 0;
    if (InternalCheckInput(doc, data, length)) {
        doc->Input = reinterpret_cast<uint8_t *>(data);
        doc->InputSize = length + 1;
        result = InternalParseInput(doc, length);
    } else {
        ZYL_FREE(data, length + 1);
    }
    Zyl_Print("MetaFile-overall [%.4f secs]\n", Zyl_GetSeconds() - start);
    return result;
}

// ---------------------------------------------------------------------------
// Walking and searching
// ---------------------------------------------------------------------------

int MetaFile_GetFirstMember(MetaFileStruct *doc, MetaFileMemberStruct **member) {
    ZYL_CHECK_TAG(doc, MetaFile_Tag);
    ZYL_CHECK_PTR(member);
    *member = doc->Root.First;
    return *member ? 1 : 0;
}

int MetaFile_GetFirstChild(MetaFileMemberStruct *member, MetaFileMemberStruct **child) {
    ZYL_CHECK_TAG(member, MetaFileMember_Tag);
    ZYL_CHECK_PTR(child);
    *child = member->Children.First;
    return *child ? 1 : 0;
}

int MetaFile_GetNextMember(MetaFileMemberStruct *member, MetaFileMemberStruct **next) {
    ZYL_CHECK_TAG(member, MetaFileMember_Tag);
    ZYL_CHECK_PTR(next);
    *next = member->Next;
    return *next ? 1 : 0;
}

int MetaFile_GetMemberType(MetaFileMemberStruct *member, int *type) {
    ZYL_CHECK_TAG(member, MetaFileMember_Tag);
    ZYL_CHECK_PTR(type);
    *type = member->Type;
    return 1;
}

int MetaFile_GetMemberData(MetaFileMemberStruct *member, const char **data, int *length) {
    ZYL_CHECK_TAG(member, MetaFileMember_Tag);
    ZYL_CHECK_PTR(data);
    ZYL_CHECK_PTR(length);
    *data = member->Data;
    *length = member->Length;
    return 1;
}

int MetaFile_GetMemberSHA1(MetaFileMemberStruct *member, uint8_t digest[20]) {
    ZYL_CHECK_TAG(member, MetaFileMember_Tag);
    ZYL_CHECK_PTR(digest);
    memset(digest, 0, 20);
    if (member->Span == nullptr)
        return 0;
    Sha1Struct *context = nullptr;
    Sha1_Create(&context);
    Sha1_Update(context, member->Span, member->SpanLength);
    Sha1_Final(context);
    Sha1_GetDigest(context, digest, 20);
    Sha1_Destroy(&context);
    return 1;
}

struct FindState {
    const char *Key;
    int KeyLength;
    int BestDepth;
    MetaFileMemberStruct *Result;
    int Verbose;
};

// One sibling run at depth d. `keyParity` is the position parity of dictionary
// keys in this run (0 or 1), or -1 when the run is not a dictionary's children.
static void InternalFind(FindState *state, MetaFileMemberStruct *m, int depth, int keyParity,
                         int position) {
    if (state->Verbose)
        Zyl_Print("Nesting----\n");
    for (; m; m = m->Next, position++) {
        if (state->Verbose && m->Data)
            Zyl_Print("Eval %.8X: %s\n", (unsigned)(uintptr_t)m, m->Data);
        int isKey = keyParity >= 0 && (position & 1) == keyParity;
        if (isKey && m->Length > 0 && m->Type == METAFILE_TYPE_STRING &&
            m->Length == state->KeyLength && depth <= state->BestDepth &&
            Zyl_StrEqualNoCase(m->Data, state->Key)) {
            state->BestDepth = depth;
            state->Result = m;
            return;
        }
        if (m->Children.First && depth < state->BestDepth) {
            InternalFind(state, m->Children.First, depth + 1,
                         m->Type == METAFILE_TYPE_DICTIONARY ? 0 : -1, 0);
        }
    }
}

// Finds the container holding target among run and its descendants (owner is
// the run's container, null for the root run). 1 and *parent when found.
static int InternalLocate(MetaFileMemberStruct *run, MetaFileMemberStruct *owner,
                          MetaFileMemberStruct *target, MetaFileMemberStruct **parent) {
    for (MetaFileMemberStruct *m = run; m; m = m->Next) {
        if (m == target) {
            *parent = owner;
            return 1;
        }
        if (m->Children.First && InternalLocate(m->Children.First, m, target, parent))
            return 1;
    }
    return 0;
}

int MetaFile_Find(MetaFileStruct *doc, MetaFileMemberStruct *start, const char *key, int maxDepth,
                  MetaFileMemberStruct **member) {
    ZYL_CHECK_TAG(doc, MetaFile_Tag);
    ZYL_CHECK_PTR(key);
    ZYL_CHECK_PTR(member);
    *member = nullptr;
    if (doc->Verbose)
        Zyl_Print("Find [%s]\n", key);
    if (start == nullptr)
        start = doc->Root.First;
    if (start == nullptr)
        return 0;
    ZYL_CHECK_TAG(start, MetaFileMember_Tag);
    int parity = -1, position = 0;
    MetaFileMemberStruct *parent = nullptr;
    if (InternalLocate(doc->Root.First, nullptr, start, &parent) && parent &&
        parent->Type == METAFILE_TYPE_DICTIONARY) {
        parity = 0;
        for (MetaFileMemberStruct *m = parent->Children.First; m && m != start; m = m->Next)
            position++;
    }
    FindState state = {key, Zyl_StrLen(key), maxDepth, nullptr, doc->Verbose};
    InternalFind(&state, start, 0, parity, position);
    *member = state.Result;
    return state.Result ? 1 : 0;
}

int MetaFile_GetPath(MetaFileStruct *doc, MetaFileMemberStruct *list, char *path) {
    ZYL_CHECK_TAG(doc, MetaFile_Tag);
    ZYL_CHECK_TAG(list, MetaFileMember_Tag);
    ZYL_CHECK_PTR(path);
    path[0] = 0;
    if (list->Type != METAFILE_TYPE_LIST) {
        METAFILE_ERROR("Member is not a list");
        return 0;
    }
    int used = 0;
    for (MetaFileMemberStruct *m = list->Children.First; m; m = m->Next) {
        if (m->Type != METAFILE_TYPE_STRING) {
            METAFILE_ERROR("Invalid member type in path [%d]", m->Type);
            return 0;
        }
        int extra = m->Length + (m != list->Children.First ? 1 : 0);
        if (used + extra >= METAFILE_NAME_SIZE) {
            METAFILE_ERROR("Out of path space");
            return 0;
        }
        if (m != list->Children.First)
            path[used++] = doc->PathSeparator;
        memcpy(path + used, m->Data, (size_t)m->Length);
        used += m->Length;
        path[used] = 0;
    }
    return 1;
}
