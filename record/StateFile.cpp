#include "record/StateFile.h"

#include <pwd.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <new>
#include <system_error>
#include <thread>
#include <utility>

namespace tesmor {

namespace {

constexpr std::int32_t kApplicationId = 0x74736D72;  // "tsmr" in the header of every state file
constexpr int kSchemaVersion = 1;
constexpr std::uint32_t kLastSequence = 0xFFFFFFFF;
constexpr std::string_view kSequenceKey = "sequence";
constexpr int kCheckpointPages = 1000;  // SQLite's own default

// Thrown and caught inside this file only: what went wrong, without the file and the operation.
struct Failure {
    std::string reason;
    int code = 0;  // SQLite's primary result code, when SQLite failed
};

Failure sqliteFailure(sqlite3* db) { return Failure{sqlite3_errmsg(db), sqlite3_errcode(db) & 0xFF}; }

std::string systemError(int error) { return std::error_code(error, std::generic_category()).message(); }

struct Finalize {
    void operator()(sqlite3_stmt* s) const noexcept { sqlite3_finalize(s); }
};

class Statement {
public:
    Statement(sqlite3* db, const char* sql) : db_(db) {
        sqlite3_stmt* raw = nullptr;
        const int prepared = sqlite3_prepare_v2(db, sql, -1, &raw, nullptr);
        statement_.reset(raw);
        if (prepared != SQLITE_OK) throw sqliteFailure(db);
    }

    Statement& bind(int index, std::int64_t value) {
        check(sqlite3_bind_int64(statement_.get(), index, value));
        return *this;
    }
    Statement& bindText(int index, std::string_view text) {
        if (text.size() > INT_MAX) throw Failure{"text too long"};
        // An empty view may have no data, which SQLite would take for NULL.
        check(sqlite3_bind_text(statement_.get(), index, text.data() ? text.data() : "",
                                static_cast<int>(text.size()), SQLITE_STATIC));
        return *this;
    }
    Statement& bindBlob(int index, const std::vector<unsigned char>& bytes) {
        if (bytes.size() > INT_MAX) throw Failure{"register image too large"};
        check(sqlite3_bind_blob(statement_.get(), index, bytes.data(), static_cast<int>(bytes.size()),
                                SQLITE_STATIC));
        return *this;
    }

    // True with a row to read, false when done.
    bool step() {
        const int result = sqlite3_step(statement_.get());
        if (result == SQLITE_ROW) return true;
        if (result == SQLITE_DONE) return false;
        throw sqliteFailure(db_);
    }
    void reset() noexcept { sqlite3_reset(statement_.get()); }

    bool isNull(int column) const noexcept {
        return sqlite3_column_type(statement_.get(), column) == SQLITE_NULL;
    }
    std::int64_t integer(int column) const noexcept { return sqlite3_column_int64(statement_.get(), column); }
    std::string text(int column) const {
        const auto* bytes = reinterpret_cast<const char*>(sqlite3_column_text(statement_.get(), column));
        const int size = sqlite3_column_bytes(statement_.get(), column);
        return bytes ? std::string(bytes, static_cast<std::size_t>(size)) : std::string();
    }
    std::vector<unsigned char> blob(int column) const {
        const auto* bytes = static_cast<const unsigned char*>(sqlite3_column_blob(statement_.get(), column));
        const int size = sqlite3_column_bytes(statement_.get(), column);
        return bytes ? std::vector<unsigned char>(bytes, bytes + size) : std::vector<unsigned char>();
    }

private:
    void check(int result) const {
        if (result != SQLITE_OK) throw sqliteFailure(db_);
    }

    sqlite3* db_;
    std::unique_ptr<sqlite3_stmt, Finalize> statement_;
};

void exec(sqlite3* db, const char* sql) {
    if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) != SQLITE_OK) throw sqliteFailure(db);
}

