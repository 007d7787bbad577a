#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "results/DataBaseConnection.h"
#include "results/SqlDatabase.h"
#include "support/TempDir.h"

using DataBase::NullAs;
using DataBase::SqlDatabase;
using DataBase::SqlException;

namespace {

struct RawClose {
    void operator()(sqlite3* db) const noexcept { sqlite3_close(db); }
};
using RawDb = std::unique_ptr<sqlite3, RawClose>;

RawDb openRaw(const std::filesystem::path& path) {
    sqlite3* db = nullptr;
    if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) {
        sqlite3_close(db);
        throw std::runtime_error("cannot open test database");
    }
    return RawDb(db);
}

void exec(sqlite3* db, const char* sql) {
    char* error = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &error) != SQLITE_OK) {
        const std::string text = error ? error : "?";
        sqlite3_free(error);
        throw std::runtime_error(text);
    }
}

// A small host-like database in a temporary file.
class DataBaseTest : public ::testing::Test {
protected:
    void SetUp() override {
        path_ = dir_.file("host.db");
        const RawDb db = openRaw(path_);
        exec(db.get(),
             "CREATE TABLE t(id INTEGER, big INTEGER, small INTEGER, real REAL, name TEXT);"
             "INSERT INTO t VALUES(1, 10, 20, 1.5, 'Метан');"
             "INSERT INTO t VALUES(NULL, NULL, NULL, NULL, NULL);"
             "INSERT INTO t VALUES(4294967295, 4294967301, 4294967301, '12.5 ppm', 42);"
             "CREATE TABLE empty(id INTEGER);");
    }

    void open(SqlDatabase& db) { db.open(path16().c_str()); }
    std::u16string path16() const { return tesmor::toUtf16(path_.string()); }

    TempDir dir_;
    std::filesystem::path path_;
};

using Row = std::tuple<std::int64_t, std::int64_t, std::int32_t, double, std::u16string>;

std::vector<Row> readAll(SqlDatabase& db, std::u16string_view sql) {
    std::vector<Row> rows;
    auto st = db.prepare(sql);
    st.forEachRow<NullAs<std::int64_t, -1>, std::int64_t, std::int32_t, double, std::u16string>(
        [&](std::int64_t id, std::int64_t big, std::int32_t small, double real, std::u16string name) {
            rows.emplace_back(id, big, small, real, std::move(name));
        });
    return rows;
}

TEST_F(DataBaseTest, NoRowNeverCallsTheHandler) {
    SqlDatabase db;
    open(db);
    int calls = 0;
    auto st = db.prepare(u"SELECT id FROM empty;");
    st.forEachRow<std::int64_t>([&](std::int64_t) { ++calls; });
    EXPECT_EQ(calls, 0);
}

TEST_F(DataBaseTest, ColumnsAreReadInOrderWithTheirNullValues) {
    SqlDatabase db;
    open(db);
    const auto rows = readAll(db, u"SELECT id, big, small, real, name FROM t ORDER BY rowid;");
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0], Row(1, 10, 20, 1.5, u"Метан"));
    // NULL: the declared -1, then 0, 0, 0.0 and the empty text.
    EXPECT_EQ(rows[1], Row(-1, 0, 0, 0.0, u""));
    // Other storage classes convert by SQLite's rules: a 32-bit column keeps the low half, a
    // text's numeric prefix reads as a double, a number reads as its decimal text.
    EXPECT_EQ(rows[2], Row(4294967295, 4294967301, 5, 12.5, u"42"));
}

TEST_F(DataBaseTest, BindTakesTheIdAsUnsigned32Bit) {
    SqlDatabase db;
    open(db);
    std::vector<std::int64_t> found;
    auto st = db.prepare(u"SELECT id FROM t WHERE id = ?;");
    st.bind(-1);
    st.forEachRow<std::int64_t>([&](std::int64_t id) { found.push_back(id); });
    EXPECT_EQ(found, std::vector<std::int64_t>{4294967295});
}

