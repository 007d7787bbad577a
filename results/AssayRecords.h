#pragma once
// What the plug-in reads of one analysis: the assay row, completed from its chromatogram file,
// and its peaks. Read-only access to the host database.
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "results/SqlDatabase.h"

namespace tesmor {

struct PeakInfo {
    std::u16string nameid;
    std::u16string name;  // component name
    std::int32_t channel = 0;
    double area = 0.0;
    double time = 0.0;  // retention time
    double height = 0.0;
    double front = 0.0;
    double back = 0.0;
    double concentration = 0.0;
};

struct AssayInfo {
    std::int32_t id = -1;
    std::u16string uuid;
    std::int64_t date = 0;  // seconds since 1970-01-01 00:00 UTC
    std::u16string filename;
    std::u16string sample;
    std::u16string method;
    std::u16string mixture;
    // These three come from the row only when the chromatogram file was read.
    std::int32_t iscalibration = 0;
    double atmpressure = 0.0;
    double airtemp = 0.0;
    std::vector<PeakInfo> peaks;  // by channel, then retention time
    // From the file's passport.
    std::u16string operatorName;
    std::u16string place;
    std::int32_t numinseria = 0;
};

inline constexpr std::u16string_view kAssaySql =
    u"SELECT id, date, uuid, filename, sample, method, mixture, iscalibration, atmpressure, airtemp "
    u"FROM [assay] WHERE ishidden = 0 AND isdeleted = 0 AND id = ?;";
inline constexpr std::u16string_view kPeaksSql =
    u"SELECT nameid, name, area, time, height, channel, front, back, concentration FROM [peak] "
    u"WHERE assayid = ? ORDER BY time;";
inline constexpr std::u16string_view kMethodNamesSql = u"SELECT name FROM [method] ";
inline constexpr std::u16string_view kMixtureNamesSql = u"SELECT name FROM [mixture] ";

// What an assay takes from its chromatogram file's passport; a property the file lacks stays
// empty (0 for the number in series).
struct ChromatogramProperties {
    std::u16string operatorName;  // "operator"
    std::u16string place;         // "place"
    std::int32_t numinseria = 0;  // "numinseria", its leading integer
};

// The properties of the chromatogram file at path, read as stored (no folder joined to it);
// nothing when the file cannot be read: missing, not a regular file (a FIFO, a directory, a
// device), damaged, or memory ran out while loading it. Never waits on a FIFO or device.
std::optional<ChromatogramProperties> readChromatogramProperties(const std::u16string& path) noexcept;

// The visible assay `assayId` with its file's properties and its sorted peaks; nothing when no
// such row exists (absent, hidden or deleted). A chromatogram file that cannot be read is no
// failure: the record then counts as an analysis with numinseria 0.
// Throws DataBase::SqlException on any database failure; nothing is kept then.
std::optional<AssayInfo> readAssay(const DataBase::SqlDatabase& database, std::int32_t assayId);

// Inserts every non-empty name that `sql` (kMethodNamesSql or kMixtureNamesSql) yields into
// `target`, which is not emptied first. Throws DataBase::SqlException.
void readNames(const DataBase::SqlDatabase& database, std::u16string_view sql,
               std::set<std::u16string>& target);

}  // namespace tesmor
