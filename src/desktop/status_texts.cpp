#include "desktop/status_texts.h"

#include <array>
#include <memory>

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QTranslator>

namespace kelvara {

namespace {

constexpr char kStatusContext[] = "kelvara::StatusTexts";
constexpr std::array<const char*, kConvertStatusCount + 1> kStatusSources = {
    QT_TRANSLATE_NOOP("kelvara::StatusTexts", "Done"),
    QT_TRANSLATE_NOOP("kelvara::StatusTexts", "Skipped"),
    QT_TRANSLATE_NOOP("kelvara::StatusTexts", "Copy failed"),
    QT_TRANSLATE_NOOP("kelvara::StatusTexts", "Unsupported format"),
    QT_TRANSLATE_NOOP("kelvara::StatusTexts", "Not 8-bit colour"),
    QT_TRANSLATE_NOOP("kelvara::StatusTexts", "Write error"),
    QT_TRANSLATE_NOOP("kelvara::StatusTexts", "Output conflicts with another file"),
    QT_TRANSLATE_NOOP("kelvara::StatusTexts", "Waiting"),
};

// The same texts as failureText() gives kelvara-batch, to be translated.
constexpr char kReasonContext[] = "kelvara::Failure";
constexpr std::array<const char*, kFailureCount> kReasonSources = {
    "",
    QT_TRANSLATE_NOOP("kelvara::Failure", "the file vanished"),
    QT_TRANSLATE_NOOP("kelvara::Failure", "not a regular file"),
    QT_TRANSLATE_NOOP("kelvara::Failure", "permission denied"),
    QT_TRANSLATE_NOOP("kelvara::Failure", "the header is not a supported bitmap"),
    QT_TRANSLATE_NOOP("kelvara::Failure", "not a PNG file"),
    QT_TRANSLATE_NOOP("kelvara::Failure", "not an XYZ file"),
    QT_TRANSLATE_NOOP("kelvara::Failure", "the file ends inside its header"),
    QT_TRANSLATE_NOOP("kelvara::Failure", "the file ends inside the pixel data"),
    QT_TRANSLATE_NOOP("kelvara::Failure", "the image data is damaged"),
    QT_TRANSLATE_NOOP("kelvara::Failure", "the compression is not supported"),
    QT_TRANSLATE_NOOP("kelvara::Failure", "the image has no pixels"),
    QT_TRANSLATE_NOOP("kelvara::Failure", "the image is wider or taller than 65535 pixels"),
    QT_TRANSLATE_NOOP("kelvara::Failure", "1, 2 or 4 bits per pixel"),
    QT_TRANSLATE_NOOP("kelvara::Failure", "more than 8 bits per pixel"),
    QT_TRANSLATE_NOOP("kelvara::Failure", "not enough memory"),
    QT_TRANSLATE_NOOP("kelvara::Failure", "the disk is full"),
    QT_TRANSLATE_NOOP("kelvara::Failure", "the disk is read-only"),
    QT_TRANSLATE_NOOP("kelvara::Failure", "the output would pass the file size limit"),
    QT_TRANSLATE_NOOP("kelvara::Failure", "the output folder could not be made"),
    QT_TRANSLATE_NOOP("kelvara::Failure", "a folder or another non-file has the output's name"),
    QT_TRANSLATE_NOOP("kelvara::Failure", "input/output error"),
    QT_TRANSLATE_NOOP("kelvara::Failure", "the output would replace another file of this run"),
    QT_TRANSLATE_NOOP("kelvara::Failure",
                      "a link at the output's name leads out of the output folder"),
    QT_TRANSLATE_NOOP("kelvara::Failure", "the system refused"),
};

struct Tables {
    StatusTexts status;
    ReasonTexts reasons;
    Language language = Language::English;
    std::unique_ptr<QTranslator> own;
    std::unique_ptr<QTranslator> qt;
};

std::string translated(const char* context, const char* source) {
    return *source == '\0' ? std::string()
                           : QCoreApplication::translate(context, source).toStdString();
}

void fill(Tables& tables) {
    for (std::size_t i = 0; i < kStatusSources.size(); ++i) {
        tables.status[i] = translated(kStatusContext, kStatusSources[i]);
    }
    for (std::size_t i = 0; i < kReasonSources.size(); ++i) {
        tables.reasons[i] = translated(kReasonContext, kReasonSources[i]);
    }
}

Tables& tables() {
    static Tables instance = [] {
        Tables t;
        fill(t);
        return t;
    }();
    return instance;
}

// A translator from `file` in `folder`, or none when there is no such file.
std::unique_ptr<QTranslator> load(const QString& file, const QString& folder) {
    auto translator = std::make_unique<QTranslator>();
    return translator->load(file, folder) ? std::move(translator) : nullptr;
}

}  // namespace

const StatusTexts& statusTexts() { return tables().status; }
const ReasonTexts& reasonTexts() { return tables().reasons; }

Language languageFor(const QLocale& locale) {
    return locale.language() == QLocale::Japanese ? Language::Japanese : Language::English;
}

void useLanguage(Language language) {
    Tables& t = tables();
    for (const auto* each : {&t.own, &t.qt}) {
        if (*each) {
            QCoreApplication::removeTranslator(each->get());
        }
    }
    const bool japanese = language == Language::Japanese;
    // English needs its own file only for plural forms; Qt's own texts
    // (dialog buttons) are English already.
    t.own = load(japanese ? QStringLiteral("kelvara_ja") : QStringLiteral("kelvara_en"),
                 QStringLiteral(":/i18n"));
    t.qt = japanese ? load(QStringLiteral("qtbase_ja"),
                           QLibraryInfo::path(QLibraryInfo::TranslationsPath))
                    : nullptr;
    for (const auto* each : {&t.own, &t.qt}) {
        if (*each) {
            QCoreApplication::installTranslator(each->get());
        }
    }
    t.language = language;
    fill(t);
}

Language currentLanguage() { return tables().language; }

}  // namespace kelvara