TEST_F(DataBaseTest, AHandlerMayRunAnotherStatementBetweenSteps) {
    SqlDatabase db;
    open(db);
    int inner = 0;
    auto outer = db.prepare(u"SELECT id FROM t WHERE id IS NOT NULL;");
    outer.forEachRow<std::int64_t>([&](std::int64_t) {
        auto st = db.prepare(u"SELECT small FROM t WHERE id = 1;");
        st.forEachRow<std::int32_t>([&](std::int32_t v) { inner += v; });
    });
    EXPECT_EQ(inner, 40);
}

TEST_F(DataBaseTest, WhatTheHandlerThrowsPassesAndNoStatementIsLeft) {
    SqlDatabase db;
    open(db);
    {
        auto st = db.prepare(u"SELECT id FROM t;");
        EXPECT_THROW(st.forEachRow<std::int64_t>([](std::int64_t) { throw std::logic_error("x"); }),
                     std::logic_error);
    }
    EXPECT_EQ(sqlite3_next_stmt(db.handle(), nullptr), nullptr);
}

TEST_F(DataBaseTest, LockedWhileSteppingGivesTheGenericTextAndTheStatement) {
    SqlDatabase db;
    open(db);
    const std::string sql = "SELECT id FROM t;";
    auto st = db.prepare(tesmor::toUtf16(sql));
    const RawDb other = openRaw(path_);
    exec(other.get(), "BEGIN EXCLUSIVE;");
    try {
        st.forEachRow<std::int64_t>([](std::int64_t) {});
        FAIL() << "no exception";
    } catch (const SqlException& e) {
        EXPECT_EQ(e.code(), SQLITE_BUSY);
        EXPECT_STREQ(e.what(), sqlite3_errstr(SQLITE_BUSY));
        EXPECT_EQ(e.sql(), sql);
    }
    EXPECT_EQ(sqlite3_next_stmt(db.handle(), nullptr), nullptr);
}

TEST_F(DataBaseTest, LockedWhilePreparingGivesTheConnectionTextAndNoStatement) {
    const RawDb other = openRaw(path_);
    exec(other.get(), "BEGIN EXCLUSIVE;");
    SqlDatabase db;
    open(db);  // the open itself reads nothing yet
    try {
        db.prepare(u"SELECT id FROM t;");
        FAIL() << "no exception";
    } catch (const SqlException& e) {
        EXPECT_EQ(e.code(), SQLITE_BUSY);
        EXPECT_STREQ(e.what(), sqlite3_errmsg(db.handle()));
        EXPECT_EQ(e.sql(), "");
    }
}

TEST_F(DataBaseTest, AMissingFileIsCreatedEmptyAndTheFirstPrepareFails) {
    const auto missing = dir_.file("missing.db");
    SqlDatabase db;
    db.open(tesmor::toUtf16(missing.string()).c_str());
    EXPECT_TRUE(std::filesystem::exists(missing));
    try {
        db.prepare(u"SELECT id FROM t;");
        FAIL() << "no exception";
    } catch (const SqlException& e) {
        EXPECT_EQ(e.code(), SQLITE_ERROR);
        EXPECT_EQ(std::string(e.what()), "no such table: t");
        EXPECT_EQ(e.sql(), "");
    }
}

TEST_F(DataBaseTest, AnOpenThatFailsThrowsTheOpenResult) {
    SqlDatabase db;
    try {
        db.open(dir_.file16("no-such-folder/host.db").c_str());
        FAIL() << "no exception";
    } catch (const SqlException& e) {
        EXPECT_EQ(e.code(), SQLITE_CANTOPEN);
        EXPECT_EQ(e.sql(), "");
    }
}

