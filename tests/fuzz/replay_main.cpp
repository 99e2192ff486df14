// Without libFuzzer: every file named runs through the target once, so the
// seeds double as a test.
#include <cstdio>

#include "support/support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const kelvara::test::Bytes bytes = kelvara::test::readFile(argv[i]);
        LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    }
    std::printf("%d inputs replayed\n", argc - 1);
    return argc > 1 ? 0 : 1;  // no seeds would test nothing
}
