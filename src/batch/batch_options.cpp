#include "batch/batch_options.h"

#include <libdeflate.h>
#include <png.h>
#include <unistd.h>
#include <zlib.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <memory>

#include "codecs/codec_table.h"
#include "kelvara_version.h"


namespace kelvara::batch {

namespace {

// Indexed by the Existing setting.
constexpr std::array<const char*, 3> kExistingNames = {"overwrite", "skip", "rename"};
// Indexed by the Filter setting.
constexpr std::array<const char*, 6> kFilterNames = {"none",    "sub",   "up",
                                                     "average", "paeth", "all"};
static_assert(kFilterNames.size() == pngFilterMasks.size());


constexpr char kFooter[] =
    R"(Each PATH (file or folder; folders are walked) is gathered into one list, listed
once per full path, and every entry is converted, copied or skipped by the
settings file's values with the options above laid over them.

Without --to, the target format is the settings file's; with no settings
file, --to is required.

Output: one line per entry, in list order:  STATUS<TAB>SOURCE<TAB>TARGET
  STATUS  success, skipped, copy-failed, unsupported-format, not-8-bit,
          write-error, or target-conflict (the output would replace another
          file of this run: another entry's source, an earlier entry's
          output, or, through a link at its name, a file outside the output
          folder; nothing is written). With --dry-run: convert, copy, skip or
          target-conflict.
  TARGET  the file written; empty when nothing was written
  In SOURCE and TARGET a backslash, tab or newline is written as \\, \t or \n.
Before them, one line for each path that gave no entry (TARGET empty):
  not-found   a PATH (or a link met in a folder) that leads to nothing
  not-a-file  a FIFO, socket or device
  unreadable  a folder that could not be read
  no-files    a PATH naming a folder without any file below it
Names read with --files-from come after the PATH arguments; a carriage
return ending a line of the list is dropped (not with -0).
The output folder is never walked as a source (unless it is a PATH itself).
--existing decides about a target that exists and is no file of this run;
a source converted to its own name is always replaced. rename writes
"name (1).png", "name (2).png", ... beside it.
Progress and a summary go to standard error when it is a terminal.

Exit status: 0 no entry failed, 1 some entry failed, a path gave no entry,
or standard output could not be written, 2 usage error, 130 interrupted by
SIGINT, 143 by SIGTERM. After a signal no new entry starts; entries in
progress finish and are reported. The settings file is only read, never
written.

--shard K/N: every shard gathers and plans the same list and carries out only
its own groups of entries (entries touching a common file always share a
shard), balanced by size; N shards started anywhere give the files and lines
of one run. Only shard 1 prints the lines of paths that gave no entry. With
outputs beside their sources, give files (--files-from), not folders.)";

int indexOf(const auto& names, const std::string& value) {
    const auto it = std::find(names.begin(), names.end(), value);
    return static_cast<int>(it - names.begin());
}

std::string toLower(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

// The help lists the allowed values in the type column already.
CLI::Validator quiet(CLI::Validator validator) {
    validator.description("");
    return validator;
}

std::string oneLine(std::string text) {
    std::replace(text.begin(), text.end(), '\n', ' ');
    while (!text.empty() && text.back() == ' ') {
        text.pop_back();
    }
    return text;
}

// "K/N" with 1 <= K <= N, both plain decimal numbers.
std::optional<std::pair<unsigned, unsigned>> parseShard(const std::string& text) {
    const std::size_t slash = text.find('/');
    const auto number = [](std::string_view digits) -> std::optional<unsigned> {
        if (digits.empty() || digits.size() > 6 ||
            !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
            return std::nullopt;
        }
        return static_cast<unsigned>(std::stoul(std::string(digits)));
    };
    if (slash == std::string::npos) {
        return std::nullopt;
    }
    const auto k = number(std::string_view(text).substr(0, slash));
    const auto n = number(std::string_view(text).substr(slash + 1));
    if (!k || !n || *k < 1 || *k > *n) {
        return std::nullopt;
    }
    return std::pair(*k, *n);
}

}  // namespace

ParsedCommandLine parseCommandLine(int argc, const char* const* argv,
                                   const std::string& currentDirectory) {
    ParsedCommandLine result;
    BatchOptions& o = result.options;

    CLI::App app("Converts 8-bit palette images between BMP, PNG and XYZ, without a window.",
                 kProgramName);
    app.footer(kFooter);
    app.get_formatter()->column_width(34);

    std::string to, others, filter, out;
    int pngLevel = 0, xyzLevel = 0;
    int jobs = 0;
    std::string filesFrom, config;
    bool flat = false, keepTree = false, version = false;

    std::vector<std::string> formats;
    for (const Codec& codec : codecs()) {
        formats.emplace_back(codec.extension);
    }
    const auto filters = std::vector<std::string>(kFilterNames.begin(), kFilterNames.end());
    const auto notEmpty = [](const std::string& s) {
        return s.empty() ? std::string("empty value") : std::string();
    };

    app.add_option("PATH", o.paths, "Files and folders to convert")->type_name("");
    auto* toOpt = app.add_option("--to", to, "Target format")
                      ->type_name("bmp|png|xyz")
                      ->check(quiet(CLI::IsMember(formats, CLI::ignore_case)));
    auto* outOpt = app.add_option("--out", out, "Write the outputs below DIR")
                       ->type_name("DIR")
                       ->check(notEmpty);
    auto* besideOpt = app.add_flag("--beside", o.beside, "Write each output beside its source");
    besideOpt->excludes(outOpt);
    auto* flatOpt = app.add_flag("--flat", flat, "With --out: every output directly in DIR");
    auto* treeOpt = app.add_flag("--keep-tree", keepTree,
                                 "With --out: recreate each entry's relative folders below DIR");
    flatOpt->excludes(treeOpt);
    auto* othersOpt =
        app.add_option("--others", others, "Files of other types: skip them or copy them unchanged")
            ->type_name("skip|copy")
            ->check(quiet(CLI::IsMember({"skip", "copy"}, CLI::ignore_case)));
    auto* pngLevelOpt = app.add_option("--png-level", pngLevel, "PNG zlib level")
                            ->type_name("0-9")
                            ->check(quiet(CLI::Range(0, 9)));
    auto* filterOpt = app.add_option("--png-filter", filter, "PNG row filters")
                          ->type_name("none|sub|up|average|paeth|all")
                          ->check(quiet(CLI::IsMember(filters, CLI::ignore_case)));
    auto* xyzLevelOpt = app.add_option("--xyz-level", xyzLevel, "XYZ zlib level")
                            ->type_name("0-9")
                            ->check(quiet(CLI::Range(0, 9)));
    std::string existing;
    auto* existingOpt =
        app.add_option("--existing", existing, "A target that exists already (default overwrite)")
            ->type_name("overwrite|skip|rename")
            ->check(quiet(CLI::IsMember(std::vector<std::string>(kExistingNames.begin(), kExistingNames.end()),
                                        CLI::ignore_case)));
    app.add_option("-j,--jobs", jobs, "Parallel workers (default: online processors)")
        ->type_name("N")
        ->check(quiet(CLI::Range(1, kMaxJobs)));
    auto* filesOpt = app.add_option("--files-from", filesFrom,
                                    "Read more paths from FILE, one per line ('-': standard input)")
                         ->type_name("FILE")
                         ->check(notEmpty);
    app.add_flag("-0,--null", o.nullSeparated, "--files-from names are NUL-separated")
        ->needs(filesOpt);
    std::string shard;
    auto* shardOpt =
        app.add_option("--shard", shard,
                       "Carry out only shard K of N of the run (every shard gets the same list)")
            ->type_name("K/N");
    app.add_flag("--dry-run", o.dryRun, "Print what would be done, touch nothing");
    auto* configOpt =
        app.add_option("--config", config, "Settings file to read instead of the default")
            ->type_name("FILE")
            ->check(notEmpty);
    app.add_flag("--expand-low-depth", o.expandLowDepth,
                 "Convert 1-, 2- and 4-bit palette images as 8-bit ones");
    app.add_flag("-q,--quiet", o.quiet, "Print only the lines of entries that failed");
    app.add_flag("-v,--verbose", o.verbose,
                 "Say why each failed entry failed, one line each on standard error");
    app.add_flag("--version", version, "Print the versions and exit");

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        result.action = CommandAction::ShowHelp;
        result.text = app.help();
        return result;
    } catch (const CLI::ParseError& e) {
        result.text = oneLine(e.what());
        return result;
    } catch (const std::exception& e) {
        result.text = oneLine(e.what());
        return result;
    }

