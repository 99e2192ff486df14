// Reading and writing a large 8-bit bitmap through the codec, next to plain
// POSIX reads and writes of exactly the same bytes, so that the codec's cost
// shows as a ratio against what the kernel alone costs on this machine.
//
// Files live in KELVARA_BENCH_DIR, or in bench-data beside this binary. That
// folder should be on a real disk: on tmpfs there is no writeback and
// fdatasync is free, which would hide the cost of the durable replace.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <system_error>
#include <vector>

#include "bench_util.h"

#include "codecs/codec_table.h"
#include "image/indexed_image.h"

namespace {

using namespace kelvara::bench;

namespace fs = std::filesystem;
using kelvara::IndexedImage;

constexpr std::uint32_t kHeight = 4096;
constexpr std::uint32_t kEvenWidth = 4096;  // rows need no padding
constexpr std::uint32_t kOddWidth = 4097;   // 3 padding bytes a row

// One source bitmap of a given width: on disk, its bytes in memory for the
// plain writes, and the decoded image for the codec writes.
struct Sample {
    std::string sourcePath;
    std::vector<std::uint8_t> bytes;
    IndexedImage image;
    std::string error;  // non-empty when the sample could not be made
};


// The type of the mount holding dir, as /proc/self/mountinfo names it (the
// statfs magic cannot tell ext4 from ext2); statfs is the fallback.
std::string fileSystemName(const std::string& dir) {
    std::error_code ec;
    const std::string real = fs::canonical(dir, ec).string();
    std::string best;
    std::string type;
    if (std::FILE* f = std::fopen("/proc/self/mountinfo", "r"); f != nullptr && !ec) {
        char line[4096];
        while (std::fgets(line, sizeof line, f) != nullptr) {
            // id parent major:minor root mountpoint options... - type source ...
            char mountPoint[2048];
            const char* dash = std::strstr(line, " - ");
            char fsType[64];
            if (dash == nullptr || std::sscanf(line, "%*s %*s %*s %*s %2047s", mountPoint) != 1 ||
                std::sscanf(dash + 3, "%63s", fsType) != 1) {
                continue;
            }
            const std::string mp = mountPoint;  // spaces come escaped; fine here
            const bool covers = real == mp || mp == "/" ||
                                (real.compare(0, mp.size(), mp) == 0 && real[mp.size()] == '/');
            if (covers && mp.size() >= best.size()) {
                best = mp;
                type = fsType;
            }
        }
        std::fclose(f);
    }
    if (!type.empty()) {
        return type + " on " + best +
               (type == "tmpfs" ? " (no writeback: sync costs are not real)" : "");
    }
    struct statfs st {};
    if (::statfs(dir.c_str(), &st) != 0) {
        return "unknown";
    }
    char name[32];
    std::snprintf(name, sizeof name, "statfs magic 0x%lx", static_cast<unsigned long>(st.f_type));
    return name;
}

bool readWhole(const std::string& path, std::vector<std::uint8_t>& out) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    struct stat st {};
    bool ok = ::fstat(fd, &st) == 0;
    if (ok) {
        out.resize(static_cast<std::size_t>(st.st_size));
        std::size_t done = 0;
        while (ok && done < out.size()) {
            const ssize_t got = ::read(fd, out.data() + done, out.size() - done);
            if (got < 0 && errno == EINTR) {
                continue;
            }
            ok = got > 0;
            done += ok ? static_cast<std::size_t>(got) : 0;
        }
    }
    ::close(fd);
    return ok;
}

std::string makeSample(std::uint32_t width, Sample& s) {
    const std::string dir = benchDir();
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec) {
        return "cannot create " + dir + ": " + ec.message();
    }
    IndexedImage image;
    image.setSize(width, kHeight);
    if (!image.hasPixels()) {
        return "out of memory";
    }
    // Random pixels and palette: nothing about the data may make a path cheap.
    std::mt19937_64 random(width);
    for (unsigned i = 0; i < IndexedImage::kPaletteSize; ++i) {
        const auto v = random();
        image.setPaletteEntry(static_cast<std::uint16_t>(i), static_cast<std::uint8_t>(v),
                              static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v >> 16));
    }
    std::uint8_t* p = image.pixels();
    for (std::size_t i = 0; i < image.pixelCount(); i += 8) {
        const auto v = random();
        std::memcpy(p + i, &v, std::min<std::size_t>(8, image.pixelCount() - i));
    }

    s.sourcePath = dir + "/source-" + std::to_string(width) + "x" + std::to_string(kHeight) + ".bmp";
    ::unlink(s.sourcePath.c_str());  // a new file: writeBmp skips the sync
    if (!kelvara::writeImage(kelvara::codecs()[0], s.sourcePath, image, {})) {
        return "writeBmp failed for " + s.sourcePath;
    }
    if (!readWhole(s.sourcePath, s.bytes)) {
        return "cannot read back " + s.sourcePath;
    }
    const std::size_t stride = (width + 3) & ~3u;
    if (s.bytes.size() != 14 + 40 + 4 * 256 + stride * kHeight) {
        return "unexpected file size " + std::to_string(s.bytes.size());
    }
    // The codec must read back what it wrote, or the timings mean nothing.
    if (!kelvara::readImage(kelvara::codecs()[0], s.sourcePath, s.image) || s.image.width() != width ||
        s.image.height() != kHeight ||
        std::memcmp(s.image.pixels(), image.pixels(), image.pixelCount()) != 0 ||
        std::memcmp(s.image.palette(), image.palette(), 3 * IndexedImage::kPaletteSize) != 0) {
        return "readBmp does not give back the written image";
    }
    return {};
}

