// The download engine's bencode codec: metafiles, tracker replies and DHT
// messages are parsed into a tree of members kept in document order and written
// back from it. Tuned for large metafiles: 64-byte members and packed texts
// bumped out of reused blocks, a member count limit.
#pragma once

#include <cstdint>

struct FileStruct;
struct PoolStruct;
struct Sha1Struct;
struct MetaFileMemberStruct;
struct MetaFileBlockStruct;

enum {
    METAFILE_TYPE_NONE = 0,
    METAFILE_TYPE_STRING = 1,
    METAFILE_TYPE_INTEGER = 2,
    METAFILE_TYPE_DICTIONARY = 3,
    METAFILE_TYPE_LIST = 4,
};

enum {
    METAFILE_NAME_SIZE = 320,
    // Containers nested deeper than this fail the parse.
    METAFILE_MAX_DEPTH = 64,
    // Capacity of the buffer MetaFile_SaveBuffer writes into.
    METAFILE_SAVE_BUFFER_SIZE = 512,
    // Largest metafile MetaFile_Load reads (bytes).
    METAFILE_MAX_FILE_SIZE = 256 * 1024 * 1024,
    // Members one parse may leave in a document. A content of 250,000 files
    // needs about 1,750,000 (seven per file entry); more fails the parse, so a
    // document holds at most this many 64-byte members besides its texts.
    METAFILE_MAX_MEMBERS = 2000000,
};

// Type tags of the document and its members (shared by the reader and the writer).
extern const char MetaFile_Tag[];
extern const char MetaFileMember_Tag[];

// Blocks that members or texts are bumped out of, oldest first; a clear hands
// them out again from their start, destroy frees them.
struct MetaFileBlockRun {
    MetaFileBlockStruct *First;
    MetaFileBlockStruct *Current; // the block bytes are taken from
};

// A sibling run: the root members, or a container's children.
struct MetaFileMemberStructLinked {
    MetaFileMemberStruct *First;
    MetaFileMemberStruct *Last;
};

// One value, 64 bytes; members are never freed one by one (see MetaFile_Clear).
struct MetaFileMemberStruct {
    const char *Tag;
    int Type;   // METAFILE_TYPE_*
    int Length; // string bytes, or characters of the integer text; 0 for containers
    // Text of a string or integer member, always followed by a zero byte that
    // Length does not count; null for containers.
    char *Data;
    // A dictionary's children alternate key, value; a list's are its elements.
    MetaFileMemberStructLinked Children;
    MetaFileMemberStruct *Next;
    // A parsed container's encoded bytes inside the document's retained copy of
    // the input, from its letter through its closing 'e'; the digest is taken
    // from them on request. Null (and 0) for every other member.
    const uint8_t *Span;
    int SpanLength;
};

struct MetaFileStruct {
    const char *Tag;
    char FileName[METAFILE_NAME_SIZE];
    char PathSeparator; // '\\' initially; joins path lists
    FileStruct *File;
    int Verbose;
    int Report;      // 1: open failures and a bad first byte are logged
    int Strict;      // 1: an unknown type byte fails the parse
    int MemberCount; // members added since the last clear
    MetaFileMemberStructLinked Root;
    // Blocks the members are bumped out of.
    MetaFileBlockRun Members;
    Sha1Struct *Sha1;
    PoolStruct *StringPool; // texts of built members
    // The retained copy of the current load's input (the container spans point
    // into it), at most its length plus one byte; freed by a clear.
    uint8_t *Input;
    int64_t InputSize; // bytes allocated
    // Blocks parsed texts are packed into (texts too long for a block go to the
    // string pool).
    MetaFileBlockRun Texts;
};

// Life. Create: 1 and *doc (empty). Destroy: clears *doc, frees everything;
// accepts a null *doc; returns 1.
int MetaFile_Create(MetaFileStruct **doc);
int MetaFile_Destroy(MetaFileStruct **doc);
int MetaFile_Init(MetaFileStruct *doc);
int MetaFile_Deinit(MetaFileStruct *doc);
// Frees every member and text at once (their blocks are kept for the next
// load); 1. Pointers into the tree become invalid.
int MetaFile_Clear(MetaFileStruct *doc);
int MetaFile_DisableStrict(MetaFileStruct *doc);
int MetaFile_SetVerbose(MetaFileStruct *doc, int verbose);
int MetaFile_SetReport(MetaFileStruct *doc, int report);
int MetaFile_SetPathSeparator(MetaFileStruct *doc, char separator);
// Bounded copies of the file name (320 characters); 1.
int MetaFile_SetFileName(MetaFileStruct *doc, const char *name);
int MetaFile_GetFileName(MetaFileStruct *doc, char *name, int size);
// The file name part of the document's file name (empty when none); 1.
int MetaFile_GetSourceName(MetaFileStruct *doc, char *name, int size);