// A transaction, rolled back on every path that did not commit. One that writes begins
// IMMEDIATE, which takes the write lock at the start, where the busy timeout applies; a deferred
// one would meet another writer half-way and fail at once.
class Transaction {
public:
    explicit Transaction(sqlite3* db, const char* begin = "BEGIN IMMEDIATE") : db_(db) { exec(db, begin); }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    ~Transaction() {
        // SQLite may have rolled back already (a full disk, for one).
        if (!sqlite3_get_autocommit(db_)) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    void commit() { exec(db_, "COMMIT"); }

private:
    sqlite3* db_;
};

// The image as one blob: the four lengths (32-bit little-endian), the coils and the discrete
// inputs eight to a byte (first in the lowest bit, as Modbus packs them), then the input and the
// holding registers as runs: a 16-bit count of zeros, a 16-bit count of values, the values. A map
// fills few of its 500 registers, and zeros then cost next to nothing.
using Blob = std::vector<unsigned char>;
constexpr std::size_t kMaxRun = 0xFFFF;

void putU16(Blob& out, std::uint16_t v) {
    out.push_back(static_cast<unsigned char>(v));
    out.push_back(static_cast<unsigned char>(v >> 8));
}

void putU32(Blob& out, std::size_t size) {
    if (size > 0xFFFFFFFFu) throw Failure{"register image too large"};
    const auto v = static_cast<std::uint32_t>(size);
    putU16(out, static_cast<std::uint16_t>(v));
    putU16(out, static_cast<std::uint16_t>(v >> 16));
}

void putBits(Blob& out, const std::vector<std::uint8_t>& bits) {
    const std::size_t start = out.size();
    out.resize(start + (bits.size() + 7) / 8, 0);
    for (std::size_t i = 0; i < bits.size(); ++i)
        if (bits[i]) out[start + i / 8] |= static_cast<unsigned char>(1u << (i % 8));
}

void putRegisters(Blob& out, const std::vector<std::uint16_t>& values) {
    const std::size_t n = values.size();
    // A gap of one or two zeros stays inside a run of values: a new pair of counts costs more.
    auto gapEndsRun = [&](std::size_t at) {
        std::size_t zeros = 0;
        while (at + zeros < n && values[at + zeros] == 0 && zeros < 3) ++zeros;
        return zeros == 3 || at + zeros == n;
    };
    std::size_t i = 0;
    while (i < n) {
        std::size_t zeros = 0;
        while (i + zeros < n && values[i + zeros] == 0 && zeros < kMaxRun) ++zeros;
        const std::size_t start = i + zeros;
        std::size_t end = start;
        while (end < n && end - start < kMaxRun && (values[end] != 0 || !gapEndsRun(end))) ++end;
        putU16(out, static_cast<std::uint16_t>(zeros));
        putU16(out, static_cast<std::uint16_t>(end - start));
        for (std::size_t k = start; k < end; ++k) putU16(out, values[k]);
        i = end;
    }
}

Blob encodeImage(const RegisterImage& image) {
    Blob out;
    out.reserve(16 + (image.coils.size() + image.discreteInputs.size()) / 8 + 2 +
                2 * (image.inputRegisters.size() + image.holdingRegisters.size()) + 16);
    putU32(out, image.coils.size());
    putU32(out, image.discreteInputs.size());
    putU32(out, image.inputRegisters.size());
    putU32(out, image.holdingRegisters.size());
    putBits(out, image.coils);
    putBits(out, image.discreteInputs);
    putRegisters(out, image.inputRegisters);
    putRegisters(out, image.holdingRegisters);
    return out;
}

class BlobReader {
public:
    explicit BlobReader(const Blob& blob) : at_(blob.data()), end_(blob.data() + blob.size()) {}
    std::size_t left() const noexcept { return static_cast<std::size_t>(end_ - at_); }
    bool u16(std::uint16_t& v) noexcept {
        if (left() < 2) return false;
        v = static_cast<std::uint16_t>(at_[0] | at_[1] << 8);
        at_ += 2;
        return true;
    }
    bool u32(std::uint32_t& v) noexcept {
        std::uint16_t low = 0, high = 0;
        if (!u16(low) || !u16(high)) return false;
        v = low | static_cast<std::uint32_t>(high) << 16;
        return true;
    }
    bool bits(std::uint32_t count, std::vector<std::uint8_t>& out) {
        const std::size_t bytes = (static_cast<std::size_t>(count) + 7) / 8;
        if (left() < bytes) return false;
        out.resize(count);
        for (std::size_t i = 0; i < count; ++i) out[i] = (at_[i / 8] >> (i % 8)) & 1u;
        at_ += bytes;
        return true;
    }
    bool registers(std::uint32_t count, std::vector<std::uint16_t>& out) {
        // What the bytes left could hold at most, before anything is allocated.
        if (count > left() / 4 * 2 * kMaxRun) return false;
        out.clear();
        while (out.size() < count) {
            std::uint16_t zeros = 0, values = 0;
            if (!u16(zeros) || !u16(values)) return false;
            const std::size_t run = std::size_t{zeros} + values;
            if (run == 0 || run > count - out.size() || left() < 2u * values) return false;
            out.insert(out.end(), zeros, 0);
            for (std::uint16_t k = 0; k < values; ++k) {
                std::uint16_t v = 0;
                u16(v);
                out.push_back(v);
            }
        }
        return true;
    }

private:
    const unsigned char* at_;
    const unsigned char* end_;
};

std::optional<RegisterImage> decodeImage(const Blob& blob) {
    BlobReader in(blob);
    std::uint32_t coils = 0, discrete = 0, inputs = 0, holding = 0;
    RegisterImage image;
    if (in.u32(coils) && in.u32(discrete) && in.u32(inputs) && in.u32(holding) &&
        in.bits(coils, image.coils) && in.bits(discrete, image.discreteInputs) &&
        in.registers(inputs, image.inputRegisters) && in.registers(holding, image.holdingRegisters) &&
        in.left() == 0)
        return image;
    return std::nullopt;
}

std::uint32_t following(std::uint32_t sequence) { return sequence == kLastSequence ? 1 : sequence + 1; }

std::uint32_t readSequence(sqlite3* db) {
    Statement select(db, "SELECT value FROM meta WHERE key = 'sequence'");
    if (!select.step()) throw Failure{"the sequence is missing"};
    const std::int64_t value = select.integer(0);
    if (value < 0 || value > kLastSequence) throw Failure{"the sequence is damaged"};
    return static_cast<std::uint32_t>(value);
}

// Keeps the newest depth analyses up to next. Sequences go round 1..4294967295, so after the
// wrap the ones kept lie at both ends of that range; each range deleted is one seek on the key.
void trim(sqlite3* db, std::uint32_t next, int depth) {
    Statement remove(db, "DELETE FROM history WHERE sequence BETWEEN ?1 AND ?2");
    auto drop = [&](std::int64_t from, std::int64_t to) {
        if (from > to) return;
        remove.reset();
        remove.bind(1, from).bind(2, to).step();
    };
    const std::int64_t kept = std::max(depth, 0), newest = next;
    if (kept == 0) {
        drop(1, kLastSequence);
    } else if (newest >= kept) {
        drop(1, newest - kept);
        drop(newest + 1, kLastSequence);
    } else {
        drop(newest + 1, kLastSequence - (kept - newest));
    }
}

// Creates the folders above the file that are missing, private to the user.
void makeParents(const std::string& file) {
    const std::filesystem::path parent = std::filesystem::path(file).parent_path();
    std::filesystem::path prefix;
    for (const auto& part : parent) {
        prefix /= part;
        if (part == prefix.root_directory()) continue;
        struct stat st {};
        if (::stat(prefix.c_str(), &st) == 0) {
            if (!S_ISDIR(st.st_mode)) throw Failure{prefix.string() + " is not a folder"};
            continue;
        }
        if (errno != ENOENT)
            throw Failure{"cannot reach folder " + prefix.string() + ": " + systemError(errno)};
        // EEXIST: another process made it meanwhile.
        if (::mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST)
            throw Failure{"cannot create folder " + prefix.string() + ": " + systemError(errno)};
    }
}

// Refuses what SQLite would mishandle: a directory, and anything but a regular file (a FIFO
// would block the first read for ever).
void checkPlace(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) throw Failure{"is a directory"};
        if (!S_ISREG(st.st_mode)) throw Failure{"is not a regular file"};
        return;
    }
    if (errno != ENOENT && errno != ENOTDIR) throw Failure{systemError(errno)};
    makeParents(path);
}

