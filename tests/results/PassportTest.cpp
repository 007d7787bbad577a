#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "results/Passport.h"

namespace {

// Reads the passport element of xml into a passport that already holds values.
class PassportRead : public ::testing::Test {
protected:
    void SetUp() override {
        passport.assayid = u"11111111-2222-3333-4444-555555555555";
        passport.sample = u"old sample";
        passport.method = u"old method";
        passport.andate = 5;
        passport.duration = 12.5;
        passport.graduation = true;
        passport.defect = true;
        passport.columns.push_back(PassportColumn{});
        passport.properties.push_back({u"old", u"", u""});
    }
    void read(const char* xml) {
        ASSERT_TRUE(document.load_string(xml));
        passport.readPassport(document.child("passport"));
    }

    pugi::xml_document document;
    Passport passport;
};

TEST_F(PassportRead, OnlyTheFieldsPresentChange) {
    read(R"(<passport><sample value="Проба 7"/><operator title="Оператор" value="Иванов"/></passport>)");
    Passport expected;
    expected.assayid = u"11111111-2222-3333-4444-555555555555";
    expected.sample = u"Проба 7";
    expected.method = u"old method";
    expected.andate = 5;
    expected.duration = 12.5;
    expected.graduation = true;
    expected.defect = true;
    expected.properties = {{u"operator", u"Оператор", u"Иванов"}};
    EXPECT_EQ(passport, expected);
}

TEST_F(PassportRead, AFixedFieldWithoutValueGetsItsEmptyValue) {
    read(R"(<passport><graduation/><duration/><andate/><method/><defect value="no"/></passport>)");
    EXPECT_FALSE(passport.graduation);
    EXPECT_EQ(passport.duration, 0.0);
    EXPECT_EQ(passport.andate, 0);
    EXPECT_EQ(passport.method, u"");
    EXPECT_FALSE(passport.defect);
}

TEST_F(PassportRead, TheLastOfRepeatedElementsWins) {
    read(R"(<passport><sample value="a"/><place value="1"/><sample value="b"/><place value="2"/>)"
         R"(<date value="7"/><date value="-8"/></passport>)");
    EXPECT_EQ(passport.sample, u"b");
    EXPECT_EQ(passport.date, -8);
    ASSERT_EQ(passport.properties.size(), 2u);                         // properties are all kept ...
    EXPECT_EQ(passport.findProperty(u"place"), std::u16string(u"2"));  // ... the last one counts
}

TEST_F(PassportRead, PropertyNamesMatchExactly) {
    read(R"(<passport><Operator value="A"/><operator2 value="B"/></passport>)");
    EXPECT_EQ(passport.findProperty(u"operator"), std::nullopt);
    EXPECT_EQ(passport.findProperty(u"Operator"), std::u16string(u"A"));
}

TEST_F(PassportRead, TextInsideThePassportBecomesAPropertyWithoutName) {
    read(R"(<passport>loose text<numinseria value="12"/></passport>)");
    ASSERT_EQ(passport.properties.size(), 2u);
    EXPECT_EQ(passport.properties[0], (PassportProperty{u"", u"", u""}));
    EXPECT_EQ(passport.findProperty(u""), std::u16string(u""));
    EXPECT_EQ(passport.findProperty(u"numinseria"), std::u16string(u"12"));
}

TEST_F(PassportRead, ColumnsReadEveryFieldWithDefaults) {
    read(R"(<passport><column><channel value="2"/><name value="NaX"/><diameter value="3.5"/>)"
         R"(<unit value="-1"/><serial value="S1"/><unknown value="9"/></column><column/></passport>)");
    ASSERT_EQ(passport.columns.size(), 2u);
    PassportColumn first;
    first.channel = 2;
    first.name = u"NaX";
    first.diameter = 3.5;
    first.unit = -1;
    first.serial = u"S1";
    EXPECT_EQ(passport.columns[0], first);
    EXPECT_EQ(passport.columns[1], PassportColumn{});
    EXPECT_TRUE(passport.properties.empty());
}

TEST_F(PassportRead, AMissingElementEmptiesOnlyTheLists) {
    passport.readPassport(pugi::xml_node());
    EXPECT_TRUE(passport.columns.empty());
    EXPECT_TRUE(passport.properties.empty());
    EXPECT_EQ(passport.sample, u"old sample");
}

TEST(PassportWrite, PropertiesCarryTitleThenValueEvenWhenEmpty) {
    Passport p;
    p.properties = {{u"operator", u"", u"Иванов"}};
    pugi::xml_document document;
    p.writePassport(document.append_child("passport"));
    std::ostringstream out;
    document.save(out, "", pugi::format_raw | pugi::format_no_declaration);
    EXPECT_NE(out.str().find(R"(<operator title="" value="Иванов"/></passport>)"), std::string::npos)
        << out.str();
    EXPECT_EQ(out.str().rfind(R"(<passport version="1"><assayid value=")", 0), 0u) << out.str();
}

}  // namespace
