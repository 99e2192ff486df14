#include "codecs/zlib_stream.h"

#include <zlib.h>

#include <algorithm>
#include <array>

namespace kelvara {

namespace {

// Ends the decompressor on every way out once it was initialised.
struct InflateGuard {
    z_stream& stream;
    bool ended = false;
    int end() {
        ended = true;
        return inflateEnd(&stream);
    }
    ~InflateGuard() {
        if (!ended) {
            inflateEnd(&stream);
        }
    }
};

// zlib counts in uInt: a caller's block is handed over in slices.
constexpr std::uint64_t kMaxSlice = std::uint64_t{1} << 30;

}  // namespace

bool inflateInto(ImageFile& source, const iovec* parts, int count, std::uint64_t& filled) {
    filled = 0;
    if (!source.isOpen() || source.isWritable() || count < 0 || (count > 0 && parts == nullptr)) {
        return false;
    }
    std::array<Bytef, kZlibInputChunk> in;
    std::array<Bytef, kZlibOutputChunk> spill;  // output past the blocks ends here
    z_stream stream{};
    if (inflateInit(&stream) != Z_OK) {
        return false;
    }
    InflateGuard guard{stream};
    int part = 0;
    std::uint64_t partDone = 0;
    for (;;) {
        if (stream.avail_in == 0) {
            stream.next_in = in.data();
            stream.avail_in = static_cast<uInt>(source.read(in.data(), kZlibInputChunk));
        }
        if (stream.avail_out == 0) {
            while (part < count && partDone == parts[part].iov_len) {
                ++part;
                partDone = 0;
            }
            if (part < count) {
                stream.next_out = static_cast<Bytef*>(parts[part].iov_base) + partDone;
                stream.avail_out =
                    static_cast<uInt>(std::min(parts[part].iov_len - partDone, kMaxSlice));
            } else {
                stream.next_out = spill.data();
                stream.avail_out = kZlibOutputChunk;
            }
        }
        const Bytef* before = stream.next_out;
        const int result = inflate(&stream, Z_NO_FLUSH);
        if (part < count) {
            const auto produced = static_cast<std::uint64_t>(stream.next_out - before);
            partDone += produced;
            filled += produced;
        }
        if (result == Z_STREAM_END) {
            return guard.end() == Z_OK;
        }
        if (result != Z_OK) {
            return false;  // corrupt data, or the input ran out before the end
        }
    }
}

}  // namespace kelvara