// Debian's SQLite takes a name that begins with "file:" for a URI; such a name is relative, and
// "./" in front keeps it the file name it is.
std::string literalFileName(const std::string& path) {
    return path.starts_with("file:") ? "./" + path : path;
}

std::int64_t pragma(sqlite3* db, const char* sql) {
    Statement statement(db, sql);
    return statement.step() ? statement.integer(0) : 0;
}

// Whether the file is new (no schema at all) or a state file this code can read; anything else
// fails here, before any write could touch it. Call it inside a transaction, so that the three
// values come from one moment of the file while another process may be creating the schema.
bool isNew(sqlite3* db) {
    const std::int64_t application = pragma(db, "PRAGMA application_id");
    const std::int64_t version = pragma(db, "PRAGMA user_version");
    const std::int64_t objects = pragma(db, "SELECT count(*) FROM sqlite_schema");
    if (application == 0 && version == 0 && objects == 0) return true;
    if (application != kApplicationId) throw Failure{"is another program's database"};
    if (version > kSchemaVersion)
        throw Failure{"written by a newer version (schema " + std::to_string(version) + ", this one reads " +
                      std::to_string(kSchemaVersion) + ")"};
    if (version < 1) throw Failure{"unknown schema version " + std::to_string(version)};
    return false;
}

