#include "io/atomic_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "conversion/output_policy.h"
#include "support/support.h"

namespace kelvara {
namespace {

using test::Bytes;
using E = ExistingTarget;

mode_t modeOf(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// Every row starts from the same folder. `how`: n a named temporary, u as
// nobody, a abandoned before the commit, r the target appearing meanwhile.
// `changed` is the one file that may differ afterwards, holding the bytes
// written; empty: nothing may change.
TEST(AtomicFileWriter, PublishesWholeOrLeavesEverythingAsItWas) {
    constexpr int kBeginFailed = 1, kCommitFailed = 2, kExisted = 4, kWrongName = 8;
    struct Row {
        std::string target;
        E existing;
        std::size_t size;  // writes past the child's 64 KiB file-size limit fail
        std::string how;
        int result;
        std::string changed;
        mode_t mode;
    } const rows[] = {
        {"new.bin", E::Replace, 5, "", 0, "new.bin", 0640},  // umask 027
        {"old.bin", E::Replace, 5, "n", 0, "old.bin", 0604},
        {"link.bin", E::Replace, 5, "", 0, "old.bin", 0604},
        {"old.bin", E::Replace, 1 << 20, "", kCommitFailed, "", 0},
        {"old.bin", E::Replace, 1 << 20, "n", kCommitFailed, "", 0},
        {"old.bin", E::Replace, 5, "na", kCommitFailed, "", 0},
        {"old.bin", E::Replace, 5, "u", kBeginFailed, "", 0},
        {"ro/new.bin", E::Replace, 5, "u", kBeginFailed, "", 0},
        {"old.bin", E::Keep, 5, "", kBeginFailed | kExisted, "", 0},
        {"link.bin", E::Keep, 5, "", kBeginFailed | kExisted, "", 0},
        {"new.bin", E::Keep, 5, "n", 0, "new.bin", 0640},
        {"new.bin", E::Keep, 5, "r", kCommitFailed | kExisted, "new.bin", 0640},  // the other file wins
        // "old (1).bin" exists, "old (2).bin" is reserved.
        {"old.bin", E::NumberedName, 5, "", 0, "old (3).bin", 0640},
        {"old.bin", E::NumberedName, 5, "n", 0, "old (3).bin", 0640},
        {"new.bin", E::NumberedName, 5, "", 0, "new.bin", 0640},
        {"sub", E::Replace, 5, "", kBeginFailed, "", 0},
        {"sub/", E::Replace, 5, "", kBeginFailed, "", 0},
        {"missing/new.bin", E::Replace, 5, "", kBeginFailed, "", 0},
        {"old.bin/new.bin", E::Replace, 5, "", kBeginFailed, "", 0},
        {"/dev/null", E::Replace, 5, "", kBeginFailed, "", 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.target + " " + std::to_string(int(row.existing)) + " " + row.how);
        test::TempDir dir;
        test::writeFile(dir.file("old.bin"), "old");
        test::writeFile(dir.file("old (1).bin"), "one");
        ::symlink("old.bin", dir.file("link.bin").c_str());
        ::mkdir(dir.file("sub").c_str(), 0777);
        ::mkdir(dir.file("ro").c_str(), 0555);
        ::chmod(dir.file("old.bin").c_str(), 0604);
        ::chmod(dir.path().c_str(), 0777);
        const auto before = test::snapshot(dir.path());
        const std::string path = row.target[0] == '/' ? row.target : dir.file(row.target);
        const Bytes bytes(row.size, 'n');
        const auto has = [&](char c) { return row.how.find(c) != std::string::npos; };
        const int result = test::runInChild(
            [&] {
                ::umask(027);
                AtomicFileWriter writer;
                writer.useNamedTemporary(has('n'));
                TargetOptions options;
                options.existing = row.existing;
                options.reservedName = [](std::string_view name) { return name == "old (2).bin"; };
                if (!writer.begin(path, options)) return kBeginFailed | (writer.targetExisted() ? kExisted : 0);
                writer.write(bytes.data(), bytes.size());
                if (has('a')) writer.abandon();
                if (has('r')) test::writeFile(path, bytes);
                const bool ok = writer.commit();
                const std::string wanted = row.existing == E::NumberedName ? dir.file(row.changed) : path;
                return (ok ? 0 : kCommitFailed) | (writer.targetExisted() ? kExisted : 0) |
                       (ok && writer.publishedPath() != wanted ? kWrongName : 0);
            },
            {64 * 1024, has('u')});
        EXPECT_EQ(result, row.result);
        auto expected = before;
        if (!row.changed.empty()) expected[row.changed] = bytes;
        EXPECT_EQ(test::snapshot(dir.path()), expected);
        if (!row.changed.empty()) EXPECT_EQ(modeOf(dir.file(row.changed)), row.mode);
    }
    for (const auto& [name, numbered] : {std::pair{"a.tar.bmp", "a.tar (2).bmp"},
                                         {".hidden", ".hidden (2)"}, {"none", "none (2)"}}) {
        EXPECT_EQ(numberedName(name, 2), numbered);
    }
}

// Sources a copy must refuse without touching anything: the same file under
// another name (either way round), no regular file, or one failing mid-copy.
// The alarm turns a copy that waits on the FIFO into a failure.
TEST(CopyFile, RefusesWithoutTouchingAnything) {
    test::TempDir dir;
    test::writeFile(dir.file("f.dat"), "keep");
    ::mkdir(dir.file("sub").c_str(), 0777);
    ::symlink("f.dat", dir.file("link").c_str());
    ::link(dir.file("f.dat").c_str(), dir.file("hard").c_str());
    ::mkfifo(dir.file("fifo").c_str(), 0666);
    const auto before = test::snapshot(dir.path());
    ::alarm(20);
    for (const auto& [from, to, result] :
         {std::tuple{"f.dat", "sub/../f.dat", CopyResult::SameFile}, {"f.dat", "link", CopyResult::SameFile},
          {"link", "f.dat", CopyResult::SameFile}, {"hard", "f.dat", CopyResult::SameFile},
          {"f.dat", "hard", CopyResult::SameFile}, {"missing", "f.dat", CopyResult::Failed},
          {"sub", "f.dat", CopyResult::Failed}, {"fifo", "f.dat", CopyResult::Failed},
          {"/proc/self/mem", "f.dat", CopyResult::Failed}}) {
        const std::string source = from[0] == '/' ? from : dir.file(from);
        EXPECT_EQ(copyFile(source, dir.file(to)), result) << from << " " << to;
    }
    // A NUL in the output folder: the folder the system sees is another one.
    Settings settings;
    settings.SaveDirFlag = settings.UnKnownFlag = 1;
    settings.SaveDir = dir.file("sub") + std::string("\0x", 2);
    EXPECT_EQ(processEntry(dir.file("f.dat"), "f.dat", settings), ConvertStatus::CopyFailed);
    ::alarm(0);
    EXPECT_EQ(test::snapshot(dir.path()), before);
}

}  // namespace
}  // namespace kelvara
