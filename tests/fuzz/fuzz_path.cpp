// The path toolkit in POSIX and Windows styles: the parts put back together
// give the path, and no part starts or ends inside a character.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "conversion/path_toolkit.h"
#include "fuzz_support.h"

namespace {

using kelvara::CharRule;
using kelvara::PathStyle;

bool isShiftJisLead(unsigned char c) {
    return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
}
bool isContinuation(unsigned char c) {
    return (c & 0xC0) == 0x80;
}

void checkStyle(std::string_view path, const PathStyle& style) {
    // Where characters start, as nextChar steps the path from its start.
    std::vector<std::size_t> starts;
    std::size_t at = 0;
    while (at < path.size()) {
        starts.push_back(at);
        const std::size_t next = kelvara::nextChar(path, at, style);
        FUZZ_CHECK(next > at);  // every step moves on, or the walk never ends
        const std::size_t length = next - at;
        const auto lead = static_cast<unsigned char>(path[at]);
        if (style.chars == CharRule::ShiftJis) {
            FUZZ_CHECK(length <= 2);
            FUZZ_CHECK(length == 1 || (isShiftJisLead(lead) && path[at + 1] != '\0'));
        } else {
            FUZZ_CHECK(length <= 4);
            for (std::size_t i = at + 1; i < next; ++i) {
                FUZZ_CHECK(lead >= 0xC2 && isContinuation(static_cast<unsigned char>(path[i])));
            }
        }
        at = next;
    }
    FUZZ_CHECK(at == path.size());
    FUZZ_CHECK(kelvara::nextChar(path, path.size(), style) == path.size());
    const auto isStart = [&](std::size_t pos) {
        return pos == path.size() || std::binary_search(starts.begin(), starts.end(), pos);
    };
    std::size_t lastSeparator = std::string_view::npos;
    for (const std::size_t s : starts) {
        if (style.isSeparator(path[s])) {
            lastSeparator = s;
        }
    }

    const std::string_view name = kelvara::fileNamePart(path, style);
    const std::string_view extension = kelvara::extensionPart(path, style);
    const std::string directory = kelvara::directoryPart(path, style);
    const std::size_t nameAt = path.size() - name.size();
    const std::size_t extensionAt = path.size() - extension.size();

    FUZZ_CHECK(path.ends_with(name) && isStart(nameAt));
    FUZZ_CHECK(name.ends_with(extension) && isStart(extensionAt));
    FUZZ_CHECK(path.starts_with(directory) && isStart(directory.size()));
    if (lastSeparator == std::string_view::npos) {
        FUZZ_CHECK(directory.empty() && name == path);
    } else {
        FUZZ_CHECK(directory + path[lastSeparator] + std::string(name) == path);
    }
    // The name holds no separator and the extension no dot, counting only
    // bytes that start a character.
    if (!extension.empty()) {
        FUZZ_CHECK(extensionAt > nameAt && path[extensionAt - 1] == '.' &&
                   isStart(extensionAt - 1));
    }
    for (const std::size_t s : starts) {
        FUZZ_CHECK(s < nameAt || !style.isSeparator(path[s]));
        FUZZ_CHECK(s < extensionAt || path[s] != '.');
    }
    if (extension.empty()) {
        // No extension: the name has no dot at all, or ends with its last one.
        std::size_t lastDot = std::string_view::npos;
        for (const std::size_t s : starts) {
            if (s >= nameAt && path[s] == '.') {
                lastDot = s;
            }
        }
        FUZZ_CHECK(lastDot == std::string_view::npos || lastDot + 1 == path.size());
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view path(reinterpret_cast<const char*>(data), size);
    checkStyle(path, PathStyle::posix());
    checkStyle(path, PathStyle::posix(CharRule::ShiftJis));
    checkStyle(path, PathStyle::windows());
    return 0;
}