// Switching a new file to write-ahead logging reads it and then writes it, and SQLite answers
// BUSY at once, without the busy timeout, when another connection does the same at that moment
// (waiting could deadlock the two); so the switch is tried again until the wait is over.
void useWriteAheadLog(sqlite3* db, std::chrono::milliseconds wait) {
    const auto deadline = std::chrono::steady_clock::now() + wait;
    for (;;) {
        Statement mode(db, "PRAGMA journal_mode=WAL");
        std::string journal;
        try {
            journal = mode.step() ? mode.text(0) : std::string();
        } catch (const Failure& f) {
            if (f.code != SQLITE_BUSY || std::chrono::steady_clock::now() >= deadline) throw;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            continue;
        }
        if (journal != "wal") throw Failure{"cannot use write-ahead logging (journal mode " + journal + ")"};
        return;
    }
}

bool isNewFile(sqlite3* db) {
    Transaction reading(db, "BEGIN");
    const bool fresh = isNew(db);
    reading.commit();
    return fresh;
}

void createSchema(sqlite3* db) {
    Transaction transaction(db);
    // Another connection may have created it since the first look.
    if (!isNew(db)) return;
    exec(db,
         "CREATE TABLE meta(key TEXT PRIMARY KEY NOT NULL, value NOT NULL);"
         "INSERT INTO meta VALUES('sequence', 0);"
         "CREATE TABLE history("
         " sequence INTEGER PRIMARY KEY CHECK(sequence BETWEEN 1 AND 4294967295),"
         " assay_id INTEGER NOT NULL, uuid TEXT NOT NULL, sample_time INTEGER NOT NULL,"
         " calibration INTEGER NOT NULL, published INTEGER NOT NULL, image BLOB NOT NULL);"
         "PRAGMA application_id = 1953721714;"
         "PRAGMA user_version = 1;");
    static_assert(kApplicationId == 1953721714 && kSchemaVersion == 1);
    transaction.commit();
}

}  // namespace

