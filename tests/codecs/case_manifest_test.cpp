// Every file of tests/data/cases/manifest.tsv (written by make_cases.py
// beside it) read, probed and converted to each format as its row says.
#include <zlib.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "batch/batch_report.h"
#include "support/test_support.h"

namespace kelvara::test {
namespace {

struct Case {
    std::string file, read, probe, status[3], size, digest;
};

void PrintTo(const Case& c, std::ostream* out) {
    *out << c.file;
}

std::vector<Case> loadManifest() {
    std::ifstream in(KELVARA_CASES_DIR "/manifest.tsv");
    std::string line;
    std::getline(in, line);  // the column names
    std::vector<Case> cases;
    for (Case c; std::getline(in, line); cases.push_back(c)) {
        std::istringstream(line) >> c.file >> c.read >> c.probe >> c.status[0] >> c.status[1] >>
            c.status[2] >> c.size >> c.digest;
    }
    return cases;
}

// CRC-32 of the 256 palette entries as RGB, then the pixels top row first.
std::string digestOf(const IndexedImage& image) {
    Bytes data = paletteOf(image);
    const Bytes pixels = pixelsOf(image);
    data.insert(data.end(), pixels.begin(), pixels.end());
    char hex[9];
    std::snprintf(hex, sizeof hex, "%08lx", crc32(0, data.data(), static_cast<uInt>(data.size())));
    return hex;
}

// Chunk names (PLTE with its length, a run of IDATs once) and the tRNS data.
std::pair<std::string, Bytes> pngOutline(const Bytes& file) {
    std::pair<std::string, Bytes> outline;
    for (const PngChunk& c : pngChunks(file)) {
        const std::string size = c.type == "PLTE" ? std::to_string(c.data.size()) : "";
        outline.first +=
            c.type == "IDAT" && outline.first.ends_with("IDAT ") ? "" : c.type + size + " ";
        outline.second = c.type == "tRNS" ? c.data : outline.second;
    }
    return outline;
}

class CaseManifest : public testing::TestWithParam<Case> {};

TEST_P(CaseManifest, ReadProbeAndConvert) {
    const Case& c = GetParam();
    const std::string kept = KELVARA_CASES_DIR "/" + c.file;
    const Bytes original = readFile(kept);
    ASSERT_FALSE(original.empty()) << kept;
    TempDir dir;
    const std::string source = dir.file(c.file);
    putFile(source, original);
    std::vector<const Codec*> targets;  // the source's own format last, converted in place
    for (const Codec& codec : allCodecs())
        targets.insert(c.file.ends_with(codec.name) ? targets.end() : targets.begin(), &codec);
    const Codec& codec = *targets.back();

    IndexedImage image;
    ASSERT_EQ(codec.read(source, image) ? "ok" : "fail", c.read);
    EXPECT_EQ(std::to_string(codec.probe(source)), c.probe);
    if (image.hasPixels()) {
        EXPECT_EQ(std::to_string(image.width()) + "x" + std::to_string(image.height()), c.size);
        EXPECT_EQ(digestOf(image), c.digest);
    } else if (!KELVARA_SANITIZED) {
        // Refused before storage for the declared size is had (a forked
        // child starts its own peak; a sanitizer reserves space of its own).
        const int grew = runInChild([&] {
            const long before = procStatusKiB("VmPeak:");
            IndexedImage refused;
            codec.read(source, refused);
            return procStatusKiB("VmPeak:") - before < 64 * 1024 ? 0 : 1;
        });
        EXPECT_EQ(grew, 0) << "the refused read took address space for its declared size";
    }

    for (const Codec* to : targets) {
        const std::string target = to == &codec ? source : dir.file(std::string("t.") + to->name);
        const ConvertStatus status = convertImage(source, target, codec.format, to->format, {});
        EXPECT_EQ(batch::statusName(status), c.status[static_cast<int>(to->format)]) << to->name;
        if (c.read != "ok") {
            EXPECT_EQ(listDir(dir.path()), std::vector<std::string>{c.file}) << to->name;
            EXPECT_EQ(readFile(source), original) << to->name;
            continue;
        }
        IndexedImage back;
        ASSERT_TRUE(to->read(target, back)) << to->name;
        EXPECT_EQ(digestOf(back), c.digest) << to->name;
        if (to->format == ImageFormat::Png) {
            // The whole palette; tRNS exactly when a PNG source had one, as it was.
            const Bytes trns = codec.format == to->format ? pngOutline(original).second : Bytes{};
            EXPECT_EQ(
                pngOutline(readFile(target)),
                std::pair("IHDR PLTE768 " + std::string(trns.empty() ? "" : "tRNS ") + "IDAT IEND ",
                          trns));
        }
    }
    if (c.read != "ok" || !c.file.ends_with("png") || pngOutline(original).second.empty())
        return;
    if (pillowPython().empty())
        GTEST_SKIP() << "Pillow for /usr/bin/python3 is absent: its view of tRNS is not compared";
    // Pillow sees the transparency of the case file in the one rewritten in place.
    const CommandResult seen = runCommand(
        pillowPython() + " -c " +
        shellQuote("import sys; from PIL import Image\n"
                   "for p in sys.argv[1:]: print(repr(Image.open(p).info.get('transparency')))") +
        " " + shellQuote(kept) + " " + shellQuote(source));
    ASSERT_EQ(seen.status, 0) << seen.output;
    const std::size_t half = seen.output.find('\n') + 1;
    EXPECT_EQ(seen.output.substr(0, half), seen.output.substr(half)) << seen.output;
    EXPECT_NE(seen.output.substr(0, half), "None\n");
}

INSTANTIATE_TEST_SUITE_P(Manifest, CaseManifest, testing::ValuesIn(loadManifest()),
                         [](const auto& info) {
                             std::string name = info.param.file;
                             std::replace_if(name.begin(), name.end(), ::ispunct, '_');
                             return name;
                         });

}  // namespace
}  // namespace kelvara::test
