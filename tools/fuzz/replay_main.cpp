// Replays a fuzz target's inputs without libFuzzer: each argument is a file or
// a folder of files, run through the target in name order. A fault aborts as
// it would under the fuzzer; with no input at all the replay fails, so an empty
// corpus cannot pass unnoticed.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int *argc, char ***argv);

namespace {

void Collect(const std::string &path, std::vector<std::string> *files) {
    struct stat info;
    if (stat(path.c_str(), &info) != 0) {
        fprintf(stderr, "replay: cannot read %s\n", path.c_str());
        return;
    }
    if (!S_ISDIR(info.st_mode)) {
        files->push_back(path);
        return;
    }
    DIR *folder = opendir(path.c_str());
    if (folder == nullptr)
        return;
    std::vector<std::string> names;
    while (struct dirent *entry = readdir(folder)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..")
            names.push_back(path + "/" + name);
    }
    closedir(folder);
    std::sort(names.begin(), names.end());
    for (const std::string &name : names)
        Collect(name, files);
}

int Replay(const std::string &file) {
    FILE *in = fopen(file.c_str(), "rb");
    if (in == nullptr) {
        fprintf(stderr, "replay: cannot open %s\n", file.c_str());
        return 0;
    }
    std::vector<uint8_t> bytes;
    uint8_t chunk[65536];
    size_t got;
    while ((got = fread(chunk, 1, sizeof(chunk), in)) > 0)
        bytes.insert(bytes.end(), chunk, chunk + got);
    fclose(in);
    printf("replay %s (%zu bytes)\n", file.c_str(), bytes.size());
    fflush(stdout);
    // A copy of exactly the input's size, so that a read past it is caught.
    std::vector<uint8_t> input(bytes);
    LLVMFuzzerTestOneInput(input.empty() ? nullptr : input.data(), input.size());
    return 1;
}

} // namespace

int main(int argc, char **argv) {
    if (LLVMFuzzerInitialize != nullptr)
        LLVMFuzzerInitialize(&argc, &argv);
    std::vector<std::string> files;
    for (int i = 1; i < argc; i++)
        Collect(argv[i], &files);
    int replayed = 0;
    for (const std::string &file : files)
        replayed += Replay(file);
    if (replayed == 0 || replayed != (int)files.size()) {
        fprintf(stderr, "replay: %d of %zu inputs replayed\n", replayed, files.size());
        return 1;
    }
    printf("replay: %d inputs\n", replayed);
    return 0;
}