TEST(DataBaseConnectionTest, ANullLocationOpensATemporaryDatabase) {
    DataBaseConnection connection;
    EXPECT_FALSE(connection.connectionUri().has_value());
    connection.setConnectionUri(u"/var/lib/host/lab.db");
    connection.setConnectionUri(nullptr);
    EXPECT_FALSE(connection.connectionUri().has_value());
    SqlDatabase db;
    db.open(connection.connectionUri());
    try {
        db.prepare(u"SELECT id FROM t;");
        FAIL() << "no exception";
    } catch (const SqlException& e) {
        EXPECT_EQ(e.code(), SQLITE_ERROR);
        EXPECT_EQ(std::string(e.what()), "no such table: t");
    }
}

TEST(DataBaseConnectionTest, TheLocationIsACopyOfTheHostText) {
    DataBaseConnection connection;
    std::u16string host = u"/var/lib/host/база.db";
    connection.setConnectionUri(host.c_str());
    host[1] = u'X';
    EXPECT_EQ(connection.connectionUri(), std::u16string(u"/var/lib/host/база.db"));
}

// The host's location is a file name even where it looks like a URI to SQLite (Debian's build
// takes names beginning with "file:" as URIs). Beside each literal file lie the files a URI
// reading would open instead; the open must reach the literal one and create nothing else.
struct LocationCase {
    const char* name;
    std::string location;  // relative to the current folder, or below it when absolute
    bool absolute;
};
void PrintTo(const LocationCase& c, std::ostream* os) { *os << c.name; }

class LiteralLocation : public ::testing::TestWithParam<LocationCase> {
protected:
    void SetUp() override {
        previous_ = std::filesystem::current_path();
        std::filesystem::current_path(dir_.path());
    }
    void TearDown() override { std::filesystem::current_path(previous_); }

    // A database whose one row says what it is, made under a plain name and then renamed.
    void makeDatabase(const std::filesystem::path& path, const char* marker) {
        const auto plain = dir_.file("plain.db");
        {
            const RawDb db = openRaw(plain);
            exec(db.get(),
                 ("CREATE TABLE marker(v TEXT); INSERT INTO marker VALUES('" + std::string(marker) + "');")
                     .c_str());
        }
        std::filesystem::rename(plain, path);
    }
    std::set<std::string> files() const {
        std::set<std::string> names;
        for (const auto& e : std::filesystem::recursive_directory_iterator(dir_.path()))
            names.insert(std::filesystem::relative(e.path(), dir_.path()).string());
        return names;
    }

    TempDir dir_;
    std::filesystem::path previous_;
};

TEST_P(LiteralLocation, OpensTheFileOfThatName) {
    for (const char* decoy : {"h2.db", "x.db", "A.db", "b.db", "v.db"}) makeDatabase(decoy, "decoy");
    const std::filesystem::path literal =
        GetParam().absolute ? dir_.path() / GetParam().location : std::filesystem::path(GetParam().location);
    makeDatabase(literal, "literal");
    const std::set<std::string> before = files();

    SqlDatabase db;
    db.open(std::optional(tesmor::toUtf16(literal.string())));
    std::vector<std::u16string> markers;
    db.prepare(u"SELECT v FROM marker;").forEachRow<std::u16string>([&](std::u16string v) {
        markers.push_back(v);
    });
    EXPECT_EQ(markers, std::vector<std::u16string>{u"literal"});
    EXPECT_EQ(files(), before) << "no other file opened or created";
}

INSTANTIATE_TEST_SUITE_P(Rows, LiteralLocation,
                         ::testing::Values(LocationCase{"FileColon", "file:x.db", false},
                                           LocationCase{"FileColonWithQuery", "file:h2.db?mode=ro", false},
                                           LocationCase{"FileColonWithPercentEscape", "file:%41.db", false},
                                           LocationCase{"FileColonWithFragment", "file:b.db#c", false},
                                           LocationCase{"FileColonNamingAVfs", "file:v.db?vfs=none", false},
                                           LocationCase{"QuestionHashAndPercent", "a?b#c%41.db", false},
                                           LocationCase{"UpperCaseFile", "FILE:h2.db?mode=ro", false},
                                           LocationCase{"AbsoluteWithFileColonName", "file:h2.db?mode=ro",
                                                        true}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
