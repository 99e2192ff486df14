// The INI layer: load a file, edit it, save it, load it again.
//
// Input: the file's bytes, a NUL, then up to eight edits separated by 0x1E.
// An edit is section 0x1F key 0x1F value; a value starting with '#' is
// stored with setInt (its leading number), any other with set.
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "fuzz_support.h"
#include "settings/ini_file.h"

namespace {

using kelvara::IniFile;

std::vector<std::string_view> split(std::string_view text, char at, std::size_t limit) {
    std::vector<std::string_view> parts;
    while (parts.size() + 1 < limit) {
        const std::size_t end = text.find(at);
        if (end == std::string_view::npos) {
            break;
        }
        parts.push_back(text.substr(0, end));
        text.remove_prefix(end + 1);
    }
    parts.push_back(text);
    return parts;
}

std::string foldAscii(std::string_view text) {
    std::string folded(text);
    for (char& c : folded) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return folded;
}

// What reading a value back must give: the format cannot carry a line
// break, and blanks around a value are not part of it.
std::string storedForm(std::string_view value) {
    value = value.substr(0, value.find_first_of("\r\n"));
    const std::string_view blanks = " \t\r\v\f";
    const std::size_t first = value.find_first_not_of(blanks);
    if (first == std::string_view::npos) {
        return {};
    }
    const std::size_t last = value.find_last_not_of(blanks);
    return std::string(value.substr(first, last - first + 1));
}

struct Edit {
    std::string_view section;
    std::string_view key;
    std::string_view value;
};

using Expected = std::map<std::pair<std::string, std::string>, std::pair<Edit, std::string>>;

void checkValues(const IniFile& ini, const Expected& expected) {
    for (const auto& [name, entry] : expected) {
        const auto value = ini.value(entry.first.section, entry.first.key);
        FUZZ_CHECK(value.has_value());
        FUZZ_CHECK(*value == entry.second);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::size_t nul = input.find('\0');
    const std::string_view body = input.substr(0, nul);
    std::vector<Edit> edits;
    if (nul != std::string_view::npos) {
        for (std::string_view text : split(input.substr(nul + 1), '\x1E', 8)) {
            const auto fields = split(text, '\x1F', 3);
            edits.push_back({fields[0], fields.size() > 1 ? fields[1] : std::string_view(),
                             fields.size() > 2 ? fields[2] : std::string_view()});
        }
    }

    const std::string path = kelvara::fuzz::workPath("settings.ini");
    kelvara::fuzz::writeBytes(path, data, body.size());
    IniFile ini;
    FUZZ_CHECK(ini.load(path));
    FUZZ_CHECK(ini.text() == body);

    Expected expected;
    for (const Edit& edit : edits) {
        const std::string before = ini.text();
        bool ok = false;
        std::string stored;
        if (!edit.value.empty() && edit.value.front() == '#') {
            const int number = kelvara::parseLeadingInt(edit.value.substr(1));
            ok = ini.setInt(edit.section, edit.key, number);
            stored = std::to_string(number);
        } else {
            ok = ini.set(edit.section, edit.key, edit.value);
            stored = storedForm(edit.value);
        }
        if (!ok) {
            FUZZ_CHECK(ini.text() == before);  // a refused edit changes nothing
            continue;
        }
        // Names match without regard to ASCII case: a later edit of the same
        // name replaces the earlier one.
        expected[{foldAscii(edit.section), foldAscii(edit.key)}] = {edit, stored};
    }
    // Each edit reads back, and no later edit disturbed an earlier one.
    checkValues(ini, expected);

    FUZZ_CHECK(ini.save(path));
    IniFile again;
    FUZZ_CHECK(again.load(path));
    FUZZ_CHECK(again.text() == ini.text());
    checkValues(again, expected);
    FUZZ_CHECK(kelvara::fuzz::listWorkFolder() == "settings.ini\n");
    return 0;
}
