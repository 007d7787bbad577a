#include "Language.h"

#include <algorithm>
#include <array>
#include <utility>

namespace tesmor {

namespace {
// Sorted by id.
constexpr std::array<std::pair<std::uint16_t, const char*>, 76> kAbbreviations{{
    {1025, "ARA"}, {1026, "BGR"}, {1027, "CAT"}, {1028, "CHT"}, {1029, "CSY"}, {1030, "DAN"}, {1031, "DEU"},
    {1032, "ELL"}, {1033, "ENU"}, {1034, "ESP"}, {1035, "FIN"}, {1036, "FRA"}, {1037, "HEB"}, {1038, "HUN"},
    {1039, "ISL"}, {1040, "ITA"}, {1041, "JPN"}, {1042, "KOR"}, {1043, "NLD"}, {1044, "NOR"}, {1045, "PLK"},
    {1046, "PTB"}, {1047, "RMC"}, {1048, "ROM"}, {1049, "RUS"}, {1050, "HRV"}, {1051, "SKY"}, {1052, "SQI"},
    {1053, "SVE"}, {1054, "THA"}, {1055, "TRK"}, {1056, "URD"}, {1057, "IND"}, {1058, "UKR"}, {1059, "BEL"},
    {1060, "SLV"}, {1061, "ETI"}, {1062, "LVI"}, {1063, "LTH"}, {1064, "TAJ"}, {1065, "FAR"}, {1066, "VIT"},
    {1067, "HYE"}, {1068, "AZE"}, {1069, "EUQ"}, {1071, "MKI"}, {1078, "AFK"}, {1079, "KAT"}, {1080, "FOS"},
    {1081, "HIN"}, {1086, "MSL"}, {1087, "KKZ"}, {1088, "KYR"}, {1089, "SWK"}, {1090, "TUK"}, {1091, "UZB"},
    {1092, "TTT"}, {1104, "MON"}, {2052, "CHS"}, {2055, "DES"}, {2057, "ENG"}, {2060, "FRB"}, {2064, "ITS"},
    {2067, "NLB"}, {2068, "NON"}, {2070, "PTG"}, {2074, "SRL"}, {3079, "DEA"}, {3081, "ENA"}, {3082, "ESN"},
    {3084, "FRC"}, {3098, "SRB"}, {4105, "ENC"}, {4108, "FRS"}, {5129, "ENZ"}, {6153, "ENI"},
}};
}  // namespace

std::optional<std::string> languageAbbreviation(std::uint16_t languageId) {
    const auto it = std::lower_bound(kAbbreviations.begin(), kAbbreviations.end(), languageId,
                                     [](const auto& entry, std::uint16_t id) { return entry.first < id; });
    if (it == kAbbreviations.end() || it->first != languageId) return std::nullopt;
    return std::string(it->second);
}

}  // namespace tesmor
