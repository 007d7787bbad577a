#pragma once
// Polls the host's devices once a second, keeps the device list and publishes each device's
// mode and last error code into the map entries that name it.
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "modbus/ModbusServer.h"

namespace tesmor {

struct DeviceInfo {
    std::int32_t index = 0;
    std::u16string name;
    std::int32_t lastError = 0;
    std::int32_t mode = 0;

    bool operator==(const DeviceInfo&) const = default;
};

using DeviceList = std::vector<DeviceInfo>;

// The host's devices as the monitor sees them. Called only on the monitor's thread (or the
// thread calling pollOnce); implementations need not be thread-safe beyond that.
class DeviceSource {
public:
    virtual ~DeviceSource() = default;
    // Number of devices; 0 or negative means none.
    virtual int count() = 0;
    // Name of device `index`; empty when the host has none (such a device matches no entry).
    virtual std::u16string name(int index) = 0;
    virtual std::int32_t lastError(int index) = 0;
    virtual std::int32_t mode(int index) = 0;
};

class DeviceMonitor {
public:
    // Called once per device and poll, after that device's map entries were written, on the
    // polling thread and without any lock held (the main window forwards it to its thread).
    using Observer = std::function<void(const DeviceInfo&)>;

    // Both must outlive the monitor.
    DeviceMonitor(ModbusServer& server, DeviceSource& source);
    // Stops the thread and waits for it.
    ~DeviceMonitor();
    DeviceMonitor(const DeviceMonitor&) = delete;
    DeviceMonitor& operator=(const DeviceMonitor&) = delete;

    // Replaces the observer; thread-safe. An empty function removes it.
    void setObserver(Observer observer);

    // Starts polling on a thread of its own: one poll at once, then one per second on a
    // monotonic clock. Does nothing when already running.
    void start();
    // Ends the thread and waits for it; returns within one poll (the wait between polls is
    // cut short), not after a whole second.
    void stop();
    bool running() const noexcept { return thread_.joinable(); }

    // One poll on the calling thread: asks the source for every device, writes the matching
    // map entries and their registers under the server's lock, then publishes the new list.
    // Not concurrently with the running thread.
    void pollOnce();

    // The list of the last complete poll (never a partial one); empty before the first.
    std::shared_ptr<const DeviceList> devices() const;

private:
    ModbusServer& server_;
    DeviceSource& source_;

    mutable std::mutex listMutex_;
    std::shared_ptr<const DeviceList> devices_;
    std::mutex observerMutex_;
    Observer observer_;

    std::mutex waitMutex_;
    std::condition_variable_any wake_;
    std::jthread thread_;
};

}  // namespace tesmor
