#pragma once
// The plug-in's Modbus slave: one register store (500 coils, 500 discrete inputs, 500 input
// registers, 500 holding registers) served by a Modbus TCP server, a Modbus/TCP Security (TLS)
// server and a Modbus RTU slave on a serial port, any of them or none, plus the register map, the
// captions its texts are read and written with, and the record block (RecordBlock.h).
//
// Locking: one mutex guards the register map, the register store, the captions and the record
// block. It is taken through lock(), which hands out the only access to them; the transports take
// it while a reply is composed, never while waiting for a master or sending to one. Texts and
// flags have their own synchronisation and may be read from any thread.
//
// Transports (Transport.h): each one frames the bytes it receives on a thread of its own and hands
// every complete frame to one request path (answer()); TCP in TcpTransport.cpp, RTU in
// RtuTransport.cpp, TLS in TlsTransport.cpp on the TCP connection machinery.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "modbus/ConnectionSettings.h"
#include "modbus/Counters.h"
#include "modbus/Diagnostics.h"
#include "modbus/Handles.h"
#include "modbus/RecordBlock.h"
#include "modbus/RecordSettings.h"
#include "modbus/RegisterEncoder.h"
#include "modbus/RegisterMap.h"
#include "modbus/RequestCheck.h"
#include "modbus/Transport.h"
#include "platform/Profile.h"
#include "platform/Resources.h"

namespace tesmor {

class ModbusServer : private RequestPath {
public:
    // Holds the server's lock for its lifetime; all access to the map, the store and the
    // captions goes through it. Do not call restart(), reloadConfiguration(), loadRegisterMap()
    // or saveRegisterMap() while holding one (they take the lock themselves).
    class Locked {
    public:
        RegisterMap& registerMap() const noexcept { return server_->map_; }
        // The map as the last publication of an analysis wrote it into the store; empty before
        // the first. Reloading the map leaves it alone.
        RegisterMap& publishedMap() const noexcept { return server_->published_; }
        const MapCaptions& captions() const noexcept { return server_->captions_; }
        modbus_mapping_t& registers() const noexcept { return *server_->registers_; }
        // The record block's status and the masters' marks; off while "recordAddress" is -1.
        RecordBlock& record() const noexcept { return server_->record_; }
        // Encodes one entry into the store; writes nothing for an unknown combination or an
        // entry that does not fit the 500-entry tables.
        void writeRegister(const RegisterInfo& entry) const noexcept {
            tesmor::writeRegister(entry, *server_->registers_);
        }

    private:
        friend class ModbusServer;
        explicit Locked(ModbusServer& s) : server_(&s), lock_(s.dataMutex_) {}
        ModbusServer* server_;
        std::unique_lock<std::mutex> lock_;
    };

    // Builds the store (all zeros) with no transport running. Both references must outlive
    // the server; the profile may answer defaults until the host is known. Throws
    // std::bad_alloc when libmodbus cannot allocate the store.
    ModbusServer(Profile& profile, const StringSource& strings);
    // Stops the transports and waits for them.
    ~ModbusServer();
    ModbusServer(const ModbusServer&) = delete;
    ModbusServer& operator=(const ModbusServer&) = delete;

    // Reads the connection settings, reloads the configuration, stops the running transports
    // and starts those whose flag equals 1. The store keeps its values. Returns well under a
    // second even with a silent master connected. Not from a transport thread.
    void restart();
    // Reloads the register map and the captions from the profile and resources, then calls the
    // reload hook (outside the lock). Never touches the process locale.
    void reloadConfiguration();
    // Stops both transports and waits for their threads; the store keeps its values.
    void stop();

    // Replaces the map by the one stored in the profile, read with the captions of the resources
    // (one step under the lock, so no reader sees a partial map) and logs each entry that does not fit the
    // tables, once per distinct stored map (again only after the map has changed).
    void loadRegisterMap();
    // Writes the current map to the profile (section emptied first).
    void saveRegisterMap();

    // The resources of the other languages the plug-in knows, whose captions a stored map may
    // use as well (Resources.h); taken at the next reload. Each must outlive the server.
    void setOtherLanguages(std::vector<const StringSource*> others);

    // Called by reloadConfiguration after map and captions, on the reloading thread, without
    // the lock held; the results module loads its filters here. Set it before restart().
    void setReloadHook(std::function<void()> hook);

