#include "conversion/output_policy.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "codecs/bmp.h"
#include "codecs/png.h"
#include "codecs/xyz.h"
#include "support/test_support.h"

namespace kelvara {
namespace {

using test::Bytes;
using test::TempDir;
using A = OutputAction;
using F = ImageFormat;
using S = ConvertStatus;

Settings outputSettings(int saveMode, int saveDirFlag, std::string saveDir = {},
                        bool reproduce = true, int unknown = 0) {
    Settings s;
    s.SaveMode = saveMode;
    s.SaveDirFlag = saveDirFlag;
    s.SaveDir = std::move(saveDir);
    s.ReproduceDir = reproduce;
    s.UnKnownFlag = unknown;
    return s;
}

void makeImage(IndexedImage& image, unsigned seed) {
    image.setSize(7, 5);
    ASSERT_TRUE(image.hasPixels());
    std::mt19937 rng(seed);
    for (std::size_t i = 0; i < image.pixelCount(); ++i) image.pixels()[i] = static_cast<std::uint8_t>(rng());
    for (unsigned i = 0; i < IndexedImage::kPaletteSize; ++i) {
        image.setPaletteEntry(static_cast<std::uint16_t>(i), static_cast<std::uint8_t>(rng()),
                              static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(seed));
    }
}

// Reads path with the reader of kind and compares it with the image made from seed.
testing::AssertionResult holdsImage(const std::string& path, F kind, unsigned seed) {
    IndexedImage expected, actual;
    makeImage(expected, seed);
    const bool read = kind == F::Bmp ? readBmp(path, actual)
                      : kind == F::Png ? readPng(path, actual) : readXyz(path, actual);
    if (!read) return testing::AssertionFailure() << "cannot read " << path;
    if (actual.width() != expected.width() || actual.height() != expected.height() ||
        std::memcmp(actual.pixels(), expected.pixels(), expected.pixelCount()) != 0 ||
        !std::equal(expected.palette(), expected.palette() + 256, actual.palette())) {
        return testing::AssertionFailure() << path << " holds another image";
    }
    return testing::AssertionSuccess();
}

void writeImage(const std::string& path, F kind, unsigned seed, int pngLevel = 6) {
    IndexedImage image;
    makeImage(image, seed);
    const bool ok = kind == F::Bmp ? writeBmp(path, image)
                    : kind == F::Png ? writePng(path, image, pngLevel, 0xF8) : writeXyz(path, image, 6);
    ASSERT_TRUE(ok) << path;
}

mode_t modeOf(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

struct PlanCase {
    const char* full;
    const char* relative;
    Settings settings;
    A action;
    F format;
    const char* target;
};

TEST(ResolveOutput, DecidesActionFormatAndTarget) {
    const PlanCase cases[] = {
        {"/p/a.bmp", "a.bmp", outputSettings(1, 0), A::ConvertImage, F::Bmp, "/p/a.png"},
        {"/p/a.bmp", "a.bmp", outputSettings(0, 0), A::ConvertImage, F::Bmp, "/p/a.bmp"},
        {"/s/set1/sub/a.png", "set1/sub/a.png", outputSettings(0, 1, "/out"), A::ConvertImage, F::Png,
         "/out/set1/sub/a.bmp"},
        {"/s/set1/sub/a.png", "set1/sub/a.png", outputSettings(0, 1, "/out", false), A::ConvertImage,
         F::Png, "/out/a.bmp"},
        {"/s/set1/a.png", "set1/a.png", outputSettings(2, 1, "/out/"), A::ConvertImage, F::Png,
         "/out//set1/a.xyz"},
        {"/s/a.png", "a.png", outputSettings(0, 1, ""), A::ConvertImage, F::Png, "/a.bmp"},
        {"/p/A.Png", "A.Png", outputSettings(2, 0), A::ConvertImage, F::Png, "/p/A.xyz"},
        {"/p/B.XYZ", "B.XYZ", outputSettings(0, 0), A::ConvertImage, F::Xyz, "/p/B.bmp"},
        {"/p/c.bMp", "c.bMp", outputSettings(0, 0), A::ConvertImage, F::Bmp, "/p/c.bmp"},
        {"/p/a.tar.bmp", "a.tar.bmp", outputSettings(1, 0), A::ConvertImage, F::Bmp, "/p/a.tar.png"},
        // A backslash is part of a POSIX file name, not a separator.
        {"/p/x\\y.bmp", "x\\y.bmp", outputSettings(1, 1, "/out", false), A::ConvertImage, F::Bmp,
         "/out/x\\y.png"},
        // An out-of-range target kind writes the default, BMP.
        {"/p/a.png", "a.png", outputSettings(7, 0), A::ConvertImage, F::Png, "/p/a.bmp"},
        {"/p/bmp", "bmp", outputSettings(1, 0), A::SkipEntry, F::Bmp, ""},
        {"/p/a.bmp.bak", "a.bmp.bak", outputSettings(1, 0), A::SkipEntry, F::Bmp, ""},
        {"/p/a.bmpx", "a.bmpx", outputSettings(1, 0), A::SkipEntry, F::Bmp, ""},
        {"/p/a.bm", "a.bm", outputSettings(1, 0), A::SkipEntry, F::Bmp, ""},
        {"/p/x.png/readme", "x.png/readme", outputSettings(1, 1, "/out"), A::SkipEntry, F::Bmp, ""},
        {"/p/bmp", "bmp", outputSettings(1, 0, "", true, 1), A::CopyUnchanged, F::Bmp, "/p/bmp"},
        {"/p/x.png/readme", "x.png/readme", outputSettings(1, 1, "/out", true, 1), A::CopyUnchanged,
         F::Bmp, "/out/x.png/readme"},
        {"/s/set/r.TXT", "set/r.TXT", outputSettings(1, 1, "/out", false, 1), A::CopyUnchanged, F::Bmp,
         "/out/r.TXT"},
    };
    for (const PlanCase& c : cases) {
        SCOPED_TRACE(c.full);
        const OutputPlan plan = resolveOutput(c.full, c.relative, c.settings);
        EXPECT_EQ(plan.action, c.action);
        EXPECT_EQ(plan.targetPath, c.target);
        if (c.action == A::ConvertImage) {
            EXPECT_EQ(plan.sourceFormat, c.format);
        }
    }
}

TEST(ProcessEntry, ConvertsBesideSourcesAndBelowSaveDir) {
    TempDir dir;
    const std::string src = dir.file("src"), out = dir.file("out");
    ::mkdir(src.c_str(), 0777);
    ::mkdir((src + "/set1").c_str(), 0777);
    ::mkdir((src + "/set1/sub").c_str(), 0777);
    writeImage(src + "/set1/sub/A.Png", F::Png, 1);
    writeImage(src + "/set1/B.XYZ", F::Xyz, 2);

    // Beside the source; the new extension is lower case.
    EXPECT_EQ(processEntry(src + "/set1/sub/A.Png", "set1/sub/A.Png", outputSettings(2, 0)), S::Success);
    EXPECT_TRUE(holdsImage(src + "/set1/sub/A.xyz", F::Xyz, 1));
    EXPECT_EQ(processEntry(src + "/set1/B.XYZ", "set1/B.XYZ", outputSettings(0, 0)), S::Success);
    EXPECT_TRUE(holdsImage(src + "/set1/B.bmp", F::Bmp, 2));

    // Below SaveDir with the relative path; the missing folders are made.
    EXPECT_EQ(processEntry(src + "/set1/sub/A.Png", "set1/sub/A.Png", outputSettings(0, 1, out + "/")),
              S::Success);
    EXPECT_TRUE(holdsImage(out + "/set1/sub/A.bmp", F::Bmp, 1));
    // Only the name, directly in a SaveDir that does not exist yet.
    EXPECT_EQ(processEntry(src + "/set1/sub/A.Png", "set1/sub/A.Png",
                           outputSettings(1, 1, out + "/flat", false)),
              S::Success);
    EXPECT_EQ(test::listDir(out + "/flat"), std::vector<std::string>{"A.png"});
    EXPECT_TRUE(holdsImage(out + "/flat/A.png", F::Png, 1));
}

TEST(ProcessEntry, RewritesTheSourceInPlace) {
    TempDir dir;
    const std::string path = dir.file("a.png"), reference = dir.file("ref.bin");
    writeImage(path, F::Png, 3, 0);
    Settings s = outputSettings(1, 0);
    s.PngCompLv = 9;
    s.Filter = 0;
    IndexedImage image;
    makeImage(image, 3);
    ASSERT_TRUE(writePng(reference, image, 9, pngFilterMasks[0]));
    ASSERT_NE(test::readFile(path), test::readFile(reference));

    EXPECT_EQ(processEntry(path, "a.png", s), S::Success);
    EXPECT_EQ(test::readFile(path), test::readFile(reference));
    EXPECT_EQ(test::listDir(dir.path()), (std::vector<std::string>{"a.png", "ref.bin"}));
}

TEST(ProcessEntry, LaterSourceWinsASharedTarget) {
    TempDir dir;
    const std::string out = dir.file("out");
    for (const char* set : {"set1", "set2"}) ::mkdir(dir.file(set).c_str(), 0777);
    writeImage(dir.file("set1/a.png"), F::Png, 4);
    writeImage(dir.file("set2/a.png"), F::Png, 5);
    const Settings flat = outputSettings(0, 1, out, false);
    EXPECT_EQ(processEntry(dir.file("set1/a.png"), "set1/a.png", flat), S::Success);
    EXPECT_EQ(processEntry(dir.file("set2/a.png"), "set2/a.png", flat), S::Success);
    EXPECT_TRUE(holdsImage(out + "/a.bmp", F::Bmp, 5));

    // a.bmp and a.png beside each other both become a.xyz.
    writeImage(dir.file("set1/a.bmp"), F::Bmp, 6);
    EXPECT_EQ(processEntry(dir.file("set1/a.png"), "set1/a.png", outputSettings(2, 0)), S::Success);
    EXPECT_EQ(processEntry(dir.file("set1/a.bmp"), "set1/a.bmp", outputSettings(2, 0)), S::Success);
    EXPECT_TRUE(holdsImage(dir.file("set1/a.xyz"), F::Xyz, 6));
}

TEST(ProcessEntry, OtherTypesAreSkippedOrCopied) {
    TempDir dir;
    const std::string src = dir.file("set"), out = dir.file("out");
    ::mkdir(src.c_str(), 0777);
    test::writeFile(src + "/readme.txt", std::string("hello"));
    ::chmod((src + "/readme.txt").c_str(), 0741);

    EXPECT_EQ(processEntry(src + "/readme.txt", "set/readme.txt", outputSettings(1, 1, out)), S::Skipped);
    EXPECT_EQ(processEntry(src + "/readme.txt", "set/readme.txt", outputSettings(1, 0)), S::Skipped);
    EXPECT_EQ(test::listDir(dir.path()), std::vector<std::string>{"set"});
    EXPECT_EQ(test::listDir(src), std::vector<std::string>{"readme.txt"});

    EXPECT_EQ(processEntry(src + "/readme.txt", "set/readme.txt", outputSettings(1, 1, out, true, 1)),
              S::Success);
    EXPECT_EQ(processEntry(src + "/readme.txt", "set/readme.txt", outputSettings(1, 1, out, false, 1)),
              S::Success);
    for (const std::string& copy : {out + "/set/readme.txt", out + "/readme.txt"}) {
        EXPECT_EQ(test::readFile(copy), test::readFile(src + "/readme.txt")) << copy;
        EXPECT_EQ(modeOf(copy), 0741u) << copy;
    }

    // Beside itself the copy would land on the source: refused, file intact.
    EXPECT_EQ(processEntry(src + "/readme.txt", "set/readme.txt", outputSettings(1, 0, "", true, 1)),
              S::CopyFailed);
    EXPECT_EQ(test::readFile(src + "/readme.txt"), (Bytes{'h', 'e', 'l', 'l', 'o'}));
    EXPECT_EQ(test::listDir(src), std::vector<std::string>{"readme.txt"});
}

TEST(ProcessEntry, VanishedSourceFailsWithoutOutput) {
    TempDir dir;
    const std::string out = dir.file("out");
    EXPECT_EQ(processEntry(dir.file("gone.bmp"), "gone.bmp", outputSettings(1, 1, out)),
              S::UnsupportedFormat);
    EXPECT_EQ(processEntry(dir.file("gone.txt"), "gone.txt", outputSettings(1, 1, out, true, 1)),
              S::CopyFailed);
    EXPECT_TRUE(test::listDir(out).empty());
}

TEST(CopyFile, CopiesWholeFilesAndReplacesTargets) {
    TempDir dir;
    Bytes big(300 * 1024 + 13);
    std::mt19937 rng(7);
    for (auto& b : big) b = static_cast<std::uint8_t>(rng());
    test::writeFile(dir.file("big"), big);
    ::chmod(dir.file("big").c_str(), 0640);
    test::writeFile(dir.file("old"), std::string("previous contents"));
    ::chmod(dir.file("old").c_str(), 0600);

    EXPECT_TRUE(copyFile(dir.file("big"), dir.file("old")));
    EXPECT_EQ(test::readFile(dir.file("old")), big);
    EXPECT_EQ(modeOf(dir.file("old")), 0640u);

    test::writeFile(dir.file("empty"), Bytes{});
    EXPECT_TRUE(copyFile(dir.file("empty"), dir.file("empty2")));
    EXPECT_TRUE(test::exists(dir.file("empty2")));
    EXPECT_TRUE(test::readFile(dir.file("empty2")).empty());
}

TEST(CopyFile, RefusesTheSameFileHoweverSpelled) {
    TempDir dir;
    const std::string file = dir.file("f.dat");
    test::writeFile(file, std::string("keep"));
    ::mkdir(dir.file("sub").c_str(), 0777);
    ASSERT_EQ(::symlink(file.c_str(), dir.file("link").c_str()), 0);
    ASSERT_EQ(::link(file.c_str(), dir.file("hard").c_str()), 0);

    for (const std::string& target : {file, dir.file("sub/../f.dat"), dir.file("link"), dir.file("hard")}) {
        EXPECT_FALSE(copyFile(file, target)) << target;
        EXPECT_FALSE(copyFile(target, file)) << target;
    }
    EXPECT_EQ(test::readFile(file), (Bytes{'k', 'e', 'e', 'p'}));
    struct stat st {};
    ASSERT_EQ(::lstat(dir.file("link").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(test::listDir(dir.path()), (std::vector<std::string>{"f.dat", "hard", "link", "sub"}));
}

TEST(CopyFile, UnusableSourcesFailAndLeaveTheTarget) {
    TempDir dir;
    const std::string target = dir.file("t");
    test::writeFile(target, std::string("old"));
    ::mkdir(dir.file("folder").c_str(), 0777);
    ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0666), 0);
    EXPECT_FALSE(copyFile(dir.file("missing"), target));
    EXPECT_FALSE(copyFile(dir.file("folder"), target));
    // A FIFO with no writer must be refused, not waited on.
    EXPECT_EQ(test::runInChild([&] {
                  ::alarm(10);
                  return copyFile(dir.file("fifo"), target) ? 1 : 0;
              }),
              0);
    // A read error after the copy started: nothing partial may remain.
    const int mem = ::open("/proc/self/mem", O_RDONLY);
    if (mem >= 0) {
        ::close(mem);
        EXPECT_FALSE(copyFile("/proc/self/mem", target));
    }
    EXPECT_EQ(test::readFile(target), (Bytes{'o', 'l', 'd'}));
    EXPECT_EQ(test::listDir(dir.path()), (std::vector<std::string>{"fifo", "folder", "t"}));
}

TEST(CopyFile, PermissionFailuresLeaveNothing) {
    TempDir dir;
    const std::string locked = dir.file("locked.txt"), readonlyDir = dir.file("ro");
    const std::string out = dir.file("out"), source = dir.file("src.txt");
    test::writeFile(locked, std::string("secret"));
    test::writeFile(source, std::string("data"));
    ::chmod(locked.c_str(), 0);
    ::chmod(source.c_str(), 0644);
    ::mkdir(out.c_str(), 0777);
    ::chmod(out.c_str(), 0777);
    ::mkdir(readonlyDir.c_str(), 0777);
    test::writeFile(readonlyDir + "/src.txt", std::string("existing"));
    ::chmod(readonlyDir.c_str(), 0555);

    const int status = test::runInChild([&] {
        if (!test::dropPrivileges() || ::access(locked.c_str(), R_OK) == 0 ||
            ::access(readonlyDir.c_str(), W_OK) == 0) {
            return 77;
        }
        if (copyFile(locked, out + "/locked.txt")) return 1;
        if (!test::listDir(out).empty()) return 2;
        if (processEntry(source, "src.txt", outputSettings(0, 1, readonlyDir, true, 1)) != S::CopyFailed) {
            return 3;
        }
        if (test::listDir(readonlyDir) != std::vector<std::string>{"src.txt"}) return 4;
        return test::readFile(readonlyDir + "/src.txt") == Bytes{'e', 'x', 'i', 's', 't', 'i', 'n', 'g'} ? 0 : 5;
    });
    if (status == 77) GTEST_SKIP() << "permission bits cannot be made to apply here";
    EXPECT_EQ(status, 0);
}

}  // namespace
}  // namespace kelvara
