#pragma once
// The road of one finished analysis to the registers: read it, test it against the filters,
// compute every map entry's value and write it into the register store. The one place where the
// result sources meet the Modbus server.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "modbus/ModbusServer.h"
#include "record/StateFile.h"
#include "results/AssayRecords.h"
#include "results/DataBaseConnection.h"
#include "results/FilterSettings.h"

namespace tesmor {

// The message of a rejected assay; fixed texts, whatever the language resources.
std::u16string_view filterMessage(FilterVerdict verdict) noexcept;

// How an assay the filters reject is reported ("rejectNotice"): a modal message box, or one log
// line and the outcome alone, so that an unattended lab never waits for somebody to click.
enum class RejectNotice { Box, Line };

// What became of one assay.
struct DocumentOutcome {
    bool published = false;         // its values went into the registers
    std::u16string_view rejection;  // the filters' message when they rejected it
    // Of a published assay: the assay as read, and the four tables right after its values went in.
    std::shared_ptr<const AssayInfo> assay;
    RegisterImage image;
};

// Publishes the assay with the given id. Opens the host database at `location` first (also when
// the id is -1, which then ends the work); an assay that is not visible writes nothing; a rejected one is
// reported as `notice` says and writes nothing. Otherwise every map entry gets its value and is
// written, in map order, under the server's lock, and the map as written becomes the server's
// published map. Everything is read and computed before the first write. Throws
// DataBase::SqlException on a database failure and std::bad_alloc when memory runs out, in both
// cases with nothing written.
// On the host's event thread (the message box is modal).
DocumentOutcome processDocument(const DataBaseConnection& location, ModbusServer& server,
                                std::int32_t assayId, const FilterSettings& filters,
                                RejectNotice notice = RejectNotice::Box);

// processDocument for the DocumentUpdate handler: a failure of any kind (database, memory, file,
// a message that could not be shown) is logged with the assay id and leaves the registers as
// they were. Returns nothing after a failure. Never throws.
std::optional<DocumentOutcome> publishDocument(const DataBaseConnection& location, ModbusServer& server,
                                               std::int32_t assayId, const FilterSettings& filters,
                                               RejectNotice notice = RejectNotice::Box) noexcept;

// The peaks of an assay by case-folded name; of several peaks with one name the last in the
// assay's order (highest channel, then latest time) is kept. Each name is folded once.
class PeakIndex {
public:
    explicit PeakIndex(const std::vector<PeakInfo>& peaks);
    // The peak whose folded name equals the folded component, or null.
    const PeakInfo* find(std::u16string_view component) const;

private:
    std::unordered_map<std::u16string, const PeakInfo*> byName_;
};

// Fills the entry's current value for its data item from the assay: sample time, sample number,
// number in series, or the matching peak's values (kept as loaded when no peak matches).
void assignValues(RegisterInfo& entry, const AssayInfo& assay, const PeakIndex& peaks,
                  std::uint16_t sampleNumber);

}  // namespace tesmor
