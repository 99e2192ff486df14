#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <new>
#include <string>

#include "convert/convert.h"
#include "image/indexed_image.h"
#include "settings/settings.h"
#include "support/test_support.h"

namespace kelvara::robust {

// Pixels from a seeded generator (noise does not compress, so the size of a
// written file is known in advance) and a palette derived from the seed.
void fillImage(IndexedImage& image, unsigned width, unsigned height, std::uint32_t seed);
// Writes image in format; false when the writer failed.
bool writeImage(const std::string& path, ImageFormat format, const IndexedImage& image,
                int level = 6);
// The file at path read with the reader of format equals image.
bool holdsImage(const std::string& path, ImageFormat format, const IndexedImage& image);
const char* extensionOf(ImageFormat format);

// Every file and folder below root, by relative path: its bytes and mode.
struct Node {
    bool folder = false;
    unsigned mode = 0;
    test::Bytes bytes;
    bool operator==(const Node&) const = default;
};
using Snapshot = std::map<std::string, Node>;
Snapshot snapshot(const std::string& root);
// Hidden temporaries the atomic writer names .kelvara-*.tmp.
int countTemporaries(const Snapshot& tree);

Settings outputSettings(ImageFormat target, bool intoSaveDir, const std::string& saveDir = {});

// A block of T shared with a forked child, which reports through it.
template <typename T>
class Shared {
public:
    Shared() {
        void* p = ::mmap(nullptr, sizeof(T), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) {
            throw std::bad_alloc();
        }
        value_ = new (p) T{};
    }
    ~Shared() { ::munmap(value_, sizeof(T)); }
    Shared(const Shared&) = delete;
    Shared& operator=(const Shared&) = delete;
    T* operator->() const { return value_; }
    T& operator*() const { return *value_; }

private:
    T* value_ = nullptr;
};

// Exit status a child uses when it cannot drop root's privileges.
inline constexpr int kCannotDropPrivileges = 77;

// Peak resident memory of this process so far, in KiB.
long peakRssKiB();

// The sanitizer this was built with. AddressSanitizer poisons shadow memory
// worth an eighth of a large block when it maps and frees it, which counts
// as resident although the program never touched the block;
// ThreadSanitizer's shadow has no such simple share.
enum class Sanitizer { None, Address, Thread };
Sanitizer sanitizer();

}  // namespace kelvara::robust