// Samples are made on first use, so a filtered run only pays for the widths
// it needs.
const Sample& sample(std::uint32_t width) {
    static std::map<std::uint32_t, std::unique_ptr<Sample>> samples;
    auto& slot = samples[width];
    if (!slot) {
        slot = std::make_unique<Sample>();
        slot->error = makeSample(width, *slot);
    }
    return *slot;
}

std::string targetPath(const char* name, std::uint32_t width) {
    return benchDir() + "/" + name + "-" + std::to_string(width) + ".bmp";
}



// The plain counterpart of writeBmp: the same bytes, straight to the target.
bool plainWrite(const std::string& path, const std::vector<std::uint8_t>& bytes, bool sync) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        return false;
    }
    bool ok = writeFully(fd, bytes.data(), bytes.size());
    if (ok && sync) {
        ok = ::fdatasync(fd) == 0;
    }
    return ::close(fd) == 0 && ok;
}

// Both sides of each pair count the same bytes (the whole file) and items
// (pixels), so the reported rates compare directly.
void setCounters(benchmark::State& state, const Sample& s) {
    const auto n = static_cast<std::int64_t>(state.iterations());
    state.SetBytesProcessed(n * static_cast<std::int64_t>(s.bytes.size()));
    state.SetItemsProcessed(n * static_cast<std::int64_t>(s.image.pixelCount()));
}

// Fetches the sample for the benchmark's width, or marks the run failed.
const Sample* sampleFor(benchmark::State& state) {
    const Sample& s = sample(static_cast<std::uint32_t>(state.range(0)));
    if (!s.error.empty()) {
        state.SkipWithError(s.error.c_str());
        return nullptr;
    }
    return &s;
}

// --- Read: page cache to memory -------------------------------------------

// open + read the whole file into a buffer that stays allocated + close.
void BM_PlainRead(benchmark::State& state) {
    const Sample* s = sampleFor(state);
    if (s == nullptr) {
        return;
    }
    std::vector<std::uint8_t> buffer(s->bytes.size());
    for (auto _ : state) {
        const int fd = ::open(s->sourcePath.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0 || !readFully(fd, buffer.data(), buffer.size())) {
            state.SkipWithError("plain read failed");
            break;
        }
        ::close(fd);
        benchmark::DoNotOptimize(buffer.data());
    }
    setCounters(state, *s);
}

// The same, into a zeroed buffer obtained each time, as readBmp obtains its
// pixels: this separates the allocation from the codec's own work.
void BM_PlainRead_Calloc(benchmark::State& state) {
    const Sample* s = sampleFor(state);
    if (s == nullptr) {
        return;
    }
    for (auto _ : state) {
        std::unique_ptr<std::uint8_t, decltype(&std::free)> buffer(
            static_cast<std::uint8_t*>(std::calloc(s->bytes.size(), 1)), &std::free);
        const int fd = ::open(s->sourcePath.c_str(), O_RDONLY | O_CLOEXEC);
        if (!buffer || fd < 0 || !readFully(fd, buffer.get(), s->bytes.size())) {
            state.SkipWithError("plain read failed");
            break;
        }
        ::close(fd);
        benchmark::DoNotOptimize(buffer.get());
    }
    setCounters(state, *s);
}

// readBmp allocates the (zeroed) pixel storage on every call; that is part of
// what a read costs, so it stays inside the timing.
void BM_ReadBmp(benchmark::State& state) {
    const Sample* s = sampleFor(state);
    if (s == nullptr) {
        return;
    }
    IndexedImage image;
    for (auto _ : state) {
        if (!kelvara::readImage(kelvara::codecs()[0], s->sourcePath, image)) {
            state.SkipWithError("readBmp failed");
            break;
        }
        benchmark::DoNotOptimize(image.pixels());
    }
    setCounters(state, *s);
}

// --- Write to a path that does not exist yet ------------------------------

// The target is removed between iterations, outside the timing, so every
// write creates a file.
template <typename Write>
void writeNew(benchmark::State& state, const char* name, Write write) {
    const Sample* s = sampleFor(state);
    if (s == nullptr) {
        return;
    }
    const std::string path = targetPath(name, static_cast<std::uint32_t>(state.range(0)));
    ::unlink(path.c_str());
    for (auto _ : state) {
        if (!write(path, *s)) {
            state.SkipWithError("write failed");
            break;
        }
        state.PauseTiming();
        ::unlink(path.c_str());
        state.ResumeTiming();
    }
    ::unlink(path.c_str());
    setCounters(state, *s);
}

