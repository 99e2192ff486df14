#include "fuzz_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "codecs/bmp.h"
#include "codecs/png.h"
#include "codecs/xyz.h"
#include "convert/convert.h"

namespace kelvara::fuzz {

namespace {

std::vector<std::string> namesIn(const std::string& folder) {
    std::vector<std::string> names;
    if (DIR* dir = ::opendir(folder.c_str())) {
        while (const dirent* e = ::readdir(dir)) {
            if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) {
                names.emplace_back(e->d_name);
            }
        }
        ::closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

void removeWorkFolder() {
    const std::string& folder = workFolder();
    for (const std::string& name : namesIn(folder)) {
        ::unlink((folder + "/" + name).c_str());
    }
    ::rmdir(folder.c_str());
}

std::string makeWorkFolder() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/kelvara-fuzz-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        std::perror("mkdtemp");
        std::abort();
    }
    return pattern;
}

// Images this large are read but not written back: a header alone can
// declare 4 GiB, and writing that would say nothing the small ones do not.
constexpr std::size_t kRoundTripPixels = std::size_t{1} << 18;

bool readWith(Codec codec, const std::string& path, IndexedImage& image) {
    switch (codec) {
        case Codec::Bmp:
            return readBmp(path, image);
        case Codec::Png:
            return readPng(path, image);
        case Codec::Xyz:
            return readXyz(path, image);
    }
    return false;
}

int probeWith(Codec codec, const std::string& path) {
    switch (codec) {
        case Codec::Bmp:
            return probeBmp(path);
        case Codec::Png:
            return probePng(path);
        case Codec::Xyz:
            return probeXyz(path);
    }
    return 0;
}

const char* extensionOf(Codec codec) {
    switch (codec) {
        case Codec::Bmp:
            return ".bmp";
        case Codec::Png:
            return ".png";
        case Codec::Xyz:
            return ".xyz";
    }
    return "";
}

bool writeWith(Codec codec, const std::string& path, const IndexedImage& image, std::size_t seed) {
    switch (codec) {
        case Codec::Bmp:
            return writeBmp(path, image);
        case Codec::Png:
            return writePng(path, image, static_cast<int>(seed % 10),
                            pngFilterMasks[seed % pngFilterMasks.size()]);
        case Codec::Xyz:
            return writeXyz(path, image, static_cast<int>(seed % 11) - 1);
    }
    return false;
}

}  // namespace

void checkFailed(const char* condition, const char* file, int line) {
    std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, condition);
    std::abort();
}

const std::string& workFolder() {
    // Never destroyed: the exit handler that removes the folder runs after
    // the destructors of statics made later than it was registered.
    static const std::string& folder = *new std::string([] {
        std::string made = makeWorkFolder();
        std::atexit(removeWorkFolder);
        return made;
    }());
    return folder;
}

std::string workPath(std::string_view name) {
    std::string path = workFolder();
    path += '/';
    path += name;
    return path;
}

void writeBytes(const std::string& path, const std::uint8_t* data, std::size_t size) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    FUZZ_CHECK(fd >= 0);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(fd, data + done, size - done);
        FUZZ_CHECK(n > 0);
        done += static_cast<std::size_t>(n);
    }
    ::close(fd);
}

std::string listWorkFolder() {
    std::string joined;
    for (const std::string& name : namesIn(workFolder())) {
        joined += name;
        joined += '\n';
    }
    return joined;
}

bool sameImage(const IndexedImage& a, const IndexedImage& b) {
    if (a.width() != b.width() || a.height() != b.height() || a.pixelCount() != b.pixelCount() ||
        a.paletteCount() != b.paletteCount()) {
        return false;
    }
    return std::equal(a.palette(), a.palette() + a.paletteCount(), b.palette()) &&
           (a.pixelCount() == 0 || std::memcmp(a.pixels(), b.pixels(), a.pixelCount()) == 0);
}

void fuzzCodec(Codec codec, const std::uint8_t* data, std::size_t size) {
    const std::string source = workPath(std::string("source") + extensionOf(codec));
    writeBytes(source, data, size);

    IndexedImage image;
    const bool read = readWith(codec, source, image);
    const int depth = probeWith(codec, source);
    if (read) {
        // The probe must agree with the reader it stands in for.
        FUZZ_CHECK(depth == 8);
    } else if (codec == Codec::Xyz) {
        FUZZ_CHECK(depth == 0);
    }

    if (read && image.pixelCount() <= kRoundTripPixels) {
        for (const Codec target : {Codec::Bmp, Codec::Png, Codec::Xyz}) {
            const std::string written = workPath(std::string("written") + extensionOf(target));
            // A read image always has pixels, so no writer may refuse it.
            FUZZ_CHECK(writeWith(target, written, image, size));
            IndexedImage back;
            FUZZ_CHECK(readWith(target, written, back));
            FUZZ_CHECK(sameImage(image, back));
            // Only a PNG holds palette alpha, and keeps all of it.
            FUZZ_CHECK(back.paletteAlphaCount() ==
                       (target == Codec::Png ? image.paletteAlphaCount() : 0));
            FUZZ_CHECK(std::equal(back.paletteAlpha(),
                                  back.paletteAlpha() + back.paletteAlphaCount(),
                                  image.paletteAlpha()));
            ::unlink(written.c_str());
        }
    }
    // No temporary or half-written file may survive a read or a write.
    FUZZ_CHECK(listWorkFolder() == std::string("source") + extensionOf(codec) + "\n");
    ::unlink(source.c_str());
}

}  // namespace kelvara::fuzz
