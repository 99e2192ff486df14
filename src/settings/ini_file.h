#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace kelvara {

// An INI file held in memory as the bytes it was read from. Lookups scan the
// text; edits splice it, so every line nobody asked to change (comments, blank
// lines, junk, duplicates, line endings) is written back byte for byte.
//
// A line "[name]" opens a section; a line "key=value" is an entry of the most
// recent section. Names match without regard to ASCII letter case; blanks
// around names and values are not part of them. A line whose first non-blank
// character is ';' or '#' is a comment. Only the first section of a name is
// used, and only the first entry of a key in it, for reading and for writing.
class IniFile {
  public:
    // Files larger than this are not read; they are left to their owner.
    static constexpr std::size_t kMaxFileSize = 64u << 20;

    IniFile() = default;
    explicit IniFile(std::string text);

    // Replaces the contents with the file at path. A file that does not exist
    // reads as empty and counts as loaded. Anything else that cannot be read
    // whole (no permission, not a regular file, larger than kMaxFileSize)
    // leaves the contents empty and returns false.
    bool load(const std::string& path);

    // Writes the contents to path atomically: a temporary beside it is
    // renamed over it, so a failure at any point leaves the old file whole.
    bool save(const std::string& path) const;

    const std::string& text() const { return text_; }
    // The line ending new lines get: the one of the file's first line, "\n"
    // for a file without any.
    const std::string& lineEnding() const { return eol_; }

    // The trimmed value of section/key, or nothing when either is absent.
    std::optional<std::string_view> value(std::string_view section, std::string_view key) const;

    // The value's leading sign and decimal digits (0 when it starts with
    // anything else, saturated at the int limits); def when the key is absent.
    int readInt(std::string_view section, std::string_view key, int def) const;
    // readInt, but def when the result lies outside [min, max].
    int readIntInRange(std::string_view section, std::string_view key, int def, int min,
                       int max) const;
    // readInt with def as 0 or 1; any nonzero number is true.
    bool readBool(std::string_view section, std::string_view key, bool def) const;
    // The whole value, or def when absent.
    std::string readText(std::string_view section, std::string_view key,
                         std::string_view def) const;

    // Sets section/key to value: an existing value is replaced in place, a
    // missing key goes after the last non-blank line of its section, a missing
    // section is appended to the file with its entry. A value is cut at its
    // first line break, which the format cannot carry. False, and nothing
    // changed, for a name the format cannot hold (empty, with a line break,
    // '=' in a key, ']' in a section, surrounding blanks).
    bool set(std::string_view section, std::string_view key, std::string_view value);
    bool setInt(std::string_view section, std::string_view key, int value);
    bool setBool(std::string_view section, std::string_view key, bool value);

  private:
    struct Location;
    Location find(std::string_view section, std::string_view key) const;
    void detectLineEnding();

    std::string text_;
    std::string eol_ = "\n";
};

// The leading optional sign and decimal digits of text as an int, stopping at
// the first other character; 0 when there are no digits. Saturates.
int parseLeadingInt(std::string_view text);

}  // namespace kelvara
