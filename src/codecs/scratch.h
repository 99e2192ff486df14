#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

struct libdeflate_compressor;
struct libdeflate_decompressor;

namespace kelvara {

// A block of bytes that grows as needed and keeps its storage between uses.
class ScratchBlock {
public:
    // At least n bytes, contents undefined; null when they cannot be obtained.
    std::uint8_t* reserve(std::size_t n);
    // Gives the storage back when it holds more than `keep` bytes.
    void trim(std::size_t keep);

private:
    struct Free {
        void operator()(std::uint8_t* p) const { std::free(p); }
    };
    std::unique_ptr<std::uint8_t, Free> data_;
    std::size_t capacity_ = 0;
};

// One thread's working space for the writers and the XYZ reader: blocks and
// libdeflate's (de)compressors, kept from one file to the next, so that a run
// of small files does not allocate and set up the same things for each file.
// Use it through ScratchUse, which gives large blocks back after each file.
class CodecScratch {
public:
    CodecScratch() = default;
    CodecScratch(const CodecScratch&) = delete;
    CodecScratch& operator=(const CodecScratch&) = delete;

    // Two blocks: a writer's input to deflate (filtered rows, the XYZ
    // payload) or a reader's compressed stream; a writer's compressed output.
    ScratchBlock& first() { return first_; }
    ScratchBlock& second() { return second_; }
    // For level 0-9; null when it cannot be made.
    libdeflate_compressor* compressor(int level);
    libdeflate_decompressor* decompressor();
    void trim();

private:
    struct FreeCompressor {
        void operator()(libdeflate_compressor* c) const;
    };
    struct FreeDecompressor {
        void operator()(libdeflate_decompressor* d) const;
    };

    ScratchBlock first_;
    ScratchBlock second_;
    std::unique_ptr<libdeflate_compressor, FreeCompressor> compressor_;
    int compressorLevel_ = -1;
    std::unique_ptr<libdeflate_decompressor, FreeDecompressor> decompressor_;
};

// The calling thread's scratch space for the length of one file.
class ScratchUse {
public:
    ScratchUse();
    ~ScratchUse() { scratch_.trim(); }
    ScratchUse(const ScratchUse&) = delete;
    ScratchUse& operator=(const ScratchUse&) = delete;

    CodecScratch* operator->() const { return &scratch_; }

private:
    CodecScratch& scratch_;
};

}  // namespace kelvara