std::string defaultStateFilePath() {
    constexpr std::string_view kFile = "tesmor/analyses.sqlite";
    auto under = [&](std::string folder) {
        while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
        if (folder.back() != '/') folder += '/';
        return folder;
    };
    if (const char* state = std::getenv("XDG_STATE_HOME"); state && state[0] == '/')
        return under(state) + std::string(kFile);
    std::string home;
    if (const char* h = std::getenv("HOME"); h && *h) {
        home = h;
    } else {
        passwd entry{};
        passwd* found = nullptr;
        std::vector<char> buffer(16384);
        if (getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
            found->pw_dir && *found->pw_dir)
            home = found->pw_dir;
    }
    if (home.empty()) return {};
    return under(home) + ".local/state/" + std::string(kFile);
}

void StateFile::Close::operator()(sqlite3* db) const noexcept { sqlite3_close_v2(db); }

void StateFile::fail(std::string_view operation, std::string_view reason) const noexcept {
    try {
        failure_ = "state file ";
        failure_ += path_;
        failure_ += ": cannot ";
        failure_ += operation;
        failure_ += ": ";
        failure_ += reason;
    } catch (...) {
        failure_.clear();  // out of memory for the text itself
    }
}

// Runs body(db) and turns whatever it throws into failure().
template <typename T, typename Body>
T StateFile::attempt(std::string_view operation, T nothing, Body&& body) const noexcept {
    if (!db_) {
        fail(operation, "the file is not open");
        return nothing;
    }
    try {
        return body(db_.get());
    } catch (const Failure& f) {
        fail(operation, f.reason);
    } catch (const std::bad_alloc&) {
        fail(operation, "out of memory");
    } catch (const std::exception& e) {
        fail(operation, e.what());
    }
    return nothing;
}

