// Peak resident memory of a conversion run over many small entries, for
// 1,000 and 10,000 entries (or the counts given). Memory must stay flat:
// what the run adds on top of the gathered list must not grow with the
// number of entries; only the list's own rows may.
//
// Usage: bench_memory [COUNT...]   (bench/run_memory.sh builds and runs it)
// KELVARA_BENCH_DIR picks the folder for the files (default: the system's
// temporary folder); each count gets a fresh tree, removed afterwards.
//
// Each count runs in a child process of its own, so that every peak starts
// from the same small program. The run is the real one: gatherPath over the
// tree, then a ConversionJob (tasks run inline, as a terminal would) that
// converts each 8 x 8 bitmap to XYZ into an output tree.

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "codecs/codec_table.h"
#include "run/conversion_job.h"
#include "filelist/file_list.h"
#include "filelist/gather.h"
#include "image/indexed_image.h"

namespace {

namespace fs = std::filesystem;

constexpr int kFilesPerFolder = 1000;

class InlineOwner final : public kelvara::JobOwner {
public:
    // The run's tasks are carried out where they are posted; this program
    // only waits for the run to end.
    void post(std::function<void()> task) override { task(); }
    void setEnabled(bool) override {}
    void openProgress(int) override {}
    void advanceProgress(const std::string&) override {}
    void closeProgress() override {}
    void dropTopmost() override {}
};

long peakKiB() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

struct Figures {
    long start = 0;     // peak before anything was gathered
    long gathered = 0;  // peak once the list holds every row
    long run = 0;       // peak at the end of the conversion run
    int converted = 0;
    double seconds = 0;
};

// The child's work; figures go back through a pipe.
Figures measure(const fs::path& root) {
    Figures f;
    f.start = peakKiB();
    kelvara::FileList list;
    kelvara::gatherPath(list, (root / "src").string(), {});
    f.gathered = peakKiB();

    kelvara::Settings settings;
    settings.SaveMode = static_cast<int>(kelvara::ImageFormat::Xyz);
    settings.SaveDirFlag = 1;
    settings.SaveDir = (root / "out").string();
    settings.DelSuccessItem = false;
    InlineOwner owner;
    kelvara::ConversionJob job(list, settings, owner);
    const auto begin = std::chrono::steady_clock::now();
    job.start(false);
    job.wait();
    f.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    f.run = peakKiB();
    for (int i = 0; i < list.rowCount(); ++i) {
        f.converted += list.row(i).result == kelvara::ConvertStatus::Success;
    }
    return f;
}

bool makeTree(const fs::path& root, int count) {
    kelvara::IndexedImage image;
    image.setSize(8, 8);
    for (std::size_t i = 0; i < image.pixelCount(); ++i) {
        image.pixels()[i] = static_cast<std::uint8_t>(i * 3);
    }
    const fs::path templateFile = root / "template.bmp";
    if (!kelvara::writeImage(kelvara::codecs()[0], templateFile.string(), image, {})) {
        return false;
    }
    std::error_code ec;
    for (int i = 0; i < count; ++i) {
        const fs::path folder = root / "src" / ("d" + std::to_string(i / kFilesPerFolder));
        if (i % kFilesPerFolder == 0) {
            fs::create_directories(folder, ec);
        }
        if (!fs::copy_file(templateFile, folder / ("f" + std::to_string(i) + ".bmp"), ec)) {
            return false;
        }
    }
    fs::remove(templateFile, ec);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<int> counts;
    for (int i = 1; i < argc; ++i) {
        counts.push_back(std::atoi(argv[i]));
    }
    if (counts.empty()) {
        counts = {1000, 10000};
    }
    const char* base = std::getenv("KELVARA_BENCH_DIR");
    const fs::path parent = base != nullptr && *base != '\0' ? fs::path(base) : fs::temp_directory_path();

    std::printf("%8s %10s %12s %10s %12s %14s %9s %8s\n", "entries", "start KiB", "gathered KiB",
                "run KiB", "list B/row", "run adds KiB", "seconds", "ok");
    for (const int count : counts) {
        const fs::path root = parent / ("kelvara-bench-memory-" + std::to_string(::getpid()));
        std::error_code ec;
        fs::remove_all(root, ec);
        fs::create_directories(root, ec);
        if (count <= 0 || !makeTree(root, count)) {
            std::fprintf(stderr, "cannot make %d files in %s\n", count, root.c_str());
            return 1;
        }
        int fds[2];
        if (::pipe(fds) != 0) {
            return 1;
        }
        std::fflush(nullptr);
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::close(fds[0]);
            const Figures f = measure(root);
            const ssize_t n = ::write(fds[1], &f, sizeof f);
            ::_exit(n == static_cast<ssize_t>(sizeof f) ? 0 : 1);
        }
        ::close(fds[1]);
        Figures f;
        const bool got = ::read(fds[0], &f, sizeof f) == static_cast<ssize_t>(sizeof f);
        ::close(fds[0]);
        int status = 0;
        ::waitpid(pid, &status, 0);
        fs::remove_all(root, ec);
        if (!got) {
            std::fprintf(stderr, "the run for %d entries failed\n", count);
            return 1;
        }
        std::printf("%8d %10ld %12ld %10ld %12.0f %14ld %9.2f %8d\n", count, f.start, f.gathered,
                    f.run, 1024.0 * static_cast<double>(f.gathered - f.start) / count,
                    f.run - f.gathered, f.seconds, f.converted);
    }
    return 0;
}
