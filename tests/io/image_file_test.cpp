#include "io/image_file.h"

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

TEST(ImageFileMemory, ReadsWritesAndSeeksAreClampedToTheBlock) {
    std::uint8_t block[10];
    std::iota(block, block + 10, 0);
    std::uint8_t out[16] = {};
    ImageFile file;
    EXPECT_FALSE(file.openMemory(nullptr, 10, true));
    ASSERT_TRUE(file.openMemory(block, sizeof block, true));
    EXPECT_FALSE(file.openMemory(block, sizeof block, true));  // already open
    file.seek(20, 0);
    EXPECT_EQ(file.position(), 10u);
    file.seek(4, 2);  // back from the end
    const std::uint8_t eight[8] = {21, 22, 23, 24, 25, 26, 27, 28};
    EXPECT_EQ(file.write(eight, 8), 4u);
    EXPECT_EQ(file.read(out, 1), 0u);  // write-only
    file.seek(0, 7);                   // unknown origin: nothing happens
    EXPECT_EQ(file.position(), 10u);
    EXPECT_EQ(Bytes(block, block + 10), (Bytes{0, 1, 2, 3, 4, 5, 21, 22, 23, 24}));

    file.close();
    ASSERT_TRUE(file.openMemory(block, sizeof block, false));
    EXPECT_EQ(file.write(out, 1), 0u);  // read-only
    file.seek(7, 0);
    EXPECT_EQ(file.read(out, 16), 3u);
    EXPECT_EQ(Bytes(out, out + 3), (Bytes{22, 23, 24}));
    EXPECT_TRUE(file.atEnd());
}

TEST(ImageFileRead, BufferedReadsSeeksShrinkingFilesAndRegularFilesOnly) {
    TempDir dir;
    const std::string path = dir.file("data.bin");
    const std::uint64_t kBuffer = ImageFile::kBufferSize;
    const Bytes content = randomBytes(3 * kBuffer + 123, 1);
    test::writeFile(path, content);
    ImageFile file;
    ASSERT_TRUE(file.open(path, false));
    EXPECT_EQ(file.size(), content.size());

    // Mixed small and large reads return the file's bytes in order.
    Bytes got;
    const std::uint64_t sizes[] = {1, 7, 4096, kBuffer + 5, 13, 2 * kBuffer};
    for (std::size_t i = 0; !file.atEnd(); ++i) {
        Bytes chunk(sizes[i % 6]);
        const std::uint64_t n = file.read(chunk.data(), chunk.size());
        ASSERT_GT(n, 0u);
        got.insert(got.end(), chunk.begin(), chunk.begin() + static_cast<long>(n));
    }
    EXPECT_EQ(got, content);

    // Seeks back into and out of the buffered window, from each origin.
    std::uint8_t byte = 0;
    for (std::uint64_t at :
         {std::uint64_t{5}, kBuffer - 1, std::uint64_t{6}, content.size() - 1, kBuffer * 2 + 17}) {
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

    EXPECT_FALSE(file.failed());
    file.close();

    // A file that shrinks after opening ends the stream where it now ends.
    test::writeFile(path, randomBytes(200000, 2));
    ASSERT_TRUE(file.open(path, false));
    ASSERT_EQ(::truncate(path.c_str(), 1000), 0);
    Bytes out(300000);
    EXPECT_EQ(file.read(out.data(), out.size()), 1000u);
    EXPECT_TRUE(file.atEnd());  // a reader looping until the end stops
    file.close();

    ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);
    for (const std::string& name : {dir.file("missing"), dir.path(), dir.file("fifo")}) {
        EXPECT_FALSE(file.open(name, false)) << name;  // a FIFO neither opens nor blocks
    }
}

TEST(ImageFileWrite, NothingAppearsUntilCommit) {
    TempDir dir;
    const std::string path = dir.file("out.bin");
    const std::size_t kBuffer = ImageFile::kBufferSize;
    const Bytes content = randomBytes(3 * kBuffer, 3);
    ImageFile file;
    ASSERT_TRUE(file.open(path, true));
    EXPECT_EQ(file.size(), 0u);
    // Small buffered writes and large direct ones, in order.
    EXPECT_EQ(file.write(content.data(), 10), 10u);
    EXPECT_EQ(file.write(content.data() + 10, kBuffer), kBuffer);
    EXPECT_EQ(file.write(content.data() + 10 + kBuffer, 100), 100u);
    EXPECT_EQ(file.write(content.data() + 110 + kBuffer, 2 * kBuffer - 110), 2 * kBuffer - 110);
    EXPECT_EQ(file.position(), content.size());
    EXPECT_FALSE(test::exists(path));
    ASSERT_TRUE(file.commit());
    EXPECT_FALSE(file.isOpen());
    EXPECT_EQ(test::readFile(path), content);

    // Closed without a commit: the old file stays, nothing else appears.
    ASSERT_TRUE(file.open(path, true));
    file.write("new", 3);
    file.close();
    EXPECT_EQ(test::readFile(path), content);
    EXPECT_EQ(test::listDir(dir.path()), std::vector<std::string>{"out.bin"});
}

}  // namespace
}  // namespace kelvara
