#include "io/path_toolkit.h"

#include <langinfo.h>
#include <sys/stat.h>

#include <cctype>
#include <vector>

#include "io/deep_path.h"

namespace kelvara {

namespace {

bool isShiftJisLead(unsigned char c) { return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC); }

// Length of a well-formed UTF-8 sequence starting at text[pos], or 1 for any
// byte that does not start one.
std::size_t utf8Length(std::string_view text, std::size_t pos) {
    const auto lead = static_cast<unsigned char>(text[pos]);
    std::size_t need = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        need = 1;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        need = 2;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        need = 3;
    } else {
        return 1;
    }
    if (text.size() - pos - 1 < need) {
        return 1;
    }
    for (std::size_t i = 1; i <= need; ++i) {
        const auto c = static_cast<unsigned char>(text[pos + i]);
        if ((c & 0xC0) != 0x80) {
            return 1;
        }
    }
    return need + 1;
}

// Position of the last separator character, or npos.
std::size_t lastSeparator(std::string_view path, const PathStyle& style) {
    std::size_t found = std::string_view::npos;
    for (std::size_t i = 0; i < path.size(); i = nextChar(path, i, style)) {
        if (style.isSeparator(path[i])) {
            found = i;
        }
    }
    return found;
}

bool isDirectory(const std::string& path) {
    struct stat st {};
    return statDeep(path, st) == 0 && S_ISDIR(st.st_mode);
}

bool existsOrCreated(const std::string& folder) {
    return isDirectory(folder) || mkdirDeep(folder, 0777) == 0;
}

}  // namespace

bool isShiftJisCodeset(std::string_view codeset) {
    std::string name;
    for (char c : codeset) {
        if (c != '-' && c != '_') {
            name += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        }
    }
    return name == "SHIFTJIS" || name == "SJIS" || name == "CP932" || name == "WINDOWS31J" ||
           name == "MSKANJI";
}

PathStyle PathStyle::native() {
    const char* codeset = ::nl_langinfo(CODESET);
    return posix(codeset != nullptr && isShiftJisCodeset(codeset) ? CharRule::ShiftJis
                                                                   : CharRule::Utf8);
}

std::size_t nextChar(std::string_view text, std::size_t pos, const PathStyle& style) {
    // A NUL is a character of its own: every caller walks with this to the
    // end of the text, and a step that stays put would never get there.
    if (pos >= text.size()) {
        return text.size();
    }
    if (style.chars == CharRule::ShiftJis) {
        const bool pair = isShiftJisLead(static_cast<unsigned char>(text[pos])) &&
                          pos + 1 < text.size() && text[pos + 1] != '\0';
        return pos + (pair ? 2 : 1);
    }
    return pos + utf8Length(text, pos);
}

std::string_view fileNamePart(std::string_view path, const PathStyle& style) {
    const std::size_t sep = lastSeparator(path, style);
    return sep == std::string_view::npos ? path : path.substr(sep + 1);
}

std::string_view extensionPart(std::string_view path, const PathStyle& style) {
    const std::string_view name = fileNamePart(path, style);
    std::size_t afterDot = std::string_view::npos;
    for (std::size_t i = 0; i < name.size(); i = nextChar(name, i, style)) {
        if (name[i] == '.') {
            afterDot = i + 1;
        }
    }
    return afterDot == std::string_view::npos ? name.substr(name.size()) : name.substr(afterDot);
}

std::string directoryPart(std::string_view path, const PathStyle& style) {
    const std::size_t sep = lastSeparator(path, style);
    return sep == std::string_view::npos ? std::string() : std::string(path.substr(0, sep));
}

void makeDirectories(const std::string& folder, const PathStyle& style) {
    // Walk up to the first folder that exists or can be made, remembering the
    // ones below it; then make each of those once, parents first. A folder
    // that still fails is tried once and given up, as are those below it.
    std::vector<std::string> missing;
    std::string current = folder;
    while (!existsOrCreated(current)) {
        const std::size_t sep = lastSeparator(current, style);
        if (sep == std::string::npos || sep == 0) {
            break;
        }
        missing.push_back(current);
        current.resize(sep);
    }
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
        existsOrCreated(*it);
    }
}

}  // namespace kelvara
