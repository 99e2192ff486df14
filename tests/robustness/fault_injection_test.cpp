// Conversion runs under faults: a disk that fills up, missing permissions,
// and sources that change between gathering and converting.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <ostream>
#include <cstring>
#include <string>
#include <vector>

#include "conversion/conversion_job.h"
#include "conversion/output_policy.h"
#include "filelist/file_list.h"
#include "filelist/gather.h"
#include "robust_support.h"

namespace kelvara {
// Test names show the target format by its extension.
static void PrintTo(ImageFormat format, std::ostream* out) { *out << robust::extensionOf(format); }
}  // namespace kelvara

namespace kelvara::robust {
namespace {

using test::Bytes;

Bytes randomBytes(std::size_t n, std::uint32_t seed) {
    Bytes bytes(n);
    for (std::size_t i = 0; i < n; ++i) {
        seed = seed * 1103515245u + 12345u;
        bytes[i] = static_cast<std::uint8_t>(seed >> 16);
    }
    return bytes;
}

ConvertStatus statusAt(const std::array<int, 16>& results, std::size_t i) {
    return static_cast<ConvertStatus>(results[i]);
}

// --- A disk that fills up -------------------------------------------------

class DiskFull : public ::testing::TestWithParam<ImageFormat> {};

TEST_P(DiskFull, FailedWritesLeaveNothingAndTheRunGoesOn) {
    const ImageFormat target = GetParam();
    const std::string ext = extensionOf(target);
    test::TempDir dir;
    ::mkdir(dir.file("src").c_str(), 0777);
    ::mkdir(dir.file("out").c_str(), 0777);
    const std::string src = dir.file("src") + "/";
    const std::string out = dir.file("out") + "/";

    // Noise does not compress: a large image overflows the limit in every
    // format, a small one fits.
    constexpr rlim_t kLimit = 64 * 1024;
    IndexedImage small1, large1, large2, small2, large3, small3, old1, old2;
    fillImage(small1, 48, 48, 1);
    fillImage(large1, 400, 400, 2);
    fillImage(large2, 400, 400, 3);
    fillImage(small2, 40, 40, 4);
    fillImage(large3, 400, 400, 5);
    fillImage(small3, 32, 32, 6);
    fillImage(old1, 40, 40, 7);
    fillImage(old2, 30, 30, 8);
    ASSERT_TRUE(writeImage(src + "a-small.png", ImageFormat::Png, small1));
    ASSERT_TRUE(writeImage(src + "b-large.xyz", ImageFormat::Xyz, large1));
    ASSERT_TRUE(writeImage(src + "c-large.bmp", ImageFormat::Bmp, large2));
    ASSERT_TRUE(writeImage(out + "c-large." + ext, target, old1));  // an older output
    ASSERT_TRUE(writeImage(src + "d-small.xyz", ImageFormat::Xyz, small2));
    ASSERT_TRUE(writeImage(out + "d-small." + ext, target, old2));
    ASSERT_TRUE(writeImage(src + "e-large." + ext, target, large3, 0));  // converted in place
    test::writeFile(src + "f-notes.dat", randomBytes(200 * 1024, 9));
    ASSERT_TRUE(writeImage(src + "g-small.png", ImageFormat::Png, small3));
    test::writeFile(src + "h-notes.txt", randomBytes(2048, 10));
    const Snapshot before = snapshot(dir.path());

    struct Entry {
        std::string name;
        bool inPlace;
        ConvertStatus expected;
    };
    const std::vector<Entry> entries = {
        {"a-small.png", false, ConvertStatus::Success},
        {"b-large.xyz", false, ConvertStatus::WriteError},
        {"c-large.bmp", false, ConvertStatus::WriteError},
        {"d-small.xyz", false, ConvertStatus::Success},
        {"e-large." + ext, true, ConvertStatus::WriteError},
        {"f-notes.dat", false, ConvertStatus::CopyFailed},
        {"g-small.png", false, ConvertStatus::Success},
        {"h-notes.txt", false, ConvertStatus::Success},
    };
    const Settings intoOut = outputSettings(target, true, dir.file("out"));
    const Settings beside = outputSettings(target, false);

    Shared<std::array<int, 16>> results;
    const int exit = test::runInChild([&] {
        const rlimit limit{kLimit, kLimit};
        ::signal(SIGXFSZ, SIG_IGN);  // writes past the limit fail with EFBIG instead
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) {
            return 1;
        }
        for (std::size_t i = 0; i < entries.size(); ++i) {
            const Entry& e = entries[i];
            (*results)[i] =
                static_cast<int>(processEntry(src + e.name, e.name, e.inPlace ? beside : intoOut));
        }
        return 0;
    });
    ASSERT_EQ(exit, 0);
    for (std::size_t i = 0; i < entries.size(); ++i) {
        EXPECT_EQ(statusAt(*results, i), entries[i].expected) << entries[i].name;
    }

