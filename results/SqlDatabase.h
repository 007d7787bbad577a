#pragma once
// A connection to the host database for one reading operation, and its prepared statements.
//
// Usage (one thread, one operation):
//     DataBase::SqlDatabase db;
//     db.open(database.connectionUri());   // database: the DataBaseConnection
//     auto st = db.prepare(u"SELECT id, name FROM [peak] WHERE assayid = ?;");
//     st.bind(assayId);
//     st.forEachRow<DataBase::NullAs<std::int64_t, -1>, std::u16string>(
//         [&](std::int64_t id, std::u16string name) { ... });
// Every failure of SQLite throws DataBase::SqlException; statements are finalized and the
// connection is closed on every path, exceptions included. Neither object is shared between
// threads.
#include <sqlite3.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

#include "results/SqlException.h"

namespace DataBase {

// A column read as T whose SQL NULL gives Null instead of T's own null value.
template <typename T, T Null>
struct NullAs {
    using type = T;
};

namespace detail {

struct StatementFinalize {
    void operator()(sqlite3_stmt* s) const noexcept { sqlite3_finalize(s); }
};
struct ConnectionClose {
    // close_v2: a statement that (wrongly) outlives the connection still cannot leak it.
    void operator()(sqlite3* db) const noexcept { sqlite3_close_v2(db); }
};

template <typename T>
struct Column;

template <>
struct Column<std::int64_t> {
    using type = std::int64_t;
    static type read(sqlite3_stmt* s, int i) {
        return sqlite3_column_type(s, i) == SQLITE_NULL ? 0 : sqlite3_column_int64(s, i);
    }
};

template <>
struct Column<std::int32_t> {
    using type = std::int32_t;
    static type read(sqlite3_stmt* s, int i) {
        return sqlite3_column_type(s, i) == SQLITE_NULL ? 0 : sqlite3_column_int(s, i);
    }
};

template <>
struct Column<double> {
    using type = double;
    static type read(sqlite3_stmt* s, int i) {
        return sqlite3_column_type(s, i) == SQLITE_NULL ? 0.0 : sqlite3_column_double(s, i);
    }
};

template <>
struct Column<std::u16string> {
    using type = std::u16string;
    static type read(sqlite3_stmt* s, int i);
};

template <typename T, T Null>
struct Column<NullAs<T, Null>> {
    using type = T;
    static type read(sqlite3_stmt* s, int i) {
        return sqlite3_column_type(s, i) == SQLITE_NULL ? Null : Column<T>::read(s, i);
    }
};

}  // namespace detail

class SqlStatement {
public:
    SqlStatement(SqlStatement&&) noexcept = default;
    SqlStatement& operator=(SqlStatement&&) noexcept = default;

    // Binds parameter 1 (the only parameter of any statement here) to value taken as unsigned
    // 32-bit, so -1 binds 4294967295. The result is not examined: a bad bind shows at the step.
    void bind(std::int32_t value) noexcept;

    // Steps through every row; for each, reads the columns in order as Ts (std::int64_t,
    // std::int32_t, double, std::u16string, or NullAs<...> for another null value; a NULL gives
    // 0, 0, 0.0, empty text or the declared value) and calls handler(values...). Values stored in
    // another storage class are converted by SQLite's rules, never reported. The statement is
    // finalized afterwards, also when the handler throws (what it throws passes through).
    // Throws SqlException(sqlite3_errstr(code), statement text, code) when stepping ends with
    // anything but SQLITE_DONE. A finished statement (or one prepared from a text without SQL)
    // yields no row.
    template <typename... Ts, typename Handler>
    void forEachRow(Handler&& handler);

private:
    friend class SqlDatabase;
    explicit SqlStatement(sqlite3_stmt* statement) noexcept : statement_(statement) {}

    template <typename... Ts, std::size_t... Is>
    static std::tuple<typename detail::Column<Ts>::type...> readRow(sqlite3_stmt* s,
                                                                    std::index_sequence<Is...>) {
        // Braced initialisation reads the columns left to right.
        return std::tuple<typename detail::Column<Ts>::type...>{
            detail::Column<Ts>::read(s, static_cast<int>(Is))...};
    }
    [[noreturn]] void throwStepFailure(int result);

    std::unique_ptr<sqlite3_stmt, detail::StatementFinalize> statement_;
};

class SqlDatabase {
public:
    SqlDatabase() = default;
    SqlDatabase(const SqlDatabase&) = delete;
    SqlDatabase& operator=(const SqlDatabase&) = delete;
    ~SqlDatabase() = default;  // closes the connection, result not examined

    // Opens path (zero-terminated UTF-16) with sqlite3_open16: read-write, created when missing;
    // null gives a private temporary database. The path is always a file name, never a URI: a
    // name that begins with "file:" opens the file of that name (through "./" + name); SQLite's
    // own special names ("", ":memory:") keep their meaning. Enables foreign keys. No busy
    // timeout: a database locked by the host fails at once with SQLITE_BUSY.
    // Throws SqlException(sqlite3_errmsg, "", result) on failure.
    void open(const char16_t* path);
    // The same for a location as DataBaseConnection::connectionUri gives it.
    void open(const std::optional<std::u16string>& location);

    // Prepares one complete SQL text (taken as it is, no formatting). The statement must end
    // before this object. Throws SqlException(sqlite3_errmsg, "", result) on failure, and
    // SqlException(SQLITE_MISUSE) before a successful open.
    SqlStatement prepare(std::u16string_view sql) const;

    sqlite3* handle() const noexcept { return db_.get(); }

private:
    std::unique_ptr<sqlite3, detail::ConnectionClose> db_;
};

template <typename... Ts, typename Handler>
void SqlStatement::forEachRow(Handler&& handler) {
    if (!statement_) return;
    sqlite3_stmt* s = statement_.get();
    int result = sqlite3_step(s);
    while (result == SQLITE_ROW) {
        std::apply(handler, readRow<Ts...>(s, std::index_sequence_for<Ts...>{}));
        result = sqlite3_step(s);
    }
    if (result != SQLITE_DONE) throwStepFailure(result);
    statement_.reset();
}

}  // namespace DataBase
