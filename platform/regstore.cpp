// File-backed registry store. A store file is small (the launcher keeps a few
// dozen values), so each operation reads and parses the whole file and each change
// rewrites it; the file format is length-prefixed so any byte survives:
//   "PORTICO-REGISTRY 1\n"
//   "K <depth> <name length>\n<name>\n"                       a key below the last
//                                                             key of depth - 1
//   "V <type> <name length> <data length>\n<name><data>\n"    a value of the last key
// A file that does not parse is refused (EBADMSG) and left alone; nothing
// overwrites it. Nothing here logs: a failure is an IO_ERROR result with errno
// saying why, and the caller reports it.
#include "platform/regstore.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/durable.h"
#include "platform/fileio.h"
#include "platform/shfolder.h"

namespace {

struct ValueNode {
    ValueNode *Next;
    uint32_t Type;
    int Length;
    char *Name;
    uint8_t *Data;
};

struct KeyNode {
    KeyNode *Next;     // sibling, in case-blind name order
    KeyNode *Children; // first subkey
    ValueNode *Values; // in order of creation
    ValueNode *Last;   // the last of Values, for appending
    char *Name;        // "" for the root
};

enum { kPathSize = 4096 };

const char kHeader[] = "PORTICO-REGISTRY 1\n";

// The files of one root's store.
struct StorePaths {
    char Folder[kPathSize];
    char Data[kPathSize];
    char Lock[kPathSize];
};

} // namespace

// ---------------------------------------------------------------------------
// Names and tree
// ---------------------------------------------------------------------------

static int RegStore_Lower(int c) {
    return (c >= 'A' && c <= 'Z') ? c + 32 : c;
}

static int RegStore_Compare(const char *a, int aLength, const char *b, int bLength) {
    for (int i = 0; i < aLength && i < bLength; i++) {
        int d = RegStore_Lower((unsigned char)a[i]) - RegStore_Lower((unsigned char)b[i]);
        if (d != 0)
            return d;
    }
    return aLength - bLength;
}

static char *RegStore_CopyName(const char *name, int length) {
    char *copy = (char *)malloc((size_t)length + 1);
    if (copy == nullptr)
        return nullptr;
    memcpy(copy, name, (size_t)length);
    copy[length] = 0;
    return copy;
}

static void RegStore_FreeValues(ValueNode *value) {
    while (value != nullptr) {
        ValueNode *next = value->Next;
        free(value->Name);
        free(value->Data);
        free(value);
        value = next;
    }
}

static void RegStore_FreeKey(KeyNode *key) {
    while (key != nullptr) {
        KeyNode *next = key->Next;
        RegStore_FreeKey(key->Children);
        RegStore_FreeValues(key->Values);
        free(key->Name);
        free(key);
        key = next;
    }
}

static KeyNode *RegStore_FindChild(KeyNode *parent, const char *name, int length) {
    for (KeyNode *child = parent->Children; child != nullptr; child = child->Next)
        if (RegStore_Compare(child->Name, (int)strlen(child->Name), name, length) == 0)
            return child;
    return nullptr;
}

// Adds a subkey in name order; null when memory runs out.
static KeyNode *RegStore_AddChild(KeyNode *parent, const char *name, int length) {
    KeyNode *key = (KeyNode *)calloc(1, sizeof(KeyNode));
    if (key == nullptr || (key->Name = RegStore_CopyName(name, length)) == nullptr) {
        free(key);
        return nullptr;
    }
    KeyNode **link = &parent->Children;
    while (*link != nullptr &&
           RegStore_Compare((*link)->Name, (int)strlen((*link)->Name), name, length) < 0)
        link = &(*link)->Next;
    key->Next = *link;
    *link = key;
    return key;
}

static ValueNode *RegStore_FindValue(KeyNode *key, const char *name) {
    int length = (int)strlen(name);
    for (ValueNode *value = key->Values; value != nullptr; value = value->Next)
        if (RegStore_Compare(value->Name, (int)strlen(value->Name), name, length) == 0)
            return value;
    return nullptr;
}

// Stores type and bytes in the value (replacing its data); 0 when memory runs out.
static int RegStore_AssignValue(ValueNode *value, uint32_t type, const void *data, int length) {
    uint8_t *copy = (uint8_t *)malloc(length > 0 ? (size_t)length : 1);
    if (copy == nullptr)
        return 0;
    if (length > 0)
        memcpy(copy, data, (size_t)length);
    free(value->Data);
    value->Data = copy;
    value->Length = length;
    value->Type = type;
    return 1;
}

