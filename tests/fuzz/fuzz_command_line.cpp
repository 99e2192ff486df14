// splitCommandLine: blanks split outside quotes, and quoting protects.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "conversion/path_toolkit.h"
#include "filelist/gather.h"
#include "fuzz_support.h"

namespace {

using Arguments = std::vector<std::string>;

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

// Runs of non-blank bytes: what a line without quotes must split into.
Arguments blankRuns(std::string_view text) {
    Arguments runs;
    std::size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && isBlank(text[i])) {
            ++i;
        }
        const std::size_t start = i;
        while (i < text.size() && !isBlank(text[i])) {
            ++i;
        }
        if (i > start) {
            runs.emplace_back(text.substr(start, i - start));
        }
    }
    return runs;
}

std::string joined(const Arguments& arguments, bool quoted) {
    std::string line;
    for (const std::string& argument : arguments) {
        if (&argument != &arguments.front()) {
            line += ' ';
        }
        line += quoted ? '"' + argument + '"' : argument;
    }
    return line;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const Arguments arguments = kelvara::splitCommandLine(input);
    const std::string_view text = input.substr(0, input.find('\0'));

    bool anyQuote = false;
    bool anyBlankOrEmpty = false;
    for (const std::string& argument : arguments) {
        FUZZ_CHECK(argument.find('\0') == std::string::npos);
        anyQuote = anyQuote || argument.find('"') != std::string::npos;
        anyBlankOrEmpty = anyBlankOrEmpty || argument.empty() ||
                          argument.find_first_of(" \t") != std::string::npos;
    }
    if (text.find('"') == std::string_view::npos) {
        FUZZ_CHECK(arguments == blankRuns(text));
    }

    // Under Shift-JIS a lead byte may swallow the closing quote; a quoted
    // line only reads back whole where no byte is ever a character's tail.
    if (kelvara::PathStyle::native().chars != kelvara::CharRule::Utf8 || anyQuote) {
        return 0;
    }
    FUZZ_CHECK(kelvara::splitCommandLine(joined(arguments, true)) == arguments);
    if (!anyBlankOrEmpty) {
        FUZZ_CHECK(kelvara::splitCommandLine(joined(arguments, false)) == arguments);
    }
    return 0;
}
