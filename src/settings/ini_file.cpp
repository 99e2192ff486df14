#include "settings/ini_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <string>

#include "io/atomic_file.h"

namespace kelvara {

namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

bool isLineBreak(char c) {
    return c == '\n' || c == '\r';
}

std::string_view trim(std::string_view s) {
    std::size_t b = 0;
    std::size_t e = s.size();
    while (b < e && isBlank(s[b])) {
        ++b;
    }
    while (e > b && isBlank(s[e - 1])) {
        --e;
    }
    return s.substr(b, e - b);
}

// ASCII only: names are ASCII, and folding other bytes could merge the
// second bytes of distinct double-byte characters.
char foldCase(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equalsIgnoreCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (foldCase(a[i]) != foldCase(b[i])) {
            return false;
        }
    }
    return true;
}

// A name written into the file must read back as itself.
bool isWritableName(std::string_view name, bool isKey) {
    if (name.empty() || isBlank(name.front()) || isBlank(name.back())) {
        return false;
    }
    if (isKey && (name.front() == '[' || name.front() == ';' || name.front() == '#')) {
        return false;
    }
    for (char c : name) {
        if (isLineBreak(c) || (isKey ? c == '=' : c == ']')) {
            return false;
        }
    }
    return true;
}

class FdCloser {
  public:
    explicit FdCloser(int fd) : fd_(fd) {}
    ~FdCloser() { ::close(fd_); }
    FdCloser(const FdCloser&) = delete;
    FdCloser& operator=(const FdCloser&) = delete;

  private:
    int fd_;
};

}  // namespace

struct IniFile::Location {
    bool sectionFound = false;
    bool keyFound = false;
    std::size_t valueBegin = 0;  // the value's bytes, when keyFound
    std::size_t valueEnd = 0;
    std::size_t insertAt = 0;       // where a new entry of the section goes
    bool insertNeedsBreak = false;  // the line before insertAt ends the file unterminated
};

IniFile::IniFile(std::string text) : text_(std::move(text)) {
    detectLineEnding();
}

void IniFile::detectLineEnding() {
    const std::size_t nl = text_.find('\n');
    eol_ = nl != std::string::npos && nl > 0 && text_[nl - 1] == '\r' ? "\r\n" : "\n";
}

bool IniFile::load(const std::string& path) {
    text_.clear();
    eol_ = "\n";
    // Non-blocking so that a FIFO in the file's place cannot hang the program.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        return errno == ENOENT;
    }
    FdCloser closer(fd);
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
        static_cast<unsigned long long>(st.st_size) > kMaxFileSize) {
        return false;
    }
    // The size is a hint only: the file may change while it is read.
    std::string data(static_cast<std::size_t>(st.st_size) + 1, '\0');
    std::size_t used = 0;
    for (;;) {
        if (used == data.size()) {
            if (data.size() > kMaxFileSize) {
                return false;
            }
            data.resize(data.size() * 2);
        }
        const ssize_t n = ::read(fd, data.data() + used, data.size() - used);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return false;
        }
        if (n == 0) {
            break;
        }
        used += static_cast<std::size_t>(n);
    }
    if (used > kMaxFileSize) {
        return false;
    }
    data.resize(used);
    text_ = std::move(data);
    detectLineEnding();
    return true;
}

bool IniFile::save(const std::string& path) const {
    AtomicFileWriter writer;
    return writer.begin(path) && writer.write(text_.data(), text_.size()) && writer.commit();
}

