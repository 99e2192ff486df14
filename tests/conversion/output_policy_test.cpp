#include "conversion/output_policy.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
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
using Names = std::vector<std::string>;

Settings output(int saveMode, int saveDirFlag, std::string saveDir = {}, bool reproduce = true,
                int unknown = 0) {
    return {.SaveMode = saveMode,
            .SaveDirFlag = saveDirFlag,
            .UnKnownFlag = unknown,
            .ReproduceDir = reproduce,
            .SaveDir = std::move(saveDir),
            .LastDir = {}};
}

// A width x 3 image: where a converted file came from shows in its width.
void writeImage(const std::string& path, F kind, std::uint32_t width, int pngLevel = 6,
                std::uint32_t pngFilters = 0xF8) {
    IndexedImage image;
    image.setSize(width, 3);
    image.pixels()[image.pixelCount() - 1] = 200;
    ASSERT_TRUE(kind == F::Bmp   ? writeBmp(path, image)
                : kind == F::Png ? writePng(path, image, pngLevel, pngFilters)
                                 : writeXyz(path, image, 6));
}

// The width of the image at path as the reader of kind sees it; 0 if unreadable.
int widthOf(const std::string& path, F kind) {
    IndexedImage image;
    const bool read = kind == F::Bmp   ? readBmp(path, image)
                      : kind == F::Png ? readPng(path, image)
                                       : readXyz(path, image);
    return read ? image.width() : 0;
}