    Locked lock() { return Locked(*this); }

    // Thread-safe readers.
    // True until a transport thread has been started for the first time.
    bool startPending() const noexcept { return startPending_.load(); }
    // Host name and master address, set at the first answered TCP request of a connection (the
    // host name refreshed at most once a second after that); empty after a stop. With several
    // masters connected: the newest answered master's address and how many others are
    // connected, "192.0.2.7 (+2)".
    std::u16string localHostName() const;
    std::u16string peerAddress() const;
    // True while the TCP / TLS transport holds its listening socket, the RTU transport its port.
    bool tcpListening() const noexcept { return tcp_.open.load(); }
    bool tlsListening() const noexcept { return tls_.open.load(); }
    bool rtuOpen() const noexcept { return rtu_.open.load(); }
    // The port the TCP / TLS server listens on, 0 while it does not; with port 0 in the profile
    // the system's choice.
    int tcpPort() const noexcept { return tcp_.port.load(); }
    int tlsPort() const noexcept { return tls_.port.load(); }
    // Why the TLS server, switched on, does not listen: what it logged about the files it could not
    // use, or the port or "bindAddress" it could not take; empty while it listens, while it is off
    // and until its thread has looked.
    std::string tlsFailure() const { return tls_.open ? std::string() : tls_.failure(); }
    // True while the transport's thread runs (its flag was 1 at the last restart), listening or not.
    bool running(Transport transport) const noexcept { return stateOf(transport).running.load(); }

    // The traffic counters of one transport; they survive restarts. Any thread, no lock.
    CounterSnapshot counters(Transport transport) const noexcept {
        return stateOf(transport).counters.snapshot();
    }
    // Replaces what functions 17 and 43 answer (taken under the store lock). Any thread.
    void setIdentity(DeviceIdentity identity);
    // Taken by the transports at the next restart(); tests shorten them. Not from a transport thread.
    void setTimeouts(const TcpTimeouts& timeouts) {
        std::lock_guard control(controlMutex_);
        timeouts_ = timeouts;
    }

private:
    // The request path of every transport (RequestPath).
    int answer(const std::uint8_t* frame, int length, const Requester& from, std::uint8_t* reply) override;
    // Places the record block as the settings say, or logs once why it stays off.
    void placeRecordBlock(const RecordSettings& settings);
    // True when a device a map entry names reports a last error code other than 0.
    bool mappedDeviceError() const noexcept;
    // Starts `transport` on its thread; the state shows it running until it ends or is stopped.
    void launch(Transport kind, std::unique_ptr<ModbusTransport> transport);
    void stopTransports();
    void logMisplacedEntries();
    // The captions of the resources as they are now.
    MapCaptions freshCaptions() const;

    TransportState& stateOf(Transport t) noexcept {
        return t == Transport::Tcp ? tcp_ : t == Transport::Rtu ? rtu_ : tls_;
    }
    const TransportState& stateOf(Transport t) const noexcept {
        return t == Transport::Tcp ? tcp_ : t == Transport::Rtu ? rtu_ : tls_;
    }
    std::jthread& threadOf(Transport t) noexcept {
        return t == Transport::Tcp ? tcpThread_ : t == Transport::Rtu ? rtuThread_ : tlsThread_;
    }

    Profile& profile_;
    const StringSource& strings_;

    std::mutex controlMutex_;  // serialises restart / stop / reload callers
    TcpTimeouts timeouts_;     // written under controlMutex_, read by transports it started
    std::jthread tcpThread_;
    std::jthread rtuThread_;
    std::jthread tlsThread_;

    PeerInfo peers_;
    mutable std::mutex hookMutex_;  // guards the two below
    std::function<void()> reloadHook_;
    std::vector<const StringSource*> otherLanguages_;

    std::atomic<bool> startPending_{true};
    TransportState tcp_, rtu_, tls_;

    std::mutex dataMutex_;
    RegisterMap map_;
    RegisterMap published_;
    RegisterMap loggedMap_;  // the map whose misplaced entries were logged last
    bool mapLogged_ = false;
    MapCaptions captions_;
    WriteAccess writeAccess_ = WriteAccess::Any;  // of the running transports
    DeviceIdentity identity_;
    RecordBlock record_;
    std::string recordProblemLogged_;  // why the block is off, as last logged
    ModbusMapping registers_;
};

}  // namespace tesmor