static ValueNode *RegStore_AppendValue(KeyNode *key, const char *name, int nameLength) {
    ValueNode *value = (ValueNode *)calloc(1, sizeof(ValueNode));
    if (value == nullptr || (value->Name = RegStore_CopyName(name, nameLength)) == nullptr) {
        free(value);
        return nullptr;
    }
    if (key->Last != nullptr)
        key->Last->Next = value;
    else
        key->Values = value;
    key->Last = value;
    return value;
}

// Walks the path from the root. With create 1 missing keys are added. Null when
// a key is missing, a part is too long, or memory runs out (*status says which).
static KeyNode *RegStore_Resolve(KeyNode *root, const char *path, int create, int *status) {
    KeyNode *key = root;
    const char *part = path;
    int depth = 0;
    *status = REGSTORE_OK;
    for (const char *c = path;; c++) {
        if (*c != 0 && *c != '\\' && *c != '/')
            continue;
        int length = (int)(c - part);
        if (length > 0) {
            if (length > REGSTORE_NAME_MAX || ++depth > REGSTORE_DEPTH_MAX) {
                *status = REGSTORE_INVALID;
                return nullptr;
            }
            KeyNode *child = RegStore_FindChild(key, part, length);
            if (child == nullptr && create)
                child = RegStore_AddChild(key, part, length);
            if (child == nullptr) {
                *status = create ? REGSTORE_IO_ERROR : REGSTORE_NOT_FOUND;
                return nullptr;
            }
            key = child;
        }
        if (*c == 0)
            return key;
        part = c + 1;
    }
}

// ---------------------------------------------------------------------------
// Parse and print
// ---------------------------------------------------------------------------

namespace {
struct Reader {
    const char *Data;
    size_t Length;
    size_t Position;
};
} // namespace

// Reads a decimal number ended by ' ' or '\n' (the ender is consumed and checked).
static int RegStore_ReadNumber(Reader *reader, char ender, uint64_t limit, uint64_t *value) {
    uint64_t number = 0;
    size_t start = reader->Position;
    while (reader->Position < reader->Length && reader->Data[reader->Position] >= '0' &&
           reader->Data[reader->Position] <= '9') {
        number = number * 10 + (uint64_t)(reader->Data[reader->Position] - '0');
        if (number > limit)
            return 0;
        reader->Position++;
    }
    if (reader->Position == start || reader->Position >= reader->Length ||
        reader->Data[reader->Position] != ender)
        return 0;
    reader->Position++;
    *value = number;
    return 1;
}

static int RegStore_ReadBytes(Reader *reader, size_t count, const char **bytes) {
    if (count > reader->Length - reader->Position)
        return 0;
    *bytes = reader->Data + reader->Position;
    reader->Position += count;
    return 1;
}

static int RegStore_ReadEnd(Reader *reader) {
    if (reader->Position >= reader->Length || reader->Data[reader->Position] != '\n')
        return 0;
    reader->Position++;
    return 1;
}

static int RegStore_ParseKey(Reader *reader, KeyNode **stack, int *depth) {
    uint64_t level = 0, nameLength = 0;
    const char *name = nullptr;
    if (!RegStore_ReadNumber(reader, ' ', REGSTORE_DEPTH_MAX, &level) ||
        !RegStore_ReadNumber(reader, '\n', REGSTORE_NAME_MAX, &nameLength) || level < 1 ||
        (int)level > *depth + 1 || nameLength == 0 ||
        !RegStore_ReadBytes(reader, nameLength, &name) || !RegStore_ReadEnd(reader) ||
        memchr(name, '\\', nameLength) != nullptr || memchr(name, '/', nameLength) != nullptr ||
        memchr(name, 0, nameLength) != nullptr)
        return 0;
    KeyNode *parent = stack[level - 1];
    if (RegStore_FindChild(parent, name, (int)nameLength) != nullptr)
        return 0; // the same name twice
    KeyNode *key = RegStore_AddChild(parent, name, (int)nameLength);
    if (key == nullptr)
        return 0;
    stack[level] = key;
    *depth = (int)level;
    return 1;
}

