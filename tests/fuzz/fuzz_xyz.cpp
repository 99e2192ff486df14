// readXyz / probeXyz through a real file, then every writer and back.
#include <cstddef>
#include <cstdint>

#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    kelvara::fuzz::fuzzCodec(kelvara::fuzz::Codec::Xyz, data, size);
    return 0;
}
