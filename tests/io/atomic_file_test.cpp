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
using Names = std::vector<std::string>;

mode_t modeOf(const std::string& path) {
    struct stat st {};
    ::stat(path.c_str(), &st);
    return st.st_mode & 07777;
}

// Writes text at path, committing or abandoning; false when any step fails.
bool writeAtomically(const std::string& path, const std::string& text, bool commit = true,
                     bool named = false) {
    AtomicFileWriter writer;
    writer.useNamedTemporary(named);
    if (!writer.begin(path) || !writer.write(text.data(), text.size())) {
        return false;
    }
    if (!commit) {
        writer.abandon();
    }
    return writer.commit();
}

// Writes n bytes through ImageFile in small, buffered writes as the codecs
// do, and commits.
bool writeThroughImageFile(const std::string& path, std::size_t n) {
    ImageFile file;
    const Bytes chunk(4096, 0xAB);
    const bool opened = file.open(path, true);
    for (std::size_t done = 0; opened && done < n; done += chunk.size()) {
        file.write(chunk.data(), std::min(chunk.size(), n - done));
    }
    return opened && file.commit();
}

TEST(AtomicFileWriter, NewFilesFollowTheUmaskReplacedOnesKeepModeAndLink) {
    TempDir dir;
    const std::string fresh = dir.file("new.bin"), old = dir.file("old.bin");
    EXPECT_EQ(test::runInChild([&] {
                  ::umask(027);
                  return writeAtomically(fresh, "data") && modeOf(fresh) == 0640 ? 0 : 1;
              }),
              0);
    EXPECT_EQ(test::readFile(fresh), (Bytes{'d', 'a', 't', 'a'}));

    test::writeFile(old, std::string("old"));
    ::chmod(old.c_str(), 0604);
    ASSERT_EQ(::symlink("old.bin", dir.file("link.bin").c_str()), 0);
    AtomicFileWriter writer;
    ASSERT_TRUE(writer.begin(dir.file("link.bin")));
    ASSERT_TRUE(writer.write("newer", 5));
    EXPECT_EQ(test::readFile(old).size(), 3u);  // untouched until commit
    ASSERT_TRUE(writer.commit());
    EXPECT_EQ(test::readFile(old).size(), 5u);
    EXPECT_EQ(modeOf(old), 0604u);
    struct stat st {};
    EXPECT_TRUE(::lstat(dir.file("link.bin").c_str(), &st) == 0 && S_ISLNK(st.st_mode));
    EXPECT_EQ(test::listDir(dir.path()), (Names{"link.bin", "new.bin", "old.bin"}));
}

TEST(AtomicFileWriter, AbandonedWritesLeaveNothingAndNamedTemporariesAreHidden) {
    TempDir dir;
    const std::string path = dir.file("out.bin");
    test::writeFile(path, std::string("before"));
    for (const bool named : {false, true}) {
        EXPECT_FALSE(writeAtomically(path, "after", false, named));
    }
    EXPECT_EQ(test::readFile(path), (Bytes{'b', 'e', 'f', 'o', 'r', 'e'}));
    EXPECT_EQ(test::listDir(dir.path()), Names{"out.bin"});

    AtomicFileWriter writer;
    writer.useNamedTemporary(true);
    ASSERT_TRUE(writer.begin(path));
    const Names during = test::listDir(dir.path());
    ASSERT_EQ(during.size(), 2u);
    EXPECT_EQ(during[0].rfind(".kelvara-", 0), 0u) << during[0];
    writer.write("abc", 3);
    ASSERT_TRUE(writer.commit());
    EXPECT_EQ(test::listDir(dir.path()), Names{"out.bin"});
    EXPECT_EQ(test::readFile(path), (Bytes{'a', 'b', 'c'}));
}

TEST(AtomicFileWriter, RefusesTargetsThatCannotBeFiles) {
    TempDir dir;
    test::writeFile(dir.file("plain"), std::string("x"));
    AtomicFileWriter writer;
    for (const std::string& target :
         {dir.path(), dir.file("missing/out.bin"), dir.file("trailing/"), std::string("/dev/null"),
          dir.file("plain/out.bin")}) {
        EXPECT_FALSE(writer.begin(target)) << target;
    }
    EXPECT_EQ(test::listDir(dir.path()), Names{"plain"});
}

TEST(AtomicFileWriter, FailedWritesKeepTheOldFile) {
    TempDir dir;
    const std::string path = dir.file("image.bin");
    const Bytes old(5000, 0x11);
    test::writeFile(path, old);
    // A file-size limit makes writes past 64 KiB fail as on a full disk.
    EXPECT_EQ(test::runInChild([&] {
                  ::signal(SIGXFSZ, SIG_IGN);
                  const rlimit limit{64 * 1024, 64 * 1024};
                  ::setrlimit(RLIMIT_FSIZE, &limit);
                  const bool big = writeThroughImageFile(path, 1 << 20);
                  // And directly: begun, the write fails, and so does the commit.
                  AtomicFileWriter writer;
                  const Bytes bytes(1 << 20, 0xCD);
                  const bool refused = writer.begin(path) &&
                                       !writer.write(bytes.data(), bytes.size()) &&
                                       !writer.commit();
                  const bool small = writeThroughImageFile(dir.file("small.bin"), 1000);
                  return !big && refused && small ? 0 : 1;
              }),
              0);
    EXPECT_EQ(test::readFile(path), old);
    EXPECT_EQ(test::listDir(dir.path()), (Names{"image.bin", "small.bin"}));

    // Permissions, as an ordinary user: a read-only folder and a read-only file.
    const std::string folder = dir.file("readonly"), inside = folder + "/image.bin";
    ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
    test::writeFile(inside, old);
    ::chmod(inside.c_str(), 0666);
    ::chmod(folder.c_str(), 0555);
    ::chmod(path.c_str(), 0444);
    const int status = test::runInChild([&] {
        if (!test::dropPrivileges()) {
            return 77;
        }
        return writeThroughImageFile(inside, 100) || writeThroughImageFile(path, 100) ? 1 : 0;
    });
    if (status == 77) {
        GTEST_SKIP() << "cannot switch to an unprivileged user";
    }
    EXPECT_EQ(status, 0);
    EXPECT_EQ(test::readFile(inside), old);
    EXPECT_EQ(test::readFile(path), old);
    EXPECT_EQ(test::listDir(folder), Names{"image.bin"});
}

}  // namespace
}  // namespace kelvara
