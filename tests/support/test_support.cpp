#include "support/test_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

#include "codecs/bmp.h"
#include "codecs/png.h"
#include "codecs/xyz.h"

namespace kelvara::test {

namespace fs = std::filesystem;

TempDir::TempDir() {
    std::string pattern = (fs::temp_directory_path() / "kelvara-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    ::chmod(pattern.c_str(), 0777);
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ec;
    // Folders a test made read-only must be writable again to be emptied.
    for (auto it = fs::recursive_directory_iterator(path_, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (it->is_directory(ec)) {
            ::chmod(it->path().c_str(), 0777);
        }
    }
    fs::remove_all(path_, ec);
}

Bytes readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFile(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) {
        throw std::runtime_error("cannot write " + path);
    }
}

void writeFile(const std::string& path, const std::string& text) {
    writeFile(path, Bytes(text.begin(), text.end()));
}

bool exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

std::vector<std::string> listDir(const std::string& path) {
    std::vector<std::string> names;
    if (DIR* dir = ::opendir(path.c_str())) {
        while (const dirent* e = ::readdir(dir)) {
            const std::string name = e->d_name;
            if (name != "." && name != "..") {
                names.push_back(name);
            }
        }
        ::closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

int runInChild(const std::function<int()>& body) {
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0) {
        return -1;
    }
    if (pid == 0) {
        int code = 99;
        try {
            code = body();
        } catch (...) {
        }
        ::_exit(code);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
    }
    if (WIFEXITED(status)) {
        return WEXITSTATUS(status);
    }
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
}

bool dropPrivileges() {
    if (::geteuid() != 0) {
        return true;
    }
    constexpr uid_t kNobody = 65534;
    return ::setgroups(0, nullptr) == 0 && ::setgid(kNobody) == 0 && ::setuid(kNobody) == 0 &&
           ::geteuid() == kNobody;
}

CommandResult runCommand(const std::string& command) {
    CommandResult result;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return result;
    }
    char chunk[4096];
    std::size_t n = 0;
    while ((n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) {
        result.output.append(chunk, n);
    }
    const int status = ::pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

std::string imageMagick() {
    for (const char* candidate : {"/usr/bin/convert-im6.q16", "/usr/bin/convert"}) {
        if (::access(candidate, X_OK) == 0) {
            return candidate;
        }
    }
    return {};
}

std::string pillowPython() {
    const std::string python = "/usr/bin/python3";
    if (::access(python.c_str(), X_OK) == 0 &&
        runCommand(python + " -c 'import PIL' 2>/dev/null").status == 0) {
        return python;
    }
    return {};
}

std::string testDataDir(const std::string& sub) {
    const std::string dir = std::string(KELVARA_TESTDATA_DIR) + "/" + sub;
    struct stat st {};
    return ::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) ? dir : std::string();
}

std::string shellQuote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    return quoted + "'";
}

std::uint32_t loadLe(const Bytes& bytes, std::size_t at, int size) {
    std::uint32_t value = 0;
    for (int i = size - 1; i >= 0; --i) {
        value = value << 8 | bytes.at(at + static_cast<std::size_t>(i));
    }
    return value;
}

void appendLe(Bytes& bytes, std::uint32_t value, int size) {
    for (int i = 0; i < size; ++i) {
        bytes.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    }
}

void makeImage(IndexedImage& image, std::uint32_t width, std::uint32_t height, unsigned seed) {
    image.setSize(width, height);
    if (!image.hasPixels()) {
        throw std::runtime_error("no pixel storage");
    }
    std::mt19937 rng(seed);
    for (std::size_t i = 0; i < image.pixelCount(); ++i) {
        const std::size_t x = i % width;
        image.pixels()[i] = static_cast<std::uint8_t>(x < width / 2 ? x / 4 + i / width : rng());
    }
    for (unsigned i = 0; i < IndexedImage::kPaletteSize; ++i) {
        image.setPaletteEntry(static_cast<std::uint16_t>(i), static_cast<std::uint8_t>(rng()),
                              static_cast<std::uint8_t>(rng()), static_cast<std::uint8_t>(rng()));
    }
}

Bytes pixelsOf(const IndexedImage& image) {
    return image.hasPixels() ? Bytes(image.pixels(), image.pixels() + image.pixelCount()) : Bytes();
}

Bytes paletteOf(const IndexedImage& image) {
    const auto* rgb = reinterpret_cast<const std::uint8_t*>(image.palette());
    return image.paletteCount() == IndexedImage::kPaletteSize ? Bytes(rgb, rgb + 768) : Bytes(768);
}

Bytes rgbOf(const IndexedImage& image) {
    Bytes rgb;
    rgb.reserve(image.pixelCount() * 3);
    for (std::size_t i = 0; i < image.pixelCount(); ++i) {
        const PaletteEntry& e = image.palette()[image.pixels()[i]];
        rgb.insert(rgb.end(), {e.red, e.green, e.blue});
    }
    return rgb;
}

void expectSameImage(const IndexedImage& actual, const IndexedImage& expected,
                     const std::string& what) {
    ASSERT_TRUE(actual.hasPixels() && expected.hasPixels()) << what;
    ASSERT_EQ(actual.width(), expected.width()) << what;
    ASSERT_EQ(actual.height(), expected.height()) << what;
    ASSERT_EQ(actual.paletteCount(), IndexedImage::kPaletteSize) << what;
    const std::size_t n = actual.pixelCount();
    const auto mismatch = std::mismatch(actual.pixels(), actual.pixels() + n, expected.pixels());
    EXPECT_EQ(mismatch.first, actual.pixels() + n)
        << what << ": first differing pixel at " << (mismatch.first - actual.pixels());
    for (unsigned i = 0; i < IndexedImage::kPaletteSize; ++i) {
        if (!(actual.palette()[i] == expected.palette()[i])) {
            ADD_FAILURE() << what << ": palette entry " << i << " differs";
            break;
        }
    }
}

const std::vector<Codec>& allCodecs() {
    static const std::vector<Codec> codecs = {
        {"bmp", ImageFormat::Bmp, readBmp, [](const std::string& p) { return int{probeBmp(p)}; },
         writeBmp},
        {"png", ImageFormat::Png, readPng, probePng,
         [](const std::string& p, const IndexedImage& image) {
             return writePng(p, image, 6, pngFilterMasks.back());
         }},
        {"xyz", ImageFormat::Xyz, readXyz, probeXyz,
         [](const std::string& p, const IndexedImage& image) { return writeXyz(p, image, 6); }},
    };
    return codecs;
}

const Codec& codecFor(ImageFormat format) {
    return allCodecs().at(static_cast<std::size_t>(format));
}

void putFile(const std::string& path, const Bytes& bytes) {
    ::unlink(path.c_str());
    writeFile(path, bytes);
}

std::vector<PaletteEntry> somePalette(std::size_t n) {
    std::vector<PaletteEntry> palette;
    for (std::size_t i = 0; i < n; ++i) {
        palette.push_back({static_cast<std::uint8_t>(10 + i), static_cast<std::uint8_t>(100 + i),
                           static_cast<std::uint8_t>(200 - i)});
    }
    return palette;
}

Bytes Bitmap::bytes() const {
    const bool core = headerSize == 12;
    const int dim = core ? 2 : 4;
    const auto size = static_cast<std::uint32_t>(pixels.size());
    const auto offset = pixelOffset.value_or(
        static_cast<std::uint32_t>(14 + headerSize + (core ? 3 : 4) * palette.size() + gap.size()));
    // (value, bytes) in file order; the core header ends after the bit count.
    const std::pair<std::uint32_t, int> fields[] = {{offset + size, 4},
                                                    {0, 4},
                                                    {offset, 4},
                                                    {headerSize, 4},
                                                    {static_cast<std::uint32_t>(width), dim},
                                                    {static_cast<std::uint32_t>(height), dim},
                                                    {1, 2},
                                                    {bitCount, 2},
                                                    {compression, 4},
                                                    {size, 4},
                                                    {2835, 4},
                                                    {2835, 4},
                                                    {coloursUsed, 4},
                                                    {0, 4}};
    Bytes out(magic.begin(), magic.end());
    for (std::size_t i = 0; i < (core ? 8u : 14u); ++i) {
        appendLe(out, fields[i].first, fields[i].second);
    }
    if (!core) {
        out.resize(14 + headerSize, 0);
    }
    for (const PaletteEntry& e : palette) {
        out.insert(out.end(), {e.blue, e.green, e.red});
        if (!core) {
            out.push_back(0);
        }
    }
    out.insert(out.end(), gap.begin(), gap.end());
    out.insert(out.end(), pixels.begin(), pixels.end());
    return out;
}

namespace {

constexpr std::uint8_t kPngSignature[8] = {137, 80, 78, 71, 13, 10, 26, 10};

void appendBe32(Bytes& out, std::uint32_t v) {
    out.insert(out.end(), {static_cast<std::uint8_t>(v >> 24), static_cast<std::uint8_t>(v >> 16),
                           static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)});
}

std::uint32_t loadBe32(const Bytes& in, std::size_t at) {
    return std::uint32_t{in[at]} << 24 | std::uint32_t{in[at + 1]} << 16 |
           std::uint32_t{in[at + 2]} << 8 | in[at + 3];
}

std::uint32_t chunkCrc(const std::string& type, const Bytes& data) {
    const uLong crc = crc32(0, reinterpret_cast<const Bytef*>(type.data()), 4);
    // crc32 with a null buffer restarts at 0
    return static_cast<std::uint32_t>(
        data.empty() ? crc : crc32(crc, data.data(), static_cast<uInt>(data.size())));
}

}  // namespace

Bytes pngChunk(const std::string& type, const Bytes& data) {
    Bytes out;
    appendBe32(out, static_cast<std::uint32_t>(data.size()));
    out.insert(out.end(), type.begin(), type.end());
    out.insert(out.end(), data.begin(), data.end());
    appendBe32(out, chunkCrc(type, data));
    return out;
}

Bytes pngIhdr(std::uint32_t width, std::uint32_t height, int depth, int colorType, int interlace) {
    Bytes data;
    appendBe32(data, width);
    appendBe32(data, height);
    data.insert(data.end(), {static_cast<std::uint8_t>(depth), static_cast<std::uint8_t>(colorType),
                             0, 0, static_cast<std::uint8_t>(interlace)});
    return pngChunk("IHDR", data);
}

Bytes pngFile(std::initializer_list<Bytes> chunks) {
    Bytes out(std::begin(kPngSignature), std::end(kPngSignature));
    for (const Bytes& chunk : chunks) {
        out.insert(out.end(), chunk.begin(), chunk.end());
    }
    return out;
}

Bytes pngIdat(const Bytes& packed, std::size_t rows) {
    Bytes raw;
    for (std::size_t y = 0, n = packed.size() / rows; y < rows; ++y) {
        raw.push_back(0);
        raw.insert(raw.end(), packed.begin() + static_cast<long>(y * n),
                   packed.begin() + static_cast<long>((y + 1) * n));
    }
    return pngChunk("IDAT", zlibStream(raw));
}

std::vector<PngChunk> pngChunks(const Bytes& file) {
    std::vector<PngChunk> chunks;
    EXPECT_TRUE(file.size() >= 8 &&
                std::equal(std::begin(kPngSignature), std::end(kPngSignature), file.begin()));
    std::size_t at = 8;
    while (at + 12 <= file.size() && loadBe32(file, at) <= file.size() - at - 12) {
        const std::uint32_t length = loadBe32(file, at);
        PngChunk c{std::string(file.begin() + at + 4, file.begin() + at + 8),
                   Bytes(file.begin() + at + 8, file.begin() + at + 8 + length)};
        EXPECT_EQ(loadBe32(file, at + 8 + length), chunkCrc(c.type, c.data)) << c.type;
        chunks.push_back(std::move(c));
        at += 12 + length;
    }
    EXPECT_EQ(at, file.size()) << "bytes after the last whole chunk";
    return chunks;
}

Bytes xyzFile(std::uint16_t width, std::uint16_t height, const Bytes& stream) {
    Bytes out = {'X', 'Y', 'Z', '1'};
    appendLe(out, width, 2);
    appendLe(out, height, 2);
    out.insert(out.end(), stream.begin(), stream.end());
    return out;
}

Bytes zlibStream(const Bytes& head, std::size_t zeros, int level) {
    z_stream z{};
    if (deflateInit(&z, level) != Z_OK) {
        throw std::runtime_error("deflateInit failed");
    }
    static const Bytes kZeros(1 << 16, 0);
    Bytes out;
    std::uint8_t buffer[1 << 16];
    auto pump = [&](const Bytes& in, std::size_t n, int flush) {
        z.next_in = const_cast<Bytef*>(in.data());
        z.avail_in = static_cast<uInt>(n);
        do {
            z.next_out = buffer;
            z.avail_out = sizeof buffer;
            deflate(&z, flush);
            out.insert(out.end(), buffer, buffer + (sizeof buffer - z.avail_out));
        } while (z.avail_out == 0);
    };
    pump(head, head.size(), Z_NO_FLUSH);
    for (; zeros > 0; zeros -= std::min(zeros, kZeros.size())) {
        pump(kZeros, std::min(zeros, kZeros.size()), Z_NO_FLUSH);
    }
    pump(head, 0, Z_FINISH);
    deflateEnd(&z);
    return out;
}

Bytes zlibInflate(const Bytes& stream, bool& ok) {
    Bytes out(1 << 20);
    uLongf size = out.size();
    uLong used = stream.size();
    ok = uncompress2(out.data(), &size, stream.data(), &used) == Z_OK && used == stream.size();
    out.resize(size);
    return out;
}

std::optional<Bytes> storedPayload(const Bytes& s) {
    Bytes payload;
    for (std::size_t at = 2;;) {
        if (at + 5 > s.size() || ((s[at] >> 1) & 3) != 0) {
            return std::nullopt;
        }
        const std::size_t length = loadLe(s, at + 1, 2);
        if ((length ^ loadLe(s, at + 3, 2)) != 0xFFFF || at + 5 + length > s.size()) {
            return std::nullopt;
        }
        payload.insert(payload.end(), s.begin() + static_cast<long>(at + 5),
                       s.begin() + static_cast<long>(at + 5 + length));
        const bool last = (s[at] & 1) != 0;
        at += 5 + length;
        if (last) {
            return at + 4 == s.size() ? std::optional<Bytes>(payload) : std::nullopt;
        }
    }
}

int writeUnderFileSizeLimit(std::uint64_t limitBytes, const std::function<bool()>& write) {
    return runInChild([&] {
        ::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{limitBytes, limitBytes};
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) {
            return 2;
        }
        return write() ? 1 : 0;
    });
}