void BM_PlainWrite_New(benchmark::State& state) {
    writeNew(state, "plain-new", [](const std::string& path, const Sample& s) {
        return plainWrite(path, s.bytes, false);
    });
}

void BM_WriteBmp_New(benchmark::State& state) {
    writeNew(state, "codec-new", [](const std::string& path, const Sample& s) {
        return kelvara::writeImage(kelvara::codecs()[0], path, s.image, {});
    });
}

// --- Write over an existing file ------------------------------------------

// Flushes path to the disk; false when it cannot be opened or synced.
bool syncFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const bool ok = ::fdatasync(fd) == 0;
    ::close(fd);
    return ok;
}

// The target exists before every iteration. writeBmp then syncs the new data
// before renaming it over the old file; the plain writes go without and with
// fdatasync, to price that choice. Between iterations, untimed, the target is
// flushed: a converter replaces files written long before, and replacing one
// still under writeback would make even an unsynced write wait for the disk
// (ext4 starts writeback when a file is truncated or renamed over).
template <typename Write>
void writeReplace(benchmark::State& state, const char* name, Write write) {
    const Sample* s = sampleFor(state);
    if (s == nullptr) {
        return;
    }
    const std::string path = targetPath(name, static_cast<std::uint32_t>(state.range(0)));
    if (!plainWrite(path, s->bytes, true)) {
        state.SkipWithError("cannot create the file to replace");
        return;
    }
    for (auto _ : state) {
        if (!write(path, *s)) {
            state.SkipWithError("write failed");
            break;
        }
        state.PauseTiming();
        const bool synced = syncFile(path);
        state.ResumeTiming();
        if (!synced) {
            state.SkipWithError("cannot flush the target");
            break;
        }
    }
    ::unlink(path.c_str());
    setCounters(state, *s);
}

void BM_PlainWrite_Replace(benchmark::State& state) {
    writeReplace(state, "plain-replace", [](const std::string& path, const Sample& s) {
        return plainWrite(path, s.bytes, false);
    });
}

void BM_PlainWrite_Replace_Fdatasync(benchmark::State& state) {
    writeReplace(state, "plain-replace-sync", [](const std::string& path, const Sample& s) {
        return plainWrite(path, s.bytes, true);
    });
}

// Plain calls in the codec's order: a temporary beside the target, renamed
// over it; with fdatasync before the rename this is the same durability as
// writeBmp, without it the rename alone.
bool plainWriteRename(const std::string& path, const std::vector<std::uint8_t>& bytes,
                      bool sync) {
    const std::string temp = path + ".tmp";
    if (!plainWrite(temp, bytes, sync) || ::rename(temp.c_str(), path.c_str()) != 0) {
        ::unlink(temp.c_str());
        return false;
    }
    return true;
}

void BM_PlainWrite_Replace_Rename(benchmark::State& state) {
    writeReplace(state, "plain-replace-rename", [](const std::string& path, const Sample& s) {
        return plainWriteRename(path, s.bytes, false);
    });
}

void BM_PlainWrite_Replace_Rename_Fdatasync(benchmark::State& state) {
    writeReplace(state, "plain-replace-rename-sync", [](const std::string& path, const Sample& s) {
        return plainWriteRename(path, s.bytes, true);
    });
}

void BM_WriteBmp_Replace(benchmark::State& state) {
    writeReplace(state, "codec-replace", [](const std::string& path, const Sample& s) {
        return kelvara::writeImage(kelvara::codecs()[0], path, s.image, {});
    });
}

// Wall time throughout: a write blocked in fdatasync uses no CPU but is what
// a user waits for.
#define KELVARA_BENCH(fn, ...) \
    BENCHMARK(fn)->ArgName("width")->__VA_ARGS__->Unit(benchmark::kMillisecond)->UseRealTime()

KELVARA_BENCH(BM_PlainRead, Arg(kEvenWidth)->Arg(kOddWidth));
KELVARA_BENCH(BM_PlainRead_Calloc, Arg(kEvenWidth)->Arg(kOddWidth));
KELVARA_BENCH(BM_ReadBmp, Arg(kEvenWidth)->Arg(kOddWidth));
KELVARA_BENCH(BM_PlainWrite_New, Arg(kEvenWidth)->Arg(kOddWidth));
KELVARA_BENCH(BM_WriteBmp_New, Arg(kEvenWidth)->Arg(kOddWidth));
KELVARA_BENCH(BM_PlainWrite_Replace, Arg(kEvenWidth));
KELVARA_BENCH(BM_PlainWrite_Replace_Fdatasync, Arg(kEvenWidth));
KELVARA_BENCH(BM_PlainWrite_Replace_Rename, Arg(kEvenWidth));
KELVARA_BENCH(BM_PlainWrite_Replace_Rename_Fdatasync, Arg(kEvenWidth));
KELVARA_BENCH(BM_WriteBmp_Replace, Arg(kEvenWidth));

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    const std::string dir = benchDir();
    std::error_code ec;
    fs::create_directories(dir, ec);
    benchmark::AddCustomContext("bench_dir", dir);
    benchmark::AddCustomContext("bench_fs", fileSystemName(dir));
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
