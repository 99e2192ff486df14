#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "filelist/file_list.h"
#include "settings/settings.h"

namespace kelvara {

// Adds a file, or every file below a folder (as findFiles walks it), to the
// list. A missing path, or one that is not a regular file or a folder, is
// ignored. base is the folder relative paths are measured from; empty means
// the parent of `path` (so a walked folder's own name starts every relative
// path, and a single file's relative path is its name).
void gatherPath(FileList& list, const std::string& path, const std::string& base);

// Every file below folder, at any depth: a folder's files (in byte-wise name
// order) before its subfolders, each subfolder's tree whole before the next.
// A path is the folder, '/' and the name, even after a folder ending in '/'.
// Only regular files count (links to them included): FIFOs, sockets and
// devices are left out. Links to folders are followed, but never into a
// folder already on the current path. Folders that cannot be read
// contribute nothing.
std::vector<std::string> findFiles(const std::string& folder);

// Splits a command-line text at blanks outside double quotes; an argument
// quoted as a whole loses its quotes.
std::vector<std::string> splitCommandLine(std::string_view text);

// The open-file dialog's NUL-separated answer (ending with an empty piece):
// one full path, or a folder followed by names in it.
std::vector<std::string> parseOpenFileResult(std::string_view buffer);

// Starts an automatic conversion of all rows (ConversionJob::start(false)).
using StartAll = std::function<void()>;

// The command-line road: each non-empty argument (relative ones made
// absolute against currentDirectory) is gathered; with AutoConvert2 on, all rows convert.
// Nothing happens at all for an empty argument list.
void onCommandLine(FileList& list, const std::vector<std::string>& arguments,
                   const std::string& currentDirectory, const Settings& settings,
                   const StartAll& startAll);
// The same road for a single command-line text (split first); an empty text
// does nothing, a text of only blanks still starts the automatic conversion.
void onCommandLineText(FileList& list, std::string_view text, const std::string& currentDirectory,
                       const Settings& settings, const StartAll& startAll);

// The drop road: each non-empty name gathered; with AutoConvert1 on, all rows
// convert, however many rows the drop added.
void onDropPaths(FileList& list, const std::vector<std::string>& paths, const Settings& settings,
                 const StartAll& startAll);

// The open-file dialog road, given what the dialog returned (nothing when it
// was cancelled). When at least one path came back, LastDir becomes the
// folder of the first ("/" for a file in the root folder) and, with
// AutoConvert3 on, all rows convert.
void onOpenFiles(FileList& list, const std::optional<std::vector<std::string>>& chosen,
                 Settings& settings, const StartAll& startAll);

}  // namespace kelvara