int writeUnprivileged(const std::function<bool()>& write) {
    return runInChild([&] {
        if (!dropPrivileges()) {
            return 77;
        }
        return write() ? 1 : 0;
    });
}

long procStatusKiB(const std::string& key) {
    std::ifstream status("/proc/self/status");
    std::string word;
    long value = -1;
    while (status >> word) {
        if (word == key) {
            status >> value;
            break;
        }
    }
    return value;
}

int runWithinMemory(long limitMiB, const std::function<bool()>& body) {
    return runInChild([&] {
        const long before = procStatusKiB("VmHWM:");
        if (!body()) {
            return 1;
        }
        return KELVARA_SANITIZED || procStatusKiB("VmHWM:") - before < limitMiB * 1024 ? 0 : 2;
    });
}

namespace {

Bytes commandOutput(const std::string& command) {
    const CommandResult result = runCommand(command);
    EXPECT_EQ(result.status, 0) << command;
    return result.status == 0 ? Bytes(result.output.begin(), result.output.end()) : Bytes();
}

}  // namespace

Bytes magickRgb(const std::string& path) {
    return commandOutput(shellQuote(imageMagick()) + " " + shellQuote(path) + " -depth 8 rgb:-");
}

Bytes pillowRgb(const std::string& path) {
    const char* script =
        "import sys; from PIL import Image; "
        "sys.stdout.buffer.write(Image.open(sys.argv[1]).convert('RGB').tobytes())";
    return commandOutput(shellQuote(pillowPython()) + " -c " + shellQuote(script) + " " +
                         shellQuote(path));
}

