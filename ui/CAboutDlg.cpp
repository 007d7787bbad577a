#include "CAboutDlg.h"

#include <QFont>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>
#include <cstdio>

#include "platform/ResourceIds.h"
#include "ui/DialogSupport.h"
#include "ui/ModuleIcon.h"
#include "ui/UiContext.h"

namespace tesmor::ui {

using namespace res;
using namespace res::about;

namespace {
constexpr int kIconSize = 80;
}  // namespace

std::u16string versionBlock(const Resources& resources) {
    for (const TesmorTranslation& t : resources.translations()) {
        if (t.language != 1033 && t.language != 1049 && t.language != 25) continue;
        char block[9];
        std::snprintf(block, sizeof block, "%04x%04x", unsigned(t.language), unsigned(t.codePage));
        return std::u16string(block, block + 8);
    }
    return {};
}

VersionTexts versionTexts(const Resources& resources) {
    const std::u16string block = versionBlock(resources);
    auto value = [&](std::u16string_view name) { return resources.versionValue(block, name); };
    return {value(u"CompanyName"), value(u"ProductName"), value(u"ProductVersion"), value(u"LegalCopyright"),
            value(u"FileDescription")};
}

CAboutDlg::CAboutDlg(const Resources& resources, QWidget* parent) : QDialog(parent), resources_(resources) {
    setObjectName(QStringLiteral("CAboutDlg"));
    setWindowIcon(moduleIcon());
    setWindowTitle(toQString(resources_.loadString(kAboutCaption)));

    auto label = [this](unsigned id, const QString& shown) {
        auto* l = new QLabel(shown, this);
        l->setObjectName(controlName(id));
        l->setTextInteractionFlags(Qt::TextSelectableByMouse);
        return l;
    };
    const VersionTexts v = versionTexts(resources_);
    auto* icon = label(kIcon, QString());
    icon->setPixmap(moduleIconPixmap(kIconSize));
    icon->setFixedSize(kIconSize, kIconSize);
    auto* company = label(kCompany, toQString(v.companyName));
    auto* product = label(kProduct, toQString(v.productName));
    auto* versionLabel = label(kVersionLabel, text(kVersionLabel));
    auto* version = label(kVersion, toQString(v.productVersion));
    auto* legal = label(kCopyright, toQString(v.legalCopyright));
    auto* description = label(kDescription, toQString(v.fileDescription));
    QFont bold = product->font();
    bold.setBold(true);
    product->setFont(bold);
    description->setWordWrap(true);
    legal->setWordWrap(true);

    auto* ok = withId(new QPushButton(text(kOk), this), kOk);
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);

    auto* texts = new QGridLayout;
    texts->addWidget(company, 0, 0, 1, 2);
    texts->addWidget(product, 1, 0, 1, 2);
    texts->addWidget(versionLabel, 2, 0);
    texts->addWidget(version, 2, 1);
    texts->addWidget(legal, 3, 0, 1, 2);
    texts->addWidget(description, 4, 0, 1, 2);
    texts->setColumnStretch(1, 1);
    auto* top = new QHBoxLayout;
    top->addWidget(icon, 0, Qt::AlignTop);
    top->addSpacing(12);
    top->addLayout(texts, 1);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(ok);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addLayout(buttons);
    setMinimumWidth(420);
}

QString CAboutDlg::text(unsigned control) const {
    return toQString(resources_.dialogText(kAboutDialog, control));
}

}  // namespace tesmor::ui
