// The registry store of this OS: one file per root holding a tree of keys and
// typed values. Every change runs as one transaction: lock (flock on a lock file
// beside the store), read, apply, write a temporary file, fsync, rename; readers
// read without locking, since a rename replaces the whole file at once.
#pragma once

#include <cstdint>

// Value types, stored with the platform numbers of the registry.
enum {
    REGSTORE_TYPE_NONE = 0,
    REGSTORE_TYPE_SZ = 1,
    REGSTORE_TYPE_EXPAND_SZ = 2,
    REGSTORE_TYPE_BINARY = 3,
    REGSTORE_TYPE_DWORD = 4,
    REGSTORE_TYPE_DWORD_BIG_ENDIAN = 5,
    REGSTORE_TYPE_MULTI_SZ = 7,
};

// Results of the store's operations.
enum {
    REGSTORE_OK = 0,
    REGSTORE_NOT_FOUND = 2, // key or value missing
    REGSTORE_MORE_DATA = 234,
    REGSTORE_NO_MORE_ITEMS = 259,
    REGSTORE_INVALID = 87,   // bad name or path, or over a limit
    REGSTORE_IO_ERROR = 1117 // the store cannot be read or written; errno says why
                             // (EBADMSG: the file does not parse, EFBIG: too big)
};

// Limits of one store.
enum {
    REGSTORE_NAME_MAX = 255,      // characters of a key or value name
    REGSTORE_DEPTH_MAX = 128,     // levels of keys
    REGSTORE_VALUE_MAX = 1 << 20, // bytes of one value
    REGSTORE_FILE_MAX = 64 << 20, // bytes of one store file
};

// `root` names the store file ("HKEY_CURRENT_USER", ...). Paths separate their
// parts with '\' or '/'; empty parts are skipped; "" is the root key itself.
// Names compare ignoring ASCII case and keep their written case.

// The store's folder: $XDG_CONFIG_HOME/portico/registry (or ~/.config/...).
// Returns 1; 0 with "" when the folder is unknown or does not fit.
int RegStore_GetFolder(char *buffer, int size);

// The operations return one of the results above.
// OK when the key exists, NOT_FOUND when it does not.
int RegStore_KeyExists(const char *root, const char *path);
// Creates the key with every missing parent; OK also when it existed.
int RegStore_CreateKey(const char *root, const char *path);
// Deletes the key and its subtree; NOT_FOUND when it does not exist; the root key
// itself cannot be deleted (INVALID).
int RegStore_DeleteTree(const char *root, const char *path);
// Subkeys in case-blind name order; values in order of creation.
int RegStore_EnumKey(const char *root, const char *path, int index, char *name, int nameSize);
// MORE_DATA when the data (or, with *length 0, the name) did not fit; *length is
// the data's full length.
int RegStore_EnumValue(const char *root, const char *path, int index, char *name, int nameSize,
                       void *data, int dataSize, int *length, uint32_t *type);
int RegStore_SetValue(const char *root, const char *path, const char *name, uint32_t type,
                      const void *data, int length);
// Copies up to size bytes; MORE_DATA when they do not fit (*length = full length).
int RegStore_QueryValue(const char *root, const char *path, const char *name, uint32_t *type,
                        void *data, int size, int *length);
int RegStore_DeleteValue(const char *root, const char *path, const char *name);
int RegStore_GetKeyInfo(const char *root, const char *path, int *subkeys, int *values);
