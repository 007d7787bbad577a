// One assay on its way to the registers, with a real database and register store.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <bit>
#include <filesystem>
#include <functional>
#include <stdexcept>

#include "AllocationFaults.h"
#include "LabDatabase.h"
#include "modbus/ModbusTestSupport.h"
#include "modbus/RegisterMap.h"
#include "platform/MessageSink.h"
#include "platform/Text.h"
#include "publish/DocumentProcessing.h"
#include "results/DataBaseConnection.h"
#include "support/MemoryProfile.h"
#include "support/TempDir.h"

using namespace tesmor;
using tesmor::host::LabAssay;
using tesmor::host::LabDatabase;
using tesmor::host::LabPeak;
using tesmor::test::CaptionStrings;
using tesmor::test::MemoryProfile;

namespace {

class MessageRecorder : public MessageSink {
public:
    MessageReply show(std::u16string_view text, MessageIcon icon, MessageButtons) override {
        texts.emplace_back(text);
        icons.push_back(icon);
        return MessageReply::Ok;
    }
    std::vector<std::u16string> texts;
    std::vector<MessageIcon> icons;
};

struct Entry {
    std::u16string source, component, item, table, type;
    std::int32_t address;
};

class DocumentProcessing : public ::testing::Test {
protected:
    void SetUp() override {
        lab = std::make_unique<LabDatabase>(dir.file("host.db").string());
        database.setConnectionUri(dir.file16("host.db").c_str());
        previousSink = setMessageSink(&messages);
    }
    void TearDown() override { setMessageSink(previousSink); }

    void map(const std::vector<Entry>& entries) {
        RegisterMap registers;
        for (const auto& e : entries)
            registers.push_back(
                test::entryOf({e.source, {}, e.component, e.address, e.table, e.type, {}, e.item}));
        saveRegisterMap(profile, registers, MapCaptions(strings));
        server.reloadConfiguration();
    }

    void process(std::int64_t assayId) {
        processDocument(database, server, static_cast<std::int32_t>(assayId), filters);
    }

    std::uint16_t holding(int address) { return server.lock().registers().tab_registers[address]; }

    std::int64_t assay(const std::vector<LabPeak>& peaks, const std::string& method = "Газ") {
        LabAssay row;
        row.uuid = "123456789";
        row.date = 1700000000;
        row.method = method;
        return lab->addAssay(row, peaks);
    }

