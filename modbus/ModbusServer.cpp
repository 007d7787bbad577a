#include "modbus/ModbusServer.h"

#include <algorithm>
#include <exception>
#include <new>
#include <string>
#include <vector>

#include "modbus/FrameTrace.h"
#include "modbus/TransportSupport.h"
#include "platform/Log.h"

namespace tesmor {

ModbusServer::ModbusServer(Profile& profile, const StringSource& strings)
    : profile_(profile), strings_(strings), registers_(modbus_mapping_new(500, 500, 500, 500)) {
    if (!registers_) throw std::bad_alloc();
    takeFrameTraceFromEnvironment();
}

ModbusServer::~ModbusServer() { stop(); }

void ModbusServer::restart() {
    std::lock_guard control(controlMutex_);
    const ConnectionSettings s = loadConnectionSettings(profile_);
    reloadConfiguration();
    stopTransports();
    for (const auto& key : s.unreadableKeys) logLine(unreadableKeyLine(key));
    const WriteAccess access = writeAccessOf(s.writeAccess);
    if (s.writeAccess != static_cast<int>(access))
        logLine("Modbus: \"writeAccess\" " + std::to_string(s.writeAccess) +
                " is not 0, 1 or 2; masters may write nothing");
    {
        std::lock_guard data(dataMutex_);
        writeAccess_ = access;
    }
    placeRecordBlock(loadRecordSettings(profile_));
    auto setup = [&](Transport kind) { return TransportSetup{s, timeouts_, *this, stateOf(kind), peers_}; };
    if (s.tcpEnabled == 1) launch(Transport::Tcp, makeTcpTransport(setup(Transport::Tcp)));
    if (s.rtuEnabled == 1) launch(Transport::Rtu, makeRtuTransport(setup(Transport::Rtu)));
    if (s.tls.enabled == 1) launch(Transport::Tls, makeTlsTransport(setup(Transport::Tls)));
}

void ModbusServer::launch(Transport kind, std::unique_ptr<ModbusTransport> transport) {
    startPending_ = false;
    TransportState& state = stateOf(kind);
    state.running = true;
    threadOf(kind) =
        std::jthread([this, kind, &state, t = std::move(transport)](std::stop_token stop) noexcept {
            try {
                t->serve(stop);
            } catch (const std::exception& e) {
                logLine(transport::serverName(kind) + " transport ended: " + e.what());
            }
            state.open = false;
            state.port = 0;
            state.setFailure({});
            if (kind == Transport::Tcp) peers_.clear();
        });
}

void ModbusServer::stop() {
    std::lock_guard control(controlMutex_);
    stopTransports();
}

void ModbusServer::stopTransports() {
    // Each thread has its own stop state, so a stop can never be lost to a thread that starts late.
    tcpThread_.request_stop();
    rtuThread_.request_stop();
    tlsThread_.request_stop();
    if (tcpThread_.joinable()) tcpThread_.join();
    if (rtuThread_.joinable()) rtuThread_.join();
    if (tlsThread_.joinable()) tlsThread_.join();
    tcpThread_ = {};
    rtuThread_ = {};
    tlsThread_ = {};
    for (TransportState* t : {&tcp_, &rtu_, &tls_}) t->running = false;
}

void ModbusServer::setOtherLanguages(std::vector<const StringSource*> others) {
    std::lock_guard lock(hookMutex_);
    otherLanguages_ = std::move(others);
}

MapCaptions ModbusServer::freshCaptions() const {
    std::lock_guard lock(hookMutex_);
    return MapCaptions(strings_, otherLanguages_);
}

void ModbusServer::reloadConfiguration() {
    loadRegisterMap();
    std::function<void()> hook;
    {
        std::lock_guard lock(hookMutex_);
        hook = reloadHook_;
    }
    if (hook) hook();
}

void ModbusServer::loadRegisterMap() {
    MapCaptions captions = freshCaptions();
    auto map = tesmor::loadRegisterMap(profile_, captions);
    {
        std::lock_guard data(dataMutex_);
        captions_ = std::move(captions);
        map_ = std::move(map);
    }
    logMisplacedEntries();
}

void ModbusServer::saveRegisterMap() {
    RegisterMap copy;
    {
        std::lock_guard data(dataMutex_);
        copy = map_;
    }
    tesmor::saveRegisterMap(profile_, copy, freshCaptions());
}

void ModbusServer::logMisplacedEntries() {
    std::vector<std::string> lines;
    {
        std::lock_guard data(dataMutex_);
        if (mapLogged_ && sameConfiguration(map_, loggedMap_)) return;
        loggedMap_ = map_;
        mapLogged_ = true;
        for (std::size_t i = 0; i < map_.size(); ++i) {
            const auto& e = map_[i];
            const int span = e.span();
            if (span > 0 && !e.fitsTables())
                lines.push_back("register map entry " + std::to_string(i) + " at address " +
                                std::to_string(e.address) + " needs " + std::to_string(span) +
                                " registers beyond the 500 of its table; it is not written");
        }
    }
    for (const auto& l : lines) logLine(l);
}

void ModbusServer::setReloadHook(std::function<void()> hook) {
    std::lock_guard lock(hookMutex_);
    reloadHook_ = std::move(hook);
}

std::u16string ModbusServer::localHostName() const { return peers_.host(); }

std::u16string ModbusServer::peerAddress() const { return peers_.peer(); }

void ModbusServer::setIdentity(DeviceIdentity identity) {
    std::lock_guard data(dataMutex_);
    identity_ = std::move(identity);
}

void ModbusServer::placeRecordBlock(const RecordSettings& settings) {
    std::string problem;
    {
        std::lock_guard data(dataMutex_);
        if (settings.recordAddress != -1) problem = recordBlockProblem(settings.recordAddress, map_);
        record_.place(settings.recordAddress != -1 && problem.empty() ? settings.recordAddress : -1);
        record_.setStaleSeconds(settings.staleSeconds);
        if (problem == recordProblemLogged_) return;
        recordProblemLogged_ = problem;
    }
    if (!problem.empty()) logLine("Modbus: the record block is off: " + problem);
}

bool ModbusServer::mappedDeviceError() const noexcept {
    return std::any_of(map_.begin(), map_.end(), [](const RegisterInfo& e) {
        return !e.deviceName.empty() && e.values.lastError != 0;
    });
}

namespace {

// True when the request PDU reads or writes holding registers that meet the block.
bool meetsBlock(const RecordBlock& block, const std::uint8_t* p, int n) noexcept {
    if (!block.on() || n < 5) return false;
    switch (p[0]) {
        case MODBUS_FC_READ_HOLDING_REGISTERS:
            return block.meets(pduWord(p + 1), pduWord(p + 3));
        case MODBUS_FC_WRITE_AND_READ_REGISTERS:
            return block.meets(pduWord(p + 1), pduWord(p + 3)) ||
                   (n >= 9 && block.meets(pduWord(p + 5), pduWord(p + 7)));
        default: {
            const auto target = writeTarget(p, n);
            return target && !target->coils && block.meets(target->address, target->count);
        }
    }
}

}  // namespace

int ModbusServer::answer(const std::uint8_t* frame, int length, const Requester& from, std::uint8_t* reply) {
    TransportCounters& counters = stateOf(from.transport).counters;
    const int header = from.transport == Transport::Rtu ? 1 : 7;
    const int pduLength = length - header - (from.transport == Transport::Rtu ? 2 : 0);
    int n = 0;
    {
        std::lock_guard data(dataMutex_);
        // The block shows each master its own marks: written into the store for this request only.
        const bool block = pduLength > 0 && meetsBlock(record_, frame + header, pduLength);
        if (block)
            record_.fill(registers_->tab_registers, from.master, RecordBlock::Clock::now(),
                         mappedDeviceError());
        const WriteRule rule{from.mayWrite ? writeAccess_ : WriteAccess::None, &map_,
                             record_.on() ? &record_ : nullptr};
        const ServerInfo info{&identity_, &counters};
        n = answerRequest(frame, length, from.transport, from.unitId, *registers_, reply, &rule, &info);
        if (block && n > 0 && (reply[header] & 0x80) == 0 && isWriteFunction(frame[header]))
            record_.take(registers_->tab_registers, from.master);
    }
    if (n > 0)
        counters.answered((reply[header] & 0x80) != 0);
    else if (from.transport == Transport::Rtu && length > 0 && frame[0] == MODBUS_BROADCAST_ADDRESS)
        counters.seen();
    else
        counters.dropped(false);
    return n;
}

}  // namespace tesmor
