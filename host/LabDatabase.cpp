#include "LabDatabase.h"

#include <stdexcept>

namespace tesmor::host {

namespace {

struct Finalize {
    void operator()(sqlite3_stmt* s) const noexcept { sqlite3_finalize(s); }
};
using Statement = std::unique_ptr<sqlite3_stmt, Finalize>;

constexpr const char* kSchema = R"(
CREATE TABLE IF NOT EXISTS assay(
  id INTEGER PRIMARY KEY, date INTEGER, uuid TEXT, filename TEXT, sample TEXT, method TEXT,
  mixture TEXT, iscalibration INTEGER, atmpressure REAL, airtemp REAL,
  ishidden INTEGER NOT NULL DEFAULT 0, isdeleted INTEGER NOT NULL DEFAULT 0);
CREATE TABLE IF NOT EXISTS peak(
  id INTEGER PRIMARY KEY, assayid INTEGER REFERENCES assay(id), nameid TEXT, name TEXT, area REAL,
  time REAL, height REAL, channel INTEGER, front REAL, back REAL, concentration REAL);
CREATE INDEX IF NOT EXISTS peak_assay ON peak(assayid);
CREATE TABLE IF NOT EXISTS method(name TEXT);
CREATE TABLE IF NOT EXISTS mixture(name TEXT);
)";

// Debian's SQLite reads a name that begins with "file:" as a URI; "./" in front keeps it a file name,
// the same one the plug-in then opens.
std::string literalName(const std::string& path) { return path.starts_with("file:") ? "./" + path : path; }

}  // namespace

LabDatabase::LabDatabase(const std::string& path) {
    sqlite3* db = nullptr;
    const int rc = sqlite3_open(literalName(path).c_str(), &db);
    db_.reset(db);
    if (rc != SQLITE_OK) throw std::runtime_error(path + ": " + sqlite3_errstr(rc));
    sqlite3_busy_timeout(db, 5000);
    exec(kSchema);
}

void LabDatabase::exec(const std::string& sql) {
    char* error = nullptr;
    if (sqlite3_exec(db_.get(), sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
        const std::string text = error ? error : "unknown error";
        sqlite3_free(error);
        throw std::runtime_error(text);
    }
}

namespace {
Statement prepare(sqlite3* db, const char* sql) {
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &s, nullptr) != SQLITE_OK)
        throw std::runtime_error(sqlite3_errmsg(db));
    return Statement(s);
}
void text(sqlite3_stmt* s, int i, const std::string& value) {
    sqlite3_bind_text(s, i, value.c_str(), static_cast<int>(value.size()), SQLITE_TRANSIENT);
}
void step(sqlite3* db, sqlite3_stmt* s) {
    if (sqlite3_step(s) != SQLITE_DONE) throw std::runtime_error(sqlite3_errmsg(db));
}
}  // namespace

void LabDatabase::addMethod(const std::string& name) {
    auto s = prepare(db_.get(), "INSERT INTO method(name) VALUES(?)");
    text(s.get(), 1, name);
    step(db_.get(), s.get());
}

void LabDatabase::addMixture(const std::string& name) {
    auto s = prepare(db_.get(), "INSERT INTO mixture(name) VALUES(?)");
    text(s.get(), 1, name);
    step(db_.get(), s.get());
}

std::int64_t LabDatabase::addAssay(const LabAssay& assay, const std::vector<LabPeak>& peaks) {
    exec("BEGIN IMMEDIATE");
    try {
        auto s =
            prepare(db_.get(),
                    "INSERT INTO assay(id, date, uuid, filename, sample, method, mixture, iscalibration, "
                    "atmpressure, airtemp, ishidden, isdeleted) VALUES(?,?,?,?,?,?,?,?,?,?,?,?)");
        if (assay.id > 0) {
            sqlite3_bind_int64(s.get(), 1, assay.id);
        } else {
            sqlite3_bind_null(s.get(), 1);
        }
        sqlite3_bind_int64(s.get(), 2, assay.date);
        text(s.get(), 3, assay.uuid);
        text(s.get(), 4, assay.filename);
        text(s.get(), 5, assay.sample);
        text(s.get(), 6, assay.method);
        text(s.get(), 7, assay.mixture);
        sqlite3_bind_int(s.get(), 8, assay.iscalibration);
        sqlite3_bind_double(s.get(), 9, assay.atmpressure);
        sqlite3_bind_double(s.get(), 10, assay.airtemp);
        sqlite3_bind_int(s.get(), 11, assay.ishidden);
        sqlite3_bind_int(s.get(), 12, assay.isdeleted);
        step(db_.get(), s.get());
        const std::int64_t id = sqlite3_last_insert_rowid(db_.get());
        auto p = prepare(db_.get(),
                         "INSERT INTO peak(assayid, nameid, name, area, time, height, channel, front, back, "
                         "concentration) VALUES(?,?,?,?,?,?,?,?,?,?)");
        for (const auto& peak : peaks) {
            sqlite3_reset(p.get());
            sqlite3_bind_int64(p.get(), 1, id);
            text(p.get(), 2, peak.nameid.empty() ? peak.name : peak.nameid);
            text(p.get(), 3, peak.name);
            sqlite3_bind_double(p.get(), 4, peak.area);
            sqlite3_bind_double(p.get(), 5, peak.time);
            sqlite3_bind_double(p.get(), 6, peak.height);
            sqlite3_bind_int(p.get(), 7, peak.channel);
            sqlite3_bind_double(p.get(), 8, peak.time - 0.1);
            sqlite3_bind_double(p.get(), 9, peak.time + 0.1);
            sqlite3_bind_double(p.get(), 10, peak.concentration);
            step(db_.get(), p.get());
        }
        exec("COMMIT");
        return id;
    } catch (...) {
        sqlite3_exec(db_.get(), "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
}

std::vector<std::int64_t> visibleAssays(const std::string& path, std::string& error) {
    sqlite3* raw = nullptr;
    const int rc = sqlite3_open_v2(literalName(path).c_str(), &raw, SQLITE_OPEN_READONLY, nullptr);
    const std::unique_ptr<sqlite3, decltype(&sqlite3_close)> db(raw, &sqlite3_close);
    if (rc != SQLITE_OK) {
        error = sqlite3_errstr(rc);
        return {};
    }
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(raw, "SELECT id FROM assay WHERE ishidden = 0 AND isdeleted = 0 ORDER BY id", -1,
                           &statement, nullptr) != SQLITE_OK) {
        error = sqlite3_errmsg(raw);
        return {};
    }
    const Statement owner(statement);
    std::vector<std::int64_t> ids;
    int step;
    while ((step = sqlite3_step(statement)) == SQLITE_ROW) ids.push_back(sqlite3_column_int64(statement, 0));
    if (step != SQLITE_DONE) {
        error = sqlite3_errmsg(raw);
        return {};
    }
    error.clear();
    return ids;
}

}  // namespace tesmor::host
