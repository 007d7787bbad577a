#pragma once
// The stand-in host's side of host_api.h: events, commands, menu items, the profile, the
// database location and simulated devices. The function table carries no context, so there is
// one HostCore per process. Service calls may come from any thread; events and commands are
// raised by the caller on its own thread (the host's event thread).
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "JsonProfile.h"
#include "host_api.h"

namespace tesmor::host {

struct Device {
    std::u16string name;
    std::int32_t lastError = 0;
    std::int32_t mode = 0;
};

struct MenuItem {
    std::u16string path;  // "Данные/Расчёты/Велмар: Modbus"
    std::string command;
};

// One call the plug-in made through the table, for --trace and for tests.
struct HostCall {
    std::string function;  // "subscribe", "callService", "hasService", ...
    std::string name;      // event, command or service name
    std::string detail;    // decoded arguments and result
};

class HostCore {
public:
    static HostCore& instance();
    const HostApi* api() const noexcept { return &api_; }

    // Forgets subscriptions, commands, menu items and recorded calls; offers every service.
    void reset();

    // Configuration. A service taken away answers 0 to hasService.
    void withdrawService(const std::string& service);
    // What System/GetLanguage answers; the plug-in takes the low 16 bits.
    void setLanguage(intptr_t answer);
    void setDatabaseUri(std::optional<std::u16string> uri);  // nullopt: a null pointer is handed out
    void setProfile(JsonProfile profile);
    std::string profileDump();
    void setDevices(std::vector<Device> devices);
    std::vector<Device> devices();
    // Applies a change to one device; false for an index out of range.
    bool updateDevice(std::size_t index, const std::function<void(Device&)>& change);
    void addDevice(Device device);
    bool removeDevice(std::size_t index);

    // Events and commands, raised on the caller's thread. They return how many handlers ran.
    int raise(const std::string& event, intptr_t argument);
    bool runCommand(const std::string& name, intptr_t argument);
    std::size_t subscriptionCount();
    std::size_t commandCount();
    std::vector<MenuItem> menuItems();
    std::vector<std::u16string> menuPaths();

    // Called for every call through the table (from the plug-in's threads too).
    void setCallObserver(std::function<void(const HostCall&)> observer);

private:
    HostCore();
    void record(HostCall call);
    intptr_t service(const char* name, intptr_t a, intptr_t b);

    static uint32_t subscribeEntry(const char* event, HostHandler handler);
    static void unsubscribeEntry(uint32_t handle);
    static uint32_t registerCommandEntry(const char* name, HostHandler handler);
    static void unregisterCommandEntry(uint32_t handle);
    static intptr_t callServiceEntry(const char* service, intptr_t a, intptr_t b);
    static int hasServiceEntry(const char* service);

    HostApi api_{};
    std::recursive_mutex mutex_;
    std::map<uint32_t, std::pair<std::string, HostHandler>> subscriptions_;
    std::map<uint32_t, std::pair<std::string, HostHandler>> commands_;
    uint32_t nextHandle_ = 1;
    std::set<std::string> withdrawn_;
    intptr_t language_ = 1049;
    std::optional<std::u16string> databaseUri_;
    JsonProfile profile_;
    std::vector<Device> devices_;
    std::vector<MenuItem> menuItems_;
    std::function<void(const HostCall&)> observer_;
};

}  // namespace tesmor::host
