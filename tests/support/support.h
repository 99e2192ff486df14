#pragma once

// What the C++ tests and the fuzz harnesses share: temporary folders, files,
// child processes under limits, images made and compared, the formats, and
// Pillow's view of a file. No test framework here, so harnesses can link it.

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "codecs/codec_table.h"
#include "convert/convert.h"
#include "image/indexed_image.h"

// Sanitizers reserve terabytes of shadow memory and keep shadow bytes for
// every allocated byte: address-space limits and resident-size measurements
// only mean something in plain builds.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define KELVARA_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define KELVARA_SANITIZED 1
#endif
#endif
#ifndef KELVARA_SANITIZED
#define KELVARA_SANITIZED 0
#endif

namespace kelvara::test {

using Bytes = std::vector<std::uint8_t>;

// A fresh folder under the system's temporary folder, removed with all its
// contents on destruction; readable by everyone, so that a child that dropped
// its privileges still reaches it.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

Bytes readFile(const std::string& path);
// Creates the folders on the way.
void writeFile(const std::string& path, const Bytes& bytes);
void writeFile(const std::string& path, const std::string& text);
// Names in a folder, "." and ".." left out, sorted.
std::vector<std::string> listDir(const std::string& path);
// Every file below root by relative path: its bytes, or "->target" for a link.
std::map<std::string, Bytes> snapshot(const std::string& root);

// How a child runs: its files cannot grow past fileSizeLimit (SIGXFSZ
// ignored, so a write fails instead), it drops root privileges to nobody.
struct ChildLimits {
    std::uint64_t fileSizeLimit = 0;  // 0: none
    bool unprivileged = false;
};
inline constexpr int kChildCannotLimit = 77;
// Runs body in a forked child and returns its exit status (128 + signal when
// killed; kChildCannotLimit when a limit could not be set up).
int runInChild(const std::function<int()>& body, const ChildLimits& limits = {});
// How much the child's peak resident size (or another peak of
// /proc/self/status, such as "VmPeak:" for address space) grew while body
// ran, in KiB (-1 when body returned false or the child died; 0 under a
// sanitizer, which cannot measure it).
long peakGrowthKiB(const std::function<bool()>& body, const char* key = "VmHWM:");

// A w x h image with a palette and pixels that depend on seed.
void makeImage(IndexedImage& image, std::uint32_t width, std::uint32_t height, unsigned seed);
// Empty when both have the same size, pixels, palette and transparency;
// otherwise what differs first.
std::string imageDifference(const IndexedImage& actual, const IndexedImage& expected);

// The formats of the codec table on files by path (writers at level 6, every
// PNG filter).
struct Format {
    const char* name;
    ImageFormat format;
    bool read(const std::string& path, IndexedImage& image) const;
    int probe(const std::string& path) const;
    bool write(const std::string& path, const IndexedImage& image) const;
    // The same on bytes in memory, no file involved; encode gives nothing
    // when the writer fails.
    bool readBytes(const Bytes& bytes, IndexedImage& image) const;
    int probeBytes(const Bytes& bytes) const;
    Bytes encode(const IndexedImage& image) const;
};
const std::vector<Format>& formats();

// Debian's Python with Pillow, empty when it is not there.
std::string pillowPython();
// Pillow's decoding of each path: palette and indices for files it opens as
// 'P' (short palettes padded with black) or 'L' (the grey ramp), null for
// the others. nullopt when Pillow is absent or the run failed.
std::optional<std::vector<std::unique_ptr<IndexedImage>>> pillowImages(
    const std::vector<std::string>& paths);

// The suites folder (pngsuite, bmpsuite), empty when absent.
std::string testDataDir(const std::string& sub);
// Set in CI: what would be skipped for a missing tool or suite fails instead.
bool everythingRequired();

}  // namespace kelvara::test
