// End-to-end tests of the kelvara-batch executable on real temporary trees.
// Outputs are checked with decoders nobody here wrote: Pillow for BMP and
// PNG, Python's zlib for XYZ.

#include <fcntl.h>
#include <png.h>
#include <pty.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <sstream>

#include "codecs/bmp.h"
#include "codecs/png.h"
#include "codecs/xyz.h"
#include "support/test_support.h"

namespace kelvara {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

constexpr int kSignalled = 1000;  // Result::status of a child killed by a signal: 1000 + signal

// Decodes each (output, reference) pair and compares size and RGB pixels.
// A reference is an image, or a ".ref" file: "W H\n" and the RGB bytes.
constexpr char kCompareScript[] = R"(import sys, zlib, struct
def load(p):
    d = open(p, 'rb').read()
    if p.endswith('.ref'):
        head, rgb = d.split(b'\n', 1)
        return tuple(map(int, head.split())), rgb
    if d[:4] == b'XYZ1':
        w, h = struct.unpack('<HH', d[4:8])
        z = zlib.decompress(d[8:])
        assert len(z) == 768 + w * h, 'xyz payload size'
        return (w, h), b''.join(z[3 * i:3 * i + 3] for i in z[768:])
    from PIL import Image
    im = Image.open(p)
    im.load()
    assert im.mode == 'P', im.mode
    return im.size, im.convert('RGB').tobytes()
bad = []
for t, r in zip(sys.argv[1::2], sys.argv[2::2]):
    try:
        if load(t) != load(r):
            bad.append(repr(t) + ': another image')
    except Exception as e:
        bad.append(repr(t) + ': ' + repr(e))
print('\n'.join(bad) or 'ok')
)";

// Per file: the zlib level class of its compressed data and, for a PNG, the
// sorted set of row filter types.
constexpr char kLevelScript[] = R"(import sys, zlib, struct
for p in sys.argv[1:]:
    d = open(p, 'rb').read()
    if d[:4] == b'XYZ1':
        print(d[9] >> 6)
        continue
    pos, idat = 8, b''
    while pos < len(d):
        n, kind = struct.unpack('>I4s', d[pos:pos + 8])
        if kind == b'IHDR':
            w, h = struct.unpack('>II', d[pos + 8:pos + 16])
        if kind == b'IDAT':
            idat += d[pos + 8:pos + 8 + n]
        pos += 12 + n
    raw = zlib.decompress(idat)
    print(idat[1] >> 6, *sorted({raw[y * (w + 1)] for y in range(h)}))
)";

struct Result {
    int status = -1;  // exit status, or kSignalled + signal
    std::string out, err;
};

struct Io {
    std::string exe = KELVARA_BATCH_EXE;
    std::string cwd;
    std::string input = "/dev/null";  // standard input
    int errFd = -1;                   // standard error; -1 collects it into Result::err
    bool closeOut = false;            // standard output is a pipe nobody reads
    std::function<void()> inChild;    // runs in the child just before exec
};