    if (version) {
        result.action = CommandAction::ShowVersion;
        result.text = versionText();
        return result;
    }
    if (o.paths.empty() && filesOpt->count() == 0) {
        result.text = "no PATH given";
        return result;
    }

    if (toOpt->count() > 0) {
        o.saveMode = static_cast<int>(codecForExtension(to)->format);
    }
    if (outOpt->count() > 0) {
        o.outDir = withoutTrailingSlashes(absolutePath(out, currentDirectory));
    }
    if (flat || keepTree) {
        o.keepTree = keepTree;
    }
    if (othersOpt->count() > 0) {
        o.others = toLower(others) == "copy" ? 1 : 0;
    }
    if (pngLevelOpt->count() > 0) {
        o.pngLevel = pngLevel;
    }
    if (filterOpt->count() > 0) {
        o.pngFilter = indexOf(kFilterNames, toLower(filter));
    }
    if (xyzLevelOpt->count() > 0) {
        o.xyzLevel = xyzLevel;
    }
    if (existingOpt->count() > 0) {
        o.existing = indexOf(kExistingNames, toLower(existing));
    }
    o.jobs = jobs;
    if (filesOpt->count() > 0) {
        o.filesFrom = filesFrom;
    }
    if (configOpt->count() > 0) {
        o.configFile = config;
    }
    if (shardOpt->count() > 0) {
        o.shard = parseShard(shard);
        if (!o.shard) {
            result.text = "--shard: " + shard + " is not K/N with 1 <= K <= N";
            return result;
        }
    }
    result.action = CommandAction::Run;
    return result;
}

