// Reading one analysis from a host database and its chromatogram file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <future>
#include <thread>

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

TEST_F(AssayRecords, TheStandInHostTakesAFileColonNameAsAFileName) {
    const auto previous = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());
    std::string error;
    std::vector<std::int64_t> visible;
    {
        LabDatabase uriLooking("file:lab.db?mode=ro");  // a URI would open "lab.db" read-only
        uriLooking.addAssay(LabAssay{}, {});
        visible = host::visibleAssays("file:lab.db?mode=ro", error);
    }
    const bool literal = std::filesystem::exists("file:lab.db?mode=ro"),
               other = std::filesystem::exists("lab.db");
    std::filesystem::current_path(previous);
    EXPECT_TRUE(literal);
    EXPECT_FALSE(other);
    EXPECT_EQ(visible.size(), 1u) << error;
}

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
    lab->exec(
        "INSERT INTO assay(id, ishidden, isdeleted) VALUES(7, 0, 0);"
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

TEST_P(LeadingInteger, ReadsTheLeadingDigits) {
    EXPECT_EQ(leadingInteger(GetParam().text), GetParam().value);
}

INSTANTIATE_TEST_SUITE_P(Rows, LeadingInteger,
                         ::testing::Values(IntegerCase{"Plain", u"12", 12},
                                           IntegerCase{"TrailingLetter", u"7a", 7},
                                           IntegerCase{"NoNumber", u"x", 0}, IntegerCase{"Empty", u"", 0},
                                           IntegerCase{"BlanksAndSign", u"  -3", -3},
                                           IntegerCase{"Plus", u"+4", 4}, IntegerCase{"SignOnly", u"-", 0},
                                           IntegerCase{"Huge", u"99999999999", 2147483647},
                                           IntegerCase{"HugeNegative", u"-99999999999", -2147483647 - 1}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(AssayRecords, NuminseriaComesFromTheLeadingDigitsOfTheProperty) {
    LabAssay row;
    row.filename = chromatogram("b.chr", u"7a");
    EXPECT_EQ(read(lab->addAssay(row, {}))->numinseria, 7);
}

// The chromatogram file of a published assay changed under the host's feet. Whatever is found
// at the path, the assay is read from the database, promptly; only a readable file gives its
// number in series.
struct FileFault {
    const char* name;
    std::function<void(const std::filesystem::path& path, const std::filesystem::path& good)> damage;
    std::int32_t numinseria;
    bool needsNonRoot = false;
};
void PrintTo(const FileFault& c, std::ostream* os) { *os << c.name; }

class ChromatogramFault : public AssayRecords, public ::testing::WithParamInterface<FileFault> {};

TEST_P(ChromatogramFault, TheAssayStillComesFromTheDatabase) {
    if (GetParam().needsNonRoot && ::geteuid() == 0) GTEST_SKIP() << "root reads any file";
    const std::filesystem::path good = chromatogram("good.chr", u"12");
    const std::filesystem::path path = dir.file("a.chr");
    std::filesystem::copy_file(good, path);
    LabAssay row;
    row.filename = path.string();
    const auto id = lab->addAssay(row, {{"Метан", 1, 1.0, 5}});
    ASSERT_EQ(read(id)->numinseria, 12);

    GetParam().damage(path, good);
    auto reading = std::async(std::launch::async, [&] { return read(id); });
    if (reading.wait_for(std::chrono::seconds(3)) != std::future_status::ready) {
        // Let a reader stuck on a FIFO go before failing.
        const int w = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (w >= 0) ::close(w);
        reading.wait();
        FAIL() << "reading the assay hangs";
    }
    const auto assay = reading.get();
    ASSERT_TRUE(assay);
    EXPECT_EQ(assay->numinseria, GetParam().numinseria);
    EXPECT_EQ(assay->peaks.size(), 1u);
}

void truncateTo(const std::filesystem::path& path, double fraction) {
    std::filesystem::resize_file(path,
                                 static_cast<std::uintmax_t>(std::filesystem::file_size(path) * fraction));
}
void replaceBy(const std::filesystem::path& path, const std::filesystem::path& with) {
    const auto temporary = path.string() + ".new";
    std::filesystem::copy_file(with, temporary);
    std::filesystem::rename(temporary, path);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ChromatogramFault,
    ::testing::Values(
        FileFault{"TruncatedInTheSamples", [](const auto& p, const auto&) { truncateTo(p, 0.5); }, 0},
        FileFault{"TruncatedInTheXml", [](const auto& p, const auto&) { truncateTo(p, 0.99); }, 0},
        FileFault{"TruncatedToNothing", [](const auto& p, const auto&) { truncateTo(p, 0); }, 0},
        FileFault{"ReplacedByAnotherChromatogram",
                  [](const auto& p, const auto&) {
                      SyntheticOptions options;
                      options.samples = 50;
                      options.numinseria = u"34";
                      ASSERT_EQ(makeSyntheticChromatogram(options).save(toUtf16(p.string() + ".other")), 0);
                      replaceBy(p, p.string() + ".other");
                  },
                  34},
        FileFault{"ReplacedByText",
                  [](const auto& p, const auto&) {
                      writeBytes(p.string() + ".text", {'n', 'o', 't', ' ', 'S', 'T', 'G'});
                      replaceBy(p, p.string() + ".text");
                  },
                  0},
        FileFault{"Deleted", [](const auto& p, const auto&) { std::filesystem::remove(p); }, 0},
        FileFault{"ADirectory",
                  [](const auto& p, const auto&) {
                      std::filesystem::remove(p);
                      std::filesystem::create_directory(p);
                  },
                  0},
        FileFault{"AFifoNobodyWrites",
                  [](const auto& p, const auto&) {
                      std::filesystem::remove(p);
                      ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0);
                  },
                  0},
        FileFault{"NoReadPermission", [](const auto& p, const auto&) { ::chmod(p.c_str(), 0); }, 0, true}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace

namespace {

// A chromatogram file without channels whose passport holds the given children.
void writePassportFile(const std::filesystem::path& path, const std::string& passport) {
    std::string bytes = std::string("STG\x01\0\0\0\0\x10", 9) + std::string(7, '\0');
    bytes += "<root><passport>" + passport + "</passport></root>";
    writeBytes(path, {bytes.begin(), bytes.end()});
}

struct BrokenTextCase {
    const char* name;
    std::string passport;
    std::int32_t numinseria;
    std::u16string operatorName;
    std::u16string place;
};
void PrintTo(const BrokenTextCase& c, std::ostream* os) { *os << c.name; }

class InvalidUtf8InTheFile : public AssayRecords, public ::testing::WithParamInterface<BrokenTextCase> {};

// As where the file was written, bytes that are no UTF-8 are dropped, so the assay publishes
// the same number in series and carries the same texts.
TEST_P(InvalidUtf8InTheFile, ReadsAsWhereTheFileWasWritten) {
    writePassportFile(dir.file("a.chr"), GetParam().passport);
    LabAssay row;
    row.filename = dir.file("a.chr").string();
    const auto assay = read(lab->addAssay(row, {}));
    ASSERT_TRUE(assay);
    EXPECT_EQ(assay->numinseria, GetParam().numinseria);
    EXPECT_EQ(assay->operatorName, GetParam().operatorName);
    EXPECT_EQ(assay->place, GetParam().place);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, InvalidUtf8InTheFile,
    ::testing::Values(BrokenTextCase{"CutOffSequenceInsideTheNumber",
                                     "<numinseria value='1\xE2"
                                     "5'/>",
                                     15, u"", u""},
                      BrokenTextCase{"OverlongDigit",
                                     "<numinseria value='\xC0\xB1"
                                     "7'/>",
                                     17, u"", u""},
                      BrokenTextCase{"InvalidByteInTheElementName", "<num\xFFinseria value='8'/>", 8, u"",
                                     u""},
                      BrokenTextCase{"InvalidByteInAText",
                                     "<operator value='Ив\xFF"
                                     "анов'/><place value='Цех\xE2\x82'/>",
                                     0, u"Иванов", u"Цех"},
                      BrokenTextCase{"EncodedSurrogateKept",
                                     "<place value='a\xED\xA0\x80"
                                     "b'/>",
                                     0, u"",
                                     u"a\xD800"
                                     "b"},
                      BrokenTextCase{"WellFormedTextUnchanged",
                                     "<operator value='Ё&amp;ж'/><numinseria value='3'/>", 3, u"Ё&ж", u""}),
    [](const auto& info) { return std::string(info.param.name); });

// The path of the file swapped between a regular file and a FIFO nobody writes while assays are
// read: whichever it names at the moment of opening, the reading never waits for the FIFO.
TEST_F(AssayRecords, APathSwappedForAFifoNeverHoldsTheReading) {
    const std::filesystem::path regular = chromatogram("regular.chr", u"12");
    const std::filesystem::path fifo = dir.file("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::filesystem::path path = dir.file("a.chr");
    std::filesystem::create_symlink(regular, path);
    LabAssay row;
    row.filename = path.string();
    const auto id = lab->addAssay(row, {});

    std::atomic<bool> stop{false};
    std::thread swapper([&] {
        for (int i = 0; !stop; ++i) {
            const std::filesystem::path next = dir.file("next" + std::to_string(i % 2));
            std::error_code ignored;
            std::filesystem::remove(next, ignored);
            std::filesystem::create_symlink(i % 2 ? fifo : regular, next, ignored);
            std::filesystem::rename(next, path, ignored);
        }
    });
    auto reading = std::async(std::launch::async, [&] {
        int readable = 0;
        for (int i = 0; i < 1000; ++i) readable += read(id)->numinseria == 12;
        return readable;
    });
    const bool finished = reading.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
    stop = true;
    swapper.join();
    if (!finished) {
        while (reading.wait_for(std::chrono::milliseconds(100)) != std::future_status::ready) {
            const int w = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);  // let it go
            if (w >= 0) ::close(w);
        }
        FAIL() << "reading the assay waits on the FIFO";
    }
    EXPECT_GT(reading.get(), 0) << "the regular file was read while it was there";
}

// File names written on Windows name no file here, even with the file itself in the current
// folder: the assay counts as one without a readable file (as the user guide says).
class WindowsFileName : public AssayRecords, public ::testing::WithParamInterface<const char*> {};

TEST_P(WindowsFileName, CountsAsAnAssayWithoutAFile) {
    const auto previous = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());
    chromatogram("a.chr", u"12");
    LabAssay row;
    row.filename = GetParam();
    row.iscalibration = 1;
    const auto assay = read(lab->addAssay(row, {{"Метан", 1, 1.0, 5}}));
    std::filesystem::current_path(previous);
    ASSERT_TRUE(assay);
    EXPECT_EQ(assay->numinseria, 0);
    EXPECT_EQ(assay->iscalibration, 0);
    EXPECT_EQ(assay->peaks.size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Names, WindowsFileName,
                         ::testing::Values("C:\\Data\\2024\\a.chr", "C:/Data/a.chr", "\\\\server\\lab\\a.chr",
                                           ".\\a.chr"));

}  // namespace
