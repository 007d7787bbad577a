// Reading one analysis from a host database and its chromatogram file.
#include <gtest/gtest.h>

#include "LabDatabase.h"
#include "platform/Text.h"
#include "results/AssayRecords.h"
#include "results/SyntheticChromatogram.h"
#include "support/TempDir.h"

using namespace tesmor;
using tesmor::host::LabAssay;
using tesmor::host::LabDatabase;
using tesmor::host::LabPeak;

namespace {

class AssayRecords : public ::testing::Test {
protected:
    void SetUp() override { lab = std::make_unique<LabDatabase>(dir.file("host.db").string()); }

    // A readable chromatogram file whose passport says numinseria = `numinseria`.
    std::string chromatogram(const std::string& name, const std::u16string& numinseria) {
        SyntheticOptions options;
        options.samples = 200;
        options.numinseria = numinseria;
        auto file = makeSyntheticChromatogram(options);
        const auto path = dir.file(name);
        EXPECT_EQ(file.save(toUtf16(path.string())), 0);
        return path.string();
    }

    std::optional<AssayInfo> read(std::int64_t id) {
        DataBase::SqlDatabase db;
        db.open(dir.file16("host.db").c_str());
        return readAssay(db, static_cast<std::int32_t>(id));
    }

    TempDir dir;
    std::unique_ptr<LabDatabase> lab;
};

TEST_F(AssayRecords, ReadsTheRowTheFileAndSortedPeaks) {
    LabAssay row;
    row.date = 1700000000;
    row.uuid = "6f1c0e2a-0000-4000-8000-000000000001";
    row.filename = chromatogram("a.chr", u"12");
    row.method = "Природный газ";
    row.mixture = "ГСО-1";
    row.iscalibration = 1;
    row.atmpressure = 99.5;
    row.airtemp = 21.5;
    const auto id = lab->addAssay(row, {{"Этан", 2, 1.0, 10}, {"Метан", 1, 5.0, 20}, {"Азот", 1, 3.0, 30}});

    const auto assay = read(id);
    ASSERT_TRUE(assay);
    EXPECT_EQ(assay->id, id);
    EXPECT_EQ(assay->date, 1700000000);
    EXPECT_EQ(assay->uuid, u"6f1c0e2a-0000-4000-8000-000000000001");
    EXPECT_EQ(assay->method, u"Природный газ");
    EXPECT_EQ(assay->mixture, u"ГСО-1");
    EXPECT_EQ(assay->iscalibration, 1);
    EXPECT_DOUBLE_EQ(assay->atmpressure, 99.5);
    EXPECT_DOUBLE_EQ(assay->airtemp, 21.5);
    EXPECT_EQ(assay->numinseria, 12);
    EXPECT_EQ(assay->operatorName, u"Иванова А.П.");
    EXPECT_EQ(assay->place, u"Лаборатория 1");
    ASSERT_EQ(assay->peaks.size(), 3u);
    EXPECT_EQ(assay->peaks[0].name, u"Азот");
    EXPECT_EQ(assay->peaks[1].name, u"Метан");
    EXPECT_EQ(assay->peaks[2].name, u"Этан");
    EXPECT_DOUBLE_EQ(assay->peaks[0].area, 30);
}

TEST_F(AssayRecords, AnUnreadableFileCountsAsAnAnalysis) {
    LabAssay row;
    row.filename = dir.file("missing.chr").string();
    row.iscalibration = 1;
    const auto id = lab->addAssay(row, {{"Метан", 1, 1.0, 5}});
    const auto assay = read(id);
    ASSERT_TRUE(assay);
    EXPECT_EQ(assay->iscalibration, 0);
    EXPECT_EQ(assay->atmpressure, 0.0);
    EXPECT_EQ(assay->airtemp, 0.0);
    EXPECT_EQ(assay->numinseria, 0);
    EXPECT_EQ(assay->peaks.size(), 1u) << "peaks still come from the database";
}

TEST_F(AssayRecords, HiddenDeletedAndAbsentAssaysGiveNothing) {
    LabAssay hidden, deleted;
    hidden.ishidden = 1;
    deleted.isdeleted = 1;
    EXPECT_FALSE(read(lab->addAssay(hidden, {})));
    EXPECT_FALSE(read(lab->addAssay(deleted, {})));
    EXPECT_FALSE(read(999));
    EXPECT_FALSE(read(-1));
}

TEST_F(AssayRecords, NullColumnsGiveTheirNullValues) {
    lab->exec("INSERT INTO assay(id, ishidden, isdeleted) VALUES(7, 0, 0);"
              "INSERT INTO peak(assayid, time) VALUES(7, 2.0);"
              "INSERT INTO peak(assayid, channel, time) VALUES(7, 1, 1.0);");
    const auto assay = read(7);
    ASSERT_TRUE(assay);
    EXPECT_EQ(assay->date, 0);
    EXPECT_EQ(assay->uuid, u"");
    ASSERT_EQ(assay->peaks.size(), 2u);
    EXPECT_EQ(assay->peaks[0].channel, 0) << "a NULL channel sorts as channel 0";
    EXPECT_EQ(assay->peaks[0].name, u"");
}

TEST_F(AssayRecords, ADatabaseWithoutTablesThrows) {
    DataBase::SqlDatabase db;
    db.open(dir.file16("other.db").c_str());
    try {
        readAssay(db, 1);
        FAIL() << "no exception";
    } catch (const DataBase::SqlException& e) {
        EXPECT_EQ(e.code(), 1);
    }
}

TEST_F(AssayRecords, NamesSkipEmptyAndKeepEachOnce) {
    lab->addMethod("Б");
    lab->addMethod("А");
    lab->addMethod("Б");
    lab->addMethod("");
    lab->exec("INSERT INTO method(name) VALUES(NULL);");
    lab->addMixture("ГСО-1");
    DataBase::SqlDatabase db;
    db.open(dir.file16("host.db").c_str());
    std::set<std::u16string> names{u"Старый"};
    readNames(db, kMethodNamesSql, names);
    EXPECT_EQ(names, (std::set<std::u16string>{u"А", u"Б", u"Старый"}));
    std::set<std::u16string> mixtures;
    readNames(db, kMixtureNamesSql, mixtures);
    EXPECT_EQ(mixtures, std::set<std::u16string>{u"ГСО-1"});
}

struct IntegerCase {
    const char* name;
    std::u16string text;
    std::int32_t value;
    friend void PrintTo(const IntegerCase& c, std::ostream* os) { *os << c.name; }
};

class LeadingInteger : public ::testing::TestWithParam<IntegerCase> {};

TEST_P(LeadingInteger, ReadsTheLeadingDigits) { EXPECT_EQ(leadingInteger(GetParam().text), GetParam().value); }

INSTANTIATE_TEST_SUITE_P(Rows, LeadingInteger,
                         ::testing::Values(IntegerCase{"Plain", u"12", 12}, IntegerCase{"TrailingLetter", u"7a", 7},
                                           IntegerCase{"NoNumber", u"x", 0}, IntegerCase{"Empty", u"", 0},
                                           IntegerCase{"BlanksAndSign", u"  -3", -3}, IntegerCase{"Plus", u"+4", 4},
                                           IntegerCase{"SignOnly", u"-", 0},
                                           IntegerCase{"Huge", u"99999999999", 2147483647},
                                           IntegerCase{"HugeNegative", u"-99999999999", -2147483647 - 1}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(AssayRecords, NuminseriaComesFromTheLeadingDigitsOfTheProperty) {
    LabAssay row;
    row.filename = chromatogram("b.chr", u"7a");
    EXPECT_EQ(read(lab->addAssay(row, {}))->numinseria, 7);
}

}  // namespace
