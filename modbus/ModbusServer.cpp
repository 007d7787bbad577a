#include "modbus/ModbusServer.h"

#include <new>
#include <string>
#include <vector>

#include "platform/Log.h"

namespace tesmor {

ModbusServer::ModbusServer(Profile& profile, const StringSource& strings)
    : profile_(profile), strings_(strings), registers_(modbus_mapping_new(500, 500, 500, 500)) {
    if (!registers_) throw std::bad_alloc();
}

ModbusServer::~ModbusServer() { stop(); }

void ModbusServer::restart() {
    std::lock_guard control(controlMutex_);
    const ConnectionSettings s = loadConnectionSettings(profile_);
    {
        std::lock_guard info(infoMutex_);
        settings_ = s;
    }
    reloadConfiguration();
    stopTransports();
    if (s.tcpEnabled == 1) {
        startPending_ = false;
        tcpThread_ = std::jthread([this, s](std::stop_token t) { runTcp(t, s); });
    }
    if (s.rtuEnabled == 1) {
        startPending_ = false;
        rtuThread_ = std::jthread([this, s](std::stop_token t) { runRtu(t, s); });
    }
    if (s.tls.enabled == 1) {
        startPending_ = false;
        tlsThread_ = std::jthread([this, s](std::stop_token t) { runTls(t, s); });
    }
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
}

void ModbusServer::reloadConfiguration() {
    auto captions = loadItemCaptions(strings_);
    auto map = tesmor::loadRegisterMap(profile_);
    {
        std::lock_guard data(dataMutex_);
        captions_ = std::move(captions);
        map_ = std::move(map);
    }
    logMisplacedEntries();
    std::function<void()> hook;
    {
        std::lock_guard info(infoMutex_);
        hook = reloadHook_;
    }
    if (hook) hook();
}

void ModbusServer::loadRegisterMap() {
    auto map = tesmor::loadRegisterMap(profile_);
    {
        std::lock_guard data(dataMutex_);
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
    tesmor::saveRegisterMap(profile_, copy);
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
            const int span = registerSpan(e, captions_);
            if (span > 0 && !spanFitsTables(e, captions_))
                lines.push_back("register map entry " + std::to_string(i) + " at address " +
                                std::to_string(e.address) + " needs " + std::to_string(span) +
                                " registers beyond the 500 of its table; it is not written");
        }
    }
    for (const auto& l : lines) logLine(l);
}

void ModbusServer::setReloadHook(std::function<void()> hook) {
    std::lock_guard info(infoMutex_);
    reloadHook_ = std::move(hook);
}

ConnectionSettings ModbusServer::connectionSettings() const {
    std::lock_guard info(infoMutex_);
    return settings_;
}

std::u16string ModbusServer::localHostName() const {
    std::lock_guard info(infoMutex_);
    return localHostName_;
}

std::u16string ModbusServer::peerAddress() const {
    std::lock_guard info(infoMutex_);
    return peerAddress_;
}

int ModbusServer::answer(const std::uint8_t* frame, int length, Transport transport, int unitId,
                         std::uint8_t* reply) {
    std::lock_guard data(dataMutex_);
    return answerRequest(frame, length, transport, unitId, *registers_, reply);
}

}  // namespace tesmor
