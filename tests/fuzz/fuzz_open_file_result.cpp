// parseOpenFileResult: a folder and names, or one path, up to an empty piece.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "filelist/gather.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::vector<std::string> paths = kelvara::parseOpenFileResult(input);
    const std::string_view first = input.substr(0, input.find('\0'));

    FUZZ_CHECK(paths.empty() == first.empty());
    if (paths.empty()) {
        return 0;
    }
    // Rebuild the answer from the paths: the folder, then each name after a
    // NUL. It must be what the input starts with, up to its end or a NUL.
    std::string rebuilt(first);
    for (const std::string& path : paths) {
        FUZZ_CHECK(path.find('\0') == std::string::npos);
        FUZZ_CHECK(path.compare(0, first.size(), first) == 0);
        if (path.size() == first.size()) {
            FUZZ_CHECK(paths.size() == 1);  // the single-path answer
            continue;
        }
        FUZZ_CHECK(path[first.size()] == '/');
        rebuilt += '\0';
        rebuilt += std::string_view(path).substr(first.size() + 1);
    }
    FUZZ_CHECK(input.substr(0, rebuilt.size()) == rebuilt);
    FUZZ_CHECK(rebuilt.size() == input.size() || input[rebuilt.size()] == '\0');
    // And nothing was left out: after it comes the end or the empty piece.
    const std::size_t next = rebuilt.size() + 1;
    FUZZ_CHECK(next >= input.size() || input[next] == '\0');
    return 0;
}
