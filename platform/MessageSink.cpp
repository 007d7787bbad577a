#include "MessageSink.h"

#include <atomic>
#include <string>

#include "Log.h"
#include "Text.h"

namespace tesmor {

namespace {
std::atomic<MessageSink*> currentSink{nullptr};
}

MessageSink* setMessageSink(MessageSink* sink) noexcept { return currentSink.exchange(sink); }

MessageReply showMessage(std::u16string_view text, MessageIcon icon, MessageButtons buttons) {
    if (auto* sink = currentSink.load()) return sink->show(text, icon, buttons);
    logLine(std::string("message: ") + toUtf8(text));
    switch (buttons) {
        case MessageButtons::YesNo:
            return MessageReply::No;
        case MessageButtons::ReplaceAppendCancel:
            return MessageReply::Cancel;
        case MessageButtons::Ok:
            break;
    }
    return MessageReply::Ok;
}

}  // namespace tesmor
