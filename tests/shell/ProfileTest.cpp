// The profile wrappers against the stand-in host's store and against hosts that misbehave.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "HostCore.h"
#include "HostServices.h"

using namespace tesmor;
using tesmor::host::HostCall;
using tesmor::host::HostCore;
using tesmor::host::JsonProfile;

namespace {

class ProfileWrappers : public ::testing::Test {
protected:
    void SetUp() override {
        core().reset();
        core().setCallObserver(
            [this](const HostCall& call) { calls.push_back(call.function + " " + call.name); });
        setHostApi(core().api());
        setProfileFolder(u"plugins\\tesmor");
    }
    void TearDown() override {
        setHostApi(nullptr);
        setProfileFolder(u"");
        core().reset();
    }
    static HostCore& core() { return HostCore::instance(); }
    std::vector<std::string> calls;
};

TEST_F(ProfileWrappers, KeyAndSectionPaths) {
    EXPECT_EQ(profileKeyPath(u"Settings", u"localPort"), u"plugins\\tesmor\\Settings/localPort");
    EXPECT_EQ(profileSectionPath(u"MapSettings"), u"plugins\\tesmor\\MapSettings");
    setProfileFolder(u"");
    EXPECT_EQ(profileKeyPath(u"Settings", u"localPort"), u"Settings/localPort");
    EXPECT_EQ(profileSectionPath(u"Settings"), u"Settings");
}

TEST_F(ProfileWrappers, ValuesRoundTripWithTheirTypes) {
    EXPECT_TRUE(profileSetInt(u"Settings", u"localPort", 1502));
    EXPECT_TRUE(profileSetString(u"Settings", u"portName", u"COM3"));
    EXPECT_EQ(profileGetInt(u"Settings", u"localPort", 502), 1502);
    EXPECT_EQ(profileGetString(u"Settings", u"portName", u"COM1"), u"COM3");
    // A text is not an integer, and the reverse: the default applies.
    EXPECT_EQ(profileGetInt(u"Settings", u"portName", 7), 7);
    EXPECT_EQ(profileGetString(u"Settings", u"localPort", u"none"), u"none");
    EXPECT_EQ(profileGetInt(u"Settings", u"missing", -1), -1);
}

TEST_F(ProfileWrappers, TextsAreCutAt127Characters) {
    const std::u16string longText(200, u'ж');
    ASSERT_TRUE(profileSetString(u"MapSettings", u"regComponent_0", longText));
    EXPECT_EQ(profileGetString(u"MapSettings", u"regComponent_0", u""), longText.substr(0, 127));
    ASSERT_TRUE(profileSetString(u"MapSettings", u"regComponent_1", u""));
    EXPECT_EQ(profileGetString(u"MapSettings", u"regComponent_1", u"default"), u"");
}

TEST_F(ProfileWrappers, DelKeyRemovesTheWholeSection) {
    profileSetInt(u"MapSettings", u"regAddress_0", 1);
    profileSetInt(u"MapSettings", u"regAddress_1", 2);
    profileSetInt(u"Settings", u"isTCP", 1);
    EXPECT_TRUE(profileDelKey(u"MapSettings"));
    EXPECT_EQ(profileGetInt(u"MapSettings", u"regAddress_0", -1), -1);
    EXPECT_EQ(profileGetInt(u"MapSettings", u"regAddress_1", -1), -1);
    EXPECT_EQ(profileGetInt(u"Settings", u"isTCP", 0), 1);
}

TEST_F(ProfileWrappers, AMissingServiceGivesTheDefaultWithoutACall) {
    for (const char* s :
         {"Profile/GetInt", "Profile/GetString", "Profile/SetInt", "Profile/SetString", "Profile/DelKey"})
        core().withdrawService(s);
    calls.clear();
    EXPECT_EQ(profileGetInt(u"Settings", u"localPort", 502), 502);
    EXPECT_EQ(profileGetString(u"Settings", u"portName", u"COM1"), u"COM1");
    EXPECT_FALSE(profileSetInt(u"Settings", u"localPort", 1));
    EXPECT_FALSE(profileSetString(u"Settings", u"portName", u"x"));
    EXPECT_FALSE(profileDelKey(u"Settings"));
    for (const auto& call : calls) EXPECT_EQ(call.rfind("hasService ", 0), 0u) << call;
    EXPECT_EQ(calls.size(), 5u);
}

TEST_F(ProfileWrappers, NoHostGivesDefaults) {
    setHostApi(nullptr);
    EXPECT_EQ(profileGetInt(u"Settings", u"localPort", 502), 502);
    EXPECT_EQ(profileGetString(u"Settings", u"parity", u"None"), u"None");
    EXPECT_FALSE(profileSetInt(u"Settings", u"localPort", 1));
}

// A host that fills the whole buffer without a terminator, and answers found for every key.
intptr_t fullBufferService(const char* service, intptr_t, intptr_t b) {
    if (std::string(service) == "Profile/GetString") {
        auto* request = reinterpret_cast<TextRequest*>(b);
        for (uint32_t i = 0; i < request->capacity; ++i) request->buffer[i] = u'x';
        return 1;
    }
    return 0;
}
int everyService(const char*) { return 1; }

TEST_F(ProfileWrappers, AnUnterminatedAnswerStillEndsAt127) {
    HostApi host{};
    host.callService = &fullBufferService;
    host.hasService = &everyService;
    setHostApi(&host);
    EXPECT_EQ(profileGetString(u"Settings", u"portName", u"COM1"), std::u16string(127, u'x'));
    // A reader whose call answers 0 gives the default.
    EXPECT_EQ(profileGetInt(u"Settings", u"localPort", 502), 502);
}

}  // namespace
