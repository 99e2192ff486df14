#include "io/atomic_file.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "io/image_file.h"
#include "support/test_support.h"

namespace kelvara {
namespace {

using test::Bytes;
using test::TempDir;

mode_t modeOf(const std::string& path) {
    struct stat st {};
    ::stat(path.c_str(), &st);
    return st.st_mode & 07777;
}

// Writes n bytes through ImageFile, the way the codecs do, and commits.
bool writeThroughImageFile(const std::string& path, std::size_t n) {
    ImageFile file;
    if (!file.open(path, true)) {
        return false;
    }
    const Bytes chunk(4096, 0xAB);
    for (std::size_t done = 0; done < n; done += chunk.size()) {
        file.write(chunk.data(), std::min(chunk.size(), n - done));
    }
    return file.commit();
}

TEST(AtomicFileWriter, NewFilesGetTheUsualPermissions) {
    TempDir dir;
    const std::string path = dir.file("new.bin");
    const int status = test::runInChild([&] {
        ::umask(027);
        AtomicFileWriter writer;
        if (!writer.begin(path) || !writer.write("data", 4) || !writer.commit()) {
            return 1;
        }
        return modeOf(path) == 0640 ? 0 : 2;
    });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(test::readFile(path), (Bytes{'d', 'a', 't', 'a'}));
}

TEST(AtomicFileWriter, ReplacedFilesKeepTheirPermissions) {
    TempDir dir;
    const std::string path = dir.file("old.bin");
    test::writeFile(path, std::string("old"));
    ::chmod(path.c_str(), 0604);
    AtomicFileWriter writer;
    ASSERT_TRUE(writer.begin(path));
    ASSERT_TRUE(writer.write("newer", 5));
    EXPECT_EQ(test::readFile(path).size(), 3u);  // untouched until commit
    ASSERT_TRUE(writer.commit());
    EXPECT_EQ(test::readFile(path).size(), 5u);
    EXPECT_EQ(modeOf(path), 0604u);
    EXPECT_EQ(test::listDir(dir.path()), std::vector<std::string>{"old.bin"});
}

TEST(AtomicFileWriter, AbandonLeavesNothingBehind) {
    TempDir dir;
    const std::string path = dir.file("target.bin");
    test::writeFile(path, std::string("before"));
    {
        AtomicFileWriter writer;
        ASSERT_TRUE(writer.begin(path));
        writer.write("after", 5);
        writer.abandon();
        EXPECT_FALSE(writer.commit());
    }
    EXPECT_EQ(test::readFile(path), (Bytes{'b', 'e', 'f', 'o', 'r', 'e'}));
    EXPECT_EQ(test::listDir(dir.path()), std::vector<std::string>{"target.bin"});
}

TEST(AtomicFileWriter, NamedTemporaryIsHiddenAndRemoved) {
    TempDir dir;
    const std::string path = dir.file("out.bin");
    for (bool keep : {true, false}) {
        AtomicFileWriter writer;
        writer.useNamedTemporary(true);
        ASSERT_TRUE(writer.begin(path));
        writer.write("abc", 3);
        const auto during = test::listDir(dir.path());
        ASSERT_EQ(during.size(), keep ? 1u : 2u);
        EXPECT_EQ(during[0].rfind(".kelvara-", 0), 0u) << during[0];
        if (keep) {
            ASSERT_TRUE(writer.commit());
        } else {
            writer.abandon();
        }
    }
    EXPECT_EQ(test::listDir(dir.path()), std::vector<std::string>{"out.bin"});
    EXPECT_EQ(test::readFile(path), (Bytes{'a', 'b', 'c'}));
}

TEST(AtomicFileWriter, WritesThroughASymbolicLink) {
    TempDir dir;
    test::writeFile(dir.file("real.bin"), std::string("old"));
    ASSERT_EQ(::symlink("real.bin", dir.file("link.bin").c_str()), 0);
    AtomicFileWriter writer;
    ASSERT_TRUE(writer.begin(dir.file("link.bin")));
    writer.write("new", 3);
    ASSERT_TRUE(writer.commit());
    struct stat st {};
    ASSERT_EQ(::lstat(dir.file("link.bin").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(test::readFile(dir.file("real.bin")), (Bytes{'n', 'e', 'w'}));
}

TEST(AtomicFileWriter, RefusesTargetsThatCannotBeFiles) {
    TempDir dir;
    AtomicFileWriter writer;
    EXPECT_FALSE(writer.begin(dir.path()));                    // a folder
    EXPECT_FALSE(writer.begin(dir.file("missing/out.bin")));   // no such folder
    EXPECT_FALSE(writer.begin(dir.file("trailing/")));
    EXPECT_FALSE(writer.begin("/dev/null"));                   // not a regular file
    test::writeFile(dir.file("plain"), std::string("x"));
    EXPECT_FALSE(writer.begin(dir.file("plain/out.bin")));     // parent is a file
    EXPECT_EQ(test::listDir(dir.path()), std::vector<std::string>{"plain"});
}

TEST(AtomicFileWriter, AFullDiskFailsTheWriteAndKeepsTheOldFile) {
    TempDir dir;
    const std::string path = dir.file("image.bin");
    const Bytes old(5000, 0x11);
    test::writeFile(path, old);

    // A file-size limit makes writes past 64 KiB fail as on a full disk.
    const int status = test::runInChild([&] {
        ::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{64 * 1024, 64 * 1024};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        const bool big = writeThroughImageFile(path, 1 << 20);
        const bool small = writeThroughImageFile(dir.file("small.bin"), 1000);
        return !big && small ? 0 : 1;
    });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(test::readFile(path), old);
    EXPECT_EQ(test::listDir(dir.path()), (std::vector<std::string>{"image.bin", "small.bin"}));
}

TEST(AtomicFileWriter, PermissionsAreRespected) {
    TempDir dir;
    const std::string folder = dir.file("readonly");
    ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
    const std::string inside = folder + "/image.bin";
    test::writeFile(inside, std::string("keep"));
    const std::string lockedFile = dir.file("locked.bin");
    test::writeFile(lockedFile, std::string("keep"));
    ::chmod(lockedFile.c_str(), 0444);
    ::chmod(inside.c_str(), 0666);
    ::chmod(folder.c_str(), 0555);

    const int status = test::runInChild([&] {
        if (!test::dropPrivileges()) {
            return 77;
        }
        const bool intoReadOnlyFolder = writeThroughImageFile(inside, 100);
        const bool overReadOnlyFile = writeThroughImageFile(lockedFile, 100);
        return !intoReadOnlyFolder && !overReadOnlyFile ? 0 : 1;
    });
    if (status == 77) {
        GTEST_SKIP() << "cannot switch to an unprivileged user";
    }
    EXPECT_EQ(status, 0);
    EXPECT_EQ(test::readFile(inside), (Bytes{'k', 'e', 'e', 'p'}));
    EXPECT_EQ(test::readFile(lockedFile), (Bytes{'k', 'e', 'e', 'p'}));
    EXPECT_EQ(test::listDir(folder), std::vector<std::string>{"image.bin"});
    EXPECT_EQ(test::listDir(dir.path()), (std::vector<std::string>{"locked.bin", "readonly"}));
}

}  // namespace
}  // namespace kelvara
