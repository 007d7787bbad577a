// The map dialog's map files: import and export through the core's reader and writer.
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QLayout>
#include <QPushButton>
#include <QSaveFile>
#include <algorithm>

#include "modbus/MapFile.h"
#include "platform/MessageSink.h"
#include "platform/ResourceIds.h"
#include "ui/CDlgMapSettings.h"
#include "ui/DialogSupport.h"

namespace tesmor::ui {

using namespace res;
using namespace res::map;

namespace {

// A message box holds a screenful: the first errors, then how many more.
constexpr int kErrorsShown = 20;

}  // namespace

void CDlgMapSettings::addFileButtons(QLayout* actions) {
    for (unsigned id : {kImport, kExport}) {
        auto* button = withId(new QPushButton(dialogText(context_, kMapDialog, id), this), id);
        button->setAutoDefault(false);
        actions->addWidget(button);
        connect(button, &QPushButton::clicked, this,
                id == kImport ? &CDlgMapSettings::importMap : &CDlgMapSettings::exportMap);
    }
}

void CDlgMapSettings::setFileChooser(FileChooser chooser) { fileChooser_ = std::move(chooser); }

QString CDlgMapSettings::chooseFile(bool save, FileKind& kind) {
    if (fileChooser_) return fileChooser_(save, kind);
    const QString mapFilter = loadString(context_, kMapFileFilter);
    const QString title =
        dialogText(context_, kMapDialog, save ? kExport : kImport).remove(QStringLiteral("..."));
    if (!save) return QFileDialog::getOpenFileName(this, title, QString(), mapFilter);
    const QString tagFilter = loadString(context_, kTagListFilter);
    QString chosen = mapFilter;
    QString path = QFileDialog::getSaveFileName(this, title, QString(),
                                                mapFilter + QStringLiteral(";;") + tagFilter, &chosen);
    kind = chosen == tagFilter ? FileKind::TagList : FileKind::Map;
    if (!path.isEmpty() && QFileInfo(path).suffix().isEmpty()) path += QStringLiteral(".csv");
    return path;
}

void CDlgMapSettings::importMap() {
    FileKind kind = FileKind::Map;
    const QString path = chooseFile(false, kind);
    if (path.isEmpty()) return;
    auto warn = [](const QString& text) {
        tesmor::showMessage(text.toStdU16String(), tesmor::MessageIcon::Warning);
    };
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return warn(loadString(context_, kFileFailed).replace(QStringLiteral("%1"), path));
    }
    const QByteArray bytes = file.readAll();
    const tesmor::MapLanguages languages{&context_.resources, context_.otherLanguages};
    const std::string_view text(bytes.constData(), std::size_t(bytes.size()));
    auto refused = [&](const std::vector<tesmor::MapFileError>& errors) {
        const std::vector<tesmor::MapFileError> shown(
            errors.begin(), errors.begin() + std::min<int>(kErrorsShown, int(errors.size())));
        QString message =
            loadString(context_, kFileRefused).replace(QStringLiteral("%1"), QString::number(errors.size()));
        message +=
            u'\n' + QString::fromStdString(tesmor::formatMapFileErrors(path.toStdString(), shown)).trimmed();
        if (errors.size() > shown.size()) message += QStringLiteral("\n…");
        warn(message);
    };
    tesmor::MapFileImport imported = tesmor::readMapFile(text, languages);
    if (!imported.errors.empty()) return refused(imported.errors);

    const auto reply = tesmor::showMessage(context_.resources.loadString(kReplaceOrAppend),
                                           tesmor::MessageIcon::Question, tesmor::MessageButtons::YesNo);
    if (reply != tesmor::MessageReply::Yes) {
        imported = tesmor::readMapFile(text, languages, &entries_);
        if (!imported.errors.empty()) return refused(imported.errors);
    }
    // Into the dialog's rows like any other edit: OK saves them, Cancel drops them.
    if (reply == tesmor::MessageReply::Yes) entries_.clear();
    for (tesmor::RegisterInfo& entry : imported.entries) entries_.push_back(std::move(entry));
    fillList();
}

void CDlgMapSettings::exportMap() {
    FileKind kind = FileKind::Map;
    const QString path = chooseFile(true, kind);
    if (path.isEmpty()) return;
    // The rows the user sees, edits included.
    const tesmor::MapLanguages languages{&context_.resources, context_.otherLanguages};
    const std::string bytes = kind == FileKind::TagList ? tesmor::writeTagList(entries_, languages)
                                                        : tesmor::writeMapFile(entries_, languages);
    // Written beside the target and renamed over it: a reader never sees half a file.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) ||
        file.write(bytes.data(), qint64(bytes.size())) != qint64(bytes.size()) || !file.commit()) {
        tesmor::showMessage(
            loadString(context_, kFileFailed).replace(QStringLiteral("%1"), path).toStdU16String(),
            tesmor::MessageIcon::Warning);
    }
}

}  // namespace tesmor::ui