    TempDir dir;
    std::unique_ptr<LabDatabase> lab;
    DataBaseConnection database;
    MemoryProfile profile;
    CaptionStrings strings;
    ModbusServer server{profile, strings};
    FilterSettings filters;
    MessageRecorder messages;
    MessageSink* previousSink = nullptr;
};

const std::u16string kPeak = u"Пик хроматограммы", kChrom = u"Хроматограмма", kArea = u"Площадь пика",
                     kTime = u"Время выхода пика", kHolding = u"Holding Registers (4x)";

TEST_F(DocumentProcessing, TheLastMatchingPeakWinsHighestChannelThenLatestTime) {
    map({{kPeak, u"Метан", kArea, kHolding, u"INT", 0}, {kPeak, u"этан", kArea, kHolding, u"INT", 1}});
    process(
        assay({{"МЕТАН", 2, 1.0, 20}, {"метан", 1, 9.0, 10}, {"Этан", 1, 5.0, 50}, {"Этан", 1, 3.0, 30}}));
    EXPECT_EQ(holding(0), 20) << "channel 2 beats a later time on channel 1";
    EXPECT_EQ(holding(1), 50) << "on one channel the latest time wins";
    EXPECT_TRUE(messages.texts.empty());
}

TEST_F(DocumentProcessing, ComponentsAreMatchedWithoutChangingThem) {
    map({{kPeak, u"ДИОКСИД Углерода", kArea, kHolding, u"INT", 0},
         {kPeak, u"N2", kTime, kHolding, u"INT", 1}});
    process(assay({{"диоксид углерода", 1, 4.0, 77}, {"n2", 1, 2.4, 1}}));
    EXPECT_EQ(holding(0), 77);
    EXPECT_EQ(holding(1), 2);
    EXPECT_EQ(server.lock().registerMap()[0].component, u"ДИОКСИД Углерода");
}

TEST_F(DocumentProcessing, AnUnmatchedComponentIsWrittenWithItsLoadedValue) {
    map({{kPeak, u"Гелий", kArea, kHolding, u"INT", 3}});
    server.lock().registers().tab_registers[3] = 999;
    process(assay({{"Метан", 1, 1.0, 5}}));
    EXPECT_EQ(holding(3), 0);
}

TEST_F(DocumentProcessing, ChromatogramItems) {
    map({{kChrom, u"", u"Номер пробы", kHolding, u"INT", 0},
         {kChrom, u"", u"Номер в серии", kHolding, u"INT", 1}});
    process(assay({}));
    EXPECT_EQ(holding(0), 0xFEE8) << "CRC-16/UMTS of the uuid text";
    EXPECT_EQ(holding(1), 0) << "no readable file: number in series 0";
}

TEST_F(DocumentProcessing, NoAssayNoWrites) {
    map({{kChrom, u"", u"Номер пробы", kHolding, u"INT", 0}});
    server.lock().registers().tab_registers[0] = 4242;
    process(-1);
    LabAssay hidden;
    hidden.ishidden = 1;
    process(lab->addAssay(hidden, {}));
    process(12345);
    EXPECT_EQ(holding(0), 4242);
}

TEST_F(DocumentProcessing, ARejectedAssayShowsOneMessageAndWritesNothing) {
    map({{kPeak, u"Метан", kArea, kHolding, u"INT", 0}, {kChrom, u"", u"Номер пробы", kHolding, u"INT", 1}});
    filters.methods = {u"Газ"};
    filters.mixtures = {u"ГСО"};
    server.lock().registers().tab_registers[0] = 7;
    process(assay({{"Метан", 1, 1.0, 5}}));
    ASSERT_EQ(messages.texts.size(), 1u);
    EXPECT_EQ(messages.texts[0], u"Смесь хроматограммы не соответствует заданным фильтрам!");
    EXPECT_EQ(messages.icons[0], MessageIcon::Exclamation);
    EXPECT_EQ(holding(0), 7);
    EXPECT_EQ(holding(1), 0);
}

// "rejectNotice" 1: no box for anybody to click, one log line per rejection, the message handed
// back; the published map stays the last publication's.
TEST_F(DocumentProcessing, ARejectionIsReportedAsTheNoticeSays) {
    map({{kPeak, u"Метан", kArea, kHolding, u"INT", 0}});
    filters.methods = {u"Газ"};
    const auto published =
        processDocument(database, server, static_cast<std::int32_t>(assay({{"Метан", 1, 1.0, 5}})), filters,
                        RejectNotice::Line);
    EXPECT_TRUE(published.published);
    EXPECT_TRUE(published.rejection.empty());
    const std::u16string rejected = u"Метод хроматограммы не соответствует заданным фильтрам!";
    for (const RejectNotice notice : {RejectNotice::Box, RejectNotice::Line}) {
        const bool box = notice == RejectNotice::Box;
        messages.texts.clear();
        test::LogCapture log;
        const auto id = static_cast<std::int32_t>(assay({{"Метан", 1, 1.0, 9}}, "Нефть"));
        const auto outcome = processDocument(database, server, id, filters, notice);
        EXPECT_FALSE(outcome.published);
        EXPECT_EQ(outcome.rejection, rejected);
        EXPECT_EQ(messages.texts, box ? std::vector{rejected} : std::vector<std::u16string>{});
        EXPECT_EQ(log.count("assay " + std::to_string(id) + " rejected: " + toUtf8(rejected)), box ? 0u : 1u);
        EXPECT_EQ(holding(0), 5);
        server.reloadConfiguration();  // as every analysis does: the map comes back with its initial values
        EXPECT_EQ(server.lock().registerMap()[0].values.area, 0.0f);
        EXPECT_EQ(server.lock().publishedMap()[0].values.area, 5.0f);
    }
}

TEST_F(DocumentProcessing, ALockedDatabaseThrowsBeforeAnyWrite) {
    map({{kPeak, u"Метан", kArea, kHolding, u"INT", 0}});
    const auto id = assay({{"Метан", 1, 1.0, 5}});
    server.lock().registers().tab_registers[0] = 7;
    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open(dir.file("host.db").c_str(), &raw), SQLITE_OK);
    std::unique_ptr<sqlite3, decltype(&sqlite3_close)> other(raw, &sqlite3_close);
    ASSERT_EQ(sqlite3_exec(raw, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    try {
        process(id);
        FAIL() << "no exception";
    } catch (const DataBase::SqlException& e) {
        EXPECT_EQ(e.code(), SQLITE_BUSY);
    }
    EXPECT_EQ(holding(0), 7);
    sqlite3_exec(raw, "ROLLBACK", nullptr, nullptr, nullptr);
    process(id);
    EXPECT_EQ(holding(0), 5);
}

// The host's database removed between two updates: SQLite makes an empty one in its place,
// which has no tables; the processing fails before any write and the registers keep their values.
TEST_F(DocumentProcessing, ADeletedDatabaseThrowsBeforeAnyWrite) {
    map({{kPeak, u"Метан", kArea, kHolding, u"INT", 0}, {kChrom, u"", u"Номер пробы", kHolding, u"INT", 1}});
    const auto id = assay({{"Метан", 1, 1.0, 5}});
    process(id);
    ASSERT_EQ(holding(0), 5);
    lab.reset();
    std::filesystem::remove(dir.file("host.db"));
    try {
        process(id);
        FAIL() << "no exception";
    } catch (const DataBase::SqlException& e) {
        EXPECT_EQ(e.code(), SQLITE_ERROR);
    }
    EXPECT_EQ(holding(0), 5);
    EXPECT_EQ(holding(1), 0xFEE8);
}

// A failed allocation anywhere on the way (reading, folding names, copying the map) leaves every
// register as it was: an analysis is published whole or not at all. Each allocation of one
// publication is failed in turn.
TEST_F(DocumentProcessing, AFailedAllocationAnywhereWritesNoRegister) {
    // Names longer than the short-string buffer, so folding them allocates.
    map({{kChrom, u"", u"Номер пробы", kHolding, u"INT", 0},
         {kPeak, u"Диоксид углерода", kArea, kHolding, u"INT", 1},
         {kPeak, u"Сероводород", kArea, kHolding, u"INT", 2}});
    const auto id =
        static_cast<std::int32_t>(assay({{"Диоксид углерода", 1, 1.0, 5}, {"Сероводород", 1, 2.0, 6}}));
    test::LogCapture log;
    int failures = 0;
    for (long n = 0;; ++n) {
        for (int a = 0; a < 3; ++a) server.lock().registers().tab_registers[a] = 7;
        test::failAllocationAfter = n;
        const bool published = publishDocument(database, server, id, filters).has_value();
        const bool faulted = test::failAllocationAfter.exchange(-1) < 0;
        if (published) {
            EXPECT_EQ(holding(0), 0xFEE8) << n;
            EXPECT_EQ(holding(1), 5) << n;
            EXPECT_EQ(holding(2), 6) << n;
        } else {
            ++failures;
            EXPECT_EQ(holding(0), 7) << n;
            EXPECT_EQ(holding(1), 7) << n;
            EXPECT_EQ(holding(2), 7) << n;
        }
        if (!faulted) {
            EXPECT_TRUE(published) << "without a fault the assay is published";
            break;
        }
        ASSERT_LT(n, 100000) << "the publication never ran without a fault";
    }
    EXPECT_GT(failures, 0);
    EXPECT_EQ(log.count("not published: std::bad_alloc"), static_cast<std::size_t>(failures));
}

// Failures other than the database's are caught as well, and named in the log.
TEST_F(DocumentProcessing, AnyFailureIsLoggedAndWritesNothing) {
    struct ThrowingSink : MessageSink {
        MessageReply show(std::u16string_view, MessageIcon, MessageButtons) override {
            thrower();
            return MessageReply::Ok;
        }
        std::function<void()> thrower;
    } sink;
    setMessageSink(&sink);
    map({{kPeak, u"Метан", kArea, kHolding, u"INT", 0}});
    filters.methods = {u"Нефть"};  // rejected, so the message is shown
    const auto id = static_cast<std::int32_t>(assay({{"Метан", 1, 1.0, 5}}));
    const std::string prefix = "assay " + std::to_string(id) + " not published: ";
    const std::vector<std::pair<std::function<void()>, std::string>> rows{
        {[] { throw std::runtime_error("no display"); }, "no display"},
        {[] { throw 42; }, "unknown failure"},
    };
    for (const auto& [thrower, why] : rows) {
        server.lock().registers().tab_registers[0] = 7;
        sink.thrower = thrower;
        test::LogCapture log;
        EXPECT_FALSE(publishDocument(database, server, id, filters)) << why;
        EXPECT_EQ(log.count(prefix + why), 1u) << why;
        EXPECT_EQ(holding(0), 7) << why;
    }
    lab.reset();
    std::filesystem::remove(dir.file("host.db"));
    test::LogCapture log;
    EXPECT_FALSE(publishDocument(database, server, id, filters));
    EXPECT_EQ(log.count(prefix + "database error 1: no such table"), 1u);
    EXPECT_EQ(holding(0), 7);
}

// An entry that does not fit its table is reported when the map is loaded first, not again at
// every analysis, and again once the stored map has changed.
TEST_F(DocumentProcessing, AMisplacedEntryIsLoggedOncePerMap) {
    test::LogCapture log;
    const Entry misplaced{kChrom, u"", u"Время отбора пробы", kHolding, u"INT", 496};
    map({{kChrom, u"", u"Номер пробы", kHolding, u"INT", 0}, misplaced});
    const auto id = assay({{"Метан", 1, 1.0, 5}});
    for (int analysis = 0; analysis < 3; ++analysis) {
        server.reloadConfiguration();
        process(id);
    }
    server.loadRegisterMap();  // as a dialog does when it opens
    EXPECT_EQ(log.count("beyond the 500"), 1u);
    map({{kChrom, u"", u"Номер пробы", kHolding, u"INT", 1}, misplaced});
    server.reloadConfiguration();
    process(id);
    EXPECT_EQ(log.count("beyond the 500"), 2u) << "a changed map is checked and reported anew";
    EXPECT_EQ(log.count("register map entry 1 at address 496 needs 5 registers"), 2u);
}

// Peak values become the nearest float, as a correctly rounded conversion gives it: up to half a
// last place above the largest float that float itself, infinity only from there on.
struct RoundingCase {
    const char* name;
    double value;
    std::uint32_t bits;
};
void PrintTo(const RoundingCase& c, std::ostream* os) { *os << c.name; }

class FloatRounding : public DocumentProcessing, public ::testing::WithParamInterface<RoundingCase> {};

TEST_P(FloatRounding, GivesTheNearestFloat) {
    map({{kPeak, u"Метан", kArea, kHolding, u"FLOAT", 0}});
    process(assay({{"Метан", 1, 1.0, GetParam().value}}));
    EXPECT_EQ(std::bit_cast<std::uint32_t>(server.lock().registerMap()[0].values.area), GetParam().bits);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, FloatRounding,
    ::testing::Values(RoundingCase{"Ordinary", 0.1, 0x3DCCCCCD},
                      RoundingCase{"LargestFloat", 0x1.fffffep127, 0x7F7FFFFF},
                      RoundingCase{"JustAboveTheLargest", 0x1.fffffe0000001p127, 0x7F7FFFFF},
                      RoundingCase{"JustBelowTheMidpoint", 0x1.fffffefffffffp127, 0x7F7FFFFF},
                      RoundingCase{"TheMidpointRoundsToEvenInfinity", 0x1.ffffffp127, 0x7F800000},
                      RoundingCase{"FarBeyond", 1e300, 0x7F800000},
                      RoundingCase{"NegativeJustAboveTheLargest", -0x1.fffffe8p127, 0xFF7FFFFF},
                      RoundingCase{"NegativeMidpoint", -0x1.ffffffp127, 0xFF800000}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(PeakIndex, FoldsEachNameOnceAndKeepsTheLast) {
    std::vector<PeakInfo> peaks(3);
    peaks[0].name = u"А";
    peaks[1].name = u"а";
    peaks[2].name = u"Б";
    const PeakIndex index(peaks);
    EXPECT_EQ(index.find(u"а"), &peaks[1]);
    EXPECT_EQ(index.find(u"б"), &peaks[2]);
    EXPECT_EQ(index.find(u"В"), nullptr);
    EXPECT_EQ(index.find(u""), nullptr);
}

}  // namespace
