#pragma once
// Shows the plug-in's messages as modal message boxes, every text of a box, its buttons too, from
// the plug-in's resources: Qt's own button texts would follow the host's translations (or none),
// which can mix two languages in one box. GUI thread only, with a QApplication.
#include <QMessageBox>
#include <QString>
#include <QWidget>
#include <memory>

#include "platform/MessageSink.h"
#include "platform/Resources.h"

namespace tesmor::ui {

class MessageBoxSink final : public MessageSink {
public:
    // Takes the title and the button texts from `resources` now.
    explicit MessageBoxSink(const Resources& resources);
    // Parented to the window that is active or modal, so the box stays above it.
    MessageReply show(std::u16string_view text, MessageIcon icon, MessageButtons buttons) override;

    // The box show() runs, built but not shown.
    std::unique_ptr<QMessageBox> makeBox(std::u16string_view text, MessageIcon icon, MessageButtons buttons,
                                         QWidget* parent = nullptr) const;
    // The answer a closed box gives: No for a yes/no question closed without Yes, Cancel for the
    // import question closed without Replace or Append (Escape, the window's close button).
    static MessageReply reply(const QMessageBox& box, MessageButtons buttons);

private:
    QString title_;
    QString yes_;
    QString no_;
    QString ok_;
    QString replace_;
    QString append_;
    QString cancel_;
};

}  // namespace tesmor::ui
