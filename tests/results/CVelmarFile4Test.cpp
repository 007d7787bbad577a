#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <clocale>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <functional>
#include <future>
#include <limits>
#include <string>
#include <vector>

#include "results/CVelmarFile4.h"
#include "results/SyntheticChromatogram.h"
#include "support/TempDir.h"

namespace {

using Bytes = std::vector<unsigned char>;

void putU64(Bytes& b, std::uint64_t v) {
    for (int i = 0; i < 8; ++i) b.push_back(static_cast<unsigned char>(v >> (8 * i)));
}
void putDouble(Bytes& b, double v) {
    std::uint64_t bits;
    std::memcpy(&bits, &v, 8);
    putU64(b, bits);
}

// Hand-built file contents.
struct FileBuilder {
    Bytes bytes;

    FileBuilder& header(const char* magic, unsigned char version, std::uint64_t xmlOffset) {
        bytes.insert(bytes.end(), magic, magic + 3);
        bytes.push_back(version);
        bytes.insert(bytes.end(), 4, 0);
        putU64(bytes, xmlOffset);
        return *this;
    }
    // A channel record with count samples 1, 2, 3 ... (present of them written).
    FileBuilder& channel(unsigned char number, std::uint64_t count, std::uint64_t present) {
        bytes.push_back(number);
        bytes.insert(bytes.end(), 7, 0);
        putDouble(bytes, 10.0);
        putDouble(bytes, 0.5);
        putU64(bytes, count);
        for (std::uint32_t i = 1; i <= present; ++i)
            for (int k = 0; k < 4; ++k) bytes.push_back(static_cast<unsigned char>(i >> (8 * k)));
        return *this;
    }
    FileBuilder& raw(const std::string& text) {
        bytes.insert(bytes.end(), text.begin(), text.end());
        return *this;
    }
    FileBuilder& cut(std::size_t n) {
        bytes.resize(bytes.size() - n);
        return *this;
    }
};

constexpr std::uint64_t kTwoChannels = 16 + 2 * (32 + 4 * 3);
const std::string kXml =
    R"(<?xml version="1.0" encoding="utf-8"?><root version="1"><passport version="1">)"
    R"(<sample value="new"/></passport><channels version="1"><channel><number value="1"/><table>)"
    R"(<item><time value="1.5"/></item></table></channel></channels></root>)";

// The content a failed load must leave (or partly leave) alone.
CVelmarFile4 previousContent() {
    CVelmarFile4 f;
    f.version = 1;
    f.passport.path = u"/old/file";
    f.passport.sample = u"old";
    f.passport.properties = {{u"operator", u"", u"Петров"}};
    ChannelData c;
    c.number = 9;
    c.samples = {7, 8};
    c.peaks.push_back(PeakRecord{});
    f.channels.push_back(std::move(c));
    return f;
}

std::vector<int> numbers(const CVelmarFile4& f) {
    std::vector<int> out;
    for (const auto& c : f.channels) out.push_back(c.number);
    return out;
}

struct LoadCase {
    const char* name;
    Bytes bytes;
    std::int32_t result;
    bool unchanged;             // -1..-4: the previous content as it was
    unsigned char version;      // otherwise: the file's version ...
    std::vector<int> channels;  // ... and the channels read
};

class LoadResult : public ::testing::TestWithParam<LoadCase> {};

TEST_P(LoadResult, GivesItsCodeAndLeavesItsState) {
    const LoadCase& c = GetParam();
    TempDir dir;
    writeBytes(dir.file("f.chr"), c.bytes);
    const CVelmarFile4 before = previousContent();
    CVelmarFile4 f = before;
    ASSERT_EQ(f.load(dir.file16("f.chr")), c.result);
    if (c.unchanged) {
        EXPECT_EQ(f.version, before.version);
        EXPECT_EQ(f.channels, before.channels);
        EXPECT_EQ(f.passport, before.passport);
        return;
    }
    EXPECT_EQ(f.version, c.version);
    EXPECT_EQ(numbers(f), c.channels);
    if (c.result == 0) {
        EXPECT_EQ(f.passport.sample, u"new");
        EXPECT_EQ(f.passport.path, dir.file16("f.chr"));
        EXPECT_TRUE(f.passport.properties.empty());
        ASSERT_EQ(f.channels.size(), 2u);
        EXPECT_EQ(f.channels[1].samples, (SampleWords{1, 2, 3}));
        EXPECT_EQ(f.channels[1].paramA, 10.0);
        EXPECT_EQ(f.channels[1].paramB, 0.5);
        ASSERT_EQ(f.channels[1].peaks.size(), 1u);
        EXPECT_EQ(f.channels[1].peaks[0].time, 1.5);
        EXPECT_TRUE(f.channels[0].peaks.empty());
    } else {
        EXPECT_EQ(f.passport, before.passport);
        for (const auto& ch : f.channels) EXPECT_TRUE(ch.peaks.empty());
    }
}

Bytes good(unsigned char version) {
    return FileBuilder{}
        .header("STG", version, kTwoChannels)
        .channel(0, 3, 3)
        .channel(1, 3, 3)
        .raw(kXml)
        .bytes;
}

INSTANTIATE_TEST_SUITE_P(
    Files, LoadResult,
    ::testing::Values(
        LoadCase{"Version1", good(1), 0, false, 1, {0, 1}},
        LoadCase{"Version0ReadsLikeVersion1", good(0), 0, false, 0, {0, 1}},
        LoadCase{"TruncatedHeader", FileBuilder{}.header("STG", 1, 16).cut(6).bytes, -2, true, 0, {}},
        LoadCase{"EmptyFile", {}, -2, true, 0, {}},
        LoadCase{"WrongMagic", FileBuilder{}.header("STX", 1, 16).raw(kXml).bytes, -3, true, 0, {}},
        LoadCase{"Version2", FileBuilder{}.header("STG", 2, 16).raw(kXml).bytes, -4, true, 0, {}},
        LoadCase{
            "TruncatedRecordHeader",
            FileBuilder{}.header("STG", 0, kTwoChannels).channel(3, 3, 3).channel(4, 3, 3).cut(12 + 20).bytes,
            -5,
            false,
            0,
            {3}},
        LoadCase{"NonzeroUpperHalfOfCount",
                 FileBuilder{}
                     .header("STG", 1, kTwoChannels)
                     .channel(3, 3, 3)
                     .channel(4, (1ull << 32) | 3, 3)
                     .raw(kXml)
                     .bytes,
                 -6,
                 false,
                 1,
                 {3}},
        LoadCase{"CountBeyondTheFile",
                 FileBuilder{}.header("STG", 1, kTwoChannels).channel(3, 0xFFFFFFFFu, 3).raw(kXml).bytes,
                 -6,
                 false,
                 1,
                 {}},
        LoadCase{"TruncatedSamples",
                 FileBuilder{}.header("STG", 1, kTwoChannels).channel(3, 3, 3).channel(4, 3, 3).cut(2).bytes,
                 -6,
                 false,
                 1,
                 {3}},
        LoadCase{"EmptyXmlPart",
                 FileBuilder{}.header("STG", 1, kTwoChannels).channel(3, 3, 3).channel(4, 3, 3).bytes,
                 -7,
                 false,
                 1,
                 {3, 4}},
        LoadCase{"XmlPartNotXml",
                 FileBuilder{}
                     .header("STG", 1, kTwoChannels)
                     .channel(3, 3, 3)
                     .channel(4, 3, 3)
                     .raw("<root><")
                     .bytes,
                 -7,
                 false,
                 1,
                 {3, 4}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(LoadTest, AMissingFileGivesMinusOneAndChangesNothing) {
    TempDir dir;
    CVelmarFile4 f = previousContent();
    EXPECT_EQ(f.load(dir.file16("missing.chr")), -1);
    EXPECT_EQ(f.passport, previousContent().passport);
    EXPECT_EQ(f.channels, previousContent().channels);
}

// Only a regular file is read: whatever else the path names gives -1 at once and leaves the
// object as it was. A FIFO that another program holds open with a whole file in it, too.
struct NotAFileCase {
    const char* name;
    // Makes path; returns a descriptor to close after the load, or -1.
    std::function<int(const std::filesystem::path& path, const std::filesystem::path& good)> make;
};
void PrintTo(const NotAFileCase& c, std::ostream* os) { *os << c.name; }

class NotARegularFile : public ::testing::TestWithParam<NotAFileCase> {};

TEST_P(NotARegularFile, GivesMinusOneWithoutWaiting) {
    TempDir dir;
    const auto path = dir.file("x.chr");
    writeBytes(dir.file("good.chr"), good(1));
    const int held = GetParam().make(path, dir.file("good.chr"));
    CVelmarFile4 f = previousContent();
    auto loading = std::async(std::launch::async, [&] { return f.load(dir.file16("x.chr")); });
    if (loading.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
        const int w = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);  // let it go
        if (w >= 0) ::close(w);
        loading.wait();
        ADD_FAILURE() << "load waits";
    }
    EXPECT_EQ(loading.get(), -1);
    if (held >= 0) ::close(held);
    EXPECT_EQ(f.passport, previousContent().passport);
    EXPECT_EQ(f.channels, previousContent().channels);
}

INSTANTIATE_TEST_SUITE_P(Paths, NotARegularFile,
                         ::testing::Values(NotAFileCase{"ADirectory",
                                                        [](const auto& p, const auto&) {
                                                            std::filesystem::create_directory(p);
                                                            return -1;
                                                        }},
                                           NotAFileCase{"ALinkToADirectory",
                                                        [](const auto& p, const auto&) {
                                                            std::filesystem::create_directory_symlink(
                                                                p.parent_path(), p);
                                                            return -1;
                                                        }},
                                           NotAFileCase{"ADevice",
                                                        [](const auto& p, const auto&) {
                                                            std::filesystem::create_symlink("/dev/null", p);
                                                            return -1;
                                                        }},
                                           NotAFileCase{"AFifoNobodyWrites",
                                                        [](const auto& p, const auto&) {
                                                            EXPECT_EQ(::mkfifo(p.c_str(), 0600), 0);
                                                            return -1;
                                                        }},
                                           NotAFileCase{"AFifoHoldingAWholeFile",
                                                        [](const auto& p, const auto& good) {
                                                            EXPECT_EQ(::mkfifo(p.c_str(), 0600), 0);
                                                            const int fd = ::open(
                                                                p.c_str(),
                                                                O_RDWR | O_CLOEXEC);  // both ends, no wait
                                                            const Bytes bytes = readBytes(good);
                                                            EXPECT_EQ(::write(fd, bytes.data(), bytes.size()),
                                                                      static_cast<ssize_t>(bytes.size()));
                                                            return fd;
                                                        }}),
                         [](const auto& info) { return std::string(info.param.name); });

// The bytes of a saved file's binary part followed by other XML.
Bytes withXml(const CVelmarFile4& f, const std::string& xml) {
    TempDir dir;
    CVelmarFile4 copy = f;
    EXPECT_EQ(copy.save(dir.file16("b.chr")), 0);
    Bytes bytes = readBytes(dir.file("b.chr"));
    std::uint64_t xmlOffset = 0;
    for (int i = 7; i >= 0; --i) xmlOffset = (xmlOffset << 8) | bytes[8 + i];
    bytes.resize(xmlOffset);
    bytes.insert(bytes.end(), xml.begin(), xml.end());
    return bytes;
}

CVelmarFile4 channelsNumbered(std::vector<int> numbers) {
    CVelmarFile4 f;
    for (int n : numbers) {
        ChannelData c;
        c.number = n;
        f.channels.push_back(std::move(c));
    }
    return f;
}

CVelmarFile4 loadBytes(const Bytes& bytes, std::int32_t expected = 0) {
    TempDir dir;
    writeBytes(dir.file("x.chr"), bytes);
    CVelmarFile4 f = previousContent();
    EXPECT_EQ(f.load(dir.file16("x.chr")), expected);
    return f;
}

TEST(PeakTableTest, ItemsReadWithTheirDefaultsAndConversions) {
    const std::string xml =
        "\xEF\xBB\xBF<root><channels><channel><number value='0'/><table>"
        "<item/>"
        "<item><reference value='yes'/><left value='0x10'/><right value='-3'/><flags "
        "value='4294967295'/>"
        "<name value='н-Бутан &amp; изо'/><area value='1e3'/></item>"
        "<item><reference value='Y'/></item><item><reference value='t'/></item>"
        "<item><reference value='1'/></item><item><reference value='false'/></item>"
        "<item><reference value='N'/></item><item><area value='abc'/></item>"
        "</table></channel></channels></root>";
    const CVelmarFile4 f = loadBytes(withXml(channelsNumbered({0}), xml));
    ASSERT_EQ(f.channels.size(), 1u);
    const auto& p = f.channels[0].peaks;
    ASSERT_EQ(p.size(), 8u);
    EXPECT_EQ(p[0], PeakRecord{});
    EXPECT_EQ(p[0].left, -1);
    EXPECT_EQ(p[0].right, -1);
    EXPECT_FALSE(p[0].reference);
    EXPECT_TRUE(p[1].reference);
    EXPECT_EQ(p[1].left, 16);
    EXPECT_EQ(p[1].right, -3);
    EXPECT_EQ(p[1].flags, 4294967295u);
    EXPECT_EQ(p[1].name, u"н-Бутан & изо");
    EXPECT_EQ(p[1].area, 1000.0);
    EXPECT_TRUE(p[2].reference);
    EXPECT_TRUE(p[3].reference);
    EXPECT_TRUE(p[4].reference);
    EXPECT_FALSE(p[5].reference);
    EXPECT_FALSE(p[6].reference);
    EXPECT_EQ(p[7].area, 0.0);
}

TEST(PeakTableTest, ChannelElementsMatchBinaryChannelsByNumber) {
    const std::string xml =
        "<root><channels>"
        "<channel><number value='-1'/><table><item><time value='1'/></item></table></channel>"
        "<channel><number value='x'/><table><item><time value='2'/></item></table></channel>"
        "<channel><number value='5'/><table><item><time value='3'/></item></table></channel>"
        "<channel><number value='7'/><table><item><time value='4'/></item></table></channel>"
        "<channel><number value='7'/><table><item><time value='5'/></item></table></channel>"
        "<channel><number value='3'/></channel>"
        "<channel><table><item><time value='6'/></item></table></channel>"
        "</channels></root>";
    // Channel 7 twice in the binary part: only the first gets a table.
    const CVelmarFile4 f = loadBytes(withXml(channelsNumbered({0, 7, 7, 3}), xml));
    ASSERT_EQ(f.channels.size(), 4u);
    auto times = [&](std::size_t i) {
        std::vector<double> t;
        for (const auto& p : f.channels[i].peaks) t.push_back(p.time);
        return t;
    };
    EXPECT_EQ(times(0), std::vector<double>{2});  // "x" reads as 0; -1 skipped
    EXPECT_EQ(times(1), std::vector<double>{5});  // the later element replaces the earlier
    EXPECT_EQ(times(2), std::vector<double>{});
    EXPECT_EQ(times(3), std::vector<double>{});
}

TEST(PeakTableTest, MissingRootKeepsFixedFieldsButEmptiesPassportLists) {
    const CVelmarFile4 f = loadBytes(withXml(channelsNumbered({9}), "<other/>"));
    EXPECT_EQ(f.passport.sample, u"old");
    EXPECT_TRUE(f.passport.properties.empty());
    ASSERT_EQ(f.channels.size(), 1u);
    EXPECT_TRUE(f.channels[0].peaks.empty());  // the previous peaks do not survive
    EXPECT_TRUE(f.channels[0].samples.empty());
}

// ---- writing ----

class ProcessLocale {
public:
    explicit ProcessLocale(const char* name) {
        previous_ = std::setlocale(LC_ALL, nullptr);
        ok_ = std::setlocale(LC_ALL, name) != nullptr;
    }
    ~ProcessLocale() { std::setlocale(LC_ALL, previous_.c_str()); }
    bool ok() const { return ok_; }

private:
    std::string previous_;
    bool ok_;
};

class UnderLocale : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        locale_ = std::make_unique<ProcessLocale>(GetParam());
        if (!locale_->ok()) GTEST_SKIP() << GetParam() << " is not installed (tools/install-deps.sh)";
    }
    void TearDown() override { locale_.reset(); }
    std::unique_ptr<ProcessLocale> locale_;
};

CVelmarFile4 richFile() {
    SyntheticOptions o;
    o.channels = 3;
    o.samples = 500;
    o.peaks = 4;
    CVelmarFile4 f = makeSyntheticChromatogram(o);
    f.version = 0;
    f.passport.duration = 0.1;
    f.passport.graduation = true;
    f.passport.defect = true;
    f.passport.andate = -1234567890123;
    f.passport.properties.push_back({u"note", u"", u"<a & \"b\">\tЁ"});
    auto& peak = f.channels[2].peaks[1];
    peak.front = -0.0;
    peak.back = std::numeric_limits<double>::denorm_min();
    peak.time = std::numeric_limits<double>::max();
    peak.area = 1.0 / 3.0;
    peak.flags = 0xFFFFFFFFu;
    peak.left = std::numeric_limits<std::int32_t>::min();
    f.channels[1].paramA = std::numeric_limits<double>::quiet_NaN();
    f.channels[1].number = 255;
    f.channels[2].samples.clear();
    return f;
}

TEST_P(UnderLocale, SaveThenLoadGivesEveryFieldAndTheSameBytesAgain) {
    TempDir dir;
    CVelmarFile4 original = richFile();
    ASSERT_EQ(original.save(dir.file16("a.chr")), 0);
    EXPECT_EQ(original.passport.path, dir.file16("a.chr"));

    CVelmarFile4 loaded;
    ASSERT_EQ(loaded.load(dir.file16("a.chr")), 0);
    EXPECT_EQ(loaded.version, 0);
    EXPECT_EQ(loaded.channels, original.channels);
    EXPECT_TRUE(std::signbit(loaded.channels[2].peaks[1].front));
    loaded.passport.path = original.passport.path;
    EXPECT_EQ(loaded.passport, original.passport);

    ASSERT_EQ(loaded.save(dir.file16("b.chr")), 0);
    EXPECT_EQ(readBytes(dir.file("b.chr")), readBytes(dir.file("a.chr")));
}

TEST_P(UnderLocale, NumbersAreWrittenWith17DigitsAndAPoint) {
    TempDir dir;
    CVelmarFile4 f;
    PeakRecord p;
    p.front = 0.1;
    p.back = 2.5;
    p.time = 100;
    p.area = -1.0e-5;
    ChannelData c;
    c.peaks.push_back(p);
    f.channels.push_back(std::move(c));
    f.passport.duration = 0.1;
    ASSERT_EQ(f.save(dir.file16("n.chr")), 0);
    const Bytes bytes = readBytes(dir.file("n.chr"));
    const std::string xml(bytes.begin() + 16 + 32, bytes.end());
    EXPECT_NE(xml.find(R"(<duration value="0.10000000000000001"/>)"), std::string::npos) << xml;
    EXPECT_NE(xml.find(R"(<item><front value="0.10000000000000001"/><back value="2.5"/>)"
                       R"(<time value="100"/><area value="-1.0000000000000001e-05"/>)"),
              std::string::npos)
        << xml;

    CVelmarFile4 loaded;
    ASSERT_EQ(loaded.load(dir.file16("n.chr")), 0);
    EXPECT_EQ(loaded.passport.duration, 0.1);
    EXPECT_EQ(loaded.channels.at(0).peaks.at(0), p);
}

INSTANTIATE_TEST_SUITE_P(Locales, UnderLocale, ::testing::Values("C", "ru_RU.UTF-8"), [](const auto& info) {
    return std::string(info.param[0] == 'C' ? "C" : "DecimalComma");
});

TEST(SaveTest, AnObjectWithoutChannelsPutsTheXmlRightAfterTheHeader) {
    TempDir dir;
    CVelmarFile4 f;
    ASSERT_EQ(f.save(dir.file16("e.chr")), 0);
    const Bytes bytes = readBytes(dir.file("e.chr"));
    const Bytes header = {'S', 'T', 'G', 1, 0, 0, 0, 0, 16, 0, 0, 0, 0, 0, 0, 0};
    ASSERT_GT(bytes.size(), 16u);
    EXPECT_EQ(Bytes(bytes.begin(), bytes.begin() + 16), header);
    EXPECT_EQ(std::string(bytes.begin() + 16, bytes.end()),
              R"(<?xml version="1.0" encoding="utf-8"?><root version="1"><passport version="1">)"
              R"(<assayid value="00000000-0000-0000-0000-000000000000"/><series value=""/>)"
              R"(<andate value="0"/><duration value="0"/><sample value=""/><method value=""/>)"
              R"(<graduation value="false"/><date value="0"/><defect value="false"/>)"
              R"(<mixture value=""/></passport><channels version="1"/></root>)");
    CVelmarFile4 loaded = previousContent();
    EXPECT_EQ(loaded.load(dir.file16("e.chr")), 0);
    EXPECT_TRUE(loaded.channels.empty());
}

TEST(SaveTest, FailuresOfTheStreamAreReported) {
    TempDir dir;
    CVelmarFile4 empty;
    EXPECT_EQ(empty.save(dir.file16("no-such-folder/x.chr")), -1);
    if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    // Small writes stay in the stream's buffer until the flush, which fails.
    EXPECT_EQ(empty.save(u"/dev/full"), -7);
    CVelmarFile4 big = channelsNumbered({1});
    big.channels[0].samples.assign(100000, 1);
    EXPECT_EQ(big.save(u"/dev/full"), -6);
}

}  // namespace