// One run of a program, its standard output read through a pipe.
class Child {
  public:
    Child(const std::vector<std::string>& args, const Io& io) : err_(std::tmpfile()) {
        int pipeFds[2];
        if (!err_ || ::pipe2(pipeFds, O_CLOEXEC) != 0) {
            ADD_FAILURE() << "cannot set up a child";
            return;
        }
        std::vector<std::string> argv = args;
        argv.insert(argv.begin(), io.exe);
        pid_ = ::fork();
        if (pid_ == 0) {
            const int in = ::open(io.input.c_str(), O_RDONLY);
            if ((!io.cwd.empty() && ::chdir(io.cwd.c_str()) != 0) || in < 0) {
                ::_exit(126);
            }
            ::dup2(in, 0);
            ::dup2(pipeFds[1], 1);
            ::dup2(io.errFd >= 0 ? io.errFd : ::fileno(err_.get()), 2);
            if (io.inChild) {
                io.inChild();
            }
            std::vector<char*> raw;
            for (std::string& a : argv) {
                raw.push_back(a.data());
            }
            raw.push_back(nullptr);
            ::execv(raw[0], raw.data());
            ::_exit(127);
        }
        ::close(pipeFds[1]);
        out_ = pipeFds[0];
        if (io.closeOut) {
            ::close(out_);
            out_ = -1;
        }
    }
    ~Child() {
        if (out_ >= 0) {
            ::close(out_);
        }
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            finish();
        }
    }

    pid_t pid() const { return pid_; }

    // Reads until a whole line has arrived; false at the end of the output.
    bool waitForLine() {
        while (result_.out.find('\n') == std::string::npos) {
            if (!readSome()) {
                return false;
            }
        }
        return true;
    }

    Result finish() {
        while (readSome()) {
        }
        int status = 0;
        while (pid_ > 0 && ::waitpid(pid_, &status, 0) < 0) {
        }
        pid_ = -1;
        result_.status = WIFEXITED(status) ? WEXITSTATUS(status) : kSignalled + WTERMSIG(status);
        std::rewind(err_.get());
        char chunk[4096];
        for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, err_.get())) > 0;) {
            result_.err.append(chunk, n);
        }
        for (const char* marker : {"Sanitizer", "runtime error"}) {
            EXPECT_EQ(result_.err.find(marker), std::string::npos) << result_.err;
        }
        return result_;
    }

  private:
    bool readSome() {
        char chunk[4096];
        const ssize_t n = out_ < 0 ? 0 : ::read(out_, chunk, sizeof chunk);
        if (n > 0) {
            result_.out.append(chunk, static_cast<std::size_t>(n));
        }
        return n > 0;
    }

    struct Closer {
        void operator()(std::FILE* f) const { std::fclose(f); }
    };
    std::unique_ptr<std::FILE, Closer> err_;
    pid_t pid_ = -1;
    int out_ = -1;
    Result result_;
};

Result python(const char* script, const std::vector<std::string>& args) {
    std::vector<std::string> argv = {"-c", script};
    argv.insert(argv.end(), args.begin(), args.end());
    Io io;
    io.exe = "/usr/bin/python3";
    return Child(argv, io).finish();
}

// Every file below dir, by its relative path, with its bytes.
std::map<std::string, std::string> tree(const std::string& dir) {
    std::map<std::string, std::string> files;
    for (const auto& e : fs::recursive_directory_iterator(dir)) {
        if (e.is_regular_file()) {
            const test::Bytes b = test::readFile(e.path());
            files[fs::relative(e.path(), dir)] = std::string(b.begin(), b.end());
        }
    }
    return files;
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        result.push_back(line);
    }
    return result;
}

class BatchCli : public testing::Test {
  protected:
    void SetUp() override {
        src = root.file("src");
        out = root.file("out");
        fs::create_directories(src + "/sub");
        test::writeFile(io.file("empty.ini"), std::string());
    }

    // Runs kelvara-batch; unless the arguments name a settings file, an empty
    // one stands in for whatever the default location holds.
    Result run(std::vector<std::string> args, const Io& how = {}) {
        if (std::find(args.begin(), args.end(), "--config") == args.end()) {
            args.insert(args.begin(), {"--config", io.file("empty.ini")});
        }
        return Child(args, how).finish();
    }

    // Writes a noise image of `spread` colours in the format of the path's
    // extension and keeps its pixels as the reference "<seed>.ref".
    void image(const std::string& path, unsigned seed, int width = 24, int height = 16,
               unsigned spread = 256) {
        IndexedImage img;
        img.setSize(static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height));
        std::mt19937 rng(seed);
        for (unsigned i = 0; i < 256; ++i) {
            img.setPaletteEntry(static_cast<std::uint16_t>(i), static_cast<std::uint8_t>(rng()),
                                static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(seed));
        }
        std::string ref = std::to_string(width) + " " + std::to_string(height) + "\n";
        for (std::size_t i = 0; i < img.pixelCount(); ++i) {
            img.pixels()[i] = static_cast<std::uint8_t>(rng() % spread);
            const PaletteEntry& c = img.palette()[img.pixels()[i]];
            ref +=
                {static_cast<char>(c.red), static_cast<char>(c.green), static_cast<char>(c.blue)};
        }
        const std::string ext = path.substr(path.size() - 3);
        ASSERT_TRUE(ext == "bmp"   ? writeBmp(path, img)
                    : ext == "png" ? writePng(path, img, 1, 0x08)
                                   : writeXyz(path, img, 1));
        test::writeFile(reference(seed), ref);
    }
    std::string reference(unsigned seed) const { return io.file(std::to_string(seed) + ".ref"); }

    // Every output decodes to its reference (an image or a seed's pixels).
    void expectImages(const std::vector<std::pair<std::string, std::string>>& pairs) {
        if (test::pillowPython().empty()) {
            GTEST_SKIP() << "Pillow (/usr/bin/python3 with PIL) is not installed";
        }
        std::vector<std::string> args;
        for (const auto& [output, ref] : pairs) {
            args.insert(args.end(), {output, ref});
        }
        const Result r = python(kCompareScript, args);
        EXPECT_EQ(r.out, "ok\n") << r.err;
    }

    TempDir root, io;
    std::string src, out;
};

