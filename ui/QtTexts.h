#pragma once
// Qt's own texts (the file dialogs' labels, buttons and menus) in the language of the plug-in's
// resources, for as long as the object lives: Qt's translations from Debian's
// qt6-translations-l10n. Without them, or for English, Qt's English stays. The translator is
// installed application-wide, so keep the object only around a dialog of Qt's. GUI thread only.
#include <QTranslator>

#include "platform/Resources.h"

namespace tesmor::ui {

class QtTexts {
public:
    explicit QtTexts(const Resources& resources);
    ~QtTexts();
    QtTexts(const QtTexts&) = delete;
    QtTexts& operator=(const QtTexts&) = delete;

    // True when Qt's texts of that language were found and are in use.
    bool loaded() const { return loaded_; }

private:
    QTranslator translator_;
    bool loaded_ = false;
};

}  // namespace tesmor::ui
