#include "results/SqlDatabase.h"

#include "results/DataBaseConnection.h"

namespace DataBase {

SqlException::SqlException(std::string message, std::string sql, int code)
    : message_(std::move(message)), code_(code), sql_(std::move(sql)) {}

SqlException::~SqlException() = default;

const char* SqlException::what() const noexcept { return message_.c_str(); }

namespace detail {

std::u16string Column<std::u16string>::read(sqlite3_stmt* s, int i) {
    if (sqlite3_column_type(s, i) == SQLITE_NULL) return {};
    const auto* text = static_cast<const char16_t*>(sqlite3_column_text16(s, i));
    if (!text) return {};  // out of memory inside SQLite: read as empty like a NULL
    // Up to the terminator, as the column's own byte count would include embedded zeros.
    return std::u16string(text);
}

}  // namespace detail

void SqlStatement::bind(std::int32_t value) noexcept {
    if (!statement_) return;
    sqlite3_bind_int64(statement_.get(), 1, static_cast<sqlite3_int64>(static_cast<std::uint32_t>(value)));
}

void SqlStatement::throwStepFailure(int result) {
    const char* text = sqlite3_sql(statement_.get());
    std::string sql = text ? text : "";
    statement_.reset();
    throw SqlException(sqlite3_errstr(result), std::move(sql), result);
}

namespace {

// Debian's SQLite takes every name that begins with "file:" as a URI ("file:h2.db?mode=ro" would
// open h2.db read-only), and switching that off is a setting of the whole process, which the
// plug-in shares with the host. Such a name can only be relative (an absolute one begins with
// "/"), so "./" in front keeps it the file name it is.
std::u16string literalFileName(std::u16string_view path) {
    std::u16string name;
    if (path.starts_with(u"file:")) name = u"./";
    name += path;
    return name;
}

}  // namespace

void SqlDatabase::open(const char16_t* path) {
    db_.reset();
    const std::optional<std::u16string> name = path ? std::optional(literalFileName(path)) : std::nullopt;
    sqlite3* raw = nullptr;
    const int opened = sqlite3_open16(name ? name->c_str() : nullptr, &raw);
    db_.reset(raw);  // closed by the destructor also when the open failed
    if (opened != SQLITE_OK) {
        // Without a handle (out of memory) sqlite3_errmsg gives SQLite's text for that case.
        throw SqlException(sqlite3_errmsg(raw), "", opened);
    }
    const int configured = sqlite3_db_config(raw, SQLITE_DBCONFIG_ENABLE_FKEY, 1, nullptr);
    if (configured != SQLITE_OK) throw SqlException(sqlite3_errmsg(raw), "", configured);
}

void SqlDatabase::open(const std::optional<std::u16string>& location) {
    open(location ? location->c_str() : nullptr);
}

SqlStatement SqlDatabase::prepare(std::u16string_view sql) const {
    if (!db_) throw SqlException(sqlite3_errstr(SQLITE_MISUSE), "", SQLITE_MISUSE);
    // Zero-terminated copy: SQLite reads to the terminator and keeps the text for sqlite3_sql.
    const std::u16string text(sql);
    sqlite3_stmt* raw = nullptr;
    const int prepared = sqlite3_prepare16_v2(db_.get(), text.c_str(), -1, &raw, nullptr);
    SqlStatement statement(raw);
    if (prepared != SQLITE_OK) throw SqlException(sqlite3_errmsg(db_.get()), "", prepared);
    return statement;
}

}  // namespace DataBase

DataBaseConnection::~DataBaseConnection() = default;

void DataBaseConnection::setConnectionUri(const char16_t* text) {
    std::optional<std::u16string> copy;
    if (text) copy.emplace(text);
    const std::lock_guard lock(mutex_);
    connectionUri_ = std::move(copy);
}

std::optional<std::u16string> DataBaseConnection::connectionUri() const {
    const std::lock_guard lock(mutex_);
    return connectionUri_;
}
