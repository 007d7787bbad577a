#pragma once
// A message sink that records every message instead of showing it and answers questions with a
// configurable reply. Installs itself for its lifetime.
#include <functional>
#include <string>
#include <vector>

#include "platform/MessageSink.h"

namespace tesmor::test {

class RecordingMessageSink : public MessageSink {
public:
    struct Message {
        std::u16string text;
        MessageIcon icon;
        MessageButtons buttons;
    };

    RecordingMessageSink() : previous_(setMessageSink(this)) {}
    ~RecordingMessageSink() override { setMessageSink(previous_); }
    RecordingMessageSink(const RecordingMessageSink&) = delete;
    RecordingMessageSink& operator=(const RecordingMessageSink&) = delete;

    MessageReply show(std::u16string_view text, MessageIcon icon, MessageButtons buttons) override {
        messages.push_back({std::u16string(text), icon, buttons});
        if (onMessage) onMessage();
        return buttons == MessageButtons::Ok ? MessageReply::Ok : questionReply;
    }

    std::vector<std::u16string> texts() const {
        std::vector<std::u16string> out;
        for (const auto& m : messages) out.push_back(m.text);
        return out;
    }
    void clear() { messages.clear(); }

    std::vector<Message> messages;
    MessageReply questionReply = MessageReply::No;  // the answer to any question
    // Called after each message is recorded, e.g. to check what the caller holds meanwhile.
    std::function<void()> onMessage;

private:
    MessageSink* previous_;
};

}  // namespace tesmor::test