std::string versionText() {
    std::string text = kProgramName;
    text += ' ';
    text += KELVARA_VERSION;
    text += "\nzlib ";
    text += ZLIB_VERSION;
    text += "\nlibpng ";
    text += PNG_LIBPNG_VER_STRING;
    text += "\nlibdeflate ";
    text += LIBDEFLATE_VERSION_STRING;
    text += '\n';
    return text;
}

void applyOverrides(const BatchOptions& o, Settings& s) {
    if (o.saveMode) {
        s.SaveMode = *o.saveMode;
    }
    if (o.outDir) {
        s.SaveDirFlag = 1;
        s.SaveDir = *o.outDir;
    }
    if (o.beside) {
        s.SaveDirFlag = 0;
    }
    if (o.keepTree) {
        s.ReproduceDir = *o.keepTree;
    }
    if (o.others) {
        s.UnKnownFlag = *o.others;
    }
    if (o.pngLevel) {
        s.PngCompLv = *o.pngLevel;
    }
    if (o.pngFilter) {
        s.Filter = *o.pngFilter;
    }
    if (o.xyzLevel) {
        s.XyzCompLv = *o.xyzLevel;
    }
    if (o.existing) {
        s.Existing = *o.existing;
    }
    if (o.expandLowDepth) {
        s.ExpandLowDepth = true;
    }
}

std::vector<std::string> splitPathList(std::string_view data, char separator) {
    std::vector<std::string> pieces;
    while (!data.empty()) {
        const std::size_t end = std::min(data.find(separator), data.size());
        std::string_view piece = data.substr(0, end);
        if (separator == '\n' && !piece.empty() && piece.back() == '\r') {
            piece.remove_suffix(1);
        }
        if (!piece.empty()) {
            pieces.emplace_back(piece);
        }
        data.remove_prefix(std::min(end + 1, data.size()));
    }
    return pieces;
}

std::optional<std::string> readWholeFile(const std::string& path) {
    struct Closer {
        void operator()(std::FILE* f) const { std::fclose(f); }
    };
    std::unique_ptr<std::FILE, Closer> owned;
    std::FILE* file = stdin;
    if (path != "-") {
        owned.reset(std::fopen(path.c_str(), "rb"));
        file = owned.get();
        if (file == nullptr) {
            return std::nullopt;
        }
    }
    std::string data;
    char chunk[65536];
    std::size_t got = 0;
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
        data.append(chunk, got);
    }
    if (std::ferror(file)) {
        return std::nullopt;
    }
    return data;
}

std::string withoutTrailingSlashes(std::string path) {
    while (path.size() > 1 && path.back() == '/') {
        path.pop_back();
    }
    return path;
}

std::string absolutePath(const std::string& path, const std::string& currentDirectory) {
    if (path.empty() || path.front() == '/' || currentDirectory.empty()) {
        return path;
    }
    return currentDirectory.back() == '/' ? currentDirectory + path : currentDirectory + '/' + path;
}

std::string currentDirectory() {
    std::string buffer(4096, '\0');
    for (;;) {
        if (::getcwd(buffer.data(), buffer.size()) != nullptr) {
            buffer.resize(buffer.find('\0'));
            return buffer;
        }
        if (errno != ERANGE) {
            return {};
        }
        buffer.resize(buffer.size() * 2);
    }
}

}  // namespace kelvara::batch
