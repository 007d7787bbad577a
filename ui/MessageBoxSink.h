#pragma once
// Shows the plug-in's messages as modal message boxes. GUI thread only, with a QApplication.
#include <QString>

#include "platform/MessageSink.h"

namespace tesmor::ui {

class MessageBoxSink final : public MessageSink {
public:
    explicit MessageBoxSink(QString title) : title_(std::move(title)) {}
    // Parented to the window that is active or modal, so the box stays above it.
    MessageReply show(std::u16string_view text, MessageIcon icon, MessageButtons buttons) override;

private:
    QString title_;
};

}  // namespace tesmor::ui
