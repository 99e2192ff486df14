#pragma once

#include <string>
#include <vector>

class QMimeData;

namespace kelvara {

// The local files and folders a drag carries (file: URIs of its raw
// text/uri-list), as the byte paths the file system knows them by, in the
// order given; percent escapes are decoded into bytes, never through text, so
// names that are not UTF-8 survive. A trailing '/' is dropped (except for the
// root) so that a folder's name starts the relative paths of its files.
// Remote URIs are left out.
std::vector<std::string> localPathsFromMime(const QMimeData& mime);

// Whether a drag offers at least one local path.
bool offersLocalPaths(const QMimeData& mime);

}  // namespace kelvara