static int RegStore_ParseValue(Reader *reader, KeyNode *key) {
    uint64_t type = 0, nameLength = 0, dataLength = 0;
    const char *name = nullptr;
    const char *data = nullptr;
    if (!RegStore_ReadNumber(reader, ' ', 0xFFFFFFFFu, &type) ||
        !RegStore_ReadNumber(reader, ' ', REGSTORE_NAME_MAX, &nameLength) ||
        !RegStore_ReadNumber(reader, '\n', REGSTORE_VALUE_MAX, &dataLength) ||
        !RegStore_ReadBytes(reader, nameLength, &name) ||
        !RegStore_ReadBytes(reader, dataLength, &data) || !RegStore_ReadEnd(reader) ||
        memchr(name, 0, nameLength) != nullptr)
        return 0;
    // A repeated name (never written by us) is kept; lookups find the first.
    ValueNode *value = RegStore_AppendValue(key, name, (int)nameLength);
    return value != nullptr && RegStore_AssignValue(value, (uint32_t)type, data, (int)dataLength);
}

// Parses a whole store file into root (an empty root key). 1, or 0 when damaged.
static int RegStore_Parse(const char *data, size_t length, KeyNode *root) {
    size_t headerLength = sizeof(kHeader) - 1;
    if (length < headerLength || memcmp(data, kHeader, headerLength) != 0)
        return 0;
    Reader reader = {data, length, headerLength};
    KeyNode *stack[REGSTORE_DEPTH_MAX + 1];
    stack[0] = root;
    int depth = 0;
    while (reader.Position < reader.Length) {
        char kind = data[reader.Position];
        if (reader.Position + 2 > reader.Length || data[reader.Position + 1] != ' ')
            return 0;
        reader.Position += 2;
        int ok = kind == 'K'   ? RegStore_ParseKey(&reader, stack, &depth)
                 : kind == 'V' ? RegStore_ParseValue(&reader, stack[depth])
                               : 0;
        if (!ok)
            return 0;
    }
    return 1;
}

namespace {
struct Writer {
    char *Data;
    size_t Length;
    size_t Capacity;
    int Failed;
};
} // namespace

static void RegStore_Put(Writer *writer, const void *bytes, size_t count) {
    if (writer->Failed)
        return;
    if (writer->Length + count > writer->Capacity) {
        size_t capacity = writer->Capacity * 2 + count + 256;
        char *grown = (char *)realloc(writer->Data, capacity);
        if (grown == nullptr) {
            writer->Failed = 1;
            return;
        }
        writer->Data = grown;
        writer->Capacity = capacity;
    }
    memcpy(writer->Data + writer->Length, bytes, count);
    writer->Length += count;
}

static void RegStore_PrintKey(Writer *writer, const KeyNode *key, int depth) {
    char line[128];
    for (const ValueNode *value = key->Values; value != nullptr; value = value->Next) {
        size_t nameLength = strlen(value->Name);
        int n =
            snprintf(line, sizeof(line), "V %u %zu %d\n", value->Type, nameLength, value->Length);
        RegStore_Put(writer, line, (size_t)n);
        RegStore_Put(writer, value->Name, nameLength);
        RegStore_Put(writer, value->Data, (size_t)value->Length);
        RegStore_Put(writer, "\n", 1);
    }
    for (const KeyNode *child = key->Children; child != nullptr; child = child->Next) {
        size_t nameLength = strlen(child->Name);
        int n = snprintf(line, sizeof(line), "K %d %zu\n", depth + 1, nameLength);
        RegStore_Put(writer, line, (size_t)n);
        RegStore_Put(writer, child->Name, nameLength);
        RegStore_Put(writer, "\n", 1);
        RegStore_PrintKey(writer, child, depth + 1);
    }
}

// ---------------------------------------------------------------------------
// Files and transactions
// ---------------------------------------------------------------------------

int RegStore_GetFolder(char *buffer, int size) {
    if (buffer == nullptr || size <= 0)
        return 0;
    buffer[0] = 0;
    char config[kPathSize];
    if (!ShFolder_Get(SHFOLDER_CONFIG, config, sizeof(config)))
        return 0;
    int n = snprintf(buffer, (size_t)size, "%s/portico/registry", config);
    if (n <= 0 || n >= size) {
        buffer[0] = 0; // no cut path that names another folder
        return 0;
    }
    return 1;
}

