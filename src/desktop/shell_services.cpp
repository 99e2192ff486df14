#include "desktop/shell_services.h"

#include <libdeflate.h>
#include <png.h>
#include <zlib.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDesktopServices>
#include <QMessageBox>

#include "desktop/file_dialogs.h"
#include "desktop/settings_dialog.h"
#include "io/path_toolkit.h"

namespace kelvara {

std::optional<std::vector<std::string>> DesktopServices::chooseFiles(
    QWidget* owner, const std::string& startFolder) {
    return chooseImageFiles(owner, startFolder);
}

std::optional<std::string> DesktopServices::chooseFolder(QWidget* owner,
                                                         const std::string& startFolder) {
    return kelvara::chooseFolder(
        owner, QCoreApplication::translate("kelvara::MainWindow", "Add folder"), startFolder);
}

bool DesktopServices::editSettings(QWidget* owner, const QString& caption, Settings& settings) {
    return showSettingsSheet(owner, caption, settings);
}

void DesktopServices::showVersion(QWidget* owner, const QString& caption, const QString& text) {
    showMessage(owner, caption, text);
}

void DesktopServices::showMessage(QWidget* owner, const QString& caption, const QString& text) {
    QMessageBox box(QMessageBox::Information, caption, text, QMessageBox::Ok, owner);
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

bool DesktopServices::openUrl(const QUrl& url) { return QDesktopServices::openUrl(url); }

bool DesktopServices::showInFolder(const std::string& path) {
    // The file manager interface most desktops offer selects the file; without
    // it the folder alone is opened.
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("/org/freedesktop/FileManager1"),
        QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("ShowItems"));
    call << QStringList{QString::fromLatin1(fileUrl(path).toEncoded())} << QString();
    const QDBusMessage reply = QDBusConnection::sessionBus().call(call, QDBus::Block, 3000);
    if (reply.type() == QDBusMessage::ReplyMessage) {
        return true;
    }
    const std::string folder = directoryPart(path, PathStyle::native());
    return openUrl(fileUrl(folder.empty() ? std::string("/") : folder));
}

QString versionCaption() {
    return QCoreApplication::translate("kelvara::MainWindow", "Version");
}

QString versionText() {
    return QStringLiteral(
               "%1 %2\n%3\n\nzlib\tversion %4\nlibpng\tversion %5\nlibdeflate\tversion %6\n")
        .arg(QCoreApplication::translate("kelvara::MainWindow", "Kelvara Image Converter"),
             QString::fromUtf8(kVersionText),
             QCoreApplication::translate("kelvara::MainWindow",
                                         "Converts 8-bit palette images between BMP, PNG and XYZ."),
             QString::fromLatin1(ZLIB_VERSION), QString::fromLatin1(PNG_LIBPNG_VER_STRING),
             QString::fromLatin1(LIBDEFLATE_VERSION_STRING));
}

}  // namespace kelvara
