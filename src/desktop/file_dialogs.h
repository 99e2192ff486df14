#pragma once

#include <optional>
#include <string>
#include <vector>

#include <QString>
#include <QUrl>

class QWidget;

namespace kelvara {

// The open-file dialog's filter: the three image types.
QString imageFileFilter();

// The open-file dialog: several files may be chosen, starting in startFolder
// (the platform's choice when empty). Nothing when the user cancelled.
std::optional<std::vector<std::string>> chooseImageFiles(QWidget* owner,
                                                         const std::string& startFolder);

// The folder browser: only folders, starting at startFolder when it is not
// empty. Nothing when the user cancelled. The path comes back as the dialog
// gives it; stripTrailingSeparator makes it a setting's value.
std::optional<std::string> chooseFolder(QWidget* owner, const QString& title,
                                        const std::string& startFolder);

// Removes one trailing '/', except from the root folder itself, which would
// otherwise become an empty (and so meaningless) folder.
std::string stripTrailingSeparator(std::string path);

// Paths are byte strings in the file system's encoding.
QString pathToQString(const std::string& path);
std::string qStringToPath(const QString& path);
// The file: URL of an absolute path, every byte kept (percent-encoded), for
// the programs a desktop opens files with and for the clipboard.
QUrl fileUrl(const std::string& path);

}  // namespace kelvara
