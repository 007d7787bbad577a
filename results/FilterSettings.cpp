#include "FilterSettings.h"

namespace tesmor {

namespace {

std::set<std::u16string> loadList(Profile& profile, std::u16string_view prefix) {
    std::set<std::u16string> names;
    for (std::size_t i = 0;; ++i) {
        auto name = profile.getString(FilterSettings::kSection, indexedKey(prefix, i), u"");
        if (name.empty()) break;
        names.insert(std::move(name));
    }
    return names;
}

void saveList(Profile& profile, std::u16string_view prefix, const std::set<std::u16string>& names) {
    std::size_t i = 0;
    for (const auto& name : names) profile.setString(FilterSettings::kSection, indexedKey(prefix, i++), name);
}

}  // namespace

void FilterSettings::load(Profile& profile) {
    methods = loadList(profile, u"method_");
    mixtures = loadList(profile, u"mixture_");
    chrmType = profile.getInt(kSection, u"chrmType", kAnyType);
}

void FilterSettings::save(Profile& profile, const std::set<std::u16string>& methods,
                          const std::set<std::u16string>& mixtures, std::int32_t type) {
    profile.delKey(kSection);
    saveList(profile, u"method_", methods);
    saveList(profile, u"mixture_", mixtures);
    if (type == kAnyType || type == kCalibration || type == kAnalysis)
        profile.setInt(kSection, u"chrmType", type);
}

FilterVerdict FilterSettings::check(const AssayInfo& assay) const {
    if (!methods.empty() && !methods.count(assay.method)) return FilterVerdict::Method;
    if (!mixtures.empty() && !mixtures.count(assay.mixture)) return FilterVerdict::Mixture;
    if (chrmType != kAnyType && assay.iscalibration != chrmType) return FilterVerdict::Type;
    return FilterVerdict::Passed;
}

}  // namespace tesmor
