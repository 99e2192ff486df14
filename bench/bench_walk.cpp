// Walking a tree of 100,000 files: gathering it into a
// fresh FileList, next to `find DIR -type f` over the same tree in the same
// run, so that the walk's cost shows as a ratio against a tool that only
// enumerates.
//
// The tree lives in KELVARA_BENCH_DIR/walk, or in bench-data/walk beside this
// binary; it is made once and reused while its marker file says it is whole.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <system_error>

#include "bench_util.h"

#include "filelist/file_list.h"
#include "filelist/gather.h"

extern char** environ;

namespace {

using namespace kelvara::bench;

namespace fs = std::filesystem;

constexpr int kTopFolders = 100;
constexpr int kSubfolders = 10;
constexpr int kFilesPerFolder = 100;
constexpr int kFileCount = kTopFolders * kSubfolders * kFilesPerFolder;


bool createEmpty(const std::string& path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    return fd >= 0 && ::close(fd) == 0;
}

// The tree's root, or an empty text (and a message) when it cannot be made.
// The marker sits beside the tree, not in it, so that both walks count
// exactly the files made here.
std::string prepareTree() {
    const std::string root = benchDir() + "/walk";
    const std::string marker = root + ".complete";
    if (std::ifstream(marker).good()) {
        return root;
    }
    std::error_code ec;
    fs::remove_all(root, ec);
    fs::create_directories(root, ec);
    if (ec) {
        std::fprintf(stderr, "cannot create %s: %s\n", root.c_str(), ec.message().c_str());
        return {};
    }
    char name[64];
    for (int top = 0; top < kTopFolders; ++top) {
        for (int sub = 0; sub < kSubfolders; ++sub) {
            std::snprintf(name, sizeof name, "/t%03d/s%d", top, sub);
            const std::string folder = root + name;
            fs::create_directories(folder, ec);
            for (int file = 0; file < kFilesPerFolder && !ec; ++file) {
                std::snprintf(name, sizeof name, "/f%03d.bmp", file);
                if (!createEmpty(folder + name)) {
                    ec = std::make_error_code(std::errc::io_error);
                }
            }
            if (ec) {
                std::fprintf(stderr, "cannot fill %s\n", folder.c_str());
                return {};
            }
        }
    }
    std::ofstream(marker) << kFileCount << '\n';
    return root;
}

const std::string& treeRoot() {
    static const std::string root = prepareTree();
    return root;
}

void setFileCounters(benchmark::State& state) {
    state.SetItemsProcessed(state.iterations() * kFileCount);
}

void BM_GatherPath(benchmark::State& state) {
    const std::string& root = treeRoot();
    if (root.empty()) {
        state.SkipWithError("no tree");
        return;
    }
    std::unique_ptr<kelvara::FileList> list;
    for (auto _ : state) {
        state.PauseTiming();
        list.reset();  // freeing the previous rows is not part of gathering
        list = std::make_unique<kelvara::FileList>();
        state.ResumeTiming();
        kelvara::gatherPath(*list, root, "");
        if (list->rowCount() != kFileCount) {
            state.SkipWithError("gatherPath missed files");
            break;
        }
    }
    setFileCounters(state);
}

double childCpuMs() {
    struct rusage usage {};
    ::getrusage(RUSAGE_CHILDREN, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
}

// find's output goes to /dev/null: it still formats and writes every name,
// as gathering builds every path. Its CPU time is find's own (the child's),
// for a comparison that other load on the machine does not skew.
void BM_Find(benchmark::State& state) {
    const std::string& root = treeRoot();
    if (root.empty()) {
        state.SkipWithError("no tree");
        return;
    }
    std::string arg0 = "find", arg2 = "-type", arg3 = "f";
    std::string arg1 = root;
    char* argv[] = {arg0.data(), arg1.data(), arg2.data(), arg3.data(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    const double cpuBefore = childCpuMs();
    for (auto _ : state) {
        pid_t pid = 0;
        int status = 0;
        if (::posix_spawnp(&pid, "find", &actions, nullptr, argv, environ) != 0 ||
            ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            state.SkipWithError("find failed");
            break;
        }
    }
    posix_spawn_file_actions_destroy(&actions);
    state.counters["child_cpu_ms"] =
        benchmark::Counter(childCpuMs() - cpuBefore, benchmark::Counter::kAvgIterations);
    setFileCounters(state);
}


BENCHMARK(BM_GatherPath)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Find)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::AddCustomContext("walk_dir", treeRoot());
    benchmark::AddCustomContext("walk_files", std::to_string(kFileCount));
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
