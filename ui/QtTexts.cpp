#include "ui/QtTexts.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QString>

namespace tesmor::ui {

namespace {

// Qt's name of a language, from the primary language of a Windows language id (the low ten
// bits); empty for English, which Qt speaks untranslated, and for languages Qt has no texts of.
QString qtLanguage(unsigned languageId) {
    switch (languageId & 0x3FF) {
        case 0x07:
            return QStringLiteral("de");
        case 0x0A:
            return QStringLiteral("es");
        case 0x0C:
            return QStringLiteral("fr");
        case 0x10:
            return QStringLiteral("it");
        case 0x19:
            return QStringLiteral("ru");
        case 0x22:
            return QStringLiteral("uk");
        default:
            return {};
    }
}

}  // namespace

QtTexts::QtTexts(const Resources& resources) {
    const auto translations = resources.translations();
    if (translations.empty() || !QCoreApplication::instance()) return;
    const QString language = qtLanguage(translations.front().language);
    if (language.isEmpty()) return;
    loaded_ = translator_.load(QStringLiteral("qtbase_") + language,
                               QLibraryInfo::path(QLibraryInfo::TranslationsPath)) &&
              QCoreApplication::installTranslator(&translator_);
}

QtTexts::~QtTexts() {
    if (loaded_) QCoreApplication::removeTranslator(&translator_);
}

}  // namespace tesmor::ui
