#include "MessageBoxSink.h"

#include <QApplication>
#include <QMessageBox>
#include <QWidget>

#include "ui/UiContext.h"

namespace tesmor::ui {

MessageReply MessageBoxSink::show(std::u16string_view text, MessageIcon icon, MessageButtons buttons) {
    QWidget* parent = QApplication::activeModalWidget();
    if (!parent) parent = QApplication::activeWindow();
    const QMessageBox::Icon boxIcon = icon == MessageIcon::Question ? QMessageBox::Question : QMessageBox::Warning;
    const auto standard = buttons == MessageButtons::YesNo ? QMessageBox::Yes | QMessageBox::No : QMessageBox::Ok;
    QMessageBox box(boxIcon, title_, toQString(text), standard, parent);
    const int answer = box.exec();
    if (buttons == MessageButtons::Ok) return MessageReply::Ok;
    return answer == QMessageBox::Yes ? MessageReply::Yes : MessageReply::No;
}

}  // namespace tesmor::ui