static int RegStore_MakePaths(const char *root, StorePaths *paths) {
    if (!RegStore_GetFolder(paths->Folder, sizeof(paths->Folder)))
        return 0;
    int a = snprintf(paths->Data, kPathSize, "%s/%s.reg", paths->Folder, root);
    int b = snprintf(paths->Lock, kPathSize, "%s/%s.lock", paths->Folder, root);
    return a < kPathSize && b < kPathSize;
}

static int RegStore_MakeFolder(const char *folder) {
    char work[kPathSize];
    snprintf(work, sizeof(work), "%s", folder);
    for (char *c = work + 1;; c++) {
        if (*c != '/' && *c != 0)
            continue;
        char saved = *c;
        *c = 0;
        if (mkdir(work, 0700) != 0 && errno != EEXIST)
            return 0;
        *c = saved;
        if (saved == 0)
            return 1;
    }
}

// Reads and parses the store file into root; a missing file is an empty store.
static int RegStore_Load(const StorePaths *paths, KeyNode *root) {
    int fd = open(paths->Data, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return errno == ENOENT;
    }
    struct stat info;
    if (fstat(fd, &info) != 0 || info.st_size > REGSTORE_FILE_MAX) {
        int error = info.st_size > REGSTORE_FILE_MAX ? EFBIG : errno;
        close(fd);
        errno = error;
        return 0;
    }
    size_t size = (size_t)info.st_size;
    char *data = (char *)malloc(size + 1);
    int error = 0;
    size_t done = data != nullptr ? (size_t)FileIo_ReadUpTo(fd, data, (int64_t)size, &error) : 0;
    close(fd);
    int ok = data != nullptr && done == size && RegStore_Parse(data, size, root);
    if (!ok)
        error = data == nullptr ? ENOMEM : error != 0 ? error : EBADMSG;
    free(data);
    errno = error;
    return ok;
}

// Writes the tree to a temporary file beside the store and puts it in place
// durably (old or new store after a crash, never a cut one).
static int RegStore_Save(const StorePaths *paths, const KeyNode *root) {
    Writer writer = {nullptr, 0, 0, 0};
    RegStore_Put(&writer, kHeader, sizeof(kHeader) - 1);
    RegStore_PrintKey(&writer, root, 0);
    if (writer.Failed) {
        free(writer.Data);
        errno = ENOMEM;
        return 0;
    }
    DurableReplace replace;
    int ok = Durable_WriteFile(&replace, paths->Data, writer.Data, (int64_t)writer.Length, 0600);
    free(writer.Data);
    if (!ok) {
        errno = replace.Error;
        return 0;
    }
    return 1;
}

namespace {
// One operation on a store: the parsed tree, and for changes the held lock.
struct Transaction {
    StorePaths Paths;
    KeyNode Root;
    int LockFd;
};
} // namespace

