// Every file of tests/data/cases/manifest.tsv read, probed and converted to
// each format as its row says. What other programs make of the outputs:
// outputs_test.py.
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "batch/batch_report.h"
#include "support/need.h"

namespace kelvara::test {
namespace {

struct Case {
    std::string file, read, probe, status[3], size, digest, alpha, min;
};

void PrintTo(const Case& c, std::ostream* out) {
    *out << c.file;
}

std::vector<Case> loadManifest() {
    std::ifstream in(KELVARA_CASES_DIR "/manifest.tsv");
    std::vector<Case> cases;
    for (std::string line; std::getline(in, line);) {
        Case c;
        std::istringstream(line) >> c.file >> c.read >> c.probe >> c.status[0] >> c.status[1] >>
            c.status[2] >> c.size >> c.digest >> c.alpha >> c.min;
        if (!line.starts_with("#"))
            cases.push_back(c);
    }
    return cases;
}

// As the manifest has it: CRC-32 of the palette as RGB then the indices.
std::string digestOf(const IndexedImage& image) {
    uLong crc = crc32_z(0, &image.palette()->red, image.paletteCount() * sizeof(PaletteEntry));
    char hex[9];
    std::snprintf(hex, sizeof hex, "%08lx", crc32_z(crc, image.pixels(), image.pixelCount()));
    return hex;
}

std::string alphaOf(const IndexedImage& image) {
    std::string hex;
    for (std::size_t i = 0; i < image.paletteAlphaCount(); ++i) {
        char two[3];
        std::snprintf(two, sizeof two, "%02x", image.paletteAlpha()[i]);
        hex += two;
    }
    return hex.empty() ? "-" : hex;
}

class CaseManifest : public testing::TestWithParam<Case> {};

TEST_P(CaseManifest, ReadProbeAndConvert) {
    const Case& c = GetParam();
    const Bytes original = readFile(KELVARA_CASES_DIR "/" + c.file);
    TempDir dir;
    const std::string source = dir.file(c.file);
    writeFile(source, original);
    const auto own = std::find_if(formats().begin(), formats().end(),
                                  [&](const Format& f) { return c.file.ends_with(f.name); });
    ASSERT_NE(own, formats().end());

    // Read into an image that holds something already: nothing of it may stay.
    IndexedImage image;
    makeImage(image, 9, 9, 1);
    image.setPaletteAlpha(image.pixels(), 9);
    testing::internal::CaptureStderr();
    ASSERT_EQ(own->readBytes(original, image) ? "ok" : "fail", c.read);
    EXPECT_EQ(std::to_string(own->probeBytes(original)), c.probe);
    // BMP and XYZ readers promise more: an empty image on failure, and no
    // storage taken for a declared size the file is too short for (a PNG's
    // data shows only while it is decoded).
    const bool promises = own->format != ImageFormat::Png;
    EXPECT_TRUE(c.read == "ok" || !image.hasPixels() || !promises);
    if (c.read == "ok") {
        EXPECT_EQ(std::to_string(image.width()) + "x" + std::to_string(image.height()), c.size);
        EXPECT_EQ(c.digest == "-" ? "-" : digestOf(image), c.digest);
        EXPECT_EQ(alphaOf(image), c.alpha);
    }
    image.reset();

    // Memory: resident size stays far below a declared size (pages the data
    // never reaches stay untouched, a stream's surplus is dropped), and a read
    // without the address space for its pixels fails cleanly; within a time.
    const auto readOnce = [&] {
        ::alarm(20);
        IndexedImage once;
        own->readBytes(original, once);
        return true;
    };
    const long resident = peakGrowthKiB(readOnce);
    EXPECT_TRUE(resident >= 0 && resident < 24 << 10) << resident << " KiB";
    const long address = c.read == "fail" && promises ? peakGrowthKiB(readOnce, "VmPeak:") : 0;
    EXPECT_TRUE(address >= 0 && address < 64 << 10) << address << " KiB";
    if (!KELVARA_SANITIZED) {
        EXPECT_EQ(runInChild([&] {
                      const rlimit limit{256u << 20, 256u << 20};
                      IndexedImage bounded;
                      const bool set = ::setrlimit(RLIMIT_AS, &limit) == 0;
                      return set && (own->readBytes(original, bounded) ? digestOf(bounded) == c.digest
                                                                : !bounded.hasPixels())
                                 ? 0
                                 : 1;
                  }),
                  0);
    }
    if (c.status[0] == "-")
        return;  // too large to write

    // Into folders yet to be made, then in place; a failure writes nothing.
    for (const Format& to : formats()) {
        const std::string target = dir.file(std::string("out/") + to.name + "/t." + to.name);
        EXPECT_EQ(batch::statusName(convertImage(source, target, own->format, to.format, {})),
                  c.status[static_cast<int>(to.format)])
            << to.name;
        IndexedImage back;
        if (c.read != "ok")
            continue;
        EXPECT_TRUE(to.read(target, back)) << to.name;
        EXPECT_EQ(digestOf(back), c.digest) << to.name;
        EXPECT_EQ(alphaOf(back), to.format == ImageFormat::Png ? c.alpha : "-") << to.name;
    }
    const Bytes same = readFile(dir.file(std::string("out/") + own->name + "/t." + own->name));
    EXPECT_EQ(batch::statusName(convertImage(source, source, own->format, own->format, {})),
              c.status[static_cast<int>(own->format)]);
    if (c.read == "ok") {
        EXPECT_EQ(readFile(source), same) << "in place";
        EXPECT_EQ(snapshot(dir.path()).size(), 4u) << "a temporary file was left";
    } else {
        EXPECT_EQ(snapshot(dir.path()), (std::map<std::string, Bytes>{{c.file, original}}));
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

    // A prefix reads exactly when it is at least min bytes long.
    for (std::size_t n = 0; c.min != "-" && n < original.size();
         n += n < 64 || original.size() - n < 64 ? 1 : 1 + n / 4) {
        IndexedImage part;
        EXPECT_EQ(own->readBytes(Bytes(original.begin(), original.begin() + static_cast<long>(n)), part),
                  n >= std::stoul(c.min))
            << "cut at " << n;
    }
}

INSTANTIATE_TEST_SUITE_P(Manifest, CaseManifest, testing::ValuesIn(loadManifest()),
                         [](const auto& info) {
                             std::string name = info.param.file;
                             std::replace_if(name.begin(), name.end(), ::ispunct, '_');
                             return name;
                         });

// Writes that cannot finish (nothing to write; the file size limit reached
// beyond or within the write buffer; a read-only folder or file; a file
// where a folder should be) fail and leave everything as it was; nothing is
// read from a missing file, a folder or a FIFO.
TEST(Writers, FailuresLeaveEverythingAsItWas) {
    TempDir dir;
    for (unsigned side : {400u, 100u}) {
        IndexedImage image;
        makeImage(image, side, side, side);
        ASSERT_TRUE(formats()[0].write(dir.file(std::to_string(side) + ".bmp"), image));
    }
    for (const char* name : {"old", "locked/old", "open/readonly", "open/blocker"})
        writeFile(dir.file(name), std::string("old"));
    ::chmod(dir.file("locked").c_str(), 0555);
    ::chmod(dir.file("open").c_str(), 0777);
    ::chmod(dir.file("open/readonly").c_str(), 0444);
    ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);
    const auto before = snapshot(dir.path());
    for (const Format& f : formats()) {
        const auto convert = [&](const std::string& from, const std::string& to,
                                 const ChildLimits& limits) {
            return runInChild(
                [&] {
                    return static_cast<int>(
                        convertImage(dir.file(from), dir.file(to), ImageFormat::Bmp, f.format, {}));
                },
                limits);
        };
        const int failed = static_cast<int>(ConvertStatus::WriteError);
        EXPECT_FALSE(f.write(dir.file("new"), IndexedImage{})) << f.name;
        EXPECT_EQ(convert("400.bmp", "old", {4096}), failed) << f.name;
        EXPECT_EQ(convert("100.bmp", "old", {4096}), failed) << f.name;
        for (const char* target : {"locked/old", "open/readonly", "open/blocker/a/t"}) {
            const int status = convert("100.bmp", target, {0, true});
            KELVARA_NEED(status != kChildCannotLimit, "an unprivileged user");
            EXPECT_EQ(status, failed) << f.name << " " << target;
        }
        for (const char* nothing : {"missing", "fifo", ""}) {
            IndexedImage image;
            EXPECT_FALSE(f.read(dir.file(nothing), image)) << f.name << " " << nothing;
            EXPECT_EQ(f.probe(dir.file(nothing)), 0) << f.name << " " << nothing;
        }
    }
    EXPECT_EQ(snapshot(dir.path()), before);
}

}  // namespace
}  // namespace kelvara::test
