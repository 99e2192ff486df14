#pragma once

#include <string>
#include <vector>

class QMimeData;

namespace kelvara {

// The local files and folders a drag carries (text/uri-list with file: URLs),
// as the byte paths the file system knows them by, in the order given. A
// trailing '/' is dropped (except for the root) so that a folder's name
// starts the relative paths of its files. Remote URLs are left out.
std::vector<std::string> localPathsFromMime(const QMimeData& mime);

// Whether a drag offers at least one local path.
bool offersLocalPaths(const QMimeData& mime);

}  // namespace kelvara
