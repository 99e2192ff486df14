#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace kelvara::test {

using Bytes = std::vector<std::uint8_t>;

// A fresh folder under the system's temporary folder, removed with all its
// contents on destruction. Readable by everyone so that a child process that
// dropped its privileges can still reach it.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

Bytes readFile(const std::string& path);
void writeFile(const std::string& path, const Bytes& bytes);
void writeFile(const std::string& path, const std::string& text);
bool exists(const std::string& path);
// Names in a folder, "." and ".." left out, sorted.
std::vector<std::string> listDir(const std::string& path);

// Runs body in a forked child and returns its exit status (or 128 + signal).
// body's return value becomes the child's exit status.
int runInChild(const std::function<int()>& body);

// When running as root, switches the (child) process to an unprivileged user
// so that permission bits apply. Returns false when that is not possible.
bool dropPrivileges();

// Runs a command through the shell; returns its exit status and stdout.
struct CommandResult {
    int status = -1;
    std::string output;
};
CommandResult runCommand(const std::string& command);

// Paths of external tools, empty when not installed.
std::string imageMagick();      // ImageMagick 6's convert
std::string pillowPython();     // a python3 that can import PIL
std::string testDataDir(const std::string& sub);  // empty when absent

std::string shellQuote(const std::string& text);

}  // namespace kelvara::test