    // Every source and the older output of the failed entry are as they
    // were; the replaced output and the new ones are complete.
    Snapshot after = snapshot(dir.path());
    EXPECT_EQ(countTemporaries(after), 0);
    EXPECT_TRUE(holdsImage(out + "a-small." + ext, target, small1));
    EXPECT_TRUE(holdsImage(out + "d-small." + ext, target, small2));
    EXPECT_TRUE(holdsImage(out + "g-small." + ext, target, small3));
    EXPECT_EQ(after["out/h-notes.txt"].bytes, test::readFile(src + "h-notes.txt"));
    for (const char* written : {"a-small.", "d-small.", "g-small."}) {
        after.erase("out/" + std::string(written) + ext);
    }
    after.erase("out/h-notes.txt");
    Snapshot expected = before;
    expected.erase("out/d-small." + ext);
    EXPECT_EQ(after, expected);  // nothing else appeared, changed or vanished
}

INSTANTIATE_TEST_SUITE_P(EachTarget, DiskFull,
                         ::testing::Values(ImageFormat::Bmp, ImageFormat::Png, ImageFormat::Xyz),
                         [](const auto& info) { return std::string(extensionOf(info.param)); });

// --- Permissions ----------------------------------------------------------

TEST(Permissions, EachRefusalGivesItsStatusAndTouchesNothingElse) {
    test::TempDir dir;
    const std::string root = dir.path() + "/";
    for (const char* folder : {"src", "tree", "tree/locked", "tree/open", "out", "ro"}) {
        ::mkdir((root + folder).c_str(), 0777);
    }
    IndexedImage image;
    fillImage(image, 16, 16, 1);
    for (const char* file :
         {"src/ok.bmp", "src/secret.bmp", "tree/a.bmp", "tree/locked/b.bmp", "tree/open/c.bmp"}) {
        ASSERT_TRUE(writeImage(root + file, ImageFormat::Bmp, image));
    }
    test::writeFile(root + "src/secret.dat", std::string("private"));
    test::writeFile(root + "src/notes.txt", std::string("notes"));
    test::writeFile(root + "plain", std::string("a file where a folder is expected"));
    ::chmod((root + "src/secret.bmp").c_str(), 0);
    ::chmod((root + "src/secret.dat").c_str(), 0);
    ::chmod((root + "tree/locked").c_str(), 0);
    ::chmod((root + "ro").c_str(), 0555);
    ::chmod((root + "out").c_str(), 0777);
    const Snapshot before = snapshot(dir.path());

    const Settings intoOut = outputSettings(ImageFormat::Png, true, root + "out");
    const Settings intoReadOnly = outputSettings(ImageFormat::Png, true, root + "ro");
    const Settings underFile = outputSettings(ImageFormat::Png, true, root + "plain");
    struct Report {
        std::array<int, 16> status;
        int rows;
        char relative[4][64];
    };
    Shared<Report> report;
    const int exit = test::runInChild([&] {
        if (!test::dropPrivileges()) {
            return kCannotDropPrivileges;
        }
        Report& r = *report;
        r.status[0] =
            static_cast<int>(processEntry(root + "src/secret.bmp", "secret.bmp", intoOut));
        r.status[1] =
            static_cast<int>(processEntry(root + "src/secret.dat", "secret.dat", intoOut));
        FileList list;
        gatherPath(list, root + "tree", {});
        r.rows = list.rowCount();
        for (int i = 0; i < list.rowCount() && i < 4; ++i) {
            const std::string relative = list.cellText(i, kColumnRelativePath);
            std::strncpy(r.relative[i], relative.c_str(), sizeof r.relative[i] - 1);
            r.status[2 + i] = static_cast<int>(
                processEntry(list.cellText(i, kColumnFullPath), relative, intoOut));
        }
        r.status[6] = static_cast<int>(processEntry(root + "src/ok.bmp", "ok.bmp", intoReadOnly));
        r.status[7] =
            static_cast<int>(processEntry(root + "src/ok.bmp", "sub/ok.bmp", intoReadOnly));
        r.status[8] =
            static_cast<int>(processEntry(root + "src/notes.txt", "notes.txt", intoReadOnly));
        r.status[9] = static_cast<int>(processEntry(root + "src/ok.bmp", "ok.bmp", underFile));
        r.status[10] =
            static_cast<int>(processEntry(root + "src/notes.txt", "notes.txt", underFile));
        return 0;
    });
    if (exit == kCannotDropPrivileges) {
        GTEST_SKIP() << "cannot switch to an unprivileged user";
    }
    ASSERT_EQ(exit, 0);
    const Report& r = *report;
    EXPECT_EQ(statusAt(r.status, 0), ConvertStatus::UnsupportedFormat);  // unreadable image
    EXPECT_EQ(statusAt(r.status, 1), ConvertStatus::CopyFailed);         // unreadable other file
    // The unreadable folder contributes nothing; the walk goes on past it.
    ASSERT_EQ(r.rows, 2);
    EXPECT_STREQ(r.relative[0], "tree/a.bmp");
    EXPECT_STREQ(r.relative[1], "tree/open/c.bmp");
    EXPECT_EQ(statusAt(r.status, 2), ConvertStatus::Success);
    EXPECT_EQ(statusAt(r.status, 3), ConvertStatus::Success);
    EXPECT_EQ(statusAt(r.status, 6), ConvertStatus::WriteError);  // read-only output folder
    EXPECT_EQ(statusAt(r.status, 7), ConvertStatus::WriteError);  // ... and a folder to make in it
    EXPECT_EQ(statusAt(r.status, 8), ConvertStatus::CopyFailed);
    EXPECT_EQ(statusAt(r.status, 9), ConvertStatus::WriteError);  // the parent is a file
    EXPECT_EQ(statusAt(r.status, 10), ConvertStatus::CopyFailed);

    Snapshot after = snapshot(dir.path());
    EXPECT_TRUE(holdsImage(root + "out/tree/a.png", ImageFormat::Png, image));
    EXPECT_TRUE(holdsImage(root + "out/tree/open/c.png", ImageFormat::Png, image));
    for (const char* made :
         {"out/tree", "out/tree/a.png", "out/tree/open", "out/tree/open/c.png"}) {
        EXPECT_EQ(after.erase(made), 1u) << made;
    }
    EXPECT_EQ(after, before);
}

// --- Sources that change under the run -----------------------------------

// Runs every task on the worker itself, as a terminal would.
class InlineOwner final : public JobOwner {
  public:
    void runOnOwnerThread(const std::function<void()>& task) override { task(); }
    void setEnabled(bool) override {}
    void openProgress(int) override {}
    void advanceProgress(const std::string&) override {}
    void closeProgress() override {}
    void dropTopmost() override {}
};

TEST(ChangingSources, DeletedTruncatedOrReplacedAfterGathering) {
    test::TempDir dir;
    const std::string src = dir.file("src") + "/";
    ::mkdir(dir.file("src").c_str(), 0777);
    IndexedImage keep1, keep2, half, cut, other;
    fillImage(keep1, 20, 20, 1);
    fillImage(keep2, 24, 12, 2);
    fillImage(half, 64, 64, 3);
    fillImage(cut, 64, 64, 4);
    fillImage(other, 8, 8, 5);
    ASSERT_TRUE(writeImage(src + "keep1.bmp", ImageFormat::Bmp, keep1));
    ASSERT_TRUE(writeImage(src + "keep2.xyz", ImageFormat::Xyz, keep2));
    ASSERT_TRUE(writeImage(src + "half.bmp", ImageFormat::Bmp, half));
    ASSERT_TRUE(writeImage(src + "cut.png", ImageFormat::Png, cut));
    for (const char* name : {"gone.png", "empty.xyz", "fifo.bmp", "folder.xyz"}) {
        const std::string ext = std::string(name).substr(std::string(name).rfind('.') + 1);
        const ImageFormat format = ext == "png"   ? ImageFormat::Png
                                   : ext == "xyz" ? ImageFormat::Xyz
                                                  : ImageFormat::Bmp;
        ASSERT_TRUE(writeImage(src + name, format, other));
    }
    test::writeFile(src + "gone.dat", std::string("data"));

    FileList list;
    gatherPath(list, dir.file("src"), {});
    ASSERT_EQ(list.rowCount(), 9);

    // Between gathering and converting:
    ::unlink((src + "gone.png").c_str());
    ::unlink((src + "gone.dat").c_str());
    ::truncate((src + "empty.xyz").c_str(), 0);
    ::truncate((src + "half.bmp").c_str(), 14 + 40 + 1024 + 20 * 64);  // inside the rows
    ::truncate((src + "cut.png").c_str(),
               static_cast<off_t>(test::readFile(src + "cut.png").size() / 2));
    ::unlink((src + "fifo.bmp").c_str());
    ASSERT_EQ(::mkfifo((src + "fifo.bmp").c_str(), 0666), 0);  // would block a plain open
    ::unlink((src + "folder.xyz").c_str());
    ::mkdir((src + "folder.xyz").c_str(), 0777);

    Settings settings = outputSettings(ImageFormat::Xyz, true, dir.file("out"));
    InlineOwner owner;
    ConversionJob job(list, settings, owner);
    job.start(false);
    job.wait();
    ASSERT_EQ(job.done(), 9);

    const std::vector<std::pair<std::string, ConvertStatus>> expected = {
        {"src/keep1.bmp", ConvertStatus::Success},
        {"src/keep2.xyz", ConvertStatus::Success},
        {"src/half.bmp", ConvertStatus::UnsupportedFormat},  // rows missing
        {"src/cut.png", ConvertStatus::UnsupportedFormat},
        {"src/gone.png", ConvertStatus::UnsupportedFormat},
        {"src/empty.xyz", ConvertStatus::UnsupportedFormat},
        {"src/fifo.bmp", ConvertStatus::UnsupportedFormat},
        {"src/folder.xyz", ConvertStatus::UnsupportedFormat},
        {"src/gone.dat", ConvertStatus::CopyFailed},
    };
    for (const auto& [relative, status] : expected) {
        int row = -1;
        for (int i = 0; i < list.rowCount(); ++i) {
            if (list.cellText(i, kColumnRelativePath) == relative) {
                row = i;
            }
        }
        ASSERT_GE(row, 0) << relative;
        EXPECT_EQ(list.cellText(row, kColumnStatus), statusText(status)) << relative;
    }

    // Only the entries that succeeded have outputs.
    EXPECT_EQ(test::listDir(dir.file("out/src")),
              (std::vector<std::string>{"keep1.xyz", "keep2.xyz"}));
    EXPECT_TRUE(holdsImage(dir.file("out/src/keep1.xyz"), ImageFormat::Xyz, keep1));
    EXPECT_TRUE(holdsImage(dir.file("out/src/keep2.xyz"), ImageFormat::Xyz, keep2));
}

}  // namespace
}  // namespace kelvara::robust
