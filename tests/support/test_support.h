#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <vector>

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
// contents on destruction. Readable by everyone so that a child process that
// dropped its privileges can still reach it.
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
void writeFile(const std::string& path, const Bytes& bytes);
void writeFile(const std::string& path, const std::string& text);
bool exists(const std::string& path);
// Names in a folder, "." and ".." left out, sorted.
std::vector<std::string> listDir(const std::string& path);

// Runs body in a forked child and returns its exit status (or 128 + signal).
// body's return value becomes the child's exit status.
int runInChild(const std::function<int()>& body);

// When running as root, switches the (child) process to an unprivileged user
// so that permission bits apply. Returns false when that is not possible.
bool dropPrivileges();

// Runs a command through the shell; returns its exit status and stdout.
struct CommandResult {
    int status = -1;
    std::string output;
};
CommandResult runCommand(const std::string& command);

// Paths of external tools, empty when not installed.
std::string imageMagick();      // ImageMagick 6's convert
std::string pillowPython();     // a python3 that can import PIL
std::string testDataDir(const std::string& sub);  // empty when absent

std::string shellQuote(const std::string& text);

// ---- Images and the three codecs -------------------------------------------

// Little-endian fields of `size` bytes.
std::uint32_t loadLe(const Bytes& bytes, std::size_t at, int size);
void appendLe(Bytes& bytes, std::uint32_t value, int size);

// Left half of each row in smooth runs, right half and the palette random
// from seed: compression levels make a difference and every pixel counts.
void makeImage(IndexedImage& image, std::uint32_t width, std::uint32_t height, unsigned seed);
// The pixel indices, top row first; empty without pixels.
Bytes pixelsOf(const IndexedImage& image);
// The 256 palette entries as RGB triples; 768 zeros without a palette.
Bytes paletteOf(const IndexedImage& image);
// RGB triples, top row first, as the palette maps each pixel.
Bytes rgbOf(const IndexedImage& image);
// Same size, pixels and all 256 palette entries.
void expectSameImage(const IndexedImage& actual, const IndexedImage& expected,
                     const std::string& what);

// A format's reader, probe and writer. write uses level 6 (and every PNG row
// filter).
struct Codec {
    const char* name;
    ImageFormat format;
    bool (*read)(const std::string& path, IndexedImage& image);
    int (*probe)(const std::string& path);
    bool (*write)(const std::string& path, const IndexedImage& image);
};
const std::vector<Codec>& allCodecs();
const Codec& codecFor(ImageFormat format);

// Writes bytes to a path that does not exist first (an existing file
// rewritten in place makes ext4 flush it on close, which is slow in loops).
void putFile(const std::string& path, const Bytes& bytes);

// ---- Files built field by field, for inputs the writers never produce ------

// Entries {10 + i, 100 + i, 200 - i}.
std::vector<PaletteEntry> somePalette(std::size_t n);

// A bitmap: file header, info header (12: the core layout; sizes other than
// 12 and 40 are cut or padded with zeros), colour table, gap, pixels.
struct Bitmap {
    std::uint32_t headerSize = 40;
    std::int32_t width = 4;
    std::int32_t height = 2;
    std::uint16_t bitCount = 8;
    std::uint32_t compression = 0;
    std::uint32_t coloursUsed = 0;
    std::vector<PaletteEntry> palette = somePalette(4);
    Bytes gap;     // unused bytes between the colour table and the pixels
    Bytes pixels;  // as stored: padded rows or an RLE stream
    std::optional<std::uint32_t> pixelOffset;  // default: right after the gap
    std::string magic = "BM";

    Bytes bytes() const;
};

// PNG pieces: a chunk with its CRC, an IHDR, the signature and chunks, and
// an IDAT of `rows` equal slices of packed pixel bytes, each unfiltered.
Bytes pngChunk(const std::string& type, const Bytes& data);
Bytes pngIhdr(std::uint32_t width, std::uint32_t height, int depth, int colorType,
              int interlace = 0);
Bytes pngFile(std::initializer_list<Bytes> chunks);
Bytes pngIdat(const Bytes& packed, std::size_t rows);
struct PngChunk {
    std::string type;
    Bytes data;
};
// Splits a PNG into its chunks; a bad signature, length or CRC is a failure.
std::vector<PngChunk> pngChunks(const Bytes& file);

// "XYZ1", the little-endian sizes, then the stream.
Bytes xyzFile(std::uint16_t width, std::uint16_t height, const Bytes& stream);

// ---- zlib -------------------------------------------------------------------

// zlib's own stream of head followed by `zeros` zero bytes.
Bytes zlibStream(const Bytes& head, std::size_t zeros = 0, int level = 9);
// What a stream holds, by zlib; ok when it is intact and nothing follows it.
Bytes zlibInflate(const Bytes& stream, bool& ok);
// The payload of a stream made of stored blocks only, header to checksum;
// nullopt for any other stream.
std::optional<Bytes> storedPayload(const Bytes& stream);

// ---- Processes and memory ---------------------------------------------------

// Runs write in a child whose files cannot grow past limitBytes. 0: the
// write reported failure; 1: it reported success; 2: no limit could be set.
int writeUnderFileSizeLimit(std::uint64_t limitBytes, const std::function<bool()>& write);
// Runs write in a child that dropped its privileges. 0: the write reported
// failure; 1: it reported success; 77: privileges could not be dropped.
int writeUnprivileged(const std::function<bool()>& write);
// A "VmRSS:" or "VmHWM:" line of /proc/self/status in KiB, -1 when absent.
long procStatusKiB(const std::string& key);
// Runs body in a child and measures how much its peak resident size grows.
// 0: body returned true and grew by less than limitMiB (not measured under a
// sanitizer, whose shadow memory grows with every allocation); 1: body
// returned false; 2: it grew too much.
int runWithinMemory(long limitMiB, const std::function<bool()>& body);

// ---- Other programs' decoding ------------------------------------------------

// RGB triples, top row first, as ImageMagick or Pillow decode a file (empty,
// with a failure recorded, when the program fails).
Bytes magickRgb(const std::string& path);
Bytes pillowRgb(const std::string& path);
// Pillow's decoding of each path in one run: palette and indices for files it
// opens as 'P' (short palettes padded with black) or 'L' (the grey ramp),
// null for the others. nullopt when Pillow is absent or the run failed.
std::optional<std::vector<std::unique_ptr<IndexedImage>>> pillowImages(
    const std::vector<std::string>& paths);

}  // namespace kelvara::test
