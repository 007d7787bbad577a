#include "MessageBoxSink.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QWidget>

#include "platform/ResourceIds.h"
#include "ui/UiContext.h"

namespace tesmor::ui {

namespace {

// A resource library without the text keeps Qt's own.
void setText(QMessageBox& box, QMessageBox::StandardButton which, const QString& text) {
    if (QAbstractButton* button = box.button(which); button && !text.isEmpty()) button->setText(text);
}

}  // namespace

MessageBoxSink::MessageBoxSink(const Resources& resources)
    : title_(toQString(resources.dialogText(res::kMainWindow, res::kCaption))),
      yes_(toQString(resources.loadString(res::kButtonYes))),
      no_(toQString(resources.loadString(res::kButtonNo))),
      ok_(toQString(resources.loadString(res::kButtonOk))),
      replace_(toQString(resources.loadString(res::kButtonReplace))),
      append_(toQString(resources.loadString(res::kButtonAppend))),
      cancel_(toQString(resources.loadString(res::kButtonCancel))) {}

std::unique_ptr<QMessageBox> MessageBoxSink::makeBox(std::u16string_view text, MessageIcon icon,
                                                     MessageButtons buttons, QWidget* parent) const {
    const QMessageBox::Icon boxIcon =
        icon == MessageIcon::Question ? QMessageBox::Question : QMessageBox::Warning;
    QMessageBox::StandardButtons standard = QMessageBox::Ok;
    if (buttons == MessageButtons::YesNo) standard = QMessageBox::Yes | QMessageBox::No;
    if (buttons == MessageButtons::ReplaceAppendCancel)
        standard = QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel;
    auto box = std::make_unique<QMessageBox>(boxIcon, title_, toQString(text), standard, parent);
    const bool importQuestion = buttons == MessageButtons::ReplaceAppendCancel;
    setText(*box, QMessageBox::Yes, importQuestion ? replace_ : yes_);
    setText(*box, QMessageBox::No, importQuestion ? append_ : no_);
    setText(*box, QMessageBox::Cancel, cancel_);
    setText(*box, QMessageBox::Ok, ok_);
    if (importQuestion) box->setEscapeButton(QMessageBox::Cancel);
    return box;
}

MessageReply MessageBoxSink::reply(const QMessageBox& box, MessageButtons buttons) {
    const QMessageBox::StandardButton clicked = box.standardButton(box.clickedButton());
    switch (buttons) {
        case MessageButtons::Ok:
            return MessageReply::Ok;
        case MessageButtons::YesNo:
            return clicked == QMessageBox::Yes ? MessageReply::Yes : MessageReply::No;
        case MessageButtons::ReplaceAppendCancel:
            if (clicked == QMessageBox::Yes) return MessageReply::Replace;
            return clicked == QMessageBox::No ? MessageReply::Append : MessageReply::Cancel;
    }
    return MessageReply::Cancel;
}

MessageReply MessageBoxSink::show(std::u16string_view text, MessageIcon icon, MessageButtons buttons) {
    QWidget* parent = QApplication::activeModalWidget();
    if (!parent) parent = QApplication::activeWindow();
    const auto box = makeBox(text, icon, buttons, parent);
    box->exec();
    return reply(*box, buttons);
}

}  // namespace tesmor::ui
