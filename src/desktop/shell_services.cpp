#include "desktop/shell_services.h"

#include <libdeflate.h>
#include <png.h>
#include <zlib.h>

#include <QMessageBox>

#include "desktop/file_dialogs.h"
#include "desktop/help.h"
#include "desktop/settings_dialog.h"

namespace kelvara {

std::optional<std::vector<std::string>> DesktopServices::chooseFiles(
    QWidget* owner, const std::string& startFolder) {
    return chooseImageFiles(owner, startFolder);
}

bool DesktopServices::editSettings(QWidget* owner, const QString& caption, Settings& settings) {
    return showSettingsSheet(owner, caption, settings);
}

void DesktopServices::showVersion(QWidget* owner, const QString& caption, const QString& text) {
    QMessageBox box(QMessageBox::Information, caption, text, QMessageBox::Ok, owner);
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

void DesktopServices::openHelp(const std::string& programDir) {
    openManual(programDir);  // a missing manual is not reported
}

QString versionCaption() { return QStringLiteral("バージョン情報"); }

QString versionText() {
    return QStringLiteral(
               "%1 %2\n%3\n\nzlib\tversion %4\nlibpng\tversion %5\nlibdeflate\tversion %6\n")
        .arg(QString::fromUtf8(kDisplayName), QString::fromUtf8(kVersionText),
             QStringLiteral("Converts 8-bit palette images between BMP, PNG and XYZ."),
             QString::fromLatin1(ZLIB_VERSION), QString::fromLatin1(PNG_LIBPNG_VER_STRING),
             QString::fromLatin1(LIBDEFLATE_VERSION_STRING));
}

}  // namespace kelvara
