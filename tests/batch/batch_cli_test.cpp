// End-to-end tests of the kelvara-batch executable on real temporary trees.
// Outputs are checked with decoders nobody here wrote: Pillow for BMP and
// PNG, Python's zlib for XYZ.

#include <fcntl.h>
#include <png.h>
#include <pty.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <set>

#include "codecs/bmp.h"
#include "codecs/png.h"
#include "codecs/xyz.h"
#include "support/test_support.h"

namespace kelvara {
namespace {

namespace fs = std::filesystem;
using Texts = std::vector<std::string>;

// Decodes each (output, reference) pair and prints the outputs whose size or
// RGB pixels differ. A reference is an image, or a ".ref" file: "W H\n" and the RGB bytes.
constexpr char kCompareScript[] = R"(import sys, zlib, struct
def load(p):
    d = open(p, 'rb').read()
    if p.endswith('.ref'):
        head, rgb = d.split(b'\n', 1)
        return tuple(map(int, head.split())), rgb
    if d[:4] == b'XYZ1':
        w, h = struct.unpack('<HH', d[4:8])
        z = zlib.decompress(d[8:])
        assert len(z) == 768 + w * h, p
        return (w, h), b''.join(z[3 * i:3 * i + 3] for i in z[768:])
    from PIL import Image
    im = Image.open(p)
    assert im.mode == 'P', p
    return im.size, im.convert('RGB').tobytes()
print([t for t, r in zip(sys.argv[1::2], sys.argv[2::2]) if load(t) != load(r)])
)";

// Per file: the zlib level class of its compressed data and, for a PNG, the
// sorted set of row filter types.
constexpr char kLevelScript[] = R"(import sys, zlib, struct
for p in sys.argv[1:]:
    d = open(p, 'rb').read()
    if d[:4] == b'XYZ1':
        print(d[9] >> 6)
        continue
    w, h = struct.unpack('>II', d[16:24])
    idat, pos = b'', 8
    while pos < len(d):
        n, kind = struct.unpack('>I4s', d[pos:pos + 8])
        idat += d[pos + 8:pos + 8 + n] if kind == b'IDAT' else b''
        pos += 12 + n
    raw = zlib.decompress(idat)
    print(idat[1] >> 6, *sorted({raw[y * (w + 1)] for y in range(h)}))
)";

constexpr int kSignalled = 1000;  // Result::status of a child killed by a signal: 1000 + signal

struct Result {
    int status = -1;  // exit status, or kSignalled + signal
    std::string out, err;
};

struct Io {
    std::string exe = KELVARA_BATCH_EXE, cwd, input = "/dev/null";  // input: standard input
    int errFd = -1;                 // standard error; -1 collects it into Result::err
    bool closeOut = false;          // standard output is a pipe nobody reads
    std::function<void()> inChild;  // runs in the child just before exec
    // Runs once the first line of output has arrived, with the output so far.
    std::function<void(pid_t, const std::string&)> onFirstLine;
};

bool readSome(int fd, std::string& into) {
    char chunk[4096];
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n > 0) {
        into.append(chunk, static_cast<std::size_t>(n));
    }
    return n > 0;
}

