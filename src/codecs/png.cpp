#include "codecs/png.h"

#include <png.h>

#include <csetjmp>
#include <cstring>

#include "image/shared_buffer.h"
#include "io/image_file.h"

namespace kelvara {

namespace {

constexpr std::size_t kSignatureSize = 8;
constexpr png_uint_32 kMaxDimension = 65535;

// Only reading goes through libpng (png_writer.cpp writes). libpng reports
// errors by jumping back to the setjmp of the function that called it. Every libpng call that can fail is therefore made from one of
// the *Steps functions below, which hold only trivially destructible locals:
// the jump never skips a C++ destructor. Messages are never printed.
[[noreturn]] void onPngError(png_structp png, png_const_charp) { png_longjmp(png, 1); }
void onPngWarning(png_structp, png_const_charp) {}

void pngReadCallback(png_structp png, png_bytep data, png_size_t length) {
    auto* file = static_cast<ImageFile*>(png_get_io_ptr(png));
    if (file->read(data, length) != length) {
        png_error(png, "file ends early");  // rather than decode bytes never read
    }
}

// Owns a libpng read structure pair and destroys it on every way out.
class PngHandles {
public:
    PngHandles() {
        png_ = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, onPngError, onPngWarning);
        if (png_ != nullptr) {
            info_ = png_create_info_struct(png_);
        }
    }
    ~PngHandles() { png_destroy_read_struct(&png_, info_ != nullptr ? &info_ : nullptr, nullptr); }
    PngHandles(const PngHandles&) = delete;
    PngHandles& operator=(const PngHandles&) = delete;

    bool valid() const { return png_ != nullptr && info_ != nullptr; }
    png_structp png() const { return png_; }
    png_infop info() const { return info_; }

private:
    png_structp png_ = nullptr;
    png_infop info_ = nullptr;
};

struct PngHeader {
    png_uint_32 width = 0;
    png_uint_32 height = 0;
    int bitDepth = 0;
    int colorType = 0;
    int channels = 0;
};

// Checks the signature and rewinds so that libpng reads it again.
bool hasPngSignature(ImageFile& file) {
    png_byte signature[kSignatureSize];
    if (file.read(signature, kSignatureSize) != kSignatureSize ||
        png_sig_cmp(signature, 0, kSignatureSize) != 0) {
        return false;
    }
    file.seek(0, 0);
    return true;
}

// png_read_info, optionally with the alpha channel stripped, and the header
// values as libpng then reports them.
bool readInfoSteps(png_structp png, png_infop info, PngHeader* header, bool stripAlpha) {
    if (setjmp(png_jmpbuf(png))) {
        return false;
    }
    png_read_info(png, info);
    if (stripAlpha) {
        png_set_strip_alpha(png);
        png_read_update_info(png, info);
    }
    png_get_IHDR(png, info, &header->width, &header->height, &header->bitDepth,
                 &header->colorType, nullptr, nullptr, nullptr);
    header->channels = png_get_channels(png, info);
    return true;
}

bool prepareRowsSteps(png_structp png, png_infop info, int colorType, bool unpack) {
    if (setjmp(png_jmpbuf(png))) {
        return false;
    }
    if (unpack) {
        png_set_packing(png);  // one index a byte, the values kept
    }
    png_set_bgr(png);
    if ((colorType & PNG_COLOR_MASK_ALPHA) != 0) {
        png_set_strip_alpha(png);
    }
    png_read_update_info(png, info);
    return true;
}

bool readRowsSteps(png_structp png, png_infop info, png_bytepp rows) {
    if (setjmp(png_jmpbuf(png))) {
        return false;
    }
    png_read_image(png, rows);
    png_read_end(png, info);
    return true;
}

// One pointer per row, top row first.
bool buildRowPointers(const IndexedImage& image, SharedBuffer<png_bytep>& rows) {
    if (rows.allocate(image.height()) == nullptr) {
        return false;
    }
    for (std::uint32_t y = 0; y < image.height(); ++y) {
        rows[y] = image.row(static_cast<std::uint16_t>(y));
    }
    return true;
}

}  // namespace

