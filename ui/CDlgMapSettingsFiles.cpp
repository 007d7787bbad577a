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
#include "ui/QtTexts.h"

namespace tesmor::ui {

using namespace res;
using namespace res::map;

namespace {

// A message box holds a screenful: the first errors, then how many more.
constexpr int kErrorsShown = 20;

}  // namespace

std::pair<QPushButton*, QPushButton*> CDlgMapSettings::addFileButtons(QLayout* actions) {
    auto add = [&](unsigned id, void (CDlgMapSettings::*run)()) {
        auto* button = withId(new QPushButton(dialogText(context_, kMapDialog, id), this), id);
        button->setAutoDefault(false);
        actions->addWidget(button);
        connect(button, &QPushButton::clicked, this, run);
        return button;
    };
    QPushButton* importButton = add(kImport, &CDlgMapSettings::importMap);
    return {importButton, add(kExport, &CDlgMapSettings::exportMap)};
}

void CDlgMapSettings::setFileChooser(FileChooser chooser) { fileChooser_ = std::move(chooser); }

QString CDlgMapSettings::chooseFile(bool save, FileKind& kind) {
    if (fileChooser_) return fileChooser_(save, kind);
    // Qt's file dialog in the language of the plug-in, not in the host's.
    const QtTexts qtTexts(context_.resources);
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
    // The file is named once; each error by its line and, where it has one, its column.
    auto refused = [&](const std::vector<tesmor::MapFileError>& errors) {
        QString message = loadString(context_, kFileRefused).arg(path, QString::number(errors.size()));
        const int shown = std::min<int>(kErrorsShown, int(errors.size()));
        for (int i = 0; i < shown; ++i) {
            const tesmor::MapFileError& e = errors[std::size_t(i)];
            const QString reason = toQString(e.reason);
            message += u'\n';
            const QString line = QString::number(e.line);
            message += e.column.empty()
                           ? loadString(context_, kErrorAtLine).arg(line, reason)
                           : loadString(context_, kErrorAtColumn)
                                 .arg(line, QString::fromLatin1(e.column.data(), e.column.size()), reason);
        }
        if (int(errors.size()) > shown) message += QStringLiteral("\n…");
        warn(message);
    };
    tesmor::MapFileImport imported = tesmor::readMapFile(text, languages);
    if (!imported.errors.empty()) return refused(imported.errors);

    const auto reply =
        tesmor::showMessage(context_.resources.loadString(kReplaceOrAppend), tesmor::MessageIcon::Question,
                            tesmor::MessageButtons::ReplaceAppendCancel);
    if (reply != tesmor::MessageReply::Replace && reply != tesmor::MessageReply::Append) return;
    if (reply == tesmor::MessageReply::Append) {
        imported = tesmor::readMapFile(text, languages, &entries_);
        if (!imported.errors.empty()) return refused(imported.errors);
    } else {
        entries_.clear();
    }
    // Into the dialog's rows like any other edit: OK saves them, Cancel drops them.
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