namespace {

TEST(PeakTableTest, TheFirstElementOfAFieldCountsWhateverTheOrder) {
    const std::string xml =
        "<root><channels><channel><number value='0'/><table><item>"
        "<index value='9'/><time/><time value='5'/><area value='2'/><area value='3'/>"
        "<unknown value='1'/><front value='4'/></item></table></channel></channels></root>";
    const CVelmarFile4 f = loadBytes(withXml(channelsNumbered({0}), xml));
    ASSERT_EQ(f.channels.at(0).peaks.size(), 1u);
    const PeakRecord& p = f.channels[0].peaks[0];
    EXPECT_EQ(p.index, 9.0);
    EXPECT_EQ(p.time, 0.0);  // the first "time" has no value
    EXPECT_EQ(p.area, 2.0);
    EXPECT_EQ(p.front, 4.0);
}

}  // namespace

namespace {

// Bytes that are no UTF-8 vanish from the XML part before it is parsed, as where the files are
// written: in numbers, texts and element names alike.
TEST(PeakTableTest, InvalidUtf8IsDroppedFromNumbersTextsAndNames) {
    const std::string xml =
        "<root><passport><num\xFFinseria value='1\xE2"
        "5'/></passport><channels><channel>"
        "<number value='\xC0\xB1'/><table><item><time value='2\xFF.5'/><name value='Ме\xE2тан'/>"
        "<le\x80"
        "ft value='-\xF0\x9F"
        "7'/></item></table></channel></channels></root>";
    const CVelmarFile4 f = loadBytes(withXml(channelsNumbered({1}), xml));
    EXPECT_EQ(f.passport.findProperty(u"numinseria"), u"15");
    ASSERT_EQ(f.channels[0].peaks.size(), 1u) << "the overlong '1' is the channel number";
    EXPECT_EQ(f.channels[0].peaks[0].time, 2.5);
    EXPECT_EQ(f.channels[0].peaks[0].name, u"Метан");
    EXPECT_EQ(f.channels[0].peaks[0].left, -7);
}

}  // namespace
