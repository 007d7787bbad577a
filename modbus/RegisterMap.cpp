#include "modbus/RegisterMap.h"

#include <algorithm>
#include <string>
#include <tuple>

namespace tesmor {

RegisterMap loadRegisterMap(Profile& profile) {
    RegisterMap map;
    const auto s = kMapSection;
    for (std::size_t i = 0;; ++i) {
        RegisterInfo e;
        e.source = profile.getString(s, indexedKey(u"regVelmarData_", i), {});
        e.deviceName = profile.getString(s, indexedKey(u"regDeviceName_", i), {});
        e.component = profile.getString(s, indexedKey(u"regComponent_", i), {});
        e.address = profile.getInt(s, indexedKey(u"regAddress_", i), -1);
        e.registerType = profile.getString(s, indexedKey(u"regType_", i), {});
        e.dataType = profile.getString(s, indexedKey(u"regDataType_", i), {});
        e.byteOrder = profile.getString(s, indexedKey(u"regFloatOrder_", i), {});
        e.dataItem = profile.getString(s, indexedKey(u"regData_", i), {});
        if (e.address == -1) break;
        map.push_back(std::move(e));
    }
    return map;
}

bool sameConfiguration(const RegisterMap& a, const RegisterMap& b) noexcept {
    const auto stored = [](const RegisterInfo& e) {
        return std::tie(e.source, e.deviceName, e.component, e.address, e.registerType, e.dataType,
                        e.byteOrder, e.dataItem);
    };
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [&](const RegisterInfo& x, const RegisterInfo& y) { return stored(x) == stored(y); });
}

void saveRegisterMap(Profile& profile, const RegisterMap& map) {
    const auto s = kMapSection;
    profile.delKey(s);
    for (std::size_t i = 0; i < map.size(); ++i) {
        const auto& e = map[i];
        profile.setString(s, indexedKey(u"regVelmarData_", i), e.source);
        profile.setString(s, indexedKey(u"regDeviceName_", i), e.deviceName);
        profile.setString(s, indexedKey(u"regComponent_", i), e.component);
        profile.setInt(s, indexedKey(u"regAddress_", i), e.address);
        profile.setString(s, indexedKey(u"regType_", i), e.registerType);
        profile.setString(s, indexedKey(u"regDataType_", i), e.dataType);
        profile.setString(s, indexedKey(u"regFloatOrder_", i), e.byteOrder);
        profile.setString(s, indexedKey(u"regData_", i), e.dataItem);
    }
}

}  // namespace tesmor
