// The update task's deletes: a tree of 50,000 files of 1 KiB in 2,000 folders
// removed by DeleteHelper_DeleteDirectory against `rm -rf` on an identical tree,
// and a 50,000-line "remove.manifest" processed by the delete helper against
// `xargs -d '\n' rm -f` over the same list. Each iteration builds its tree
// untimed; both sides check that everything listed is gone.
#include "core/stopflag.h"
#include "core/zyl.h"
#include "patcher/deletehelper.h"
#include "patcher/taskstatus.h"

#include "bench/bench_main.h"
#include <benchmark/benchmark.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const int kFolders = 2000;
const int kFiles = 50000;

std::string Scratch() {
    static std::string base = [] {
        char path[] = "/tmp/portico-bench-deletes-XXXXXX";
        return std::string(mkdtemp(path));
    }();
    return base;
}

// Builds root/dNNNN/fNNNNN (1 KiB each), the files spread over the folders.
bool BuildTree(const std::string &root) {
    static const std::string block(1024, 'x');
    if (mkdir(root.c_str(), 0755) != 0)
        return false;
    for (int d = 0; d < kFolders; d++) {
        std::string folder = root + "/d" + std::to_string(d);
        if (mkdir(folder.c_str(), 0755) != 0)
            return false;
    }
    for (int f = 0; f < kFiles; f++) {
        std::string path = root + "/d" + std::to_string(f % kFolders) + "/f" + std::to_string(f);
        int fd = open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
        if (fd < 0 || write(fd, block.data(), block.size()) != (ssize_t)block.size())
            return false;
        close(fd);
    }
    return true;
}

bool Gone(const std::string &path) {
    struct stat info;
    return lstat(path.c_str(), &info) != 0;
}

// Runs argv in folder; 1 when it exited 0.
bool Run(const char *folder, const char *const argv[]) {
    pid_t pid = fork();
    if (pid == 0) {
        if (chdir(folder) != 0)
            _exit(127);
        execvp(argv[0], const_cast<char *const *>(argv));
        _exit(127);
    }
    int status = 0;
    return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
}

void BM_DeleteTreeOurs(benchmark::State &state) {
    std::string root = Scratch() + "/tree";
    for (auto _ : state) {
        state.PauseTiming();
        if (!BuildTree(root)) {
            state.SkipWithError("cannot build the tree");
            return;
        }
        state.ResumeTiming();
        int ok = DeleteHelper_DeleteDirectory(Scratch().c_str(), (root + "/").c_str());
        if (!ok || !Gone(root)) {
            state.SkipWithError("the tree is still there");
            return;
        }
    }
}

void BM_DeleteTreeRm(benchmark::State &state) {
    std::string root = Scratch() + "/tree";
    for (auto _ : state) {
        state.PauseTiming();
        if (!BuildTree(root)) {
            state.SkipWithError("cannot build the tree");
            return;
        }
        state.ResumeTiming();
        const char *argv[] = {"rm", "-rf", root.c_str(), nullptr};
        if (!Run(Scratch().c_str(), argv) || !Gone(root)) {
            state.SkipWithError("the tree is still there");
            return;
        }
    }
}

// The manifest of every file of the tree, relative to the tree.
std::string WriteManifest(const std::string &folder) {
    std::string path = folder + "/remove.manifest";
    FILE *file = fopen(path.c_str(), "w");
    for (int f = 0; f < kFiles; f++)
        fprintf(file, "d%d/f%d\n", f % kFolders, f);
    fclose(file);
    return path;
}

bool AllFilesGone(const std::string &root) {
    for (int f = 0; f < kFiles; f += 997)
        if (!Gone(root + "/d" + std::to_string(f % kFolders) + "/f" + std::to_string(f)))
            return false;
    return Gone(root + "/d1/f1") && Gone(root + "/d0/f" + std::to_string(kFiles - kFolders));
}

void BM_DeleteManifestOurs(benchmark::State &state) {
    std::string root = Scratch() + "/install";
    std::string output = Scratch() + "/output";
    mkdir(output.c_str(), 0755);
    WriteManifest(output);
    PatcherTaskStatus *status = nullptr;
    PatcherTaskData *data = nullptr;
    PatcherTaskStatus_Create(&status);
    PatcherTaskStatus_GetData(status, &data);
    Zyl_StrCopy(data->CopyPath, (root + "/").c_str(), PATCHER_PATH_SIZE);
    Zyl_StrCopy(data->OutputPath, (output + "/").c_str(), PATCHER_PATH_SIZE);
    StopFlag stop;
    for (auto _ : state) {
        state.PauseTiming();
        std::string cleanup = "rm -rf " + root;
        if (system(cleanup.c_str()) != 0 || !BuildTree(root)) {
            state.SkipWithError("cannot build the tree");
            break;
        }
        state.ResumeTiming();
        DeleteHelper_ProcessDeleteManifest(nullptr, nullptr, nullptr, status, &stop);
        if (!AllFilesGone(root)) {
            state.SkipWithError("a listed file is still there");
            break;
        }
    }
    PatcherTaskStatus_Destroy(&status);
}

void BM_DeleteManifestXargs(benchmark::State &state) {
    std::string root = Scratch() + "/install";
    std::string output = Scratch() + "/output";
    mkdir(output.c_str(), 0755);
    std::string manifest = WriteManifest(output);
    for (auto _ : state) {
        state.PauseTiming();
        std::string cleanup = "rm -rf " + root;
        if (system(cleanup.c_str()) != 0 || !BuildTree(root)) {
            state.SkipWithError("cannot build the tree");
            return;
        }
        state.ResumeTiming();
        const char *argv[] = {"xargs", "-d", "\n", "-a", manifest.c_str(), "rm", "-f", nullptr};
        if (!Run(root.c_str(), argv) || !AllFilesGone(root)) {
            state.SkipWithError("a listed file is still there");
            return;
        }
    }
}

BENCHMARK(BM_DeleteTreeOurs)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DeleteTreeRm)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DeleteManifestOurs)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DeleteManifestXargs)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char **argv) {
    int result = benchsupport::RunBenchmarks(argc, argv);
    std::string cleanup = "rm -rf " + Scratch();
    return system(cleanup.c_str()) == 0 ? result : 1;
}
