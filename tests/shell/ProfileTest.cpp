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
        profile.setFolder(u"plugins\\tesmor");
    }
    void TearDown() override { core().reset(); }
    static HostCore& core() { return HostCore::instance(); }
    std::vector<std::string> calls;
    HostServices host{core().api()};
    HostProfile profile{host};
};

TEST_F(ProfileWrappers, KeyAndSectionPaths) {
    EXPECT_EQ(profile.keyPath(u"Settings", u"localPort"), u"plugins\\tesmor\\Settings/localPort");
    EXPECT_EQ(profile.sectionPath(u"MapSettings"), u"plugins\\tesmor\\MapSettings");
    profile.setFolder(u"");
    EXPECT_EQ(profile.keyPath(u"Settings", u"localPort"), u"Settings/localPort");
    EXPECT_EQ(profile.sectionPath(u"Settings"), u"Settings");
}

TEST_F(ProfileWrappers, ValuesRoundTripWithTheirTypes) {
    EXPECT_TRUE(profile.setInt(u"Settings", u"localPort", 1502));
    EXPECT_TRUE(profile.setString(u"Settings", u"portName", u"COM3"));
    EXPECT_EQ(profile.getInt(u"Settings", u"localPort", 502), 1502);
    EXPECT_EQ(profile.getString(u"Settings", u"portName", u"COM1"), u"COM3");
    // A text is not an integer, and the reverse: the default applies.
    EXPECT_EQ(profile.getInt(u"Settings", u"portName", 7), 7);
    EXPECT_EQ(profile.getString(u"Settings", u"localPort", u"none"), u"none");
    EXPECT_EQ(profile.getInt(u"Settings", u"missing", -1), -1);
}

TEST_F(ProfileWrappers, TextsAreCutAt127Characters) {
    const std::u16string longText(200, u'ж');
    ASSERT_TRUE(profile.setString(u"MapSettings", u"regComponent_0", longText));
    EXPECT_EQ(profile.getString(u"MapSettings", u"regComponent_0", u""), longText.substr(0, 127));
    ASSERT_TRUE(profile.setString(u"MapSettings", u"regComponent_1", u""));
    EXPECT_EQ(profile.getString(u"MapSettings", u"regComponent_1", u"default"), u"");
}

TEST_F(ProfileWrappers, DelKeyRemovesTheWholeSection) {
    profile.setInt(u"MapSettings", u"regAddress_0", 1);
    profile.setInt(u"MapSettings", u"regAddress_1", 2);
    profile.setInt(u"Settings", u"isTCP", 1);
    EXPECT_TRUE(profile.delKey(u"MapSettings"));
    EXPECT_EQ(profile.getInt(u"MapSettings", u"regAddress_0", -1), -1);
    EXPECT_EQ(profile.getInt(u"MapSettings", u"regAddress_1", -1), -1);
    EXPECT_EQ(profile.getInt(u"Settings", u"isTCP", 0), 1);
}

TEST_F(ProfileWrappers, AMissingServiceGivesTheDefaultWithoutACall) {
    for (const char* s :
         {"Profile/GetInt", "Profile/GetString", "Profile/SetInt", "Profile/SetString", "Profile/DelKey"})
        core().withdrawService(s);
    calls.clear();
    EXPECT_EQ(profile.getInt(u"Settings", u"localPort", 502), 502);
    EXPECT_EQ(profile.getString(u"Settings", u"portName", u"COM1"), u"COM1");
    EXPECT_FALSE(profile.setInt(u"Settings", u"localPort", 1));
    EXPECT_FALSE(profile.setString(u"Settings", u"portName", u"x"));
    EXPECT_FALSE(profile.delKey(u"Settings"));
    for (const auto& call : calls) EXPECT_EQ(call.rfind("hasService ", 0), 0u) << call;
    EXPECT_EQ(calls.size(), 5u);
}

TEST_F(ProfileWrappers, NoHostGivesDefaults) {
    const HostServices none{nullptr};
    HostProfile hostless{none};
    EXPECT_EQ(hostless.getInt(u"Settings", u"localPort", 502), 502);
    EXPECT_EQ(hostless.getString(u"Settings", u"parity", u"None"), u"None");
    EXPECT_FALSE(hostless.setInt(u"Settings", u"localPort", 1));
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
    HostApi table{};
    table.callService = &fullBufferService;
    table.hasService = &everyService;
    const HostServices filling{&table};
    HostProfile full{filling};
    EXPECT_EQ(full.getString(u"Settings", u"portName", u"COM1"), std::u16string(127, u'x'));
    // A reader whose call answers 0 gives the default.
    EXPECT_EQ(full.getInt(u"Settings", u"localPort", 502), 502);
}

}  // namespace
