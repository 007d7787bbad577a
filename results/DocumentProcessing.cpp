#include "DocumentProcessing.h"

#include <cmath>
#include <limits>

#include "platform/Log.h"
#include "platform/MessageSink.h"
#include "platform/Text.h"
#include "results/DataBaseConnection.h"
#include "results/TextFolding.h"

namespace tesmor {

namespace {

// The nearest single, as a correctly rounded conversion gives it: up to half a last place above
// the largest float that float itself, from there on the infinity of that sign (the cast alone
// would be undefined out there).
float toFloat(double value) noexcept {
    constexpr double overflow = 0x1.ffffffp127;  // the largest float + half its last place
    if (value >= overflow) return std::numeric_limits<float>::infinity();
    if (value <= -overflow) return -std::numeric_limits<float>::infinity();
    return static_cast<float>(value);
}

}  // namespace

std::u16string_view filterMessage(FilterVerdict verdict) noexcept {
    switch (verdict) {
        case FilterVerdict::Method:
            return u"Метод хроматограммы не соответствует заданным фильтрам!";
        case FilterVerdict::Mixture:
            return u"Смесь хроматограммы не соответствует заданным фильтрам!";
        case FilterVerdict::Type:
            return u"Тип хроматограммы не соответствует заданным фильтрам!";
        case FilterVerdict::Passed:
            break;
    }
    return {};
}

PeakIndex::PeakIndex(const std::vector<PeakInfo>& peaks) {
    byName_.reserve(peaks.size());
    for (const auto& peak : peaks) byName_[foldCase(peak.name)] = &peak;
}

const PeakInfo* PeakIndex::find(std::u16string_view component) const {
    const auto it = byName_.find(foldCase(component));
    return it == byName_.end() ? nullptr : it->second;
}

void assignValues(RegisterInfo& entry, const AssayInfo& assay, const PeakIndex& peaks,
                  const ItemCaptions& captions, std::uint16_t sampleNumber) {
    if (entry.dataItem == captions.sampleTime) {
        entry.sampleTime = assay.date;
    } else if (entry.dataItem == captions.sampleNumber) {
        entry.sampleNumber = sampleNumber;
    } else if (entry.dataItem == captions.seriesNumber) {
        entry.seriesNumber = assay.numinseria;
    } else if (const PeakInfo* peak = peaks.find(entry.component)) {
        entry.concentration = toFloat(peak->concentration);
        entry.area = toFloat(peak->area);
        entry.retentionTime = toFloat(peak->time);
    }
}

void processDocument(ModbusServer& server, const FilterSettings& filters) {
    DataBase::SqlDatabase database;
    database.open(DataBaseConnection::instance().connectionUri());

    const std::int32_t assayId = server.currentAssayId();
    if (assayId == -1) return;

    const auto assay = readAssay(database, assayId);
    if (!assay) {
        logLine("assay " + std::to_string(assayId) + " is not visible (absent, hidden or deleted); nothing published");
        return;
    }
    if (const auto verdict = filters.check(*assay); verdict != FilterVerdict::Passed) {
        showMessage(filterMessage(verdict), MessageIcon::Exclamation);
        return;
    }

    const PeakIndex peaks(assay->peaks);
    const std::uint16_t sampleNumber = crc16(toUtf8(assay->uuid));
    const auto locked = server.lock();
    for (auto& entry : locked.registerMap()) {
        assignValues(entry, *assay, peaks, locked.captions(), sampleNumber);
        locked.writeRegister(entry);
    }
}

}  // namespace tesmor
