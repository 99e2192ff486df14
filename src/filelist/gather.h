#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "filelist/file_list.h"
#include "settings/settings.h"

namespace kelvara {

// Why a path gave no entry.
enum class Omission {
    NotFound,    // nothing there, or a link leading nowhere
    NotAFile,    // a FIFO, socket or device
    Unreadable,  // a folder that could not be opened or read
    NoFiles,     // a named folder without a single file below it
};

using OmissionSink = std::function<void(const std::string& path, Omission why)>;

struct GatherOptions {
    // A folder the walk does not enter (the run's output folder), found by
    // device and inode; the path being gathered itself is still walked.
    std::string skipFolder;
    // Told about every path that gives no entry: the path gathered, or what
    // a walk below it met.
    OmissionSink onOmitted;
};

struct GatherCount {
    std::size_t files = 0;       // files found
    std::size_t duplicates = 0;  // of those, listed already

    GatherCount& operator+=(const GatherCount& more) {
        files += more.files;
        duplicates += more.duplicates;
        return *this;
    }
};

// Adds a file, or every file below a folder, to the list: a folder's files
// in byte-wise name order before its subfolders, each subfolder's tree whole
// before the next; links to folders followed, but never into a folder already
// on the current path; FIFOs, sockets and devices left out (and reported).
// The walk goes down through folder descriptors, so depth is no limit. "."
// and ".." are resolved in the text first and trailing separators dropped,
// so every relative path lies below its base. A path that is missing, or
// neither a regular file nor a folder, adds nothing. base is the
// folder relative paths are measured from; empty means the parent of `path`
// (so a walked folder's own name starts every relative path, and a single
// file's relative path is its name).
GatherCount gatherPath(FileList& list, const std::string& path, const std::string& base,
                       const GatherOptions& options = {});

// "." and ".." resolved in the text (".." of the root stays the root), "//"
// made one, trailing '/' dropped (the root stays "/").
std::string lexicallyNormal(std::string_view path);

// Splits a command-line text at blanks outside double quotes; an argument
// quoted as a whole loses its quotes.
std::vector<std::string> splitCommandLine(std::string_view text);

// The open-file dialog's NUL-separated answer (ending with an empty piece):
// one full path, or a folder followed by names in it.
std::vector<std::string> parseOpenFileResult(std::string_view buffer);

// Starts an automatic conversion of all rows (ConversionJob::start(false)).
using StartAll = std::function<void()>;

// Every road walks folders without entering the output folder (SaveDir when
// it is chosen), tells onOmitted what gave no entry and returns what it found.

// The command-line road: each non-empty argument (relative ones made
// absolute against currentDirectory) is gathered; with AutoConvert2 on, all rows convert.
// Nothing happens at all for an empty argument list.
GatherCount onCommandLine(FileList& list, const std::vector<std::string>& arguments,
                   const std::string& currentDirectory, const Settings& settings,
                   const StartAll& startAll, const OmissionSink& onOmitted = {});
// The same road for a single command-line text (split first); an empty text
// does nothing, a text of only blanks still starts the automatic conversion.
GatherCount onCommandLineText(FileList& list, std::string_view text, const std::string& currentDirectory,
                       const Settings& settings, const StartAll& startAll,
                       const OmissionSink& onOmitted = {});

// The drop road: each non-empty name gathered; with AutoConvert1 on, all rows
// convert, however many rows the drop added.
GatherCount onDropPaths(FileList& list, const std::vector<std::string>& paths, const Settings& settings,
                 const StartAll& startAll, const OmissionSink& onOmitted = {});

// The open-file dialog road, given what the dialog returned (nothing when it
// was cancelled). When at least one path came back, LastDir becomes the
// folder of the first ("/" for a file in the root folder) and, with
// AutoConvert3 on, all rows convert.
GatherCount onOpenFiles(FileList& list, const std::optional<std::vector<std::string>>& chosen,
                 Settings& settings, const StartAll& startAll,
                 const OmissionSink& onOmitted = {});

}  // namespace kelvara
