// The path toolkit in POSIX and Windows styles, Shift-JIS or UTF-8: stepping
// through the characters always moves on and ends at the end; the directory,
// file name and extension start where characters start and put the path back
// together; the name holds no separator and the extension no dot.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "io/path_toolkit.h"

using namespace kelvara;

#define CHECK(condition) \
    ((condition) ? void() : (std::fprintf(stderr, "check failed: %s\n", #condition), std::abort()))

static void check(std::string_view path, const PathStyle& style) {
    std::vector<std::size_t> starts;
    std::size_t separator = path.npos;  // the last one that starts a character
    for (std::size_t at = 0; at < path.size(); at = kelvara::nextChar(path, at, style)) {
        CHECK(kelvara::nextChar(path, at, style) > at &&
              kelvara::nextChar(path, at, style) <= path.size());
        starts.push_back(at);
        separator = style.isSeparator(path[at]) ? at : separator;
    }
    CHECK(kelvara::nextChar(path, path.size(), style) == path.size());
    const auto start = [&](std::size_t pos) {
        return pos == path.size() || std::binary_search(starts.begin(), starts.end(), pos);
    };
    const std::string_view name = fileNamePart(path, style), extension = extensionPart(path, style);
    const std::string directory = directoryPart(path, style);
    const std::size_t nameAt = path.size() - name.size(),
                      extensionAt = path.size() - extension.size();
    CHECK(path.ends_with(name) && name.ends_with(extension) && start(nameAt) && start(extensionAt));
    CHECK(separator == path.npos
              ? directory.empty() && name == path
              : directory + path[separator] + std::string(name) == std::string(path));
    std::size_t dot = path.npos;  // the name's last dot that starts a character
    for (const std::size_t at : starts) {
        CHECK(at < nameAt || !style.isSeparator(path[at]));
        dot = at >= nameAt && path[at] == '.' ? at : dot;
    }
    // A name's extension follows its last dot; a name ending in a dot has none.
    CHECK(dot == path.npos ? extension.empty() : extensionAt == dot + 1);
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view path(reinterpret_cast<const char*>(data), size);
    for (const PathStyle& style :
         {PathStyle::posix(), PathStyle::posix(CharRule::ShiftJis), PathStyle::windows()})
        check(path, style);
    return 0;
}
