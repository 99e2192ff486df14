#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kelvara {

// How multi-byte characters are recognised when a path is stepped through.
enum class CharRule {
    Utf8,      // UTF-8 (and plain single-byte text): a separator byte is never inside a character
    ShiftJis,  // lead byte 0x81-0x9F or 0xE0-0xFC takes the next byte, whatever it is
};

// The separator and character rules a path is split by.
struct PathStyle {
    bool backslashSeparates = false;  // '/' always separates
    char builtSeparator = '/';        // the separator used when paths are built
    CharRule chars = CharRule::Utf8;

    // Only '/' separates and is built; characters by the locale's codeset.
    static PathStyle posix(CharRule chars = CharRule::Utf8) { return {false, '/', chars}; }
    // Both separators, '\' built, Shift-JIS characters.
    static PathStyle windows() { return {true, '\\', CharRule::ShiftJis}; }
    // This process's style: POSIX separators, the Shift-JIS rule when the
    // current locale's codeset is Shift-JIS.
    static PathStyle native();

    bool isSeparator(char c) const { return c == '/' || (backslashSeparates && c == '\\'); }
};

// True when a codeset name (as nl_langinfo(CODESET) gives it) is Shift-JIS.
bool isShiftJisCodeset(std::string_view codeset);

// Start of the character after the one at pos; stays at the end of the text.
std::size_t nextChar(std::string_view text, std::size_t pos,
                     const PathStyle& style = PathStyle::native());

// The text after the last separator (the whole path when there is none).
std::string_view fileNamePart(std::string_view path, const PathStyle& style = PathStyle::native());

// The text after the last '.' of the file name part, or empty.
std::string_view extensionPart(std::string_view path, const PathStyle& style = PathStyle::native());

// The path without its file name part and the separator before it; a path
// that ends with a separator loses that separator.
std::string directoryPart(std::string_view path, const PathStyle& style = PathStyle::native());

// Creates the folder and each missing parent. Reports nothing: a folder that
// could not be made shows up as the failure of whatever needed it.
void makeDirectories(const std::string& folder, const PathStyle& style = PathStyle::native());

}  // namespace kelvara