mode_t modeOf(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

TEST(ResolveOutput, DecidesActionFormatAndTarget) {
    // Each source lies in a base folder one level below the root.
    struct Case {
        const char* full;
        Settings settings;
        A action;
        F format;
        const char* target;
    } const cases[] = {
        {"/p/a.bmp", output(1, 0), A::ConvertImage, F::Bmp, "/p/a.png"},
        {"/p/a.bmp", output(0, 0), A::ConvertImage, F::Bmp, "/p/a.bmp"},
        {"/s/set1/sub/a.png", output(0, 1, "/out"), A::ConvertImage, F::Png, "/out/set1/sub/a.bmp"},
        {"/s/set1/sub/a.png", output(0, 1, "/out", false), A::ConvertImage, F::Png, "/out/a.bmp"},
        {"/s/set1/a.png", output(2, 1, "/out/"), A::ConvertImage, F::Png, "/out//set1/a.xyz"},
        {"/s/a.png", output(0, 1, ""), A::ConvertImage, F::Png, "/a.bmp"},
        {"/p/A.Png", output(2, 0), A::ConvertImage, F::Png, "/p/A.xyz"},
        {"/p/B.XYZ", output(0, 0), A::ConvertImage, F::Xyz, "/p/B.bmp"},
        {"/p/c.bMp", output(0, 0), A::ConvertImage, F::Bmp, "/p/c.bmp"},
        {"/p/a.tar.bmp", output(1, 0), A::ConvertImage, F::Bmp, "/p/a.tar.png"},
        // A backslash is part of a POSIX file name, not a separator.
        {"/p/x\\y.bmp", output(1, 1, "/out", false), A::ConvertImage, F::Bmp, "/out/x\\y.png"},
        // An out-of-range target kind writes the default, BMP.
        {"/p/a.png", output(7, 0), A::ConvertImage, F::Png, "/p/a.bmp"},
        {"/p/bmp", output(1, 0), A::SkipEntry, F::Bmp, ""},
        {"/p/a.bmp.bak", output(1, 0), A::SkipEntry, F::Bmp, ""},
        {"/p/a.bmpx", output(1, 0), A::SkipEntry, F::Bmp, ""},
        {"/p/a.bm", output(1, 0), A::SkipEntry, F::Bmp, ""},
        {"/p/x.png/readme", output(1, 1, "/out"), A::SkipEntry, F::Bmp, ""},
        {"/p/bmp", output(1, 0, "", true, 1), A::CopyUnchanged, F::Bmp, "/p/bmp"},
        {"/p/x.png/readme", output(1, 1, "/out", true, 1), A::CopyUnchanged, F::Bmp,
         "/out/x.png/readme"},
        {"/s/set/r.TXT", output(1, 1, "/out", false, 1), A::CopyUnchanged, F::Bmp, "/out/r.TXT"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.full);
        const std::string full = c.full, relative = full.substr(full.find('/', 1) + 1);
        const OutputPlan plan = resolveOutput(full, relative, c.settings);
        EXPECT_EQ(plan.action, c.action);
        EXPECT_EQ(plan.targetPath, c.target);
        if (c.action == A::ConvertImage) {
            EXPECT_EQ(plan.sourceFormat, c.format);
        }
    }
}

TEST(ProcessEntry, WritesEachTargetWhereThePolicySays) {
    TempDir dir;
    const std::string src = dir.file("s"), out = dir.file("out");
    std::filesystem::create_directories(src + "/set1/sub");
    std::filesystem::create_directories(src + "/set2");
    writeImage(src + "/set1/sub/A.Png", F::Png, 1);
    writeImage(src + "/set1/B.XYZ", F::Xyz, 2);
    writeImage(src + "/set2/B.xyz", F::Xyz, 3);
    struct Step {
        const char* relative;
        Settings settings;
        const char* target;
        F kind;
        int width;
    } const steps[] = {
        // Beside the source, with a lower-case extension.
        {"set1/sub/A.Png", output(2, 0), "s/set1/sub/A.xyz", F::Xyz, 1},
        {"set1/B.XYZ", output(0, 0), "s/set1/B.bmp", F::Bmp, 2},
        // Below SaveDir (ending in a separator), the missing folders made.
        {"set1/sub/A.Png", output(0, 1, out + "/"), "out/set1/sub/A.bmp", F::Bmp, 1},
        // Only the name, in a SaveDir that does not exist yet; the later
        // of two sources with the same target wins.
        {"set1/sub/A.Png", output(1, 1, out + "/flat", false), "out/flat/A.png", F::Png, 1},
        {"set1/B.XYZ", output(0, 1, out + "/flat", false), "out/flat/B.bmp", F::Bmp, 2},
        {"set2/B.xyz", output(0, 1, out + "/flat", false), "out/flat/B.bmp", F::Bmp, 3},
    };
    for (const Step& s : steps) {
        EXPECT_EQ(processEntry(src + "/" + s.relative, s.relative, s.settings), S::Success);
        EXPECT_EQ(widthOf(dir.file(s.target), s.kind), s.width) << s.target;
    }
    EXPECT_EQ(test::listDir(out + "/flat"), (Names{"A.png", "B.bmp"}));
}

TEST(ProcessEntry, RewritesTheSourceInPlaceWithTheSettings) {
    TempDir dir;
    const std::string path = dir.file("a.png"), reference = dir.file("ref.bin");
    writeImage(path, F::Png, 3, 0);
    writeImage(reference, F::Png, 3, 9, pngFilterMasks[0]);
    ASSERT_NE(test::readFile(path), test::readFile(reference));
    Settings s = output(1, 0);
    s.PngCompLv = 9;
    s.Filter = 0;
    EXPECT_EQ(processEntry(path, "a.png", s), S::Success);
    EXPECT_EQ(test::readFile(path), test::readFile(reference));
    EXPECT_EQ(test::listDir(dir.path()), (Names{"a.png", "ref.bin"}));
}

TEST(ProcessEntry, OtherTypesAreSkippedOrCopied) {
    TempDir dir;
    const std::string file = dir.file("set/readme.txt"), out = dir.file("out");
    ::mkdir(dir.file("set").c_str(), 0777);
    ::mkdir(out.c_str(), 0777);
    Bytes big(300 * 1024 + 13);  // more than two copy chunks
    std::mt19937 rng(7);
    std::generate(big.begin(), big.end(), [&] { return static_cast<std::uint8_t>(rng()); });
    test::writeFile(file, big);
    ::chmod(file.c_str(), 0741);
    test::writeFile(out + "/readme.txt", std::string("old"));  // replaced, mode and all
    ::chmod((out + "/readme.txt").c_str(), 0600);
    const auto entry = [&](const Settings& s) { return processEntry(file, "set/readme.txt", s); };

    EXPECT_EQ(entry(output(1, 1, out)), S::Skipped);
    EXPECT_EQ(entry(output(1, 0)), S::Skipped);
    EXPECT_EQ(test::listDir(out), Names{"readme.txt"});
    EXPECT_EQ(entry(output(1, 1, out, true, 1)), S::Success);
    EXPECT_EQ(entry(output(1, 1, out, false, 1)), S::Success);
    for (const std::string& copy : {out + "/set/readme.txt", out + "/readme.txt"}) {
        EXPECT_EQ(test::readFile(copy), big) << copy;
        EXPECT_EQ(modeOf(copy), 0741u) << copy;
    }
    // Beside itself the copy would land on the source: nothing to do, file intact.
    EXPECT_EQ(entry(output(1, 0, "", true, 1)), S::Skipped);
    EXPECT_EQ(test::readFile(file), big);
    EXPECT_EQ(test::listDir(dir.file("set")), Names{"readme.txt"});
    EXPECT_EQ(processEntry(dir.file("gone.txt"), "gone.txt", output(1, 1, out, true, 1)),
              S::CopyFailed);
}

TEST(CopyFile, RefusalsAndFailuresTouchNothing) {
    TempDir dir;
    const std::string file = dir.file("f.dat");
    test::writeFile(file, std::string("keep"));
    ::mkdir(dir.file("sub").c_str(), 0777);
    ASSERT_EQ(::symlink(file.c_str(), dir.file("link").c_str()), 0);
    ASSERT_EQ(::link(file.c_str(), dir.file("hard").c_str()), 0);
    ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0666), 0);

    // The same file (device and inode), however spelled, either way round.
    for (const std::string& same :
         {file, dir.file("sub/../f.dat"), dir.file("link"), dir.file("hard")}) {
        EXPECT_EQ(copyFile(file, same), CopyResult::SameFile) << same;
        EXPECT_EQ(copyFile(same, file), CopyResult::SameFile) << same;
    }
    // Sources that are missing, a folder, a FIFO without a writer (refused,
    // not waited on) or fail after the copy started.
    EXPECT_NE(copyFile(dir.file("missing"), file), CopyResult::Copied);
    EXPECT_NE(copyFile(dir.file("sub"), file), CopyResult::Copied);
    EXPECT_EQ(test::runInChild([&] {
                  ::alarm(10);
                  return copyFile(dir.file("fifo"), file) == CopyResult::Copied ? 1 : 0;
              }),
              0);
    EXPECT_NE(copyFile("/proc/self/mem", file), CopyResult::Copied);

    EXPECT_EQ(test::readFile(file), (Bytes{'k', 'e', 'e', 'p'}));
    struct stat st {};
    EXPECT_TRUE(::lstat(dir.file("link").c_str(), &st) == 0 && S_ISLNK(st.st_mode));
    EXPECT_EQ(test::listDir(dir.path()), (Names{"f.dat", "fifo", "hard", "link", "sub"}));
}

}  // namespace
}  // namespace kelvara
