#include "desktop/file_dialogs.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileDialog>
#include <QStringList>

namespace kelvara {

QString imageFileFilter() {
    return QCoreApplication::translate("kelvara::MainWindow", "Supported files (*.bmp *.png *.xyz)");
}

std::optional<std::vector<std::string>> chooseImageFiles(QWidget* owner,
                                                         const std::string& startFolder) {
    const QStringList chosen =
        QFileDialog::getOpenFileNames(owner, QString(), pathToQString(startFolder),
                                      imageFileFilter());
    if (chosen.isEmpty()) {
        return std::nullopt;
    }
    std::vector<std::string> paths;
    paths.reserve(static_cast<std::size_t>(chosen.size()));
    for (const QString& path : chosen) {
        paths.push_back(qStringToPath(path));
    }
    return paths;
}

std::optional<std::string> chooseFolder(QWidget* owner, const QString& title,
                                        const std::string& startFolder) {
    const QString chosen = QFileDialog::getExistingDirectory(
        owner, title, pathToQString(startFolder), QFileDialog::ShowDirsOnly);
    if (chosen.isEmpty()) {
        return std::nullopt;
    }
    return qStringToPath(chosen);
}

std::string stripTrailingSeparator(std::string path) {
    if (path.size() > 1 && path.back() == '/') {
        path.pop_back();
    }
    return path;
}

QString pathToQString(const std::string& path) {
    return QFile::decodeName(QByteArray(path.data(), static_cast<qsizetype>(path.size())));
}

std::string qStringToPath(const QString& path) {
    const QByteArray bytes = QFile::encodeName(path);
    return std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

QUrl fileUrl(const std::string& path) {
    const QByteArray bytes(path.data(), static_cast<qsizetype>(path.size()));
    return QUrl::fromEncoded("file://" + bytes.toPercentEncoding("/"));
}

}  // namespace kelvara