std::optional<std::vector<std::unique_ptr<IndexedImage>>> pillowImages(
    const std::vector<std::string>& paths) {
    // dump/<index>.bin: width, height (32-bit little-endian), 768 palette
    // bytes and the indices.
    static const char* kScript =
        "import sys\n"
        "from PIL import Image\n"
        "for i, p in enumerate(sys.argv[2:]):\n"
        "    try:\n"
        "        im = Image.open(p); im.load()\n"
        "    except Exception:\n"
        "        continue\n"
        "    if im.mode == 'P': pal = bytes(im.getpalette() or [])\n"
        "    elif im.mode == 'L': pal = bytes(v for g in range(256) for v in (g, g, g))\n"
        "    else: continue\n"
        "    w, h = im.size\n"
        "    with open('%s/%d.bin' % (sys.argv[1], i), 'wb') as f:\n"
        "        f.write(w.to_bytes(4, 'little') + h.to_bytes(4, 'little') + "
        "(pal + bytes(768))[:768] + im.tobytes())\n";
    const std::string python = pillowPython();
    if (python.empty()) {
        return std::nullopt;
    }
    TempDir dump;
    std::string command = python + " -c " + shellQuote(kScript) + " " + shellQuote(dump.path());
    for (const std::string& path : paths) {
        command += " " + shellQuote(path);
    }
    if (runCommand(command).status != 0) {
        return std::nullopt;
    }
    std::vector<std::unique_ptr<IndexedImage>> images(paths.size());
    for (std::size_t i = 0; i < paths.size(); ++i) {
        const Bytes d = readFile(dump.file(std::to_string(i) + ".bin"));
        if (d.size() < 8 + 768 ||
            d.size() != 8 + 768 + std::size_t{loadLe(d, 0, 4)} * loadLe(d, 4, 4)) {
            continue;
        }
        images[i] = std::make_unique<IndexedImage>();
        images[i]->setSize(loadLe(d, 0, 4), loadLe(d, 4, 4));
        for (unsigned e = 0; e < 256; ++e) {
            images[i]->setPaletteEntry(static_cast<std::uint16_t>(e), d[8 + 3 * e], d[9 + 3 * e],
                                       d[10 + 3 * e]);
        }
        std::memcpy(images[i]->pixels(), d.data() + 8 + 768, images[i]->pixelCount());
    }
    return images;
}

}  // namespace kelvara::test
