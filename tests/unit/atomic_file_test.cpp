#include "io/atomic_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "convert/output_policy.h"
#include "support/support.h"
#include "unit/table.h"

namespace kelvara {
namespace {

using E = ExistingTarget;

// The rows and what they mean: tests/data/unit/atomic_writer.tsv.
TEST(AtomicFileWriter, PublishesWholeOrLeavesEverythingAsItWas) {
    for (const auto& row : tableRows("unit/atomic_writer.tsv")) {
        const std::string &how = row[3], &changed = row[5];
        const E existing = row[1] == "keep" ? E::Keep : row[1] == "numbered" ? E::NumberedName : E::Replace;
        SCOPED_TRACE(row[0] + " " + row[1] + " " + how);
        test::TempDir dir;
        buildTree(dir.path(), "unit/atomic_tree.tsv");
        const auto before = test::snapshot(dir.path());
        const std::string path = row[0][0] == '/' ? row[0] : dir.file(row[0]);
        const test::Bytes bytes(std::stoul(row[2]), 'n');
        const auto has = [&](char c) { return how.find(c) != std::string::npos; };
        const auto child = [&] {
            ::umask(027);
            AtomicFileWriter writer;
            writer.useNamedTemporary(has('n'));
            TargetOptions options;
            options.existing = existing;
            options.absentWhenPlanned = has('p');
            options.reservedName = [](std::string_view name) { return name == "old (2).bin"; };
            if (!writer.begin(path, options)) return 1 | (writer.targetExisted() ? 4 : 0);
            writer.write(bytes.data(), bytes.size());
            if (has('a')) writer.abandon();
            if (has('r')) test::writeFile(path, bytes);
            const bool ok = writer.commit();
            const std::string wanted = existing == E::NumberedName ? dir.file(changed) : path;
            return (ok ? 0 : 2) | (writer.targetExisted() ? 4 : 0) | (ok && writer.publishedPath() != wanted ? 8 : 0);
        };
        EXPECT_EQ(test::runInChild(child, {64 * 1024, has('u')}), std::stoi(row[4]));
        auto expected = before;
        if (!changed.empty()) expected[changed] = bytes;
        EXPECT_EQ(test::snapshot(dir.path()), expected);
        if (!changed.empty()) {
            EXPECT_EQ(int(std::filesystem::status(dir.file(changed)).permissions()), std::stoi(row[6], nullptr, 8));
        }
    }
}

// A run's handle of an output folder outlives the folder: the next file
// opens the folder made again, as a path would.
TEST(AtomicFileWriter, OpensAFolderRemovedUnderTheRunAgain) {
    test::TempDir dir;
    FolderHandles folders;
    TargetOptions options;
    options.folders = &folders;
    for (const char* name : {"a.bin", "b.bin"}) {
        std::filesystem::remove_all(dir.file("out"));
        std::filesystem::create_directory(dir.file("out"));
        AtomicFileWriter writer;
        EXPECT_TRUE(writer.begin(dir.file("out/") + name, options) && writer.write("x", 1) && writer.commit());
        EXPECT_TRUE(std::filesystem::exists(dir.file("out/") + name)) << name;
    }
}

// The rows and what they mean: tests/data/unit/copy_refused.tsv.
TEST(CopyFile, RefusesWithoutTouchingAnything) {
    test::TempDir dir;
    buildTree(dir.path(), "unit/copy_tree.tsv");
    ::link(dir.file("f.dat").c_str(), dir.file("hard").c_str());
    const auto before = test::snapshot(dir.path());
    ::alarm(20);
    for (const auto& row : tableRows("unit/copy_refused.tsv")) {
        const CopyResult result = copyFile(row[0][0] == '/' ? row[0] : dir.file(row[0]), dir.file(row[1]));
        EXPECT_EQ(result, row[2] == "same file" ? CopyResult::SameFile : CopyResult::Failed) << row[0] << " " << row[1];
    }
    // A NUL in the output folder: the folder the system sees is another one.
    Settings settings;
    settings.SaveDirFlag = settings.UnKnownFlag = 1;
    settings.SaveDir = dir.file("sub") + std::string("\0x", 2);
    EXPECT_EQ(carryOut(resolveOutput(dir.file("f.dat"), "f.dat", settings), dir.file("f.dat"), settings, {}),
              ConvertStatus::CopyFailed);
    ::alarm(0);
    EXPECT_EQ(test::snapshot(dir.path()), before);
}

}  // namespace
}  // namespace kelvara
