#pragma once
// Which analyses reach the registers: chosen methods, chosen mixtures, calibrations or analyses.
// Kept in the profile section "Filters".
#include <cstdint>
#include <set>
#include <string>

#include "platform/Profile.h"
#include "results/AssayRecords.h"

namespace tesmor {

enum class FilterVerdict { Passed, Method, Mixture, Type };

class FilterSettings {
public:
    static constexpr std::int32_t kAnyType = -1;
    static constexpr std::int32_t kCalibration = 1;
    static constexpr std::int32_t kAnalysis = 0;
    static constexpr std::u16string_view kSection = u"Filters";

    // Replaces the three filters by the stored ones. Lists stop at the first empty or missing key.
    void load(Profile& profile);
    // Replaces the stored filters by the given selection (the section is emptied first, so no
    // key of an earlier, longer list survives). A type other than -1, 1 or 0 is not written.
    static void save(Profile& profile, const std::set<std::u16string>& methods,
                     const std::set<std::u16string>& mixtures, std::int32_t type);
    // The first filter the assay fails, in the order method, mixture, type; exact comparisons.
    FilterVerdict check(const AssayInfo& assay) const;

    std::set<std::u16string> methods;   // empty: any method
    std::set<std::u16string> mixtures;  // empty: any mixture
    std::int32_t chrmType = kAnyType;
};

}  // namespace tesmor
