#include "desktop/drop_paths.h"

#include <QByteArray>
#include <QMimeData>

#include <optional>
#include <string_view>

namespace kelvara {

namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

bool equalsIgnoringAsciiCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        const auto lower = [](char c) {
            return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
        };
        if (lower(a[i]) != lower(b[i])) {
            return false;
        }
    }
    return true;
}

// The local path of one file: URI ("file:///p", "file://localhost/p" or
// "file:/p"), percent escapes decoded straight into bytes so that a name in
// any encoding arrives as the file system spells it. Nothing for another
// scheme, another host, or a path that no file can have.
std::optional<std::string> localPathFromUri(std::string_view uri) {
    constexpr std::string_view scheme = "file:";
    if (!equalsIgnoringAsciiCase(uri.substr(0, scheme.size()), scheme)) {
        return std::nullopt;
    }
    uri.remove_prefix(scheme.size());
    if (uri.substr(0, 2) == "//") {
        uri.remove_prefix(2);
        const std::size_t slash = uri.find('/');
        const std::string_view host = uri.substr(0, slash);
        if (slash == std::string_view::npos ||
            !(host.empty() || equalsIgnoringAsciiCase(host, "localhost"))) {
            return std::nullopt;
        }
        uri.remove_prefix(slash);
    }
    uri = uri.substr(0, uri.find_first_of("?#"));  // a query or fragment names no file
    if (uri.empty() || uri.front() != '/') {
        return std::nullopt;
    }
    std::string path;
    path.reserve(uri.size());
    for (std::size_t i = 0; i < uri.size(); ++i) {
        const int high = uri[i] == '%' && i + 2 < uri.size() ? hexValue(uri[i + 1]) : -1;
        const int low = high >= 0 ? hexValue(uri[i + 2]) : -1;
        if (low < 0) {
            path += uri[i];  // a stray '%' stands for itself
            continue;
        }
        path += static_cast<char>(high * 16 + low);
        i += 2;
    }
    if (path.find('\0') != std::string::npos) {
        return std::nullopt;
    }
    while (path.size() > 1 && path.back() == '/') {
        path.pop_back();
    }
    return path;
}

}  // namespace

std::vector<std::string> localPathsFromMime(const QMimeData& mime) {
    std::vector<std::string> paths;
    const QByteArray list = mime.data(QStringLiteral("text/uri-list"));
    std::string_view rest(list.constData(), static_cast<std::size_t>(list.size()));
    while (!rest.empty()) {
        const std::size_t end = rest.find_first_of("\r\n");
        std::string_view line = rest.substr(0, end);
        rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
        while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) {
            line.remove_prefix(1);
        }
        while (!line.empty() && (line.back() == ' ' || line.back() == '\t')) {
            line.remove_suffix(1);
        }
        if (line.empty() || line.front() == '#') {
            continue;  // blank, or a comment of the list format
        }
        if (std::optional<std::string> path = localPathFromUri(line)) {
            paths.push_back(std::move(*path));
        }
    }
    return paths;
}

bool offersLocalPaths(const QMimeData& mime) {
    return !localPathsFromMime(mime).empty();
}

}  // namespace kelvara
