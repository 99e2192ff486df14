#include "codecs/scratch.h"

#include <libdeflate.h>

namespace kelvara {

namespace {

// Blocks up to this size stay allocated between files; a larger one (a large
// picture's rows) is given back rather than held for the rest of the run.
constexpr std::size_t kKeptBlockSize = std::size_t{8} << 20;

}  // namespace

std::uint8_t* ScratchBlock::reserve(std::size_t n) {
    if (n > capacity_ || !data_) {
        data_.reset();
        capacity_ = 0;
        data_.reset(static_cast<std::uint8_t*>(std::malloc(n == 0 ? 1 : n)));
        if (data_) {
            capacity_ = n;
        }
    }
    return data_.get();
}

void ScratchBlock::trim(std::size_t keep) {
    if (capacity_ > keep) {
        data_.reset();
        capacity_ = 0;
    }
}

void CodecScratch::FreeCompressor::operator()(libdeflate_compressor* c) const {
    libdeflate_free_compressor(c);
}

void CodecScratch::FreeDecompressor::operator()(libdeflate_decompressor* d) const {
    libdeflate_free_decompressor(d);
}

libdeflate_compressor* CodecScratch::compressor(int level) {
    if (level < 0 || level > 9) {
        return nullptr;
    }
    if (!compressor_ || compressorLevel_ != level) {
        compressor_.reset();  // its tables are large: never two at once
        compressor_.reset(libdeflate_alloc_compressor(level));
        compressorLevel_ = level;
    }
    return compressor_.get();
}

libdeflate_decompressor* CodecScratch::decompressor() {
    if (!decompressor_) {
        decompressor_.reset(libdeflate_alloc_decompressor());
    }
    return decompressor_.get();
}

void CodecScratch::trim() {
    first_.trim(kKeptBlockSize);
    second_.trim(kKeptBlockSize);
}

ScratchUse::ScratchUse()
    : scratch_([]() -> CodecScratch& {
          thread_local CodecScratch scratch;
          return scratch;
      }()) {}

}  // namespace kelvara
