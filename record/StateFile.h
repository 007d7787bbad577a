#pragma once
// The plug-in's own state file: an SQLite database that numbers every published analysis and
// keeps the latest of them, with the register tables as they stood right after each one, so that
// they can be read back after a restart of the host or a reload of the plug-in.
//
// Usage:
//     StateFile state = StateFile::open(defaultStateFilePath());
//     if (!state.ok()) log(state.failure());
//     if (const auto sequence = state.record(analysis, depth)) ...; else log(state.failure());
//
// Failures: nothing throws out of this interface. A call that fails returns its "nothing" value
// (nullopt, false, 0, an empty Held) and leaves one text in failure() naming the file and the
// reason ("state file /x/y.sqlite: cannot record: database or disk is full"). The object stays
// usable after any failure but a failed open; the next call simply tries again.
//
// Threads and processes: one object is used by one thread at a time. Any number of objects, in
// one process or in several, may share a file: their writes are serialised by SQLite's locks,
// and a call waits for another writer at most the wait given to open(), then fails with
// "database is locked". Never move the object into a child after fork(); open a new one there.
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct sqlite3;

namespace tesmor {

// $XDG_STATE_HOME/tesmor/analyses.sqlite, or $HOME/.local/state/tesmor/analyses.sqlite when
// XDG_STATE_HOME is unset, empty or relative (the XDG base directory rules ignore a relative
// one). Without HOME the user's home folder comes from the password database; empty when even
// that is unknown (open() refuses an empty path).
std::string defaultStateFilePath();

// The four register tables right after a publication. Coils and discrete inputs read back as
// 0 or 1 (a non-zero value is stored as 1); every table keeps its length, whatever it is.
struct RegisterImage {
    std::vector<std::uint8_t> coils, discreteInputs;
    std::vector<std::uint16_t> inputRegisters, holdingRegisters;
    bool operator==(const RegisterImage&) const = default;
};

struct StoredAnalysis {
    std::uint32_t sequence = 0;  // given by record(); what the caller puts here is ignored
    std::int32_t assayId = 0;
    std::string uuid;
    std::int64_t sampleTime = -1;  // seconds since 1970 UTC, -1 when the assay has none
    bool calibration = false;
    std::int64_t published = 0;  // seconds since 1970 UTC
    RegisterImage image;
    bool operator==(const StoredAnalysis&) const = default;
};

class StateFile {
public:
    static constexpr std::chrono::milliseconds kDefaultWait{5000};

    // Opens path, creating it and its missing parent folders (mode 0700) when needed. A file
    // that is not an SQLite database, or is another program's database, or was written by a
    // newer schema is left exactly as it is and the open fails. wait bounds how long any call
    // waits for another connection's lock. Check ok() afterwards.
    static StateFile open(const std::string& path, std::chrono::milliseconds wait = kDefaultWait) noexcept;

    StateFile(StateFile&&) noexcept = default;
    StateFile& operator=(StateFile&&) noexcept = default;
    StateFile(const StateFile&) = delete;
    StateFile& operator=(const StateFile&) = delete;
    ~StateFile() = default;

    // True when the open succeeded (and the object was not moved from).
    bool ok() const noexcept { return db_ != nullptr; }
    // The text of the latest failure, empty when there was none. Calls that succeed leave it.
    const std::string& failure() const noexcept { return failure_; }
    const std::string& path() const noexcept { return path_; }

    // The sequence of the latest analysis recorded, by any object on this file; 0 before the
    // first (and on failure).
    std::uint32_t latestSequence() const noexcept;

    // In one transaction: takes the next sequence (the latest + 1; after 4294967295 comes 1,
    // never 0), stores the analysis under it when depth >= 1, and keeps only the newest depth
    // analyses (depth <= 0 keeps none, only the sequence). Returns the sequence taken, or
    // nullopt when the transaction failed, in which case nothing of it is in the file and the
    // sequence was not used.
    std::optional<std::uint32_t> record(const StoredAnalysis& analysis, int depth) noexcept;

    // The analysis recorded under sequence; nullopt when it is not held (failure() unchanged)
    // or cannot be read (failure() says why, e.g. a damaged register image).
    std::optional<StoredAnalysis> find(std::uint32_t sequence) const noexcept;

    // The analyses held: the oldest's sequence and how many, counting forward from it to the
    // latest across the wrap. Both 0 when none is held (or on failure).
    struct Held {
        std::uint32_t oldest = 0;
        std::uint32_t count = 0;
        bool operator==(const Held&) const = default;
    };
    Held held() const noexcept;

    // Other users' values, one text per key. meta() gives nullopt for a key never set (and on
    // failure). The key "sequence" belongs to record(): setMeta refuses it.
    std::optional<std::string> meta(std::string_view key) const noexcept;
    bool setMeta(std::string_view key, std::string_view value) noexcept;

    // Commits go to a write-ahead log beside the file. By default the record() that takes the
    // log past 1000 pages (4 MB) also copies it into the file, with two fsyncs: about every 170
    // publications of full 500-register images, that call takes tens of milliseconds (hundreds
    // on a slow disk). A publisher that must not wait so turns this off and has another thread,
    // on a StateFile of its own, call checkpoint() now and then; until one does, the log grows.
    void setCheckpointInRecord(bool on) noexcept;
    // Copies what the log holds into the file, without waiting for any other connection (what a
    // writer adds meanwhile waits for the next one). False, with failure() set, when it failed.
    bool checkpoint() noexcept;

private:
    struct Close {
        void operator()(sqlite3* db) const noexcept;
    };

    StateFile() = default;
    void fail(std::string_view operation, std::string_view reason) const noexcept;
    template <typename T, typename Body>
    T attempt(std::string_view operation, T nothing, Body&& body) const noexcept;

    std::unique_ptr<sqlite3, Close> db_;
    std::string path_;
    mutable std::string failure_;
};

}  // namespace tesmor