// Opens a transaction; with change 1 the store's lock is taken first (and the
// folder made). IO_ERROR with errno set when the store cannot be read.
static int RegStore_Begin(const char *root, int change, Transaction *txn) {
    memset(&txn->Root, 0, sizeof(txn->Root));
    txn->LockFd = -1;
    if (!RegStore_MakePaths(root, &txn->Paths)) {
        errno = ENAMETOOLONG;
        return REGSTORE_IO_ERROR;
    }
    if (change) {
        if (!RegStore_MakeFolder(txn->Paths.Folder))
            return REGSTORE_IO_ERROR;
        txn->LockFd = open(txn->Paths.Lock, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (txn->LockFd < 0)
            return REGSTORE_IO_ERROR;
        while (flock(txn->LockFd, LOCK_EX) != 0) {
            if (errno != EINTR) {
                int error = errno;
                close(txn->LockFd);
                txn->LockFd = -1;
                errno = error;
                return REGSTORE_IO_ERROR;
            }
        }
    }
    if (!RegStore_Load(&txn->Paths, &txn->Root)) {
        int error = errno;
        RegStore_FreeKey(txn->Root.Children);
        RegStore_FreeValues(txn->Root.Values);
        memset(&txn->Root, 0, sizeof(txn->Root));
        if (txn->LockFd >= 0)
            close(txn->LockFd);
        txn->LockFd = -1;
        errno = error;
        return REGSTORE_IO_ERROR;
    }
    return REGSTORE_OK;
}

// Ends the transaction, saving first when save is 1 and status is OK. Returns
// status, or IO_ERROR when the save failed.
static int RegStore_End(Transaction *txn, int save, int status) {
    if (save && status == REGSTORE_OK && !RegStore_Save(&txn->Paths, &txn->Root))
        status = REGSTORE_IO_ERROR;
    int error = errno;
    RegStore_FreeKey(txn->Root.Children);
    RegStore_FreeValues(txn->Root.Values);
    if (txn->LockFd >= 0)
        close(txn->LockFd); // releases the flock
    txn->LockFd = -1;
    errno = error;
    return status;
}

// ---------------------------------------------------------------------------
// Operations
// ---------------------------------------------------------------------------

int RegStore_KeyExists(const char *root, const char *path) {
    Transaction txn;
    int status = RegStore_Begin(root, 0, &txn);
    if (status == REGSTORE_OK)
        RegStore_Resolve(&txn.Root, path, 0, &status);
    return RegStore_End(&txn, 0, status);
}

int RegStore_CreateKey(const char *root, const char *path) {
    Transaction txn;
    int status = RegStore_Begin(root, 1, &txn);
    if (status != REGSTORE_OK)
        return status;
    int existed = REGSTORE_OK;
    RegStore_Resolve(&txn.Root, path, 0, &existed);
    if (existed == REGSTORE_OK)
        return RegStore_End(&txn, 0, REGSTORE_OK);
    RegStore_Resolve(&txn.Root, path, 1, &status);
    return RegStore_End(&txn, 1, status);
}

int RegStore_DeleteTree(const char *root, const char *path) {
    Transaction txn;
    int status = RegStore_Begin(root, 1, &txn);
    if (status != REGSTORE_OK)
        return status;
    KeyNode *key = RegStore_Resolve(&txn.Root, path, 0, &status);
    if (key == &txn.Root)
        status = REGSTORE_INVALID;
    if (status != REGSTORE_OK)
        return RegStore_End(&txn, 0, status);
    // Unlink it from its parent: resolve the parent by cutting the last part.
    char parentPath[kPathSize];
    snprintf(parentPath, sizeof(parentPath), "%s", path);
    int end = (int)strlen(parentPath);
    while (end > 0 && (parentPath[end - 1] == '\\' || parentPath[end - 1] == '/'))
        end--;
    while (end > 0 && parentPath[end - 1] != '\\' && parentPath[end - 1] != '/')
        end--;
    parentPath[end] = 0;
    KeyNode *parent = RegStore_Resolve(&txn.Root, parentPath, 0, &status);
    for (KeyNode **link = parent ? &parent->Children : nullptr; link && *link;
         link = &(*link)->Next) {
        if (*link == key) {
            *link = key->Next;
            key->Next = nullptr;
            RegStore_FreeKey(key);
            break;
        }
    }
    return RegStore_End(&txn, 1, status);
}

static int RegStore_CopyText(char *buffer, int size, const char *text) {
    int length = (int)strlen(text);
    if (buffer == nullptr || length + 1 > size)
        return 0;
    memcpy(buffer, text, (size_t)length + 1);
    return 1;
}

int RegStore_EnumKey(const char *root, const char *path, int index, char *name, int nameSize) {
    if (name != nullptr && nameSize > 0)
        name[0] = 0;
    Transaction txn;
    int status = RegStore_Begin(root, 0, &txn);
    KeyNode *key = status == REGSTORE_OK ? RegStore_Resolve(&txn.Root, path, 0, &status) : nullptr;
    if (key != nullptr) {
        KeyNode *child = key->Children;
        for (int i = 0; child != nullptr && i < index; i++)
            child = child->Next;
        if (index < 0 || child == nullptr)
            status = REGSTORE_NO_MORE_ITEMS;
        else if (!RegStore_CopyText(name, nameSize, child->Name))
            status = REGSTORE_MORE_DATA;
    }
    return RegStore_End(&txn, 0, status);
}

int RegStore_EnumValue(const char *root, const char *path, int index, char *name, int nameSize,
                       void *data, int dataSize, int *length, uint32_t *type) {
    *length = 0;
    *type = REGSTORE_TYPE_NONE;
    if (name != nullptr && nameSize > 0)
        name[0] = 0;
    Transaction txn;
    int status = RegStore_Begin(root, 0, &txn);
    KeyNode *key = status == REGSTORE_OK ? RegStore_Resolve(&txn.Root, path, 0, &status) : nullptr;
    if (key != nullptr) {
        ValueNode *value = key->Values;
        for (int i = 0; value != nullptr && i < index; i++)
            value = value->Next;
        if (index < 0 || value == nullptr) {
            status = REGSTORE_NO_MORE_ITEMS;
        } else if (!RegStore_CopyText(name, nameSize, value->Name)) {
            status = REGSTORE_MORE_DATA;
        } else {
            *type = value->Type;
            *length = value->Length;
            int copy = value->Length < dataSize ? value->Length : dataSize;
            if (data != nullptr && copy > 0)
                memcpy(data, value->Data, (size_t)copy);
            if (value->Length > dataSize)
                status = REGSTORE_MORE_DATA;
        }
    }
    return RegStore_End(&txn, 0, status);
}

int RegStore_SetValue(const char *root, const char *path, const char *name, uint32_t type,
                      const void *data, int length) {
    int nameLength = (int)strlen(name);
    if (nameLength > REGSTORE_NAME_MAX || length < 0 || length > REGSTORE_VALUE_MAX)
        return REGSTORE_INVALID;
    Transaction txn;
    int status = RegStore_Begin(root, 1, &txn);
    if (status != REGSTORE_OK)
        return status;
    KeyNode *key = RegStore_Resolve(&txn.Root, path, 0, &status);
    if (key != nullptr) {
        ValueNode *value = RegStore_FindValue(key, name);
        if (value == nullptr)
            value = RegStore_AppendValue(key, name, nameLength);
        if (value == nullptr || !RegStore_AssignValue(value, type, data, length))
            status = REGSTORE_IO_ERROR;
    }
    return RegStore_End(&txn, 1, status);
}

int RegStore_QueryValue(const char *root, const char *path, const char *name, uint32_t *type,
                        void *data, int size, int *length) {
    *type = REGSTORE_TYPE_NONE;
    *length = 0;
    Transaction txn;
    int status = RegStore_Begin(root, 0, &txn);
    KeyNode *key = status == REGSTORE_OK ? RegStore_Resolve(&txn.Root, path, 0, &status) : nullptr;
    if (key != nullptr) {
        ValueNode *value = RegStore_FindValue(key, name);
        if (value == nullptr) {
            status = REGSTORE_NOT_FOUND;
        } else {
            *type = value->Type;
            *length = value->Length;
            if (value->Length > size)
                status = REGSTORE_MORE_DATA;
            else if (value->Length > 0)
                memcpy(data, value->Data, (size_t)value->Length);
        }
    }
    return RegStore_End(&txn, 0, status);
}

int RegStore_DeleteValue(const char *root, const char *path, const char *name) {
    Transaction txn;
    int status = RegStore_Begin(root, 1, &txn);
    if (status != REGSTORE_OK)
        return status;
    KeyNode *key = RegStore_Resolve(&txn.Root, path, 0, &status);
    ValueNode *value = key != nullptr ? RegStore_FindValue(key, name) : nullptr;
    if (key != nullptr && value == nullptr)
        status = REGSTORE_NOT_FOUND;
    if (value != nullptr) {
        ValueNode **link = &key->Values;
        ValueNode *previous = nullptr;
        while (*link != value) {
            previous = *link;
            link = &(*link)->Next;
        }
        *link = value->Next;
        if (key->Last == value)
            key->Last = previous;
        value->Next = nullptr;
        RegStore_FreeValues(value);
    }
    return RegStore_End(&txn, value != nullptr, status);
}

int RegStore_GetKeyInfo(const char *root, const char *path, int *subkeys, int *values) {
    *subkeys = 0;
    *values = 0;
    Transaction txn;
    int status = RegStore_Begin(root, 0, &txn);
    KeyNode *key = status == REGSTORE_OK ? RegStore_Resolve(&txn.Root, path, 0, &status) : nullptr;
    if (key != nullptr) {
        for (KeyNode *child = key->Children; child != nullptr; child = child->Next)
            (*subkeys)++;
        for (ValueNode *value = key->Values; value != nullptr; value = value->Next)
            (*values)++;
    }
    return RegStore_End(&txn, 0, status);
}
