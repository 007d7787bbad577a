#include "modbus/RecordSettings.h"

#include <algorithm>

#include "modbus/ConnectionSettings.h"
#include "modbus/RecordBlock.h"

namespace tesmor {

RecordSettings loadRecordSettings(Profile& profile) {
    const auto s = kSettingsSection;
    RecordSettings r;
    r.recordAddress = profile.getInt(s, u"recordAddress", -1);
    r.staleSeconds = std::max(0, profile.getInt(s, u"staleSeconds", 0));
    r.historyDepth = std::clamp(profile.getInt(s, u"historyDepth", 0), 0, kMaxHistoryDepth);
    r.historyUnitId = profile.getInt(s, u"historyUnitId", 0);
    r.stateFile = profile.getString(s, u"stateFile", {});
    return r;
}

void saveRecordSettings(Profile& profile, const RecordSettings& r) {
    const auto s = kSettingsSection;
    profile.setInt(s, u"recordAddress", r.recordAddress);
    profile.setInt(s, u"staleSeconds", r.staleSeconds);
    profile.setInt(s, u"historyDepth", r.historyDepth);
    profile.setInt(s, u"historyUnitId", r.historyUnitId);
    profile.setString(s, u"stateFile", r.stateFile);
}

std::string recordBlockProblem(std::int32_t address, const RegisterMap& map) {
    constexpr int kStore = 500;
    if (address < 0 || address > kStore - RecordBlock::kRegisters)
        return "its 16 registers from " + std::to_string(address) + " leave the holding registers 0-499";
    for (std::size_t i = 0; i < map.size(); ++i) {
        const RegisterInfo& e = map[i];
        if (e.table != Table::HoldingRegisters) continue;
        const std::int64_t end = std::int64_t{e.address} + std::max(e.span(), 1);
        if (e.address < address + RecordBlock::kRegisters && end > address)
            return "its 16 registers from " + std::to_string(address) + " overlap map entry " +
                   std::to_string(i) + " at " + std::to_string(e.address);
    }
    return {};
}

std::string historyUnitProblem(std::int32_t unitId, std::int32_t tcpUnitId, std::int32_t rtuUnitId) {
    if (unitId == 0) return {};
    if (unitId < 1 || unitId > 247) return "history unit id " + std::to_string(unitId) + " is not 1-247";
    if (unitId == tcpUnitId || unitId == rtuUnitId)
        return "history unit id " + std::to_string(unitId) + " is the live unit id";
    return {};
}

}  // namespace tesmor
