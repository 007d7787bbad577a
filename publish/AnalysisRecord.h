#pragma once
// The record of every published analysis: its number in the sequence and its register image, in
// the plug-in's state file, and what the record block tells the masters about it. Off (no file
// opened) while neither the record block nor the history is on.
#include <cstdint>
#include <optional>
#include <string>

#include "modbus/ModbusServer.h"
#include "modbus/RecordSettings.h"
#include "publish/DocumentProcessing.h"
#include "record/StateFile.h"

namespace tesmor {

class AnalysisRecord {
public:
    // At every server restart: opens the state file the settings name (again, if the last open
    // failed), and shows in the record block what the file holds. A file that cannot be opened is
    // logged once with the reason; the block then shows status bit 5 and the numbering goes on in
    // memory.
    void configure(const RecordSettings& settings, ModbusServer& server);

    // After each document update: `outcome` none for a failed one. A published analysis gets the
    // next sequence number and, with a history, its image is kept; the block shows the result.
    void take(const std::optional<DocumentOutcome>& outcome, ModbusServer& server);

    bool on() const noexcept { return on_; }
    std::uint32_t latest() const noexcept { return latest_; }

private:
    void reportFailure(const std::string& failure);

    bool on_ = false;
    RecordSettings settings_;
    std::string path_;
    std::optional<StateFile> state_;
    std::uint32_t latest_ = 0;
    std::string failureLogged_;
};

}  // namespace tesmor
