#pragma once
// A host database of the kind the plug-in reads: tables [assay], [peak], [method], [mixture].
// The stand-in host's demo lab and the tests build theirs with it. Not thread-safe.
#include <sqlite3.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace tesmor::host {

struct LabAssay {
    std::int64_t id = 0;  // 0: the next free id
    std::int64_t date = 0;
    std::string uuid;
    std::string filename;
    std::string sample;
    std::string method;
    std::string mixture;
    int iscalibration = 0;
    double atmpressure = 101.3;
    double airtemp = 20.0;
    int ishidden = 0;
    int isdeleted = 0;
};

struct LabPeak {
    std::string name;
    int channel = 0;
    double time = 0.0;
    double area = 0.0;
    double concentration = 0.0;
    double height = 0.0;
    std::string nameid;
};

// Ids of the visible assays of the database at `path`, opened read-only; nothing when it cannot
// be read (missing, locked, no tables), with the reason in `error`.
std::vector<std::int64_t> visibleAssays(const std::string& path, std::string& error);

class LabDatabase {
public:
    // Opens (creating when missing) the database and its tables. Throws std::runtime_error.
    explicit LabDatabase(const std::string& path);

    void addMethod(const std::string& name);
    void addMixture(const std::string& name);
    // Returns the id of the new assay. Throws std::runtime_error.
    std::int64_t addAssay(const LabAssay& assay, const std::vector<LabPeak>& peaks);
    void exec(const std::string& sql);

private:
    struct Close {
        void operator()(sqlite3* db) const noexcept { sqlite3_close(db); }
    };
    std::unique_ptr<sqlite3, Close> db_;
};

}  // namespace tesmor::host
