#include "modbus/RegisterMap.h"

#include <string>

namespace tesmor {

namespace {
std::u16string key(std::u16string_view prefix, std::size_t index) {
    std::u16string k(prefix);
    for (char c : std::to_string(index)) k += static_cast<char16_t>(c);
    return k;
}
}  // namespace

RegisterMap loadRegisterMap(Profile& profile) {
    RegisterMap map;
    const auto s = kMapSection;
    for (std::size_t i = 0;; ++i) {
        RegisterInfo e;
        e.source = profile.getString(s, key(u"regVelmarData_", i), {});
        e.deviceName = profile.getString(s, key(u"regDeviceName_", i), {});
        e.component = profile.getString(s, key(u"regComponent_", i), {});
        e.address = profile.getInt(s, key(u"regAddress_", i), -1);
        e.registerType = profile.getString(s, key(u"regType_", i), {});
        e.dataType = profile.getString(s, key(u"regDataType_", i), {});
        e.byteOrder = profile.getString(s, key(u"regFloatOrder_", i), {});
        e.dataItem = profile.getString(s, key(u"regData_", i), {});
        if (e.address == -1) break;
        map.push_back(std::move(e));
    }
    return map;
}

void saveRegisterMap(Profile& profile, const RegisterMap& map) {
    const auto s = kMapSection;
    profile.delKey(s);
    for (std::size_t i = 0; i < map.size(); ++i) {
        const auto& e = map[i];
        profile.setString(s, key(u"regVelmarData_", i), e.source);
        profile.setString(s, key(u"regDeviceName_", i), e.deviceName);
        profile.setString(s, key(u"regComponent_", i), e.component);
        profile.setInt(s, key(u"regAddress_", i), e.address);
        profile.setString(s, key(u"regType_", i), e.registerType);
        profile.setString(s, key(u"regDataType_", i), e.dataType);
        profile.setString(s, key(u"regFloatOrder_", i), e.byteOrder);
        profile.setString(s, key(u"regData_", i), e.dataItem);
    }
}

}  // namespace tesmor
