#include "modbus/RecordBlock.h"

#include <algorithm>

namespace tesmor {

namespace {

void putLong(std::uint16_t* at, std::uint32_t value) noexcept {
    at[0] = static_cast<std::uint16_t>(value >> 16);
    at[1] = static_cast<std::uint16_t>(value);
}

std::uint32_t longAt(const std::uint16_t* at) noexcept { return (std::uint32_t{at[0]} << 16) | at[1]; }

std::uint32_t longAt(const std::uint8_t* bytes) noexcept {
    return (std::uint32_t{bytes[0]} << 24) | (std::uint32_t{bytes[1]} << 16) |
           (std::uint32_t{bytes[2]} << 8) | bytes[3];
}

}  // namespace

RecordBlock::Marks& RecordBlock::marksOf(MasterKey master) {
    auto it = masters_.find(master);
    if (it == masters_.end()) {
        if (masters_.size() >= kMaxMasters)
            masters_.erase(
                std::min_element(masters_.begin(), masters_.end(),
                                 [](const auto& a, const auto& b) { return a.second.seen < b.second.seen; }));
        it = masters_.emplace(master, Marks{}).first;
    }
    it->second.seen = ++tick_;
    return it->second;
}

void RecordBlock::fill(std::uint16_t* holding, MasterKey master, Clock::time_point now, bool deviceError) {
    if (!on()) return;
    const Marks& marks = marksOf(master);
    const RecordStatus& s = status_;
    const auto since = [&](Clock::time_point from) {
        return std::chrono::duration_cast<std::chrono::seconds>(now - from).count();
    };

    std::uint16_t bits = 0;
    if (s.lastUpdate == RecordStatus::Update::Published) bits |= RecordStatus::Published;
    if (s.latest != 0 && s.calibration) bits |= RecordStatus::Calibration;
    if (staleSeconds_ > 0 && since(s.publishedAt.value_or(started_)) > staleSeconds_)
        bits |= RecordStatus::Stale;
    if (deviceError) bits |= RecordStatus::DeviceError;
    if (s.lastUpdate == RecordStatus::Update::Rejected) bits |= RecordStatus::Rejected;
    if (s.lastUpdate == RecordStatus::Update::Failed || s.stateFileFailed) bits |= RecordStatus::Failed;

    std::uint16_t* b = holding + address_;
    std::fill_n(b, kRegisters, std::uint16_t{0});
    putLong(b, s.latest);
    b[2] = bits;
    b[3] = s.publishedAt ? static_cast<std::uint16_t>(std::clamp<long long>(since(*s.publishedAt), 0, 65535))
                         : 65535;
    putLong(b + 4, static_cast<std::uint32_t>(s.assayId));
    b[6] = s.latest > marks.acknowledged ? 1 : 0;
    putLong(b + kAcknowledged, marks.acknowledged);
    putLong(b + kSelected, marks.selected);
    putLong(b + 11, s.held ? s.oldest : 0);
    b[13] = static_cast<std::uint16_t>(std::min<std::uint32_t>(s.held, 65535));
}

std::uint8_t RecordBlock::writeRefusal(int address, int count, const std::uint8_t* values) const noexcept {
    constexpr std::uint8_t kIllegalAddress = 0x02, kIllegalValue = 0x03;
    if (!meets(address, count)) return 0;
    const int first = address - address_, last = first + count - 1;  // offsets, may lie outside
    if (first < kAcknowledged || last > kSelected + 1) return kIllegalAddress;
    if (first == kAcknowledged + 1 || first == kSelected + 1 || last == kAcknowledged || last == kSelected)
        return kIllegalValue;
    if (!values) return 0;
    for (int pair = first; pair < last; pair += 2) {
        const std::uint32_t value = longAt(values + 2 * (pair - first));
        if (pair == kAcknowledged && value > status_.latest) return kIllegalValue;
        if (pair == kSelected && value != 0 && !holds(value)) return kIllegalValue;
    }
    return 0;
}

void RecordBlock::take(const std::uint16_t* holding, MasterKey master) {
    if (!on()) return;
    Marks& marks = marksOf(master);
    marks.acknowledged = longAt(holding + address_ + kAcknowledged);
    marks.selected = longAt(holding + address_ + kSelected);
}

std::uint32_t RecordBlock::selection(MasterKey master) const noexcept {
    const auto it = masters_.find(master);
    return it == masters_.end() ? 0 : it->second.selected;
}

bool RecordBlock::holds(std::uint32_t sequence) const noexcept {
    const RecordStatus& s = status_;
    if (s.held == 0 || sequence == 0) return false;
    // Held sequences run from the oldest on, across a wrap past 0xFFFFFFFF (which skips 0).
    const std::uint32_t distance = sequence >= s.oldest ? sequence - s.oldest : sequence - s.oldest - 1;
    return distance < s.held;
}

}  // namespace tesmor