TEST_F(BatchCli, ReportsEveryStatusInListOrder) {
    image(src + "/a.bmp", 1);
    image(src + "/b.png", 2);
    image(src + "/sub/c.xyz", 3);
    test::writeFile(src + "/d24.bmp", test::readFile(KELVARA_EXAMPLES_DIR "/photo-24bit.bmp"));
    test::writeFile(src + "/broken.png", std::string("not a png"));
    test::writeFile(src + "/notes.txt", std::string("hello"));

    Result r = run({"--to", "png", "--beside", "-j", "2", src});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "success\t" + src + "/a.bmp\t" + src + "/a.png\n" + "success\t" + src +
                         "/b.png\t" + src + "/b.png\n" + "unsupported-format\t" + src +
                         "/broken.png\t\n" + "not-8-bit\t" + src + "/d24.bmp\t\n" + "skipped\t" +
                         src + "/notes.txt\t\n" + "success\t" + src + "/sub/c.xyz\t" + src +
                         "/sub/c.png\n");
    EXPECT_EQ(r.err, "");  // not a terminal: neither progress nor summary

    r = run({"-q", "--to", "png", "--beside", "--others", "copy", src});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "unsupported-format\t" + src + "/broken.png\t\n" + "not-8-bit\t" + src +
                         "/d24.bmp\t\n" + "copy-failed\t" + src +
                         "/notes.txt\t\n");  // a copy onto itself
    r = run({"-q", "--to", "xyz", "--beside", src + "/a.bmp"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(test::readFile(src + "/notes.txt"), test::Bytes({'h', 'e', 'l', 'l', 'o'}));
    expectImages({{src + "/a.png", reference(1)},
                  {src + "/b.png", reference(2)},
                  {src + "/sub/c.png", reference(3)},
                  {src + "/a.xyz", reference(1)}});
}

TEST_F(BatchCli, OutputFolderKeepsTreeOrFlattensAndCopiesOthers) {
    image(src + "/a.bmp", 1);
    image(src + "/sub/c.png", 2);
    test::writeFile(src + "/notes.txt", std::string("hello"));

    Result r = run({"--to", "xyz", "--out", out, "--keep-tree", "--others", "copy", src});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "success\t" + src + "/a.bmp\t" + out + "/src/a.xyz\n" + "success\t" + src +
                         "/notes.txt\t" + out + "/src/notes.txt\n" + "success\t" + src +
                         "/sub/c.png\t" + out + "/src/sub/c.xyz\n");
    EXPECT_EQ(test::readFile(out + "/src/notes.txt"), test::readFile(src + "/notes.txt"));

    // Relative PATH and DIR are taken from the current directory; a trailing
    // slash does not change the relative paths.
    Io here;
    here.cwd = root.path();
    r = run({"--to", "bmp", "--out", "flat/", "--flat", "src/"}, here);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(lines(r.out)[0], "success\t" + src + "/a.bmp\t" + root.file("flat/a.bmp"));
    EXPECT_EQ(test::listDir(root.file("flat")), (std::vector<std::string>{"a.bmp", "c.bmp"}));
    expectImages({{out + "/src/a.xyz", reference(1)},
                  {out + "/src/sub/c.xyz", reference(2)},
                  {root.file("flat/a.bmp"), reference(1)},
                  {root.file("flat/c.bmp"), reference(2)}});
}

