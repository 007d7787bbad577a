#include "DocumentProcessing.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "platform/Log.h"
#include "platform/MessageSink.h"
#include "platform/Text.h"
#include "results/SqlException.h"
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
                  std::uint16_t sampleNumber) {
    CurrentValues& v = entry.values;
    if (entry.dataItem == DataItem::SampleTime) {
        v.sampleTime = assay.date;
    } else if (entry.dataItem == DataItem::SampleNumber) {
        v.sampleNumber = sampleNumber;
    } else if (entry.dataItem == DataItem::SeriesNumber) {
        v.seriesNumber = assay.numinseria;
    } else if (const PeakInfo* peak = peaks.find(entry.component)) {
        v.concentration = toFloat(peak->concentration);
        v.area = toFloat(peak->area);
        v.retentionTime = toFloat(peak->time);
    }
}

DocumentOutcome processDocument(const DataBaseConnection& location, ModbusServer& server,
                                std::int32_t assayId, const FilterSettings& filters, RejectNotice notice) {
    DataBase::SqlDatabase database;
    database.open(location.connectionUri());

    if (assayId == -1) return {};

    std::shared_ptr<const AssayInfo> assay;
    if (auto read = readAssay(database, assayId)) assay = std::make_shared<const AssayInfo>(std::move(*read));
    if (!assay) {
        logLine("assay " + std::to_string(assayId) +
                " is not visible (absent, hidden or deleted); nothing published");
        return {};
    }
    if (const auto verdict = filters.check(*assay); verdict != FilterVerdict::Passed) {
        const std::u16string_view message = filterMessage(verdict);
        if (notice == RejectNotice::Box)
            showMessage(message, MessageIcon::Exclamation);
        else
            logLine("assay " + std::to_string(assayId) + " rejected: " + toUtf8(message));
        return {false, message};
    }

    const PeakIndex peaks(assay->peaks);
    const std::uint16_t sampleNumber = crc16(toUtf8(assay->uuid));
    DocumentOutcome outcome{true, {}, assay, {}};
    RegisterImage& image = outcome.image;
    const auto locked = server.lock();
    const modbus_mapping_t& store = locked.registers();
    image.coils.resize(static_cast<std::size_t>(store.nb_bits));
    image.discreteInputs.resize(static_cast<std::size_t>(store.nb_input_bits));
    image.inputRegisters.resize(static_cast<std::size_t>(store.nb_input_registers));
    image.holdingRegisters.resize(static_cast<std::size_t>(store.nb_registers));
    // Values are worked out on a copy, which may fail (folding a name allocates); only then are
    // map and store changed, by steps that cannot fail, so a failure writes no register at all.
    RegisterMap updated = locked.registerMap();
    for (auto& entry : updated) assignValues(entry, *assay, peaks, sampleNumber);
    RegisterMap published = updated;
    locked.registerMap().swap(updated);
    locked.publishedMap().swap(published);
    for (const auto& entry : locked.registerMap()) locked.writeRegister(entry);
    std::copy_n(store.tab_bits, image.coils.size(), image.coils.begin());
    std::copy_n(store.tab_input_bits, image.discreteInputs.size(), image.discreteInputs.begin());
    std::copy_n(store.tab_input_registers, image.inputRegisters.size(), image.inputRegisters.begin());
    std::copy_n(store.tab_registers, image.holdingRegisters.size(), image.holdingRegisters.begin());
    return outcome;
}

std::optional<DocumentOutcome> publishDocument(const DataBaseConnection& location, ModbusServer& server,
                                               std::int32_t assayId, const FilterSettings& filters,
                                               RejectNotice notice) noexcept {
    const auto report = [assayId](const std::string& why) {
        logLine("assay " + std::to_string(assayId) + " not published: " + why);
    };
    try {
        try {
            return processDocument(location, server, assayId, filters, notice);
        } catch (const DataBase::SqlException& e) {
            report("database error " + std::to_string(e.code()) + ": " + e.what() +
                   (e.sql().empty() ? "" : " [" + e.sql() + "]"));
        } catch (const std::exception& e) {
            report(e.what());
        } catch (...) {
            report("unknown failure");
        }
    } catch (...) {
        // Not even the log line could be made; the registers are untouched all the same.
    }
    return std::nullopt;
}

}  // namespace tesmor
