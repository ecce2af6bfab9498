// Registry keys and values over the file-backed store of platform/regstore: an
// open key is its root and path, re-found by every operation, so a key deleted
// by another process makes later operations on it fail instead of writing a ghost.
#include "core/registry.h"

#include <cerrno>

#include "core/zyl.h"
#include "platform/regstore.h"

static const char kRegistryTag[] = "registry";

struct RegistryStruct {
    const char *Tag;
    int Verbose; // 1: value-level failures are logged
    int Root;    // REGISTRY_ROOT_*
    char Path[REGISTRY_PATH_SIZE];
};

static const char *const kRootNames[] = {
    "HKEY_CURRENT_USER",  "HKEY_CURRENT_USER", "HKEY_DYN_DATA",       "HKEY_PERFORMANCE_DATA",
    "HKEY_LOCAL_MACHINE", "HKEY_CLASSES_ROOT", "HKEY_CURRENT_CONFIG",
};

int Registry_GetRootKey(int root) {
    return (root >= REGISTRY_ROOT_DYN_DATA && root <= REGISTRY_ROOT_CURRENT_CONFIG)
               ? root
               : REGISTRY_ROOT_CURRENT_USER;
}

const char *Registry_GetRootName(int root) {
    return kRootNames[Registry_GetRootKey(root)];
}

// The store does not log: a store that cannot be read or written is reported
// here, once, naming the operation. Returns status.
static int Registry_Report(int status, const char *function, int root) {
    if (status != REGSTORE_IO_ERROR)
        return status;
    int error = errno;
    char folder[REGISTRY_PATH_SIZE];
    RegStore_GetFolder(folder, sizeof(folder));
    Zyl_Print("%s() store %s unusable [%s] %d\n", function, Registry_GetRootName(root), folder,
              error);
    return status;
}

// Copies path without one leading separator. 0 (logged) when it is too long.
static int Registry_CopyPath(char *out, const char *path) {
    if (path[0] == '\\' || path[0] == '/')
        path++;
    if (!Zyl_StrCopy(out, path, REGISTRY_PATH_SIZE)) {
        Zyl_Print("Registry_CopyPath() path too long [%s]\n", path);
        out[0] = 0;
        return 0;
    }
    return 1;
}

static void Registry_New(RegistryStruct **key, int root, const char *path) {
    RegistryStruct *record = ZYL_NEW(RegistryStruct);
    record->Tag = kRegistryTag;
    record->Root = Registry_GetRootKey(root);
    Zyl_StrCopy(record->Path, path, sizeof(record->Path));
    *key = record;
}

int Registry_KeyExists(int root, const char *path) {
    ZYL_CHECK_PTR(path);
    char copy[REGISTRY_PATH_SIZE];
    if (!Registry_CopyPath(copy, path))
        return 0;
    return Registry_Report(RegStore_KeyExists(Registry_GetRootName(root), copy),
                           "Registry_KeyExists", root) == REGSTORE_OK;
}

int Registry_OpenExistingKey(RegistryStruct **key, int root, const char *path) {
    ZYL_CHECK_PTR(key);
    ZYL_CHECK_PTR(path);
    *key = nullptr;
    char copy[REGISTRY_PATH_SIZE];
    if (!Registry_CopyPath(copy, path) ||
        Registry_Report(RegStore_KeyExists(Registry_GetRootName(root), copy),
                        "Registry_OpenExistingKey", root) != REGSTORE_OK)
        return 0;
    Registry_New(key, root, copy);
    return 1;
}

int Registry_CreateKey(RegistryStruct **key, int root, const char *path) {
    ZYL_CHECK_PTR(key);
    ZYL_CHECK_PTR(path);
    *key = nullptr;
    char copy[REGISTRY_PATH_SIZE];
    if (!Registry_CopyPath(copy, path))
        return 0;
    // One transaction creates the key with its missing parents, so a crash or a
    // second writer never sees half a path.
    int status = Registry_Report(RegStore_CreateKey(Registry_GetRootName(root), copy),
                                 "Registry_CreateKey", root);
    if (status != REGSTORE_OK) {
        if (status != REGSTORE_IO_ERROR)
            Zyl_Print("Create failed %d:[%s]:%d\n", root, copy, status);
        return 0;
    }
    Registry_New(key, root, copy);
    return 1;
}

