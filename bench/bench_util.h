#pragma once
// Small pieces every benchmark program needs: where its files live, and
// whole reads and writes with plain system calls (the baselines' own I/O),
// little-endian fields of the bitmaps they write.

#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

namespace kelvara::bench {

// KELVARA_BENCH_DIR, or bench-data beside the running binary (so that a run
// from the source folder leaves nothing there).
inline std::string benchDir() {
    if (const char* dir = std::getenv("KELVARA_BENCH_DIR"); dir != nullptr && *dir != '\0') {
        return dir;
    }
    std::error_code ec;
    const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ((ec ? std::filesystem::current_path() : exe.parent_path()) / "bench-data").string();
}

inline bool readFully(int fd, std::uint8_t* out, std::size_t n) {
    while (n > 0) {
        const ssize_t got = ::read(fd, out, n);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return false;
        }
        out += got;
        n -= static_cast<std::size_t>(got);
    }
    return true;
}

inline bool writeFully(int fd, const std::uint8_t* data, std::size_t n) {
    while (n > 0) {
        const ssize_t done = ::write(fd, data, n);
        if (done < 0 && errno == EINTR) {
            continue;
        }
        if (done <= 0) {
            return false;
        }
        data += done;
        n -= static_cast<std::size_t>(done);
    }
    return true;
}

inline void putLe16(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}

inline void putLe32(std::uint8_t* p, std::uint32_t v) {
    putLe16(p, v);
    putLe16(p + 2, v >> 16);
}

}  // namespace kelvara::bench
