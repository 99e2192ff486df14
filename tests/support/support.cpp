#include "support/support.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>


namespace kelvara::test {

namespace fs = std::filesystem;

TempDir::TempDir() {
    std::string pattern = (fs::temp_directory_path() / "kelvara-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    ::chmod(pattern.c_str(), 0755);
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    // Tests take permissions away; give them back so everything can go.
    for (auto it = fs::recursive_directory_iterator(path_, ignored);
         it != fs::recursive_directory_iterator(); it.increment(ignored)) {
        if (!it->is_symlink(ignored)) {
            fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
        }
    }
    fs::remove_all(path_, ignored);
}

Bytes readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const std::string& path, const Bytes& bytes) {
    std::error_code ignored;
    fs::create_directories(fs::path(path).parent_path(), ignored);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

void writeFile(const std::string& path, const std::string& text) {
    writeFile(path, Bytes(text.begin(), text.end()));
}

std::vector<std::string> listDir(const std::string& path) {
    std::vector<std::string> names;
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(path, ignored)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::map<std::string, Bytes> snapshot(const std::string& root) {
    std::map<std::string, Bytes> files;
    std::error_code ignored;
    for (auto it = fs::recursive_directory_iterator(root, ignored);
         it != fs::recursive_directory_iterator(); it.increment(ignored)) {
        const std::string rel = fs::relative(it->path(), root).string();
        if (it->is_symlink(ignored)) {
            const std::string target = "->" + fs::read_symlink(it->path(), ignored).string();
            files[rel] = Bytes(target.begin(), target.end());
        } else if (it->is_regular_file(ignored)) {
            files[rel] = readFile(it->path().string());
        }
    }
    return files;
}

int runInChild(const std::function<int()>& body, const ChildLimits& limits) {
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0) {
        return -1;
    }
    if (pid == 0) {
        int code = 99;
        try {
            if (limits.fileSizeLimit != 0) {
                std::signal(SIGXFSZ, SIG_IGN);
                const rlimit limit{limits.fileSizeLimit, limits.fileSizeLimit};
                if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) {
                    ::_exit(kChildCannotLimit);
                }
            }
            constexpr uid_t kNobody = 65534;
            if (limits.unprivileged && ::geteuid() == 0 &&
                (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 ||
                 ::setuid(kNobody) != 0)) {
                ::_exit(kChildCannotLimit);
            }
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

namespace {

long peakKiB(const char* key) {
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

}  // namespace

long peakGrowthKiB(const std::function<bool()>& body, const char* key) {
    int pipeFds[2];
    if (::pipe(pipeFds) != 0) {
        return -1;
    }
    const int status = runInChild([&] {
        const long before = peakKiB(key);
        long growth = body() ? (KELVARA_SANITIZED ? 0 : peakKiB(key) - before) : -1;
        return ::write(pipeFds[1], &growth, sizeof growth) == sizeof growth ? 0 : 1;
    });
    long growth = -1;
    if (status != 0 || ::read(pipeFds[0], &growth, sizeof growth) != sizeof growth) {
        growth = -1;
    }
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
    return growth;
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

std::string imageDifference(const IndexedImage& actual, const IndexedImage& expected) {
    if (!actual.hasPixels() || !expected.hasPixels()) {
        return "no pixels";
    }
    if (actual.width() != expected.width() || actual.height() != expected.height()) {
        return "size " + std::to_string(actual.width()) + "x" + std::to_string(actual.height()) +
               " instead of " + std::to_string(expected.width()) + "x" +
               std::to_string(expected.height());
    }
    if (std::memcmp(actual.pixels(), expected.pixels(), actual.pixelCount()) != 0) {
        return "pixels differ";
    }
    if (actual.paletteCount() != expected.paletteCount() ||
        std::memcmp(actual.palette(), expected.palette(),
                    actual.paletteCount() * sizeof(PaletteEntry)) != 0) {
        return "palettes differ";
    }
    if (actual.paletteAlphaCount() != expected.paletteAlphaCount() ||
        std::memcmp(actual.paletteAlpha(), expected.paletteAlpha(), actual.paletteAlphaCount()) !=
            0) {
        return "transparency differs";
    }
    return {};
}

bool Format::read(const std::string& path, IndexedImage& image) const {
    return readImage(*codecFor(format), path, image);
}

int Format::probe(const std::string& path) const { return probeImage(*codecFor(format), path); }

bool Format::write(const std::string& path, const IndexedImage& image) const {
    return writeImage(*codecFor(format), path, image, EncodeOptions{});
}

bool Format::readBytes(const Bytes& bytes, IndexedImage& image) const {
    return readImage(*codecFor(format), bytes, image);
}

int Format::probeBytes(const Bytes& bytes) const { return probeImage(*codecFor(format), bytes); }

Bytes Format::encode(const IndexedImage& image) const {
    // Room for any of the formats, even of incompressible pixels; a writer
    // that reaches the end of it has failed.
    Bytes block(4 * image.pixelCount() + (1u << 16));
    ImageFile file;
    if (!file.openMemory(block.data(), block.size(), true) ||
        !codecFor(format)->write(file, image, EncodeOptions{}) || file.atEnd()) {
        return {};
    }
    block.resize(file.position());
    return block;
}

const std::vector<Format>& formats() {
    static const std::vector<Format> table = [] {
        std::vector<Format> all;
        for (const Codec& codec : codecs()) {
            all.push_back({codec.extension.data(), codec.format});
        }
        return all;
    }();
    return table;
}

std::string pillowPython() {
    static const std::string python =
        std::system("/usr/bin/python3 -c 'import PIL' 2>/dev/null") == 0 ? "/usr/bin/python3" : "";
    return python;
}

namespace {

std::string shellQuote(const std::string& text) {
    std::string quoted = "'";
    for (const char c : text) {
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return quoted + "'";
}

std::uint32_t le32(const Bytes& d, std::size_t at) {
    return d[at] | d[at + 1] << 8 | d[at + 2] << 16 | std::uint32_t{d[at + 3]} << 24;
}

}  // namespace

std::optional<std::vector<std::unique_ptr<IndexedImage>>> pillowImages(
    const std::vector<std::string>& paths) {
    // dump/<index>.bin: width, height (32-bit little-endian), 768 palette
    // bytes, the indices, then the transparency of the palette entries.
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
        "    t = im.info.get('transparency', b'') if im.mode == 'P' else b''\n"
        "    t = t if isinstance(t, bytes) else bytes([255] * t + [0])\n"
        "    w, h = im.size\n"
        "    with open('%s/%d.bin' % (sys.argv[1], i), 'wb') as f:\n"
        "        f.write(w.to_bytes(4, 'little') + h.to_bytes(4, 'little') + "
        "(pal + bytes(768))[:768] + im.tobytes() + t)\n";
    const std::string python = pillowPython();
    if (python.empty()) {
        return std::nullopt;
    }
    TempDir dump;
    std::string command = python + " -c " + shellQuote(kScript) + " " + shellQuote(dump.path());
    for (const std::string& path : paths) {
        command += " " + shellQuote(path);
    }
    if (std::system(command.c_str()) != 0) {
        return std::nullopt;
    }
    std::vector<std::unique_ptr<IndexedImage>> images(paths.size());
    for (std::size_t i = 0; i < paths.size(); ++i) {
        const Bytes d = readFile(dump.file(std::to_string(i) + ".bin"));
        const std::size_t pixels = d.size() < 8 ? 0 : std::size_t{le32(d, 0)} * le32(d, 4);
        if (d.size() < 8 + 768 + pixels) {
            continue;
        }
        images[i] = std::make_unique<IndexedImage>();
        images[i]->setSize(le32(d, 0), le32(d, 4));
        for (unsigned e = 0; e < 256; ++e) {
            images[i]->setPaletteEntry(static_cast<std::uint16_t>(e), d[8 + 3 * e], d[9 + 3 * e],
                                       d[10 + 3 * e]);
        }
        std::memcpy(images[i]->pixels(), d.data() + 8 + 768, pixels);
        images[i]->setPaletteAlpha(d.data() + 8 + 768 + pixels, d.size() - 8 - 768 - pixels);
    }
    return images;
}

std::string testDataDir(const std::string& sub) {
    const std::string dir = std::string(KELVARA_TESTDATA_DIR) + "/" + sub;
    struct stat st {};
    return ::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) ? dir : std::string();
}

bool everythingRequired() {
    const char* value = std::getenv("KELVARA_REQUIRE_ALL");
    return value != nullptr && *value != '\0' && std::strcmp(value, "0") != 0;
}

}  // namespace kelvara::test