// Clears the document and parses length bytes. 1 when the input parsed; 0 after
// one log line (bad first byte, malformed or too deep input, more than
// METAFILE_MAX_MEMBERS members), leaving the members parsed so far.
int MetaFile_LoadBuffer(MetaFileStruct *doc, const void *bytes, int64_t length);
// Clears the document, stores path as its file name and parses the whole file.
// 0 when it cannot be read ("Unable to open datafile [%s]") or does not parse.
int MetaFile_Load(MetaFileStruct *doc, const char *path);
// One nesting level of the parser (depth 0 and parent null at the top); the
// cursor advances over what was parsed. 1 when the level ended sound.
int MetaFile_Parse(MetaFileStruct *doc, int depth, const uint8_t *base, const uint8_t **cursor,
                   const uint8_t *end, MetaFileMemberStruct *parent);
// Writes the tree to the document's file name. 0 when there is no name, the file
// cannot be opened, the document is empty (the file is left empty) or a write fails.
int MetaFile_Save(MetaFileStruct *doc);
// Writes the tree into buffer (METAFILE_SAVE_BUFFER_SIZE bytes); *size gets the
// bytes written. 0 when the document is empty or the tree does not fit (what
// was written stays in the buffer).
int MetaFile_SaveBuffer(MetaFileStruct *doc, char *buffer, int *size);
// Prints the tree to the log; 0 when the document is empty.
int MetaFile_Dump(MetaFileStruct *doc);

// Walking; each gives 0 and a null result at the end.
int MetaFile_GetFirstMember(MetaFileStruct *doc, MetaFileMemberStruct **member);
int MetaFile_GetFirstChild(MetaFileMemberStruct *member, MetaFileMemberStruct **child);
int MetaFile_GetNextMember(MetaFileMemberStruct *member, MetaFileMemberStruct **next);
int MetaFile_GetMemberType(MetaFileMemberStruct *member, int *type);
int MetaFile_GetMemberData(MetaFileMemberStruct *member, const char **data, int *length);
// The SHA-1 of a parsed container's exact encoded bytes, computed on each call.
// 0 (digest zeroed) for members that were not parsed containers.
int MetaFile_GetMemberSHA1(MetaFileMemberStruct *member, uint8_t digest[20]);
// Searches dictionary keys (never values or list elements) equal to key ignoring
// ASCII case, from start and its following siblings (the root when start is
// null), no deeper than maxDepth; the shallowest match wins. The value is the
// next sibling of the member found. 1 when found. A start other than a root
// member is first located by a walk of the tree (members keep no parent link).
int MetaFile_Find(MetaFileStruct *doc, MetaFileMemberStruct *start, const char *key, int maxDepth,
                  MetaFileMemberStruct **member);
// Joins a list of strings with the path separator into path (320 characters).
// 0 when the member is not a list, an element is not a string, or the text does
// not fit ("Out of path space"); path then holds what was joined.
int MetaFile_GetPath(MetaFileStruct *doc, MetaFileMemberStruct *list, char *path);

// Building. Each adds after prev (at the end when prev is null) under parent
// (the root when null); 1 and *member.
int MetaFile_AddMember(MetaFileStruct *doc, MetaFileMemberStruct *parent,
                       MetaFileMemberStruct *prev, MetaFileMemberStruct **member);
int MetaFile_AddBytes(MetaFileStruct *doc, MetaFileMemberStruct *parent, MetaFileMemberStruct *prev,
                      MetaFileMemberStruct **member, const void *bytes, int length);
int MetaFile_AddString(MetaFileStruct *doc, MetaFileMemberStruct *parent,
                       MetaFileMemberStruct *prev, MetaFileMemberStruct **member, const char *text);
int MetaFile_AddInteger(MetaFileStruct *doc, MetaFileMemberStruct *parent,
                        MetaFileMemberStruct *prev, MetaFileMemberStruct **member, int64_t value);
int MetaFile_AddDictionary(MetaFileStruct *doc, MetaFileMemberStruct *parent,
                           MetaFileMemberStruct *prev, MetaFileMemberStruct **member);
int MetaFile_AddList(MetaFileStruct *doc, MetaFileMemberStruct *parent, MetaFileMemberStruct *prev,
                     MetaFileMemberStruct **member);
int MetaFile_SetMemberType(MetaFileMemberStruct *member, int type);
int MetaFile_SetMemberData(MetaFileMemberStruct *member, char *data, int length);
int MetaFile_SetMemberString(MetaFileStruct *doc, MetaFileMemberStruct *member, const char *text);
int MetaFile_SetMemberInteger(MetaFileStruct *doc, MetaFileMemberStruct *member, int64_t value);
