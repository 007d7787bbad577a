#pragma once
// The register map: an ordered list of entries, stored in the profile section "MapSettings"
// as eight keys per entry ("regAddress_%d", ...), indexed from 0 in map order.
#include <vector>

#include "modbus/RegisterInfo.h"
#include "platform/Profile.h"

namespace tesmor {

inline constexpr std::u16string_view kMapSection = u"MapSettings";

using RegisterMap = std::vector<RegisterInfo>;

// Reads entries 0, 1, 2, ... until the first index whose "regAddress_%d" is missing or -1;
// every entry comes with the initial current values. Nothing is checked: the map is taken as
// stored. Profile only; the caller publishes the result (ModbusServer::loadRegisterMap).
RegisterMap loadRegisterMap(Profile& profile);

// True when both hold the same entries as stored in the profile (current values not compared).
bool sameConfiguration(const RegisterMap& a, const RegisterMap& b) noexcept;

// Deletes the whole section, then writes the eight keys of every entry in map order, so no key
// of a removed entry survives.
void saveRegisterMap(Profile& profile, const RegisterMap& map);

}  // namespace tesmor
