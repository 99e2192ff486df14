#include "codecs/zlib_stream.h"

#include <zlib.h>

#include <algorithm>
#include <array>

namespace kelvara {

namespace {

// Ends the (de)compressor on every way out once it was initialised.
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

struct DeflateGuard {
    z_stream& stream;
    bool ended = false;
    int end() {
        ended = true;
        return deflateEnd(&stream);
    }
    ~DeflateGuard() {
        if (!ended) {
            deflateEnd(&stream);
        }
    }
};

// A compressed stream missing any of its bytes is useless: a memory target
// that is full, or a file that failed, ends the job.
bool putAll(ImageFile& target, const Bytef* data, std::uint64_t n) {
    return target.write(data, n) == n && !target.failed();
}

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

bool deflateFrom(const iovec* parts, int count, ImageFile& target, int level) {
    if (count < 0 || (count > 0 && parts == nullptr) || !target.isOpen() || !target.isWritable() ||
        level < -1 || level > 9) {
        return false;
    }
    std::uint64_t left = 0;  // bytes not yet handed to zlib
    for (int i = 0; i < count; ++i) {
        left += parts[i].iov_len;
    }
    std::array<Bytef, kZlibOutputChunk> out;
    z_stream stream{};
    if (deflateInit(&stream, level) != Z_OK) {
        return false;
    }
    DeflateGuard guard{stream};
    stream.next_out = out.data();
    stream.avail_out = kZlibOutputChunk;
    int part = 0;
    std::uint64_t partDone = 0;
    for (;;) {
        if (stream.avail_in == 0 && left > 0) {
            while (partDone == parts[part].iov_len) {
                ++part;
                partDone = 0;
            }
            const std::uint64_t slice = std::min(parts[part].iov_len - partDone, kMaxSlice);
            stream.next_in = static_cast<Bytef*>(parts[part].iov_base) + partDone;
            stream.avail_in = static_cast<uInt>(slice);
            partDone += slice;
            left -= slice;
        }
        const int result = deflate(&stream, left == 0 ? Z_FINISH : Z_NO_FLUSH);
        if (result == Z_STREAM_END) {
            return putAll(target, out.data(), kZlibOutputChunk - stream.avail_out) &&
                   guard.end() == Z_OK;
        }
        if (result != Z_OK) {
            return false;
        }
        if (stream.avail_out == 0) {
            if (!putAll(target, out.data(), kZlibOutputChunk)) {
                return false;
            }
            stream.next_out = out.data();
            stream.avail_out = kZlibOutputChunk;
        }
    }
}

}  // namespace kelvara
