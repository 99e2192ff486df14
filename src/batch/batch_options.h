#pragma once

#include <optional>
#include <utility>
#include <string>
#include <string_view>
#include <vector>

#include "settings/settings.h"

namespace kelvara::batch {

inline constexpr char kProgramName[] = "kelvara-batch";

// What the command line asks for. An option left unset keeps the value the
// settings file gives.
struct BatchOptions {
    std::vector<std::string> paths;
    std::optional<int> saveMode;        // --to
    std::optional<std::string> outDir;  // --out, made absolute
    bool beside = false;
    std::optional<bool> keepTree;  // --keep-tree / --flat
    std::optional<int> others;     // --others: UnKnownFlag
    std::optional<int> pngLevel;
    std::optional<int> pngFilter;  // index into pngFilterMasks
    std::optional<int> xyzLevel;
    std::optional<int> existing;  // --existing: the Existing setting
    // --shard K/N: only the K-th (1-based) of N shards of the run.
    std::optional<std::pair<unsigned, unsigned>> shard;
    int jobs = 0;  // 0: the Jobs setting (0 there: one per online processor)
    std::optional<std::string> filesFrom;
    bool nullSeparated = false;
    bool dryRun = false;
    bool quiet = false;
    bool verbose = false;         // -v: why each failed entry failed
    bool expandLowDepth = false;  // otherwise the settings file's ExpandLowDepth
    std::optional<std::string> configFile;
};

enum class CommandAction { Run, ShowHelp, ShowVersion, UsageError };

struct ParsedCommandLine {
    CommandAction action = CommandAction::UsageError;
    BatchOptions options;
    // The help or version text, or the one-line reason of a usage error.
    std::string text;
};

// Parses argv (argv[0] is the program). Never throws for bad input: a
// mistake comes back as UsageError with its reason.
ParsedCommandLine parseCommandLine(int argc, const char* const* argv,
                                   const std::string& currentDirectory);

// The program's version and those of zlib and libpng it was built with.
std::string versionText();

// Lays the command-line choices over the settings read from the file.
void applyOverrides(const BatchOptions& options, Settings& settings);

// The pieces of a path list, split at separator; empty pieces are dropped.
// Split at newlines, a carriage return ending a line is dropped too (a list
// written on Windows).
std::vector<std::string> splitPathList(std::string_view data, char separator);

// The whole contents of a file, "-" meaning standard input; nothing when it
// cannot be read (errno tells why).
std::optional<std::string> readWholeFile(const std::string& path);

// Trailing '/' removed (the root stays "/"): a folder named "pics/" is
// gathered as "pics", so its name still heads the relative paths.
std::string withoutTrailingSlashes(std::string path);

// path made absolute against currentDirectory (unchanged when it already is,
// or when the current directory is unknown).
std::string absolutePath(const std::string& path, const std::string& currentDirectory);

// The current directory, empty when it cannot be found out.
std::string currentDirectory();

}  // namespace kelvara::batch
