#include "io/image_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <numeric>
#include <random>

#include "support/test_support.h"

namespace kelvara {
namespace {

using test::Bytes;
using test::TempDir;

Bytes randomBytes(std::size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    Bytes bytes(n);
    for (auto& b : bytes) {
        b = static_cast<std::uint8_t>(rng());
    }
    return bytes;
}

TEST(ImageFileMemory, WritesAndSeeksAreClampedToTheBlock) {
    std::uint8_t block[10] = {};
    ImageFile file;
    ASSERT_TRUE(file.openMemory(block, sizeof block, true));
    EXPECT_FALSE(file.openMemory(block, sizeof block, true));  // already open

    file.seek(20, 0);
    EXPECT_EQ(file.position(), 10u);
    file.seek(4, 2);
    EXPECT_EQ(file.position(), 6u);
    const std::uint8_t eight[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(file.write(eight, 8), 4u);
    EXPECT_EQ(file.position(), 10u);
    EXPECT_TRUE(file.atEnd());
    EXPECT_EQ(block[6], 1);
    EXPECT_EQ(block[9], 4);
    file.seek(0, 7);  // unknown origin: nothing happens
    EXPECT_EQ(file.position(), 10u);

    std::uint8_t out[4];
    EXPECT_EQ(file.read(out, 4), 0u);  // a writable stream does not read
    file.close();
    file.close();
    EXPECT_FALSE(file.isOpen());
    EXPECT_EQ(file.size(), 0u);
}

TEST(ImageFileMemory, ReadsStopAtTheEndOfTheBlock) {
    std::uint8_t block[10];
    std::iota(block, block + 10, 0);
    ImageFile file;
    EXPECT_FALSE(file.openMemory(nullptr, 10, false));
    EXPECT_FALSE(file.openMemory(block, 0, false));
    ASSERT_TRUE(file.openMemory(block, sizeof block, false));

    std::uint8_t out[16] = {};
    EXPECT_EQ(file.write(out, 1), 0u);  // a read-only stream does not write
    EXPECT_EQ(file.read(nullptr, 4), 0u);
    EXPECT_EQ(file.read(out, 0), 0u);
    file.seek(7, 0);
    EXPECT_EQ(file.read(out, 16), 3u);
    EXPECT_EQ(out[0], 7);
    EXPECT_TRUE(file.atEnd());
    EXPECT_EQ(file.read(out, 1), 0u);
    file.seek(20, 0);
    EXPECT_EQ(file.read(out, 1), 0u);

    file.seek(2, 0);
    std::uint8_t a[3];
    std::uint8_t b[9];
    iovec parts[] = {{a, 3}, {b, 9}};
    EXPECT_EQ(file.readParts(parts, 2), 8u);
    EXPECT_EQ(a[0], 2);
    EXPECT_EQ(b[4], 9);
}

TEST(ImageFileRead, ReadsAcrossBufferBoundariesAndSeeks) {
    TempDir dir;
    const std::string path = dir.file("data.bin");
    const Bytes content = randomBytes(3 * ImageFile::kBufferSize + 123, 1);
    test::writeFile(path, content);

    ImageFile file;
    ASSERT_TRUE(file.open(path, false));
    EXPECT_FALSE(file.open(path, false));
    EXPECT_EQ(file.size(), content.size());

    // Mixed small and large reads must return the file's bytes in order.
    Bytes got;
    std::uint64_t sizes[] = {1, 7, 4096, ImageFile::kBufferSize + 5, 13, 2 * ImageFile::kBufferSize};
    for (std::size_t i = 0; !file.atEnd(); ++i) {
        Bytes chunk(sizes[i % 6]);
        const std::uint64_t n = file.read(chunk.data(), chunk.size());
        ASSERT_GT(n, 0u);
        got.insert(got.end(), chunk.begin(), chunk.begin() + static_cast<long>(n));
    }
    EXPECT_EQ(got, content);

    // Seeks back into and out of the buffered window.
    std::uint8_t byte = 0;
    for (std::uint64_t at : {std::uint64_t{5}, ImageFile::kBufferSize - 1, std::uint64_t{6},
                             content.size() - 1, ImageFile::kBufferSize * 2 + 17}) {
        file.seek(at, 0);
        ASSERT_EQ(file.read(&byte, 1), 1u);
        EXPECT_EQ(byte, content[at]) << "at " << at;
    }
    file.seek(1, 2);
    EXPECT_EQ(file.position(), content.size() - 1);
    file.seek(100, 1);
    EXPECT_TRUE(file.atEnd());
    file.seek(content.size() + 1, 2);
    EXPECT_EQ(file.position(), 0u);

    // Scatter read straight into separate rows.
    file.seek(10, 0);
    Bytes rowA(5000), rowB(3), rowC(ImageFile::kBufferSize);
    iovec parts[] = {{rowA.data(), rowA.size()}, {rowB.data(), rowB.size()}, {rowC.data(), rowC.size()}};
    EXPECT_EQ(file.readParts(parts, 3), rowA.size() + rowB.size() + rowC.size());
    EXPECT_TRUE(std::equal(rowA.begin(), rowA.end(), content.begin() + 10));
    EXPECT_TRUE(std::equal(rowC.begin(), rowC.end(), content.begin() + 10 + 5003));
    EXPECT_FALSE(file.failed());
}

TEST(ImageFileRead, AFileThatShrinksAfterOpeningEndsTheStream) {
    TempDir dir;
    const std::string path = dir.file("shrinks.bin");
    test::writeFile(path, randomBytes(200000, 2));
    ImageFile file;
    ASSERT_TRUE(file.open(path, false));
    ASSERT_EQ(::truncate(path.c_str(), 1000), 0);

    Bytes out(300000);
    EXPECT_EQ(file.read(out.data(), out.size()), 1000u);
    EXPECT_TRUE(file.atEnd());  // a reader looping until the end stops
    EXPECT_EQ(file.read(out.data(), 1), 0u);
}

TEST(ImageFileRead, OnlyRegularFilesOpen) {
    TempDir dir;
    ImageFile file;
    EXPECT_FALSE(file.open(dir.file("missing"), false));
    EXPECT_FALSE(file.open(dir.path(), false));
    ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);
    EXPECT_FALSE(file.open(dir.file("fifo"), false));  // and does not block
    EXPECT_FALSE(file.isOpen());
}

TEST(ImageFileWrite, NothingAppearsUntilCommit) {
    TempDir dir;
    const std::string path = dir.file("out.bin");
    const Bytes content = randomBytes(3 * ImageFile::kBufferSize, 3);

    ImageFile file;
    ASSERT_TRUE(file.open(path, true));
    EXPECT_TRUE(file.isWritable());
    EXPECT_EQ(file.size(), 0u);
    std::uint8_t probe = 0;
    EXPECT_EQ(file.read(&probe, 1), 0u);

    // Small buffered writes, a large direct one and a gather write, in order.
    EXPECT_EQ(file.write(content.data(), 10), 10u);
    EXPECT_EQ(file.write(content.data() + 10, ImageFile::kBufferSize), ImageFile::kBufferSize);
    const std::size_t at = 10 + ImageFile::kBufferSize;
    iovec parts[] = {{const_cast<std::uint8_t*>(content.data() + at), 100},
                     {const_cast<std::uint8_t*>(content.data() + at + 100), content.size() - at - 100}};
    EXPECT_EQ(file.writeParts(parts, 2), content.size() - at);
    EXPECT_EQ(file.position(), content.size());
    EXPECT_FALSE(test::exists(path));

    ASSERT_TRUE(file.commit());
    EXPECT_FALSE(file.isOpen());
    EXPECT_EQ(test::readFile(path), content);
}

TEST(ImageFileWrite, SeekOnAWriteStreamReturnsToTheStart) {
    TempDir dir;
    const std::string path = dir.file("seek.bin");
    ImageFile file;
    ASSERT_TRUE(file.open(path, true));
    file.write("abcdef", 6);
    file.seek(3, 0);  // the size of a file opened for writing is 0
    EXPECT_EQ(file.position(), 0u);
    file.write("XY", 2);
    ASSERT_TRUE(file.commit());
    EXPECT_EQ(test::readFile(path), (Bytes{'X', 'Y', 'c', 'd', 'e', 'f'}));
}

TEST(ImageFileWrite, CloseWithoutCommitKeepsTheOldFile) {
    TempDir dir;
    const std::string path = dir.file("keep.bin");
    test::writeFile(path, std::string("original"));
    {
        ImageFile file;
        ASSERT_TRUE(file.open(path, true));
        file.write("new", 3);
    }  // destroyed without commit
    EXPECT_EQ(test::readFile(path), (Bytes{'o', 'r', 'i', 'g', 'i', 'n', 'a', 'l'}));
    EXPECT_EQ(test::listDir(dir.path()), std::vector<std::string>{"keep.bin"});
}

}  // namespace
}  // namespace kelvara
