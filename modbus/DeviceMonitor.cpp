#include "modbus/DeviceMonitor.h"

#include <chrono>
#include <exception>
#include <string>

#include "platform/Log.h"

namespace tesmor {

DeviceMonitor::DeviceMonitor(ModbusServer& server, DeviceSource& source)
    : server_(server), source_(source), devices_(std::make_shared<const DeviceList>()) {}

DeviceMonitor::~DeviceMonitor() { stop(); }

void DeviceMonitor::setObserver(Observer observer) {
    std::lock_guard lock(observerMutex_);
    observer_ = std::move(observer);
}

void DeviceMonitor::start() {
    if (thread_.joinable()) return;
    thread_ = std::jthread([this](std::stop_token stop) {
        auto next = std::chrono::steady_clock::now();
        while (!stop.stop_requested()) {
            try {
                pollOnce();
            } catch (const std::exception& e) {
                logLine(std::string("device monitor: poll failed: ") + e.what());
            }
            next += std::chrono::seconds(1);
            const auto now = std::chrono::steady_clock::now();
            if (next < now) next = now;  // after a slow poll, do not catch up in a burst
            std::unique_lock lock(waitMutex_);
            wake_.wait_until(lock, stop, next, [] { return false; });
        }
    });
}

void DeviceMonitor::stop() {
    if (!thread_.joinable()) return;
    thread_.request_stop();  // wakes the wait through the stop token
    thread_.join();
    thread_ = {};
}

void DeviceMonitor::pollOnce() {
    auto list = std::make_shared<DeviceList>();
    const int count = source_.count();
    for (int i = 0; i < count; ++i) {
        DeviceInfo device;
        device.index = i;
        device.name = source_.name(i);
        device.lastError = source_.lastError(i);
        device.mode = source_.mode(i);
        // Entries of the chromatogram and peak sources carry no device name: a device without a
        // name would otherwise overwrite them every second.
        if (!device.name.empty()) {
            auto locked = server_.lock();
            for (auto& entry : locked.registerMap()) {
                if (entry.deviceName != device.name) continue;
                entry.values.mode = device.mode;
                entry.values.lastError = device.lastError;
                locked.writeRegister(entry);
            }
        }
        Observer observer;
        {
            std::lock_guard lock(observerMutex_);
            observer = observer_;
        }
        if (observer) observer(device);
        list->push_back(std::move(device));
    }
    std::lock_guard lock(listMutex_);
    devices_ = std::move(list);
}

std::shared_ptr<const DeviceList> DeviceMonitor::devices() const {
    std::lock_guard lock(listMutex_);
    return devices_;
}

}  // namespace tesmor