StateFile StateFile::open(const std::string& path, std::chrono::milliseconds wait) noexcept {
    StateFile file;
    try {
        file.path_ = path;
        if (path.empty()) throw Failure{"no path given"};
        checkPlace(path);
        sqlite3* raw = nullptr;
        const int opened = sqlite3_open_v2(literalFileName(path).c_str(), &raw,
                                           SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
        std::unique_ptr<sqlite3, Close> db(raw);
        if (opened != SQLITE_OK) throw Failure{raw ? sqlite3_errmsg(raw) : sqlite3_errstr(opened)};
        // SQLite falls back to reading alone when it may not write.
        if (sqlite3_db_readonly(raw, "main") == 1) throw Failure{"is read-only"};
        sqlite3_busy_timeout(raw, static_cast<int>(std::clamp<std::int64_t>(wait.count(), 0, INT_MAX)));
        const bool fresh = isNewFile(raw);
        // Write-ahead logging with synchronous=NORMAL: a commit survives the process being
        // killed at any instant (SIGKILL, a crash of the host), which is what a plug-in meets;
        // only a power loss or an OS crash can take back the last commits, and never damages
        // the file. FULL would add an fsync to every publication for that case alone.
        useWriteAheadLog(raw, wait);
        exec(raw, "PRAGMA synchronous=NORMAL");
        if (fresh) createSchema(raw);
        file.db_ = std::move(db);
    } catch (const Failure& f) {
        file.fail("open", f.reason);
    } catch (const std::bad_alloc&) {
        file.fail("open", "out of memory");
    } catch (const std::exception& e) {
        file.fail("open", e.what());
    }
    return file;
}

std::uint32_t StateFile::latestSequence() const noexcept {
    return attempt<std::uint32_t>("read", 0, [](sqlite3* db) { return readSequence(db); });
}

std::optional<std::uint32_t> StateFile::record(const StoredAnalysis& analysis, int depth) noexcept {
    return attempt<std::optional<std::uint32_t>>(
        "record", std::nullopt, [&](sqlite3* db) -> std::optional<std::uint32_t> {
            const Blob image = encodeImage(analysis.image);
            Transaction transaction(db);
            const std::uint32_t next = following(readSequence(db));
            if (depth > 0) {
                Statement insert(db,
                                 "INSERT OR REPLACE INTO history(sequence, assay_id, uuid, sample_time,"
                                 " calibration, published, image) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7)");
                insert.bind(1, next)
                    .bind(2, analysis.assayId)
                    .bindText(3, analysis.uuid)
                    .bind(4, analysis.sampleTime)
                    .bind(5, analysis.calibration ? 1 : 0)
                    .bind(6, analysis.published)
                    .bindBlob(7, image)
                    .step();
            }
            trim(db, next, depth);
            Statement update(db, "UPDATE meta SET value = ?1 WHERE key = 'sequence'");
            update.bind(1, next).step();
            transaction.commit();
            return next;
        });
}

std::optional<StoredAnalysis> StateFile::find(std::uint32_t sequence) const noexcept {
    return attempt<std::optional<StoredAnalysis>>(
        "read", std::nullopt, [&](sqlite3* db) -> std::optional<StoredAnalysis> {
            Statement select(db,
                             "SELECT assay_id, uuid, sample_time, calibration, published, image"
                             " FROM history WHERE sequence = ?1");
            select.bind(1, sequence);
            if (!select.step()) return std::nullopt;
            StoredAnalysis analysis;
            analysis.sequence = sequence;
            analysis.assayId = static_cast<std::int32_t>(select.integer(0));
            analysis.uuid = select.text(1);
            analysis.sampleTime = select.integer(2);
            analysis.calibration = select.integer(3) != 0;
            analysis.published = select.integer(4);
            auto image = decodeImage(select.blob(5));
            if (!image) throw Failure{"analysis " + std::to_string(sequence) + ": damaged register image"};
            analysis.image = std::move(*image);
            return analysis;
        });
}

StateFile::Held StateFile::held() const noexcept {
    return attempt<Held>("read", Held{}, [](sqlite3* db) {
        // One statement, so the latest and the oldest come from the same moment of the file.
        Statement select(db,
                         "SELECT s.value, coalesce((SELECT min(sequence) FROM history"
                         " WHERE sequence > s.value), (SELECT min(sequence) FROM history))"
                         " FROM meta AS s WHERE s.key = 'sequence'");
        if (!select.step()) throw Failure{"the sequence is missing"};
        if (select.isNull(1)) return Held{};
        const auto latest = static_cast<std::uint64_t>(select.integer(0));
        const auto oldest = static_cast<std::uint64_t>(select.integer(1));
        // The analyses held always run without a gap from the oldest to the latest.
        const std::uint64_t count =
            oldest <= latest ? latest - oldest + 1 : kLastSequence - oldest + 1 + latest;
        return Held{static_cast<std::uint32_t>(oldest), static_cast<std::uint32_t>(count)};
    });
}

std::optional<std::string> StateFile::meta(std::string_view key) const noexcept {
    return attempt<std::optional<std::string>>(
        "read", std::nullopt, [&](sqlite3* db) -> std::optional<std::string> {
            Statement select(db, "SELECT value FROM meta WHERE key = ?1");
            select.bindText(1, key);
            if (!select.step()) return std::nullopt;
            return select.text(0);
        });
}

bool StateFile::setMeta(std::string_view key, std::string_view value) noexcept {
    return attempt<bool>("write", false, [&](sqlite3* db) {
        if (key == kSequenceKey) throw Failure{"the key \"sequence\" belongs to the numbering"};
        Statement upsert(db,
                         "INSERT INTO meta(key, value) VALUES(?1, ?2)"
                         " ON CONFLICT(key) DO UPDATE SET value = excluded.value");
        upsert.bindText(1, key).bindText(2, value).step();
        return true;
    });
}

void StateFile::setCheckpointInRecord(bool on) noexcept {
    if (db_) sqlite3_wal_autocheckpoint(db_.get(), on ? kCheckpointPages : 0);
}

bool StateFile::checkpoint() noexcept {
    return attempt<bool>("checkpoint", false, [](sqlite3* db) {
        const int result =
            sqlite3_wal_checkpoint_v2(db, nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
        // BUSY: another connection is copying the log right now, which is as good.
        if (result != SQLITE_OK && result != SQLITE_BUSY) throw sqliteFailure(db);
        return true;
    });
}

}  // namespace tesmor
