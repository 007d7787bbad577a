#pragma once
// The record block: 16 holding registers that tell each master which analysis was published last
// and whether it has taken it, and take the master's acknowledge and its choice of an analysis
// to read back through the history unit. One flag per master, so no master can clear another's.
//
//   0-1   sequence of the latest published analysis (0 before the first), high word first
//   2     status bits (RecordStatus::Bit)
//   3     seconds since the latest publication, 65535 at most and before the first
//   4-5   the host's assay id of the latest published analysis
//   6     1 while the latest sequence is above what this master acknowledged
//   7-8   sequence this master acknowledged (written by the master)
//   9-10  sequence this master selected for the history unit, 0 = the latest (written by it)
//   11-12 oldest sequence held in the history (0 when none)
//   13    number of analyses held
//   14-15 0
//
// Not synchronised: the server holds its store lock around every call.
#include <chrono>
#include <cstdint>
#include <optional>
#include <unordered_map>

#include "modbus/Pdu.h"

namespace tesmor {

struct RecordStatus {
    enum Bit : std::uint16_t {
        Published = 1 << 0,    // the latest document update was published
        Calibration = 1 << 1,  // the published analysis is a calibration
        Stale = 1 << 2,        // nothing published for longer than "staleSeconds"
        DeviceError = 1 << 3,  // a mapped device reports a last error code other than 0
        Rejected = 1 << 4,     // the latest document update was rejected by the filters
        Failed = 1 << 5,       // the latest processing or the state file failed
    };
    std::uint32_t latest = 0;
    std::int32_t assayId = 0;
    bool calibration = false;
    // What the latest document update came to; none before the first.
    enum class Update { None, Published, Rejected, Failed } lastUpdate = Update::None;
    bool stateFileFailed = false;
    std::optional<std::chrono::steady_clock::time_point> publishedAt;
    std::uint32_t oldest = 0;  // held in the history
    std::uint32_t held = 0;
};

class RecordBlock {
public:
    static constexpr int kRegisters = 16;
    static constexpr int kMaxMasters = 64;
    static constexpr int kAcknowledged = 7, kSelected = 9;

    using Clock = std::chrono::steady_clock;

    // The block's first register, -1 for none; its status and the masters' marks are kept.
    void place(int address) noexcept { address_ = address; }
    int address() const noexcept { return address_; }
    bool on() const noexcept { return address_ >= 0; }
    // 0 never stale.
    void setStaleSeconds(int seconds) noexcept { staleSeconds_ = seconds; }
    // Counted from here while nothing was published yet.
    void setStarted(Clock::time_point started) noexcept { started_ = started; }

    RecordStatus& status() noexcept { return status_; }
    const RecordStatus& status() const noexcept { return status_; }

    // True when [address, address + count) of the holding registers meets the block.
    bool meets(int address, int count) const noexcept {
        return on() && address < address_ + kRegisters && address + count > address_;
    }

    // Writes the block as `master` sees it into the holding registers (at least address() + 16).
    void fill(std::uint16_t* holding, MasterKey master, Clock::time_point now, bool deviceError);

    // The exception code that refuses a write of `count` holding registers from `address` with the
    // given values (`values` null for a write whose values are not known yet, checked by offsets
    // only), or 0. Pairs 7-8 and 9-10 are written whole: half of a pair 03; any other offset 02;
    // an acknowledge above the latest or a selection of a sequence not held 03.
    std::uint8_t writeRefusal(int address, int count, const std::uint8_t* values) const noexcept;
    // True when the write lies within the two pairs of marks (offsets 7-10), the only registers a
    // master may write through the history unit.
    bool marksOnly(int address, int count) const noexcept {
        return on() && address >= address_ + kAcknowledged && address + count <= address_ + kSelected + 2;
    }
    // After a write the block took: the master's acknowledge and selection as the store now holds
    // them.
    void take(const std::uint16_t* holding, MasterKey master);

    // This master's selection (0 = the latest); a master not known selected nothing.
    std::uint32_t selection(MasterKey master) const noexcept;
    // True when `sequence` is held in the history.
    bool holds(std::uint32_t sequence) const noexcept;

private:
    struct Marks {
        std::uint32_t acknowledged = 0;
        std::uint32_t selected = 0;
        std::uint64_t seen = 0;  // tick of the last use, for forgetting the least recent
    };
    Marks& marksOf(MasterKey master);

    int address_ = -1;
    int staleSeconds_ = 0;
    Clock::time_point started_ = Clock::now();
    RecordStatus status_;
    std::unordered_map<MasterKey, Marks> masters_;
    std::uint64_t tick_ = 0;
};

}  // namespace tesmor
