#include "publish/AnalysisRecord.h"

#include <chrono>

#include "platform/Log.h"
#include "platform/Text.h"

namespace tesmor {

namespace {

std::uint32_t next(std::uint32_t sequence) noexcept { return sequence == 0xFFFFFFFF ? 1 : sequence + 1; }

}  // namespace

void AnalysisRecord::reportFailure(const std::string& failure) {
    if (failure == failureLogged_) return;
    failureLogged_ = failure;
    logLine(failure + "; the registers are published all the same");
}

void AnalysisRecord::configure(const RecordSettings& settings, ModbusServer& server) {
    settings_ = settings;
    on_ = settings.recordAddress != -1 || settings.historyDepth >= 1;
    if (!on_) {
        state_.reset();
        return;
    }
    const std::string path = settings.stateFile.empty() ? defaultStateFilePath() : toUtf8(settings.stateFile);
    if (!state_ || !state_->ok() || path != path_) {
        state_ = StateFile::open(path);
        path_ = path;
        if (state_->ok()) {
            failureLogged_.clear();
            latest_ = std::max(latest_, state_->latestSequence());
        } else {
            reportFailure(state_->failure());
        }
    }
    const bool ok = state_->ok();
    const StateFile::Held held = ok ? state_->held() : StateFile::Held{};
    const auto locked = server.lock();
    RecordStatus& s = locked.record().status();
    s.latest = latest_;
    s.stateFileFailed = !ok;
    s.oldest = held.oldest;
    s.held = held.count;
}

void AnalysisRecord::take(const std::optional<DocumentOutcome>& outcome, ModbusServer& server) {
    if (!on_) return;
    const bool published = outcome && outcome->published && outcome->assay;
    bool stateFailed = !state_ || !state_->ok();
    StateFile::Held held{};
    if (published) {
        const AssayInfo& assay = *outcome->assay;
        StoredAnalysis analysis;
        analysis.assayId = assay.id;
        analysis.uuid = toUtf8(assay.uuid);
        analysis.sampleTime = assay.date;
        analysis.calibration = assay.iscalibration != 0;
        analysis.published = std::chrono::duration_cast<std::chrono::seconds>(
                                 std::chrono::system_clock::now().time_since_epoch())
                                 .count();
        if (settings_.historyDepth >= 1) analysis.image = outcome->image;
        std::optional<std::uint32_t> sequence;
        if (!stateFailed) sequence = state_->record(analysis, settings_.historyDepth);
        if (sequence) {
            latest_ = *sequence;
            failureLogged_.clear();
            held = state_->held();
        } else {
            // Without the file the numbering goes on here, so masters still see new data.
            latest_ = next(latest_);
            stateFailed = true;
            if (state_ && !state_->failure().empty()) reportFailure(state_->failure());
        }
    } else if (!stateFailed) {
        held = state_->held();
    }
    const auto locked = server.lock();
    RecordStatus& s = locked.record().status();
    s.stateFileFailed = stateFailed;
    s.oldest = held.oldest;
    s.held = held.count;
    if (published) {
        s.latest = latest_;
        s.assayId = outcome->assay->id;
        s.calibration = outcome->assay->iscalibration != 0;
        s.publishedAt = RecordBlock::Clock::now();
        s.lastUpdate = RecordStatus::Update::Published;
    } else if (!outcome) {
        s.lastUpdate = RecordStatus::Update::Failed;
    } else {
        s.lastUpdate =
            outcome->rejection.empty() ? RecordStatus::Update::None : RecordStatus::Update::Rejected;
    }
}

}  // namespace tesmor