TEST_F(BatchCli, CompressionLevelsAndFiltersReachTheFiles) {
    image(src + "/a.bmp", 1, 64, 48);
    const std::string a = src + "/a.bmp";
    ASSERT_EQ(
        run({"--to", "png", "--png-level", "0", "--png-filter", "none", "--out", out + "/p0", a})
            .status,
        0);
    ASSERT_EQ(
        run({"--to", "png", "--png-level", "9", "--png-filter", "SUB", "--out", out + "/p9", a})
            .status,
        0);
    ASSERT_EQ(run({"--to", "xyz", "--xyz-level", "0", "--out", out + "/x0", a}).status, 0);
    ASSERT_EQ(run({"--to", "xyz", "--xyz-level", "9", "--out", out + "/x9", a}).status, 0);
    const Result r = python(
        kLevelScript, {out + "/p0/a.png", out + "/p9/a.png", out + "/x0/a.xyz", out + "/x9/a.xyz"});
    EXPECT_EQ(r.out, "0 0\n3 1\n0\n3\n") << r.err;
}

TEST_F(BatchCli, UsageErrorsExitTwoAndTouchNothing) {
    image(src + "/a.bmp", 1);
    const std::vector<std::vector<std::string>> mistakes = {
        {},
        {"--to", "gif", src},
        {"--png-level", "10", src},
        {"--xyz-level", "-1", src},
        {"--png-filter", "best", src},
        {"--others", "keep", src},
        {"-j", "0", src},
        {"--jobs", "many", src},
        {"--out", out, "--beside", src},
        {"--out", "", src},
        {"--flat", "--keep-tree", src},
        {"-0", src},
        {"--files-from", root.file("missing.txt")},
        {"--config", root.file("missing.ini"), src},
        {"--bogus", src},
    };
    for (const auto& args : mistakes) {
        const Result r = run(args);
        EXPECT_EQ(r.status, 2) << args.size();
        EXPECT_EQ(r.out, "");
        const auto errLines = lines(r.err);
        ASSERT_EQ(errLines.size(), 2u) << r.err;
        EXPECT_EQ(errLines[0].rfind("kelvara-batch: ", 0), 0u) << r.err;
        EXPECT_EQ(errLines[1], "Try 'kelvara-batch --help'.");
    }
    EXPECT_EQ(test::listDir(src), (std::vector<std::string>{"a.bmp", "sub"}));
    EXPECT_FALSE(test::exists(out));

    // A PATH that does not exist is ignored, as when gathering, with a word on standard error.
    Result r = run({"--to", "png", root.file("nope.bmp")});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "kelvara-batch: " + root.file("nope.bmp") + ": No such file or directory\n");

    r = run({"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("--files-from"), std::string::npos);
    EXPECT_NE(r.out.find("130"), std::string::npos);
    r = run({"--version"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("zlib " ZLIB_VERSION "\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("libpng " PNG_LIBPNG_VER_STRING "\n"), std::string::npos) << r.out;
}

TEST_F(BatchCli, DryRunPrintsThePlanAndTouchesNothing) {
    image(src + "/a.bmp", 1);
    image(src + "/sub/c.xyz", 2);
    test::writeFile(src + "/notes.txt", std::string("hello"));
    const auto before = tree(root.path());

    Result r =
        run({"--dry-run", "--to", "png", "--out", out, "--keep-tree", "--others", "copy", src});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "convert\t" + src + "/a.bmp\t" + out + "/src/a.png\n" + "copy\t" + src +
                         "/notes.txt\t" + out + "/src/notes.txt\n" + "convert\t" + src +
                         "/sub/c.xyz\t" + out + "/src/sub/c.png\n");
    r = run({"--dry-run", "--to", "bmp", "--beside", src});
    EXPECT_EQ(lines(r.out),
              (std::vector<std::string>{"convert\t" + src + "/a.bmp\t" + src + "/a.bmp",
                                        "skip\t" + src + "/notes.txt\t",
                                        "convert\t" + src + "/sub/c.xyz\t" + src + "/sub/c.bmp"}));
    EXPECT_EQ(run({"--dry-run", "-q", "--to", "png", src}).out, "");
    EXPECT_EQ(tree(root.path()), before);
    EXPECT_FALSE(test::exists(out));
}

TEST_F(BatchCli, FilesFromTakesOddNames) {
    const std::vector<std::string> names = {"with space.bmp", "new\nline.png", "bad\xff\xfe.xyz",
                                            "tab\there.bmp"};
    for (unsigned i = 0; i < names.size(); ++i) {
        image(src + "/" + names[i], i + 1);
    }
    Io fromStdin;
    fromStdin.cwd = src;
    fromStdin.input = io.file("list0");
    const char list0[] = "with space.bmp\0new\nline.png\0\0bad\xff\xfe.xyz\0";
    test::writeFile(fromStdin.input, std::string(list0, sizeof list0 - 1));
    Result r = run({"--to", "png", "--beside", "--files-from", "-", "-0"}, fromStdin);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "success\t" + src + "/with space.bmp\t" + src + "/with space.png\n" +
                         "success\t" + src + "/new\\nline.png\t" + src + "/new\\nline.png\n" +
                         "success\t" + src + "/bad\xff\xfe.xyz\t" + src + "/bad\xff\xfe.png\n");

    // One name per line; the PATH arguments come first.
    test::writeFile(io.file("list"), "with space.bmp\n\n" + src + "/tab\there.bmp\n");
    r = run({"--to", "xyz", "--out", out, "--flat", "--files-from", io.file("list"),
             src + "/bad\xff\xfe.xyz"},
            fromStdin);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(lines(r.out),
              (std::vector<std::string>{
                  "success\t" + src + "/bad\xff\xfe.xyz\t" + out + "/bad\xff\xfe.xyz",
                  "success\t" + src + "/with space.bmp\t" + out + "/with space.xyz",
                  "success\t" + src + "/tab\\there.bmp\t" + out + "/tab\\there.xyz"}));
    expectImages({{src + "/new\nline.png", reference(2)},
                  {src + "/bad\xff\xfe.png", reference(3)},
                  {out + "/tab\there.xyz", reference(4)},
                  {out + "/with space.xyz", reference(1)}});
}

TEST_F(BatchCli, ParallelRunsGiveTheSerialResultsByteForByte) {
    // Per group, in list order: a.png and (spelled another way) a.bmp both
    // write a.xyz; a.xyz then re-encodes whatever a.bmp left there; b.xyz is
    // read and rewritten before b.bmp replaces it.
    std::string list;
    const auto build = [&](const std::string& dir) {
        for (unsigned g = 0; g < 6; ++g) {
            const std::string d = dir + "/g" + std::to_string(g);
            fs::create_directories(d);
            for (const auto& [name, seed] : {std::pair{"/a.png", 1u},
                                             {"/a.bmp", 2u},
                                             {"/a.xyz", 3u},
                                             {"/b.xyz", 4u},
                                             {"/b.bmp", 5u}}) {
                image(d + name, 10 * g + seed, 320, 240);
            }
        }
    };
    for (unsigned g = 0; g < 6; ++g) {
        const std::string d = "g" + std::to_string(g);
        list +=
            d + "/a.png\n" + d + "/./a.bmp\n" + d + "/a.xyz\n" + d + "/b.xyz\n" + d + "/b.bmp\n";
    }
    test::writeFile(io.file("list"), list);
    build(root.file("serial"));
    build(root.file("parallel"));

    Io at;
    at.cwd = root.file("serial");
    const Result serial =
        run({"--to", "xyz", "--beside", "-j", "1", "--files-from", io.file("list")}, at);
    at.cwd = root.file("parallel");
    const Result parallel =
        run({"--to", "xyz", "--beside", "--jobs", "4", "--files-from", io.file("list")}, at);
    EXPECT_EQ(serial.status, 0);
    EXPECT_EQ(parallel.status, 0);
    EXPECT_EQ(lines(serial.out).size(), 30u);
    std::string renamed = serial.out;
    for (std::size_t pos = 0; (pos = renamed.find("/serial/", pos)) != std::string::npos;) {
        renamed.replace(pos, 8, "/parallel/");
    }
    EXPECT_EQ(parallel.out, renamed);
    EXPECT_TRUE(tree(root.file("serial")) == tree(root.file("parallel")));
    std::vector<std::pair<std::string, std::string>> pairs;
    for (unsigned g = 0; g < 6; ++g) {
        const std::string d = root.file("parallel/g" + std::to_string(g));
        pairs.push_back({d + "/a.xyz", reference(10 * g + 2)});
        pairs.push_back({d + "/b.xyz", reference(10 * g + 5)});
    }
    expectImages(pairs);
}

TEST_F(BatchCli, SignalsStopNewEntriesAndLeaveNoPartialFile) {
    constexpr unsigned kImages = 40;
    for (unsigned i = 0; i < kImages; ++i) {
        // Few colours: slow to compress at level 9, so the run lasts.
        image(src + "/" + std::to_string(100 + i) + ".bmp", i + 1, 400, 400, 4);
    }
    std::vector<std::pair<std::string, std::string>> pairs;
    for (const int sig : {SIGINT, SIGTERM}) {
        const std::string dir = out + std::to_string(sig);
        Child child({"--config", io.file("empty.ini"), "--to", "png", "--png-level", "9", "--out",
                     dir, "-j", "2", src},
                    Io{});
        ASSERT_TRUE(child.waitForLine());
        ::kill(child.pid(), sig);
        const Result r = child.finish();
        EXPECT_EQ(r.status, 128 + sig);
        const auto reported = lines(r.out);
        EXPECT_GE(reported.size(), 1u);
        EXPECT_LT(reported.size(), kImages);
        std::set<std::string> targets;
        for (const std::string& line : reported) {
            const std::size_t tab = line.find('\t'), tab2 = line.rfind('\t');
            EXPECT_EQ(line.substr(0, tab), "success");
            targets.insert(fs::relative(line.substr(tab2 + 1), dir));
            const unsigned seed = std::stoul(line.substr(tab + 1 + src.size() + 1, 3)) - 99;
            pairs.push_back({line.substr(tab2 + 1), reference(seed)});
        }
        std::set<std::string> written;
        for (const auto& [name, bytes] : tree(dir)) {
            written.insert(name);
        }
        EXPECT_EQ(written, targets);  // nothing else, no temporaries
    }
    expectImages(pairs);
}

TEST_F(BatchCli, FailedWritesAndAClosedOutputEndTheRunNormally) {
    image(src + "/big.bmp", 1, 128, 128);
    Io limited;
    limited.inChild = [] {
        const rlimit limit{4096, 4096};
        ::setrlimit(RLIMIT_FSIZE, &limit);
    };
    Result r = run({"--to", "bmp", "--out", out, src + "/big.bmp"}, limited);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "write-error\t" + src + "/big.bmp\t\n");
    EXPECT_EQ(test::listDir(out), std::vector<std::string>{});

    for (int i = 0; i < 30; ++i) {
        image(src + "/sub/" + std::to_string(i) + ".bmp", 2, 256, 256);
    }
    Io closed;
    closed.closeOut = true;
    r = run({"--to", "png", "--png-level", "9", "-j", "1", "--out", out, src + "/sub"}, closed);
    EXPECT_EQ(r.status, 1);  // not killed by SIGPIPE
    EXPECT_LT(test::listDir(out + "/sub").size(), 30u);
}

TEST_F(BatchCli, SettingsFileGivesDefaultsAndIsNeverWritten) {
    image(src + "/a.bmp", 1, 64, 48);
    test::writeFile(src + "/notes.txt", std::string("hello"));
    const std::string ini = io.file("my.ini");
    const std::string settings = "[Convert]\nSaveMode=1\nSaveDirFlag=1\nSaveDir=" + out +
                                 "\nReproduceDir=0\nUnKnownFlag=1\n[Png]\nCompLv=0\nFilter=0\n";
    test::writeFile(ini, settings);
    struct stat before {};
    ::stat(ini.c_str(), &before);

    Result r = run({"--config", ini, src});
    EXPECT_EQ(r.out, "success\t" + src + "/a.bmp\t" + out + "/a.png\n" + "success\t" + src +
                         "/notes.txt\t" + out + "/notes.txt\n");
    EXPECT_EQ(python(kLevelScript, {out + "/a.png"}).out, "0 0\n");
    r = run({"--config", ini, "--png-level", "9", "--png-filter", "sub", "--keep-tree", src});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(python(kLevelScript, {out + "/src/a.png"}).out, "3 1\n");
    EXPECT_TRUE(test::exists(out + "/src/notes.txt"));

    // Without --config: kelvara.ini beside the executable.
    Io copied;
    copied.exe = io.file("kelvara-batch");
    fs::copy_file(KELVARA_BATCH_EXE, copied.exe);
    const std::string besideSettings = "[Convert]\nSaveMode=2\n";
    test::writeFile(io.file("kelvara.ini"), besideSettings);
    r = Child({src + "/a.bmp"}, copied).finish();
    EXPECT_EQ(r.out, "success\t" + src + "/a.bmp\t" + src + "/a.xyz\n");

    struct stat after {};
    ::stat(ini.c_str(), &after);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
    EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
    EXPECT_EQ(
        test::listDir(io.path()),
        (std::vector<std::string>{"1.ref", "empty.ini", "kelvara-batch", "kelvara.ini", "my.ini"}));
    EXPECT_EQ(test::readFile(ini), test::Bytes(settings.begin(), settings.end()));
    EXPECT_EQ(test::readFile(io.file("kelvara.ini")),
              test::Bytes(besideSettings.begin(), besideSettings.end()));
}

TEST_F(BatchCli, ProgressAndSummaryGoToATerminal) {
    image(src + "/a.bmp", 1);
    image(src + "/b.bmp", 2);
    test::writeFile(src + "/broken.png", std::string("x"));
    int master = -1, slave = -1;
    ASSERT_EQ(::openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    ::fcntl(master, F_SETFD, FD_CLOEXEC);
    ::fcntl(slave, F_SETFD, FD_CLOEXEC);
    Io terminal;
    terminal.errFd = slave;
    Result r = run({"--to", "png", "--beside", src}, terminal);
    ::close(slave);
    std::string err;
    char chunk[4096];
    for (ssize_t n; (n = ::read(master, chunk, sizeof chunk)) > 0;) {
        err.append(chunk, static_cast<std::size_t>(n));
    }
    ::close(master);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(err.rfind("\r", 0), 0u) << err;  // drawn in place
    EXPECT_NE(err.find("/3  "), std::string::npos) << err;
    EXPECT_NE(err.find("2 success, 1 unsupported-format in "), std::string::npos) << err;
    EXPECT_EQ(lines(r.out).size(), 3u);
}

TEST_F(BatchCli, BundledExamplesConvert) {
    const std::string examples = KELVARA_EXAMPLES_DIR;
    const Result r =
        run({"--to", "png", "--out", out, "--keep-tree", "--others", "copy", examples});
    EXPECT_EQ(r.status, 1);  // the 24-bit sample is refused
    std::map<std::string, int> formats;
    std::vector<std::pair<std::string, std::string>> pairs;
    for (const std::string& line : lines(r.out)) {
        const std::size_t tab = line.find('\t'), tab2 = line.rfind('\t');
        const std::string status = line.substr(0, tab),
                          source = line.substr(tab + 1, tab2 - tab - 1);
        if (source.ends_with("photo-24bit.bmp")) {
            EXPECT_EQ(status, "not-8-bit");
            continue;
        }
        EXPECT_EQ(status, "success") << line;
        ++formats[source.substr(source.size() - 3)];
        if (!source.ends_with(".txt")) {
            pairs.push_back({line.substr(tab2 + 1), source});
        }
    }
    EXPECT_GE(formats["bmp"], 2);
    EXPECT_GE(formats["png"], 2);
    EXPECT_GE(formats["xyz"], 2);
    EXPECT_EQ(formats["txt"], 1);
    expectImages(pairs);
}

}  // namespace
}  // namespace kelvara
