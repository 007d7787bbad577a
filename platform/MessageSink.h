#pragma once
// Modal messages to the user. A window host shows a message box, a headless host logs the
// text, tests record it. Without a sink the text is logged and a question is answered "No" (or
// "Cancel"), so nothing is destroyed on a question nobody saw.
#include <string_view>

namespace tesmor {

enum class MessageIcon { Warning, Exclamation, Question };
// ReplaceAppendCancel: the map import's question; Escape or closing the box is Cancel.
enum class MessageButtons { Ok, YesNo, ReplaceAppendCancel };
enum class MessageReply { Ok, Yes, No, Replace, Append, Cancel };

class MessageSink {
public:
    virtual ~MessageSink() = default;
    // Returns when the user has answered; called on the user interface thread.
    virtual MessageReply show(std::u16string_view text, MessageIcon icon, MessageButtons buttons) = 0;
};

// The sink must outlive its use; nullptr restores the logging default. Returns the previous sink.
MessageSink* setMessageSink(MessageSink* sink) noexcept;
MessageReply showMessage(std::u16string_view text, MessageIcon icon,
                         MessageButtons buttons = MessageButtons::Ok);

}  // namespace tesmor