bool readPng(ImageFile& file, IndexedImage& image, const ReadOptions& options) {
    if (!hasPngSignature(file)) {
        return refuse(options, Failure::NotPng);
    }
    PngHandles handles;
    if (!handles.valid()) {
        return refuse(options, Failure::OutOfMemory);
    }
    png_set_read_fn(handles.png(), &file, pngReadCallback);

    PngHeader header;
    if (!readInfoSteps(handles.png(), handles.info(), &header, false)) {
        return refuse(options, file.atEnd() ? Failure::EndsInHeader : Failure::Damaged);
    }
    const bool expand = options.expandLowDepth && header.colorType == PNG_COLOR_TYPE_PALETTE &&
                        header.bitDepth < 8;
    if (header.channels * header.bitDepth != 8 && !expand) {
        return refuse(options, header.channels * header.bitDepth < 8 ? Failure::LowDepth
                                                                     : Failure::DeepColour);
    }
    if (header.width > kMaxDimension || header.height > kMaxDimension) {
        return refuse(options, Failure::TooLarge);
    }
    if (!prepareRowsSteps(handles.png(), handles.info(), header.colorType, expand)) {
        return refuse(options, Failure::Damaged);
    }

    image.setSize(header.width, header.height);
    if (image.isEmpty() || !image.hasPixels() || image.paletteCount() == 0) {
        image.reset();
        return refuse(options, Failure::OutOfMemory);
    }
    if (header.colorType == PNG_COLOR_TYPE_GRAY) {
        // No palette in the file: the grey levels are the palette.
        for (unsigned i = 0; i < IndexedImage::kPaletteSize; ++i) {
            const auto level = static_cast<std::uint8_t>(i);
            image.setPaletteEntry(static_cast<std::uint16_t>(i), level, level, level);
        }
    } else {
        png_colorp palette = nullptr;
        int count = 0;
        if (png_get_PLTE(handles.png(), handles.info(), &palette, &count) == PNG_INFO_PLTE) {
            for (int i = 0; i < count && i < static_cast<int>(IndexedImage::kPaletteSize); ++i) {
                image.setPaletteEntry(static_cast<std::uint16_t>(i), palette[i].red,
                                      palette[i].green, palette[i].blue);
            }
        }
        // Per-entry opacity travels with the palette. (A grey file's tRNS is
        // one key level, not a table, and is not kept.)
        png_bytep alpha = nullptr;
        int alphaCount = 0;
        if (png_get_tRNS(handles.png(), handles.info(), &alpha, &alphaCount, nullptr) ==
                PNG_INFO_tRNS &&
            alphaCount > 0) {
            image.setPaletteAlpha(alpha, static_cast<std::size_t>(alphaCount));
        }
    }

    SharedBuffer<png_bytep> rows;
    if (!buildRowPointers(image, rows)) {
        image.reset();
        return refuse(options, Failure::OutOfMemory);
    }
    if (!readRowsSteps(handles.png(), handles.info(), rows.data())) {
        image.reset();
        return refuse(options, file.atEnd() ? Failure::EndsInPixels : Failure::Damaged);
    }
    return true;
}

std::uint64_t pngPixelCount(ImageFile& file) {
    // The signature, then IHDR: length, type, width and height (big-endian).
    std::uint8_t head[24];
    if (file.read(head, sizeof head) != sizeof head || png_sig_cmp(head, 0, 8) != 0 ||
        std::memcmp(head + 12, "IHDR", 4) != 0) {
        return 0;
    }
    const auto be32 = [](const std::uint8_t* p) {
        return std::uint64_t{p[0]} << 24 | std::uint64_t{p[1]} << 16 | std::uint64_t{p[2]} << 8 | p[3];
    };
    return be32(head + 16) * be32(head + 20);
}

int probePng(ImageFile& file) {
    if (!hasPngSignature(file)) {
        return 0;
    }
    PngHandles handles;
    if (!handles.valid()) {
        return 0;
    }
    png_set_read_fn(handles.png(), &file, pngReadCallback);
    // A file that cannot be decoded as far as its image data says nothing.
    PngHeader header;
    if (!readInfoSteps(handles.png(), handles.info(), &header, true)) {
        return 0;
    }
    return header.channels * header.bitDepth;
}

}  // namespace kelvara
