#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "image/indexed_image.h"

// Shared pieces of the fuzz targets. A failed check prints where and aborts,
// which libFuzzer reports as a crash and the corpus replay as a failed test.
#define FUZZ_CHECK(condition)                                                      \
    do {                                                                           \
        if (!(condition)) {                                                        \
            ::kelvara::fuzz::checkFailed(#condition, __FILE__, __LINE__);          \
        }                                                                          \
    } while (false)

namespace kelvara::fuzz {

[[noreturn]] void checkFailed(const char* condition, const char* file, int line);

// One private folder per process under $TMPDIR, emptied and removed at exit.
const std::string& workFolder();
std::string workPath(std::string_view name);
void writeBytes(const std::string& path, const std::uint8_t* data, std::size_t size);
// Names in the work folder, sorted, "." and ".." left out.
std::string listWorkFolder();

bool sameImage(const IndexedImage& a, const IndexedImage& b);

enum class Codec { Bmp, Png, Xyz };

// Feeds data, as a file, to the codec's reader the way a conversion does
// (probe after a failed read), then writes whatever was read with all three
// writers and checks that each file reads back as the same image.
void fuzzCodec(Codec codec, const std::uint8_t* data, std::size_t size);

}  // namespace kelvara::fuzz
