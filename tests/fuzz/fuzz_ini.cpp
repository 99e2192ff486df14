// The settings file: load, edit, save, load again. Input: the file, then
// after a NUL up to eight edits separated by 0x1E, each section 0x1F key 0x1F
// value (a value starting with '#' is set as the number after it). Loading
// keeps the text; a refused edit changes nothing; an accepted one reads back
// (a value with no line break or blank at its ends as given) and changes no
// other entry; saving and loading again keeps the text and every value.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>

#include "settings/ini_file.h"
#include "support/support.h"

using namespace kelvara;

#define CHECK(condition) \
    ((condition) ? void() : (std::fprintf(stderr, "check failed: %s\n", #condition), std::abort()))

static std::string_view take(std::string_view& text, char end) {
    const std::string_view field = text.substr(0, text.find(end));
    text.remove_prefix(std::min(text.size(), field.size() + 1));
    return field;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const test::TempDir dir;
    const std::string path = dir.file("settings.ini");
    std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::string_view body = take(input, '\0');
    test::writeFile(path, std::string(body));
    IniFile ini;
    CHECK(ini.load(path) && ini.text() == body);
    std::vector<std::pair<std::pair<std::string, std::string>, std::string>> values;
    for (int n = 0; n < 8 && !input.empty(); ++n) {
        std::string_view edit = take(input, '\x1E');
        const std::string section(take(edit, '\x1F')), key(take(edit, '\x1F'));
        const std::string before = ini.text();
        const int number = parseLeadingInt(edit.substr(std::min<std::size_t>(1, edit.size())));
        if (!(edit.starts_with('#') ? ini.setInt(section, key, number)
                                    : ini.set(section, key, edit))) {
            CHECK(ini.text() == before);
            continue;
        }
        const std::string got(ini.value(section, key).value_or("\x01none"));
        const bool plain =
            edit.find_first_of("\r\n") == edit.npos &&
            (edit.empty() || (!std::isspace(static_cast<unsigned char>(edit.front())) &&
                              !std::isspace(static_cast<unsigned char>(edit.back()))));
        CHECK(edit.starts_with('#') ? got == std::to_string(number) : !plain || got == edit);
        for (auto& [name, seen] : values) {
            const std::string now(ini.value(name.first, name.second).value_or("\x01none"));
            CHECK(now == seen || now == got);  // only the same entry under another spelling
            seen = now;
        }
        values.push_back({{section, key}, got});
    }
    CHECK(ini.save(path));
    IniFile again;
    CHECK(again.load(path) && again.text() == ini.text());
    for (const auto& [name, seen] : values)
        CHECK(again.value(name.first, name.second).value_or("\x01none") == seen);
    CHECK(test::listDir(dir.path()) == std::vector<std::string>{"settings.ini"});
    return 0;
}
