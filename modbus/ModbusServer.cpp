#include "modbus/ModbusServer.h"

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

int ModbusServer::answer(const std::uint8_t* frame, int length, Transport transport, int unitId,
                         std::uint8_t* reply, bool mayWrite) {
    TransportCounters& counters = stateOf(transport).counters;
    int n = 0;
    {
        std::lock_guard data(dataMutex_);
        const WriteRule rule{mayWrite ? writeAccess_ : WriteAccess::None, &map_};
        const ServerInfo info{&identity_, &counters};
        n = answerRequest(frame, length, transport, unitId, *registers_, reply, &rule, &info);
    }
    const int header = transport == Transport::Rtu ? 1 : 7;
    if (n > 0)
        counters.answered((reply[header] & 0x80) != 0);
    else if (transport == Transport::Rtu && length > 0 && frame[0] == MODBUS_BROADCAST_ADDRESS)
        counters.seen();
    else
        counters.dropped(false);
    return n;
}

}  // namespace tesmor
