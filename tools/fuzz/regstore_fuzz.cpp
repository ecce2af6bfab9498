// libFuzzer target for the registry store's file: the input is the store file
// of one root; the target reads it through every query, and when it loaded,
// adds a key and a value and checks that the rewritten file loads again with
// the value in it.
#include "platform/regstore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

const char kRoot[] = "HKEY_CURRENT_USER";
std::string g_file;

void Walk(const char *path, int depth) {
    RegStore_KeyExists(kRoot, path);
    int subkeys = 0, values = 0;
    RegStore_GetKeyInfo(kRoot, path, &subkeys, &values);
    for (int i = 0; i < 8; i++) {
        char name[REGSTORE_NAME_MAX + 1];
        uint8_t data[64];
        int length = 0;
        uint32_t type = 0;
        if (RegStore_EnumValue(kRoot, path, i, name, sizeof(name), data, sizeof(data), &length,
                               &type) == REGSTORE_NO_MORE_ITEMS)
            break;
    }
    for (int i = 0; i < 4 && depth < 3; i++) {
        char name[REGSTORE_NAME_MAX + 1];
        if (RegStore_EnumKey(kRoot, path, i, name, sizeof(name)) != REGSTORE_OK)
            break;
        std::string child = std::string(path) + (path[0] != 0 ? "\\" : "") + name;
        Walk(child.c_str(), depth + 1);
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // The store lives below the current folder.
    char folder[4096];
    if (getcwd(folder, sizeof(folder) - 32) == nullptr)
        __builtin_trap();
    std::string config = std::string(folder) + "/regstore_fuzz";
    mkdir(config.c_str(), 0700);
    setenv("XDG_CONFIG_HOME", config.c_str(), 1);
    char store[4096];
    if (!RegStore_GetFolder(store, sizeof(store)))
        __builtin_trap();
    std::string made;
    for (const char *p = store; *p != 0; p++) {
        made += *p;
        if (p[1] == '/' || p[1] == 0)
            mkdir(made.c_str(), 0700);
    }
    g_file = std::string(store) + "/" + kRoot + ".reg";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    int fd = open(g_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0 || write(fd, data, size) != (ssize_t)size)
        __builtin_trap();
    close(fd);
    if (RegStore_KeyExists(kRoot, "") != REGSTORE_OK)
        return 0; // refused: nothing else may read it either
    Walk("", 0);
    char value[16] = {0};
    int length = 0;
    uint32_t type = 0;
    // A store that loaded must take a change and load again after the rewrite.
    if (RegStore_CreateKey(kRoot, "Fuzz\\Key") != REGSTORE_OK ||
        RegStore_SetValue(kRoot, "Fuzz\\Key", "v", REGSTORE_TYPE_SZ, "seen", 4) != REGSTORE_OK ||
        RegStore_QueryValue(kRoot, "Fuzz\\Key", "v", &type, value, sizeof(value), &length) !=
            REGSTORE_OK ||
        length != 4 || memcmp(value, "seen", 4) != 0 || type != REGSTORE_TYPE_SZ)
        __builtin_trap();
    Walk("", 0);
    return 0;
}
