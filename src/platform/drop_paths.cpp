#include "platform/drop_paths.h"

#include <QFile>
#include <QMimeData>
#include <QUrl>

namespace kelvara {

std::vector<std::string> localPathsFromMime(const QMimeData& mime) {
    std::vector<std::string> paths;
    if (!mime.hasUrls()) {
        return paths;
    }
    for (const QUrl& url : mime.urls()) {
        if (!url.isLocalFile()) {
            continue;
        }
        // encodeName gives back the bytes the file system uses for the name.
        const QByteArray bytes = QFile::encodeName(url.toLocalFile());
        std::string path(bytes.constData(), static_cast<std::size_t>(bytes.size()));
        while (path.size() > 1 && path.back() == '/') {
            path.pop_back();
        }
        if (!path.empty()) {
            paths.push_back(std::move(path));
        }
    }
    return paths;
}

bool offersLocalPaths(const QMimeData& mime) {
    if (!mime.hasUrls()) {
        return false;
    }
    for (const QUrl& url : mime.urls()) {
        if (url.isLocalFile()) {
            return true;
        }
    }
    return false;
}

}  // namespace kelvara
