#pragma once

#include <QLocale>

#include "filelist/file_list.h"

namespace kelvara {

// The status column's texts in the interface's language, one per result and
// the waiting text last. The success text also marks what "remove succeeded"
// removes in the user's eyes.
const StatusTexts& statusTexts();
// The reason column's texts in the interface's language, one per Failure.
const ReasonTexts& reasonTexts();

// The interface languages: Japanese, or English for every other locale.
enum class Language { English, Japanese };

Language languageFor(const QLocale& locale);
// Installs the translators of `language` on the application (those of the
// language before are removed) and refills the tables above. Windows made
// afterwards show the language; a list shows it once given the tables again.
void useLanguage(Language language);
Language currentLanguage();

}  // namespace kelvara
