#include "AssayRecords.h"

#include <algorithm>
#include <cmath>
#include <new>

#include "platform/Text.h"
#include "results/CVelmarFile4.h"

namespace tesmor {

namespace {

using DataBase::NullAs;

// Orders by channel, then retention time; a NaN time (never stored by SQLite, but cheap to
// guard) sorts last so the ordering stays strict.
bool peakBefore(const PeakInfo& a, const PeakInfo& b) {
    if (a.channel != b.channel) return a.channel < b.channel;
    const bool aNan = std::isnan(a.time), bNan = std::isnan(b.time);
    if (aNan || bNan) return !aNan && bNan;
    return a.time < b.time;
}

void readPeaks(const DataBase::SqlDatabase& database, AssayInfo& assay) {
    auto statement = database.prepare(kPeaksSql);
    statement.bind(assay.id);
    statement.forEachRow<std::u16string, std::u16string, double, double, double, std::int32_t, double, double,
                         double>([&](std::u16string nameid, std::u16string name, double area, double time,
                                     double height, std::int32_t channel, double front, double back,
                                     double concentration) {
        assay.peaks.push_back(PeakInfo{std::move(nameid), std::move(name), channel, area, time, height, front,
                                       back, concentration});
    });
    std::sort(assay.peaks.begin(), assay.peaks.end(), peakBefore);
}

}  // namespace

std::optional<ChromatogramProperties> readChromatogramProperties(const std::u16string& path) noexcept {
    try {
        CVelmarFile4 file;
        if (file.load(path) != CVelmarFile4::Ok) return std::nullopt;
        ChromatogramProperties properties;
        if (auto v = file.passport.findProperty(u"operator")) properties.operatorName = std::move(*v);
        if (auto v = file.passport.findProperty(u"place")) properties.place = std::move(*v);
        if (auto v = file.passport.findProperty(u"numinseria")) properties.numinseria = leadingInteger(*v);
        return properties;
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
}

std::optional<AssayInfo> readAssay(const DataBase::SqlDatabase& database, std::int32_t assayId) {
    std::optional<AssayInfo> result;
    auto statement = database.prepare(kAssaySql);
    statement.bind(assayId);
    statement.forEachRow<NullAs<std::int64_t, -1>, std::int64_t, std::u16string, std::u16string,
                         std::u16string, std::u16string, std::u16string, std::int32_t, double, double>(
        [&](std::int64_t id, std::int64_t date, std::u16string uuid, std::u16string filename,
            std::u16string sample, std::u16string method, std::u16string mixture, std::int32_t iscalibration,
            double atmpressure, double airtemp) {
            std::optional<ChromatogramProperties> file = readChromatogramProperties(filename);

            AssayInfo assay;
            assay.id = static_cast<std::int32_t>(static_cast<std::uint32_t>(id));
            assay.uuid = std::move(uuid);
            assay.date = date;
            assay.filename = std::move(filename);
            assay.sample = std::move(sample);
            assay.method = std::move(method);
            assay.mixture = std::move(mixture);
            if (file) {
                assay.iscalibration = iscalibration;
                assay.atmpressure = atmpressure;
                assay.airtemp = airtemp;
                assay.operatorName = std::move(file->operatorName);
                assay.place = std::move(file->place);
                assay.numinseria = file->numinseria;
            }
            result = std::move(assay);
            readPeaks(database, *result);
        });
    return result;
}

void readNames(const DataBase::SqlDatabase& database, std::u16string_view sql,
               std::set<std::u16string>& target) {
    auto statement = database.prepare(sql);
    statement.forEachRow<std::u16string>([&](std::u16string name) {
        if (!name.empty()) target.insert(std::move(name));
    });
}

}  // namespace tesmor
