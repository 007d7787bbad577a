// A Modbus slave for tests with external masters (mbpoll): runs ModbusServer over an in-memory
// profile. Holding registers 0..4 hold 11, 22, 33, 44, 55. Prints "ready" once every enabled
// transport holds its port, then serves until SIGTERM or SIGINT arrives.
//   tesmor_modbus_test_server [--tcp PORT] [--tcp-id N] [--rtu DEVICE] [--rtu-id N]
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "ModbusTestSupport.h"
#include "modbus/ModbusServer.h"
#include "platform/Text.h"
#include "support/MemoryProfile.h"

int main(int argc, char** argv) {
    using namespace tesmor;
    test::MemoryProfile profile;
    bool tcp = false, rtu = false;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string opt = argv[i], value = argv[i + 1];
        if (opt == "--tcp") {
            profile.setInt(kSettingsSection, u"isTCP", 1);
            profile.setInt(kSettingsSection, u"localPort", std::atoi(value.c_str()));
            tcp = true;
        } else if (opt == "--tcp-id") {
            profile.setInt(kSettingsSection, u"TCPId", std::atoi(value.c_str()));
        } else if (opt == "--rtu") {
            profile.setInt(kSettingsSection, u"isRTU", 1);
            profile.setString(kSettingsSection, u"portName", toUtf16(value));
            rtu = true;
        } else if (opt == "--rtu-id") {
            profile.setInt(kSettingsSection, u"RTUId", std::atoi(value.c_str()));
        } else {
            std::fprintf(stderr, "unknown option %s\n", opt.c_str());
            return 2;
        }
    }
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);  // the server's threads inherit the mask

    test::CaptionStrings strings;
    ModbusServer server(profile, strings);
    {
        auto locked = server.lock();
        for (int i = 0; i < 5; ++i)
            locked.registers().tab_registers[i] = static_cast<std::uint16_t>(11 * (i + 1));
    }
    server.restart();
    const bool up =
        test::waitFor([&] { return (!tcp || server.tcpListening()) && (!rtu || server.rtuOpen()); },
                      std::chrono::seconds(5));
    if (!up) {
        std::fprintf(stderr, "transports did not come up\n");
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);

    int sig = 0;
    sigwait(&set, &sig);
    server.stop();
    return 0;
}
