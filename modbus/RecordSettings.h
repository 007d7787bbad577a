#pragma once
// The analysis record's keys, kept in the profile section "Settings" beside the connection. All
// off by default: a profile without them behaves as before they existed.
#include <cstdint>
#include <string>

#include "modbus/RegisterMap.h"
#include "platform/Profile.h"

namespace tesmor {

struct RecordSettings {
    std::int32_t recordAddress = -1;  // "recordAddress": first of the 16 registers, -1 off
    std::int32_t staleSeconds = 0;    // "staleSeconds": 0 never stale
    std::int32_t historyDepth = 0;    // "historyDepth": analyses kept, 0 only the sequence
    std::int32_t historyUnitId = 0;   // "historyUnitId": 0 off, 1-247
    std::u16string stateFile;         // "stateFile": empty for the default path

    bool operator==(const RecordSettings&) const = default;
};

inline constexpr std::int32_t kMaxHistoryDepth = 100000;

// Missing keys give their defaults; "historyDepth" is held to 0..kMaxHistoryDepth and
// "staleSeconds" to 0 and above.
RecordSettings loadRecordSettings(Profile& profile);
void saveRecordSettings(Profile& profile, const RecordSettings& settings);

// Why the record block cannot lie at `address` (not -1) with this map: it leaves the 500 holding
// registers, or it overlaps the entry at that index; empty when it fits.
std::string recordBlockProblem(std::int32_t address, const RegisterMap& map);

// Why the history unit id cannot be used beside the live unit ids; empty when it can (or is 0).
std::string historyUnitProblem(std::int32_t unitId, std::int32_t tcpUnitId, std::int32_t rtuUnitId);

}  // namespace tesmor
