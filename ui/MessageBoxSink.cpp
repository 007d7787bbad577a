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
      ok_(toQString(resources.loadString(res::kButtonOk))) {}

std::unique_ptr<QMessageBox> MessageBoxSink::makeBox(std::u16string_view text, MessageIcon icon,
                                                     MessageButtons buttons, QWidget* parent) const {
    const QMessageBox::Icon boxIcon =
        icon == MessageIcon::Question ? QMessageBox::Question : QMessageBox::Warning;
    const auto standard =
        buttons == MessageButtons::YesNo ? QMessageBox::Yes | QMessageBox::No : QMessageBox::Ok;
    auto box = std::make_unique<QMessageBox>(boxIcon, title_, toQString(text), standard, parent);
    setText(*box, QMessageBox::Yes, yes_);
    setText(*box, QMessageBox::No, no_);
    setText(*box, QMessageBox::Ok, ok_);
    return box;
}

MessageReply MessageBoxSink::reply(const QMessageBox& box, MessageButtons buttons) {
    if (buttons == MessageButtons::Ok) return MessageReply::Ok;
    return box.standardButton(box.clickedButton()) == QMessageBox::Yes ? MessageReply::Yes : MessageReply::No;
}

MessageReply MessageBoxSink::show(std::u16string_view text, MessageIcon icon, MessageButtons buttons) {
    QWidget* parent = QApplication::activeModalWidget();
    if (!parent) parent = QApplication::activeWindow();
    const auto box = makeBox(text, icon, buttons, parent);
    box->exec();
    return reply(*box, buttons);
}

}  // namespace tesmor::ui