// One run of a program: standard output through a pipe, standard error into a memory file.
Result spawn(std::vector<std::string> args, const Io& io) {
    Result r;
    const int err = ::memfd_create("err", MFD_CLOEXEC);
    int fds[2];
    if (err < 0 || ::pipe2(fds, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "cannot set up a child";
        return r;
    }
    args.insert(args.begin(), io.exe);
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int in = ::open(io.input.c_str(), O_RDONLY);
        if (in < 0 || (!io.cwd.empty() && ::chdir(io.cwd.c_str()) != 0)) {
            ::_exit(126);
        }
        ::dup2(in, 0);
        ::dup2(fds[1], 1);
        ::dup2(io.errFd >= 0 ? io.errFd : err, 2);
        if (io.inChild) {
            io.inChild();
        }
        std::vector<char*> argv;
        for (std::string& a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(fds[1]);
    const int out = io.closeOut ? (::close(fds[0]), -1) : fds[0];
    for (bool told = !io.onFirstLine; readSome(out, r.out);) {
        if (!told && r.out.find('\n') != std::string::npos) {
            told = true;
            io.onFirstLine(pid, r.out);
        }
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
    }
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : kSignalled + WTERMSIG(status);
    for (::lseek(err, 0, SEEK_SET); readSome(err, r.err);) {
    }
    ::close(err);
    ::close(out);
    EXPECT_EQ(r.err.find("Sanitizer"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("runtime error"), std::string::npos) << r.err;
    return r;
}

Result python(const char* script, Texts args) {
    args.insert(args.begin(), {"-c", script});
    Io io;
    io.exe = "/usr/bin/python3";
    return spawn(args, io);
}

// Every file below dir, by its relative path, with its bytes.
std::map<std::string, test::Bytes> tree(const std::string& dir) {
    std::map<std::string, test::Bytes> files;
    for (const auto& e : fs::recursive_directory_iterator(dir)) {
        if (e.is_regular_file()) {
            files[fs::relative(e.path(), dir)] = test::readFile(e.path());
        }
    }
    return files;
}

Texts lines(const std::string& text) {
    Texts result;
    for (std::size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
        result.push_back(text.substr(at, end - at));
    }
    return result;
}

class BatchCli : public testing::Test {
  protected:
    void SetUp() override {
        fs::create_directories(src + "/sub");
        test::writeFile(io.file("empty.ini"), std::string());
    }

    // Runs kelvara-batch; unless the arguments name a settings file, an empty
    // one stands in for whatever the default location holds.
    Result run(Texts args, const Io& how = {}) {
        if (std::find(args.begin(), args.end(), "--config") == args.end()) {
            args.insert(args.begin(), {"--config", io.file("empty.ini")});
        }
        return spawn(args, how);
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
                    : ext == "png" ? writePng(path, img, 9, 0xF8)
                                   : writeXyz(path, img, 1));
        test::writeFile(reference(seed), ref);
    }
    std::string reference(unsigned seed) const { return io.file(std::to_string(seed) + ".ref"); }

    // Every output decodes to its reference (an image or a seed's pixels).
    void expectImages(const std::vector<std::pair<std::string, std::string>>& pairs) {
        if (test::pillowPython().empty()) {
            GTEST_SKIP() << "Pillow (/usr/bin/python3 with PIL) is not installed";
        }
        Texts args;
        for (const auto& [output, ref] : pairs) {
            args.insert(args.end(), {output, ref});
        }
        const Result r = python(kCompareScript, args);
        EXPECT_EQ(r.out, "[]\n") << r.err;
    }

    test::TempDir root, io;
    std::string src = root.file("src"), out = root.file("out");
};

TEST_F(BatchCli, ReportsEveryEntryInListOrderAndExitsOneOnFailures) {
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
    // The first run's outputs are listed now: a.bmp and c.xyz would replace them.
    EXPECT_EQ(r.out, "target-conflict\t" + src + "/a.bmp\t\n" + "unsupported-format\t" + src +
                         "/broken.png\t\n" + "not-8-bit\t" + src + "/d24.bmp\t\n" +
                         "target-conflict\t" + src + "/sub/c.xyz\t\n");
    r = run({"--quiet", "--to", "xyz", "--beside", src + "/a.bmp"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(test::readFile(src + "/notes.txt"), test::Bytes({'h', 'e', 'l', 'l', 'o'}));
    expectImages({{src + "/a.png", reference(1)},
                  {src + "/b.png", reference(2)},
                  {src + "/sub/c.png", reference(3)},
                  {src + "/a.xyz", reference(1)}});
}

// The settings file gives the defaults (without --config, kelvara.ini beside
// the program) and is only read; the options override it.
TEST_F(BatchCli, OptionsOverrideTheSettingsFileWhichIsNeverWritten) {
    image(src + "/a.bmp", 1, 64, 48);
    image(src + "/sub/c.png", 2);
    test::writeFile(src + "/notes.txt", std::string("hello"));
    const std::string ini = io.file("my.ini"), a = src + "/a.bmp";
    const std::string settings =
        "[Convert]\nSaveMode=1\nSaveDirFlag=1\nSaveDir=" + out +
        "\nReproduceDir=0\nUnKnownFlag=1\n[Png]\nCompLv=0\nFilter=0\n[Xyz]\nCompLv=0\n";
    test::writeFile(ini, settings);
    const auto written = fs::last_write_time(ini);

    Result r = run({"--config", ini, src});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "success\t" + a + "\t" + out + "/a.png\n" + "success\t" + src +
                         "/notes.txt\t" + out + "/notes.txt\n" + "success\t" + src +
                         "/sub/c.png\t" + out + "/c.png\n");
    EXPECT_EQ(test::readFile(out + "/notes.txt"), test::readFile(src + "/notes.txt"));
    r = run({"--config", ini, "--to", "xyz", "--keep-tree", "--others", "skip", "--xyz-level", "9",
             src});
    EXPECT_EQ(r.status, 0);  // skipped is no failure
    EXPECT_EQ(lines(r.out)[1], "skipped\t" + src + "/notes.txt\t");
    EXPECT_EQ(lines(r.out)[2], "success\t" + src + "/sub/c.png\t" + out + "/src/sub/c.xyz");
    run({"--config", ini, "--to", "xyz", a});
    run({"--config", ini, "--png-level", "9", "--png-filter", "SUB", "--out", out + "/p9", a});
    r = python(kLevelScript,
               {out + "/a.png", out + "/p9/a.png", out + "/a.xyz", out + "/src/a.xyz"});
    EXPECT_EQ(r.out, "0 0\n3 1\n0\n3\n") << r.err;

    // Relative PATH and DIR are taken from the current directory; a trailing
    // slash does not change the relative paths.
    Io here;
    here.cwd = root.path();
    r = run({"--config", ini, "--to", "bmp", "--out", "flat/", "--flat", "src/"}, here);
    EXPECT_EQ(lines(r.out)[0], "success\t" + a + "\t" + root.file("flat/a.bmp"));
    EXPECT_EQ(test::listDir(root.file("flat")), (Texts{"a.bmp", "c.bmp", "notes.txt"}));

    Io beside;
    beside.exe = io.file("kelvara-batch");
    fs::copy_file(KELVARA_BATCH_EXE, beside.exe);
    test::writeFile(io.file("kelvara.ini"), std::string("[Convert]\nSaveMode=2\n"));
    r = spawn({"--beside", a}, beside);
    EXPECT_EQ(r.out, "success\t" + a + "\t" + src + "/a.xyz\n");
    EXPECT_EQ(fs::last_write_time(ini), written);
    EXPECT_EQ(test::readFile(ini), test::Bytes(settings.begin(), settings.end()));
    EXPECT_EQ(test::listDir(io.path()),
              (Texts{"1.ref", "2.ref", "empty.ini", "kelvara-batch", "kelvara.ini", "my.ini"}));
    expectImages({{out + "/src/sub/c.xyz", reference(2)},
                  {root.file("flat/a.bmp"), reference(1)},
                  {root.file("flat/c.bmp"), reference(2)},
                  {src + "/a.xyz", reference(1)}});
}

// Usage errors (exit 2), a missing PATH, --help, --version and dry runs leave every file as it was.
TEST_F(BatchCli, UsageErrorsAndDryRunsTouchNothing) {
    image(src + "/a.bmp", 1);
    image(src + "/sub/c.xyz", 2);
    test::writeFile(src + "/notes.txt", std::string("hello"));
    const auto before = tree(root.path());
    const std::vector<Texts> mistakes = {{},
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
                                         {"--bogus", src}};
    for (const Texts& args : mistakes) {
        const Result r = run(args);
        EXPECT_EQ(r.status, 2) << args.size();
        EXPECT_EQ(r.out, "");
        const Texts err = lines(r.err);
        ASSERT_EQ(err.size(), 2u) << r.err;
        EXPECT_EQ(err[0].rfind("kelvara-batch: ", 0), 0u) << r.err;
        EXPECT_EQ(err[1], "Try 'kelvara-batch --help'.");
    }
    Result r = run({"--to", "png", root.file("nope.bmp")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "not-found\t" + root.file("nope.bmp") + "\t\n");
    r = run({"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("--files-from"), std::string::npos);
    r = run({"--version"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("zlib " ZLIB_VERSION "\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("libpng " PNG_LIBPNG_VER_STRING "\n"), std::string::npos) << r.out;

    r = run({"--dry-run", "--to", "png", "--out", out, "--keep-tree", "--others", "copy", src});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "convert\t" + src + "/a.bmp\t" + out + "/src/a.png\n" + "copy\t" + src +
                         "/notes.txt\t" + out + "/src/notes.txt\n" + "convert\t" + src +
                         "/sub/c.xyz\t" + out + "/src/sub/c.png\n");
    r = run({"--dry-run", "--to", "bmp", "--beside", src});
    EXPECT_EQ(lines(r.out)[1], "skip\t" + src + "/notes.txt\t");
    EXPECT_EQ(run({"--dry-run", "-q", "--to", "png", src}).out, "");
    EXPECT_EQ(tree(root.path()), before);
}

TEST_F(BatchCli, FilesFromTakesOddNames) {
    const Texts names = {"with space.bmp", "new\nline.png", "bad\xff\xfe.xyz", "tab\there.bmp",
                         "back\\slash.bmp"};
    for (unsigned i = 0; i < names.size(); ++i) {
        image(src + "/" + names[i], i + 1);
    }
    Io fromStdin;
    fromStdin.cwd = src;
    fromStdin.input = io.file("list0");
    const char list0[] = "with space.bmp\0new\nline.png\0\0bad\xff\xfe.xyz\0";
    test::writeFile(fromStdin.input, std::string(list0, sizeof list0 - 1));
    Result r = run({"--to", "png", "--beside", "--files-from", "-", "--null"}, fromStdin);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "success\t" + src + "/with space.bmp\t" + src + "/with space.png\n" +
                         "success\t" + src + "/new\\nline.png\t" + src + "/new\\nline.png\n" +
                         "success\t" + src + "/bad\xff\xfe.xyz\t" + src + "/bad\xff\xfe.png\n");

    // One name per line; the PATH arguments come first.
    test::writeFile(io.file("list"),
                    "with space.bmp\n\n" + src + "/tab\there.bmp\nback\\slash.bmp\n");
    r = run({"--to", "xyz", "--out", out, "--flat", "--files-from", io.file("list"),
             src + "/bad\xff\xfe.xyz"},
            fromStdin);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(lines(r.out),
              (Texts{"success\t" + src + "/bad\xff\xfe.xyz\t" + out + "/bad\xff\xfe.xyz",
                     "success\t" + src + "/with space.bmp\t" + out + "/with space.xyz",
                     "success\t" + src + "/tab\\there.bmp\t" + out + "/tab\\there.xyz",
                     "success\t" + src + "/back\\\\slash.bmp\t" + out + "/back\\\\slash.xyz"}));
    expectImages({{src + "/new\nline.png", reference(2)},
                  {src + "/bad\xff\xfe.png", reference(3)},
                  {out + "/tab\there.xyz", reference(4)},
                  {out + "/with space.xyz", reference(1)}});
}

TEST_F(BatchCli, ParallelRunsGiveTheSerialResultsByteForByte) {
    // Per group, in list order: a.png and (spelled another way) a.bmp would
    // both replace the listed a.xyz, b.bmp the listed b.xyz: conflicts; a.xyz
    // and b.xyz are rewritten in place.
    std::string list;
    for (unsigned g = 0; g < 6; ++g) {
        const std::string d = "g" + std::to_string(g);
        list +=
            d + "/a.png\n" + d + "/./a.bmp\n" + d + "/a.xyz\n" + d + "/b.xyz\n" + d + "/b.bmp\n";
        fs::create_directories(root.file("serial/" + d));
        const char* names[] = {"/a.png", "/a.bmp", "/a.xyz", "/b.xyz", "/b.bmp"};
        for (unsigned i = 0; i < 5; ++i) {
            image(root.file("serial/" + d + names[i]), 10 * g + i + 1, 320, 240);
        }
    }
    fs::copy(root.file("serial"), root.file("parallel"), fs::copy_options::recursive);
    test::writeFile(io.file("list"), list);
    Io at;
    at.cwd = root.file("serial");
    const Result serial =
        run({"--to", "xyz", "--beside", "-j", "1", "--files-from", io.file("list")}, at);
    at.cwd = root.file("parallel");
    const Result parallel =
        run({"--to", "xyz", "--beside", "--jobs", "4", "--files-from", io.file("list")}, at);
    EXPECT_EQ(serial.status, 1);
    EXPECT_EQ(parallel.status, 1);
    EXPECT_EQ(lines(serial.out).size(), 30u);
    EXPECT_EQ(lines(serial.out)[4].rfind("target-conflict\t", 0), 0u) << serial.out;
    std::string renamed = serial.out;
    for (std::size_t pos = 0; (pos = renamed.find("/serial/", pos)) != std::string::npos;) {
        renamed.replace(pos, 8, "/parallel/");
    }
    EXPECT_EQ(parallel.out, renamed);
    EXPECT_TRUE(tree(root.file("serial")) == tree(root.file("parallel")));
    std::vector<std::pair<std::string, std::string>> pairs;
    for (unsigned g = 0; g < 6; ++g) {
        const std::string d = root.file("parallel/g" + std::to_string(g));
        pairs.insert(pairs.end(), {{d + "/a.xyz", reference(10 * g + 3)},
                                   {d + "/b.xyz", reference(10 * g + 4)}});
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
        Io io;
        std::size_t seen = 0;  // lines out when the signal went
        io.onFirstLine = [&](pid_t pid, const std::string& out) {
            seen = lines(out).size();
            ::kill(pid, sig);
        };
        const Result r = run({"--to", "png", "--png-level", "9", "--out", dir, "-j", "2", src}, io);
        EXPECT_EQ(r.status, 128 + sig);  // an exit of its own, not death by the signal
        const Texts reported = lines(r.out);
        EXPECT_LT(reported.size(), kImages);
        EXPECT_GT(reported.size(), seen);  // the entries in progress finished and were reported
        std::set<std::string> targets, written;
        for (const std::string& line : reported) {
            const std::size_t tab = line.find('\t'), tab2 = line.rfind('\t');
            EXPECT_EQ(line.substr(0, tab), "success");
            targets.insert(fs::relative(line.substr(tab2 + 1), dir));
            const unsigned seed = std::stoul(line.substr(tab + 1 + src.size() + 1, 3)) - 99;
            pairs.push_back({line.substr(tab2 + 1), reference(seed)});
        }
        for (const auto& [name, bytes] : tree(dir)) {
            written.insert(name);
        }
        EXPECT_EQ(written, targets);  // nothing else, no temporaries
    }
    expectImages(pairs);
}

TEST_F(BatchCli, FailedWritesClosedOutputAndTerminal) {
    image(src + "/big.bmp", 1, 128, 128);
    Io limited;
    limited.inChild = [] {
        const rlimit limit{4096, 4096};
        ::setrlimit(RLIMIT_FSIZE, &limit);
    };
    Result r = run({"--to", "bmp", "--out", out, src + "/big.bmp"}, limited);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "write-error\t" + src + "/big.bmp\t\n");
    EXPECT_EQ(test::listDir(out), Texts{});  // nothing left behind

    for (int i = 0; i < 30; ++i) {
        image(src + "/sub/" + std::to_string(i) + ".bmp", 2, 256, 256);
    }
    Io closed;
    closed.closeOut = true;
    r = run({"--to", "png", "--png-level", "9", "-j", "1", "--out", out, src + "/sub"}, closed);
    EXPECT_EQ(r.status, 1);  // not killed by SIGPIPE
    EXPECT_LT(test::listDir(out + "/sub").size(), 30u);

    // Progress drawn in place and a summary, when standard error is a terminal.
    test::writeFile(src + "/sub/broken.png", std::string("x"));
    int master = -1;
    Io terminal;
    ASSERT_EQ(::openpty(&master, &terminal.errFd, nullptr, nullptr, nullptr), 0);
    ::fcntl(master, F_SETFD, FD_CLOEXEC);
    ::fcntl(terminal.errFd, F_SETFD, FD_CLOEXEC);
    r = run({"--to", "xyz", "--beside", src + "/sub"}, terminal);
    ::close(terminal.errFd);
    std::string err;
    while (readSome(master, err)) {
    }
    ::close(master);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(err.rfind("\r", 0), 0u) << err;
    EXPECT_NE(err.find("/31  "), std::string::npos) << err;
    EXPECT_NE(err.find("30 success, 1 unsupported-format in "), std::string::npos) << err;
}

}  // namespace
}  // namespace kelvara