IniFile::Location IniFile::find(std::string_view section, std::string_view key) const {
    Location loc;
    const std::string_view all(text_);
    bool inside = false;
    std::size_t pos = 0;
    while (pos < all.size()) {
        const std::size_t nl = all.find('\n', pos);
        const bool terminated = nl != std::string_view::npos;
        const std::size_t end = terminated ? nl : all.size();
        const std::size_t next = terminated ? nl + 1 : all.size();
        const std::string_view line = all.substr(pos, end - pos);
        std::size_t first = 0;
        while (first < line.size() && isBlank(line[first])) {
            ++first;
        }
        if (first == line.size()) {
            pos = next;  // blank lines never end a section's entries
            continue;
        }
        const char lead = line[first];
        const std::size_t close = lead == '[' ? line.find(']', first) : std::string_view::npos;
        if (close != std::string_view::npos) {
            if (inside) {
                return loc;  // only the first section of the name counts
            }
            if (equalsIgnoreCase(trim(line.substr(first + 1, close - first - 1)), section)) {
                inside = true;
                loc.sectionFound = true;
                loc.insertAt = next;
                loc.insertNeedsBreak = !terminated;
            }
        } else if (inside) {
            loc.insertAt = next;
            loc.insertNeedsBreak = !terminated;
            const std::size_t eq = line.find('=', first);
            if (lead != ';' && lead != '#' && eq != std::string_view::npos &&
                equalsIgnoreCase(trim(line.substr(first, eq - first)), key)) {
                std::size_t b = eq + 1;
                std::size_t e = line.size();
                while (b < e && isBlank(line[b])) {
                    ++b;
                }
                while (e > b && isBlank(line[e - 1])) {
                    --e;
                }
                if (b == e) {
                    b = e = eq + 1;  // an empty value is filled in right after '='
                }
                loc.keyFound = true;
                loc.valueBegin = pos + b;
                loc.valueEnd = pos + e;
                return loc;
            }
        }
        pos = next;
    }
    return loc;
}

std::optional<std::string_view> IniFile::value(std::string_view section,
                                               std::string_view key) const {
    if (key.empty()) {
        return std::nullopt;
    }
    const Location loc = find(section, key);
    if (!loc.keyFound) {
        return std::nullopt;
    }
    return std::string_view(text_).substr(loc.valueBegin, loc.valueEnd - loc.valueBegin);
}

int parseLeadingInt(std::string_view text) {
    std::size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    const long long limit = negative ? -static_cast<long long>(INT_MIN) : INT_MAX;
    long long v = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        v = v * 10 + (text[i] - '0');
        if (v > limit) {
            v = limit;
        }
    }
    return static_cast<int>(negative ? -v : v);
}

int IniFile::readInt(std::string_view section, std::string_view key, int def) const {
    const auto v = value(section, key);
    return v ? parseLeadingInt(*v) : def;
}

int IniFile::readIntInRange(std::string_view section, std::string_view key, int def, int min,
                            int max) const {
    const int v = readInt(section, key, def);
    return v < min || v > max ? def : v;
}

bool IniFile::readBool(std::string_view section, std::string_view key, bool def) const {
    return readInt(section, key, def ? 1 : 0) != 0;
}

std::string IniFile::readText(std::string_view section, std::string_view key,
                              std::string_view def) const {
    return std::string(value(section, key).value_or(def));
}

bool IniFile::set(std::string_view section, std::string_view key, std::string_view value) {
    if (!isWritableName(section, false) || !isWritableName(key, true)) {
        return false;
    }
    std::size_t cut = 0;
    while (cut < value.size() && !isLineBreak(value[cut])) {
        ++cut;
    }
    value = value.substr(0, cut);

    const Location loc = find(section, key);
    if (loc.keyFound) {
        text_.replace(loc.valueBegin, loc.valueEnd - loc.valueBegin, value);
        return true;
    }
    std::string add;
    if (!loc.sectionFound) {
        if (!text_.empty() && text_.back() != '\n') {
            add += eol_;
        }
        add.append("[").append(section).append("]").append(eol_);
    } else if (loc.insertNeedsBreak) {
        add += eol_;
    }
    add.append(key).append("=").append(value).append(eol_);
    text_.insert(loc.sectionFound ? loc.insertAt : text_.size(), add);
    return true;
}

bool IniFile::setInt(std::string_view section, std::string_view key, int value) {
    return set(section, key, std::to_string(value));
}

bool IniFile::setBool(std::string_view section, std::string_view key, bool value) {
    return set(section, key, value ? "1" : "0");
}

}  // namespace kelvara