int Registry_OpenKey(RegistryStruct **key, int root, const char *path) {
    ZYL_CHECK_PTR(key);
    ZYL_CHECK_PTR(path);
    *key = nullptr;
    if (Registry_KeyExists(root, path)) {
        if (!Registry_OpenExistingKey(key, root, path)) {
            Zyl_Print("Unable to open key '%s'\n", path);
            return 0;
        }
        return 1;
    }
    if (!Registry_CreateKey(key, root, path)) {
        Zyl_Print("Unable to create key '%s'\n", path);
        return 0;
    }
    return 1;
}

int Registry_CloseKey(RegistryStruct **key) {
    ZYL_CHECK_PTR(key);
    if (*key == nullptr)
        return 1;
    ZYL_CHECK_TAG(*key, kRegistryTag);
    (*key)->Tag = Zyl_DeadTag;
    ZYL_FREE(*key, sizeof(RegistryStruct));
    return 1;
}

int Registry_DeleteKeyTree(int root, const char *path) {
    ZYL_CHECK_PTR(path);
    char copy[REGISTRY_PATH_SIZE];
    if (!Registry_CopyPath(copy, path))
        return 0;
    int status = Registry_Report(RegStore_DeleteTree(Registry_GetRootName(root), copy),
                                 "Registry_DeleteKeyTree", root);
    if (status == REGSTORE_OK || status == REGSTORE_NOT_FOUND)
        return 1;
    if (status != REGSTORE_IO_ERROR)
        Zyl_Print("Unable to delete key '%s'(0x%.8X)\n", copy, status);
    return 0;
}

int Registry_EnumKey(RegistryStruct *key, int index, char *name, int nameSize) {
    ZYL_CHECK_TAG(key, kRegistryTag);
    ZYL_CHECK_PTR(name);
    if (nameSize > 0)
        name[0] = 0;
    int status =
        RegStore_EnumKey(Registry_GetRootName(key->Root), key->Path, index, name, nameSize);
    return Registry_Report(status, "Registry_EnumKey", key->Root) == REGSTORE_OK;
}

// Type code of the table in registry.h for a stored platform type.
static int Registry_TypeCode(uint32_t type) {
    switch (type) {
    case REGSTORE_TYPE_SZ:
        return REGISTRY_TYPE_STRING;
    case REGSTORE_TYPE_EXPAND_SZ:
        return REGISTRY_TYPE_EXPAND_STRING;
    case REGSTORE_TYPE_MULTI_SZ:
        return REGISTRY_TYPE_MULTI_STRING;
    case REGSTORE_TYPE_DWORD:
        return REGISTRY_TYPE_DWORD;
    case REGSTORE_TYPE_DWORD_BIG_ENDIAN:
        return REGISTRY_TYPE_DWORD_BIG_ENDIAN;
    default:
        return REGISTRY_TYPE_BINARY;
    }
}

static uint32_t Registry_PlatformType(int code) {
    switch (code) {
    case REGISTRY_TYPE_STRING:
        return REGSTORE_TYPE_SZ;
    case REGISTRY_TYPE_EXPAND_STRING:
        return REGSTORE_TYPE_EXPAND_SZ;
    case REGISTRY_TYPE_MULTI_STRING:
        return REGSTORE_TYPE_MULTI_SZ;
    case REGISTRY_TYPE_DWORD:
        return REGSTORE_TYPE_DWORD;
    case REGISTRY_TYPE_DWORD_BIG_ENDIAN:
        return REGSTORE_TYPE_DWORD_BIG_ENDIAN;
    default:
        return REGSTORE_TYPE_BINARY;
    }
}

