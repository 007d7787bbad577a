#pragma once
// The about box (kAboutDialog): the module's icon and five version values of the module that
// supplies the current resources. A new object for every showing. GUI thread only.
#include <QDialog>
#include <QString>
#include <array>
#include <string>

#include "platform/Resources.h"

namespace tesmor::ui {

// The five version values in the order the box shows them.
struct VersionTexts {
    std::u16string companyName;
    std::u16string productName;
    std::u16string productVersion;
    std::u16string legalCopyright;
    std::u16string fileDescription;
};

// The block of the first translation whose language is 1033, 1049 or 25, as "%04x%04x"
// (language, code page); empty when there is none.
std::u16string versionBlock(const Resources& resources);
// The five values under that block; a missing value (or block) reads as empty.
VersionTexts versionTexts(const Resources& resources);

class CAboutDlg : public QDialog {
    Q_OBJECT
public:
    // The resources must outlive the dialog.
    explicit CAboutDlg(const Resources& resources, QWidget* parent = nullptr);

private:
    QString text(unsigned control) const;

    const Resources& resources_;
};

}  // namespace tesmor::ui
