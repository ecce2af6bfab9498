// Registry access of the core runtime: keys opened or created by a small root
// index and a path, string, expandable string and 32-bit values. Here the
// registry is a file-backed store of our own, one file per root under the user's
// configuration folder ($XDG_CONFIG_HOME/portico/registry/), safe for several
// processes writing at once.
#pragma once

#include <cstdint>

// An open key. Opaque; Registry_CloseKey frees it.
struct RegistryStruct;

// Root indexes. Any index not listed names the current user's root. The machine
// root is per user here: a user cannot write a machine-wide location.
enum {
    REGISTRY_ROOT_CURRENT_USER = 1,
    REGISTRY_ROOT_DYN_DATA = 2,
    REGISTRY_ROOT_PERFORMANCE_DATA = 3,
    REGISTRY_ROOT_LOCAL_MACHINE = 4,
    REGISTRY_ROOT_CLASSES_ROOT = 5,
    REGISTRY_ROOT_CURRENT_CONFIG = 6,
};

// Value type codes reported by Registry_EnumValue.
enum {
    REGISTRY_TYPE_BINARY = 1, // also every type not listed
    REGISTRY_TYPE_STRING = 2,
    REGISTRY_TYPE_EXPAND_STRING = 3,
    REGISTRY_TYPE_MULTI_STRING = 4,
    REGISTRY_TYPE_DWORD = 5,
    REGISTRY_TYPE_DWORD_BIG_ENDIAN = 6,
};

// Limits: a key path holds at most 319 characters, a value name at most 255, a
// value at most 1 MiB. Longer ones are refused, never cut.
enum { REGISTRY_PATH_SIZE = 320, REGISTRY_NAME_SIZE = 256, REGISTRY_VALUE_MAX = 1 << 20 };

// The root a root index stands for: the index itself for 2 to 6, else 1.
int Registry_GetRootKey(int root);
// The root's name ("HKEY_CURRENT_USER", "HKEY_LOCAL_MACHINE", ...) for any index.
const char *Registry_GetRootName(int root);

// Key paths separate their parts with '\' (or '/'); one leading separator is
// ignored. Names of keys and values compare ignoring ASCII case and keep the case
// they were written with.

// Opens an existing key into *key. Returns 1, or 0 (and *key null) without a
// message when the key does not exist or the store cannot be read.
int Registry_OpenExistingKey(RegistryStruct **key, int root, const char *path);
// Opens the key, creating it and every missing parent. Returns 1, or 0 with *key
// null ("Create failed %d:[%s]:%d\n").
int Registry_CreateKey(RegistryStruct **key, int root, const char *path);
// The usual entry: opens the key when it exists, else creates it. Returns 1, or
// 0 with *key null ("Unable to open key '%s'\n" / "Unable to create key '%s'\n").
int Registry_OpenKey(RegistryStruct **key, int root, const char *path);
// Frees the key and clears *key; null is accepted. Returns 1.
int Registry_CloseKey(RegistryStruct **key);
// 1 when the key exists.
int Registry_KeyExists(int root, const char *path);
// Deletes the key with everything below it, in one step. A key that does not
// exist counts as deleted. Returns 1, or 0 ("Unable to delete key '%s'(0x%.8X)\n").
int Registry_DeleteKeyTree(int root, const char *path);

// Name of the subkey at index (0-based, in case-blind name order) into name.
// Returns 1, or 0 when there is none (or the name does not fit: "" stays).
int Registry_EnumKey(RegistryStruct *key, int index, char *name, int nameSize);
// The value at index (0-based, in order of first creation): its name, up to
// dataSize bytes of its data, its full byte length in *dataLength and its type
// code in *type. Returns 1 also when the data did not fit (compare *dataLength
// with dataSize), 0 when there is no value at index or its name does not fit
// nameSize. Outputs are zeroed first.
int Registry_EnumValue(RegistryStruct *key, int index, char *name, int nameSize, void *data,
                       int dataSize, int *dataLength, int *type);

// Value writers; an empty or null name is the key's default value. The text is
// stored without its terminating NUL. Return 1, or 0 when the key was deleted
// meanwhile or the store cannot be written.
int Registry_SetString(RegistryStruct *key, const char *name, const char *text);
int Registry_SetExpandString(RegistryStruct *key, const char *name, const char *text);
int Registry_SetInt32(RegistryStruct *key, const char *name, int32_t value);
// Stores bytes with a type code of the table above.
int Registry_SetBinary(RegistryStruct *key, const char *name, int type, const void *data,
                       int length);

// Value readers. Return 1 only when the value exists with the expected type and,
// for texts, fits the buffer with its terminating NUL (a text read back is always
// terminated). On 0 the buffer holds "" and *value is left unchanged.
int Registry_GetString(RegistryStruct *key, const char *name, char *buffer, int size);
int Registry_GetExpandString(RegistryStruct *key, const char *name, char *buffer, int size);
int Registry_GetInt32(RegistryStruct *key, const char *name, int32_t *value);

// Deletes a value. Returns 1, or 0 when it does not exist or the store failed.
int Registry_DeleteValue(RegistryStruct *key, const char *name);

// Numbers of direct subkeys and values of the key. Returns 1, or 0 (both 0) when
// the key no longer exists.
int Registry_GetKeyInfo(RegistryStruct *key, int *subkeys, int *values);

// With verbose 1 the value-level failures are logged. Returns 1.
int Registry_SetVerbose(RegistryStruct *key, int verbose);