int Registry_EnumValue(RegistryStruct *key, int index, char *name, int nameSize, void *data,
                       int dataSize, int *dataLength, int *type) {
    ZYL_CHECK_TAG(key, kRegistryTag);
    ZYL_CHECK_PTR(name);
    ZYL_CHECK_PTR(dataLength);
    ZYL_CHECK_PTR(type);
    *dataLength = 0;
    *type = 0;
    if (nameSize > 0)
        name[0] = 0;
    uint32_t stored = 0;
    int status = RegStore_EnumValue(Registry_GetRootName(key->Root), key->Path, index, name,
                                    nameSize, data, data ? dataSize : 0, dataLength, &stored);
    Registry_Report(status, "Registry_EnumValue", key->Root);
    if (status == REGSTORE_OK || (status == REGSTORE_MORE_DATA && *dataLength > 0) ||
        (status == REGSTORE_MORE_DATA && stored != REGSTORE_TYPE_NONE)) {
        *type = Registry_TypeCode(stored);
        return 1;
    }
    if (status != REGSTORE_NO_MORE_ITEMS && status != REGSTORE_NOT_FOUND &&
        status != REGSTORE_MORE_DATA && status != REGSTORE_IO_ERROR)
        Zyl_Print("Unable to get enum %d:%.8X\n", status, status);
    return 0;
}

static int Registry_SetValue(RegistryStruct *key, const char *name, uint32_t type, const void *data,
                             int length, const char *label) {
    const char *valueName = name ? name : "";
    int status = RegStore_SetValue(Registry_GetRootName(key->Root), key->Path, valueName, type,
                                   data, length);
    if (Registry_Report(status, "Registry_SetValue", key->Root) == REGSTORE_OK)
        return 1;
    if (key->Verbose && status != REGSTORE_IO_ERROR)
        Zyl_Print("Unable to set registry '%s' %s\n", valueName, label);
    return 0;
}

int Registry_SetString(RegistryStruct *key, const char *name, const char *text) {
    ZYL_CHECK_TAG(key, kRegistryTag);
    ZYL_CHECK_PTR(text);
    return Registry_SetValue(key, name, REGSTORE_TYPE_SZ, text, Zyl_StrLen(text), "String");
}

int Registry_SetExpandString(RegistryStruct *key, const char *name, const char *text) {
    ZYL_CHECK_TAG(key, kRegistryTag);
    ZYL_CHECK_PTR(text);
    return Registry_SetValue(key, name, REGSTORE_TYPE_EXPAND_SZ, text, Zyl_StrLen(text),
                             "Expand String");
}

int Registry_SetInt32(RegistryStruct *key, const char *name, int32_t value) {
    ZYL_CHECK_TAG(key, kRegistryTag);
    uint8_t bytes[4] = {(uint8_t)value, (uint8_t)(value >> 8), (uint8_t)(value >> 16),
                        (uint8_t)(value >> 24)}; // REG_DWORD is little-endian
    return Registry_SetValue(key, name, REGSTORE_TYPE_DWORD, bytes, 4, "Int32");
}

int Registry_SetBinary(RegistryStruct *key, const char *name, int type, const void *data,
                       int length) {
    ZYL_CHECK_TAG(key, kRegistryTag);
    if (length > 0)
        ZYL_CHECK_PTR(data);
    if (length < 0 || length > REGISTRY_VALUE_MAX) {
        Zyl_Print("Registry_SetBinary() bad length %d\n", length);
        return 0;
    }
    return Registry_SetValue(key, name, Registry_PlatformType(type), data, length, "Binary");
}

