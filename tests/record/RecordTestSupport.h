#pragma once
// What the state file tests share: analyses with full register images, a raw SQLite connection
// to look into a file or change it behind the state file's back, and child processes.
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

#include "record/StateFile.h"

namespace tesmor::test {

// An analysis whose 500-entry tables hold every kind of run: set and clear bits, zeros alone, in
// pairs and in long stretches, and values up to 0xFFFF.
inline StoredAnalysis analysisOf(std::int32_t assayId, std::size_t tableSize = 500) {
    StoredAnalysis a;
    a.assayId = assayId;
    a.uuid = "3f2b8c1e-0a4d-4c7e-9b1f-" + std::to_string(100000000000 + assayId);
    a.sampleTime = 1700000000 + assayId;
    a.calibration = assayId % 2 == 0;
    a.published = 1700000100 + assayId;
    RegisterImage& image = a.image;
    for (std::size_t i = 0; i < tableSize; ++i) {
        image.coils.push_back((i + static_cast<std::size_t>(assayId)) % 3 == 0);
        image.discreteInputs.push_back(i % 7 == 1);
        image.inputRegisters.push_back(i % 50 < 20 ? 0 : static_cast<std::uint16_t>(i * 131 + assayId));
        image.holdingRegisters.push_back(i % 4 == 0 ? 0 : static_cast<std::uint16_t>(0xFFFF - i));
    }
    return a;
}

struct RawClose {
    void operator()(sqlite3* db) const noexcept { sqlite3_close_v2(db); }
};

// A plain connection, as another program would hold one.
class RawDb {
public:
    explicit RawDb(const std::filesystem::path& path) {
        sqlite3* db = nullptr;
        const int opened = sqlite3_open(path.c_str(), &db);
        db_.reset(db);
        if (opened != SQLITE_OK) throw std::runtime_error("cannot open " + path.string());
        sqlite3_busy_timeout(db, 5000);
    }
    void exec(const std::string& sql) {
        if (sqlite3_exec(db_.get(), sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK)
            throw std::runtime_error(sql + ": " + sqlite3_errmsg(db_.get()));
    }
    // The first column of the first row as text; empty without a row.
    std::string text(const std::string& sql) {
        sqlite3_stmt* raw = nullptr;
        if (sqlite3_prepare_v2(db_.get(), sql.c_str(), -1, &raw, nullptr) != SQLITE_OK)
            throw std::runtime_error(sql + ": " + sqlite3_errmsg(db_.get()));
        const std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> statement(raw, sqlite3_finalize);
        if (sqlite3_step(raw) != SQLITE_ROW) return {};
        const auto* value = reinterpret_cast<const char*>(sqlite3_column_text(raw, 0));
        return value ? value : "";
    }

private:
    std::unique_ptr<sqlite3, RawClose> db_;
};

inline void setLatestSequence(const std::filesystem::path& path, std::uint32_t sequence) {
    RawDb(path).exec("UPDATE meta SET value = " + std::to_string(sequence) + " WHERE key = 'sequence'");
}

// Runs body in a child process and gives its exit status (-1 when it did not exit normally).
// The child ends with _exit, so nothing of the test framework runs twice.
inline int inChild(const std::function<int()>& body) {
    const pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        int code = 99;
        try {
            code = body();
        } catch (...) {
        }
        ::_exit(code);
    }
    int status = 0;
    pid_t waited = 0;
    do {
        waited = ::waitpid(pid, &status, 0);
    } while (waited < 0 && errno == EINTR);
    return waited == pid && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace tesmor::test