// Reads a value of the expected type into buffer (up to size bytes). 1 and the
// byte count in *length; 0 (logged when verbose) otherwise.
static int Registry_GetValue(RegistryStruct *key, const char *name, uint32_t expected, void *buffer,
                             int size, int *length, const char *label) {
    const char *valueName = name ? name : "";
    uint32_t stored = 0;
    int status = RegStore_QueryValue(Registry_GetRootName(key->Root), key->Path, valueName, &stored,
                                     buffer, size, length);
    if (Registry_Report(status, "Registry_GetValue", key->Root) == REGSTORE_OK &&
        stored == expected)
        return 1;
    if (key->Verbose && status != REGSTORE_IO_ERROR) {
        if (status == REGSTORE_OK || (status == REGSTORE_MORE_DATA && stored != expected))
            Zyl_Print("Bad type for '%s' [0x%.8X != 0x%.8X]\n", valueName, stored, expected);
        else
            Zyl_Print("Unable to get registry '%s' %s\n", valueName, label);
    }
    return 0;
}

static int Registry_GetText(RegistryStruct *key, const char *name, char *buffer, int size,
                            uint32_t type, const char *label) {
    if (size <= 0)
        return 0;
    buffer[0] = 0;
    int length = 0;
    // One byte stays free for the terminator.
    if (!Registry_GetValue(key, name, type, buffer, size - 1, &length, label)) {
        buffer[0] = 0;
        return 0;
    }
    buffer[length] = 0;
    return 1;
}

int Registry_GetString(RegistryStruct *key, const char *name, char *buffer, int size) {
    ZYL_CHECK_TAG(key, kRegistryTag);
    ZYL_CHECK_PTR(buffer);
    return Registry_GetText(key, name, buffer, size, REGSTORE_TYPE_SZ, "String");
}

int Registry_GetExpandString(RegistryStruct *key, const char *name, char *buffer, int size) {
    ZYL_CHECK_TAG(key, kRegistryTag);
    ZYL_CHECK_PTR(buffer);
    return Registry_GetText(key, name, buffer, size, REGSTORE_TYPE_EXPAND_SZ, "Expand String");
}

int Registry_GetInt32(RegistryStruct *key, const char *name, int32_t *value) {
    ZYL_CHECK_TAG(key, kRegistryTag);
    ZYL_CHECK_PTR(value);
    uint8_t bytes[4];
    int length = 0;
    if (!Registry_GetValue(key, name, REGSTORE_TYPE_DWORD, bytes, 4, &length, "Int32"))
        return 0;
    if (length != 4) {
        if (key->Verbose)
            Zyl_Print("Unable to get registry '%s' %s\n", name ? name : "", "Int32");
        return 0;
    }
    *value = (int32_t)((uint32_t)bytes[0] | ((uint32_t)bytes[1] << 8) | ((uint32_t)bytes[2] << 16) |
                       ((uint32_t)bytes[3] << 24));
    return 1;
}

int Registry_DeleteValue(RegistryStruct *key, const char *name) {
    ZYL_CHECK_TAG(key, kRegistryTag);
    const char *valueName = name ? name : "";
    int status = RegStore_DeleteValue(Registry_GetRootName(key->Root), key->Path, valueName);
    if (Registry_Report(status, "Registry_DeleteValue", key->Root) == REGSTORE_OK)
        return 1;
    if (key->Verbose && status != REGSTORE_IO_ERROR)
        Zyl_Print("Unable to delete value '%s'(0x%.8X)\n", valueName, status);
    return 0;
}

int Registry_GetKeyInfo(RegistryStruct *key, int *subkeys, int *values) {
    ZYL_CHECK_TAG(key, kRegistryTag);
    ZYL_CHECK_PTR(subkeys);
    ZYL_CHECK_PTR(values);
    int status = RegStore_GetKeyInfo(Registry_GetRootName(key->Root), key->Path, subkeys, values);
    return Registry_Report(status, "Registry_GetKeyInfo", key->Root) == REGSTORE_OK;
}

int Registry_SetVerbose(RegistryStruct *key, int verbose) {
    ZYL_CHECK_TAG(key, kRegistryTag);
    key->Verbose = verbose;
    return 1;
}
