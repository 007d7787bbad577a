// The Modbus RTU transport: libmodbus opens and sets up the serial port; requests are framed
// here, answered through the server's request path and written without blocking the thread.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>

#include "modbus/FrameTrace.h"
#include "modbus/SerialSpeed.h"
#include "modbus/Transport.h"
#include "modbus/TransportSupport.h"
#include "platform/Errors.h"
#include "platform/Log.h"
#include "platform/Text.h"

namespace tesmor {

using namespace transport;
using Clock = std::chrono::steady_clock;

namespace {

// A request whose next byte is this late is dropped (libmodbus's byte time-out).
constexpr auto kByteTimeout = std::chrono::milliseconds(500);

// The silence that ends a frame: 3.5 characters of 11 bits, and no less than 2 ms, which the
// timers of a loaded system can still tell (Modbus over serial line V1.02, 2.5.1.1).
std::chrono::milliseconds frameGap(int baud) {
    return std::chrono::milliseconds(std::max(2, static_cast<int>(std::ceil(3.5 * 11 * 1000.0 / baud))));
}

int msUntil(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::max<long long>(0, left));
}

// Writes all of `data` to the non-blocking `fd` within `limit`; false when it could not.
bool writeWithin(int fd, const std::uint8_t* data, std::size_t size, const Waker& waker,
                 std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n > 0) {
            data += n;
            size -= static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN) return false;
        if (Clock::now() >= deadline || waitFor(fd, POLLOUT, waker, msUntil(deadline)) <= 0) return false;
    }
    return true;
}

class RtuTransport final : public ModbusTransport {
public:
    explicit RtuTransport(TransportSetup setup) : setup_(std::move(setup)) {}
    void serve(std::stop_token stop) override;

private:
    // Answers requests on an opened serial port (non-blocking) until it goes away or a stop comes.
    void serveLine(int fd, const Waker& waker, const std::stop_token& stop);

    TransportSetup setup_;
};

void RtuTransport::serve(std::stop_token stop) {
    const ConnectionSettings& s = setup_.settings;
    TransportState& state = setup_.state;
    Waker waker;
    std::stop_callback wake(stop, [&waker] { waker.signal(); });
    auto idle = [&] {
        while (!stop.stop_requested()) pause(waker);
    };

    const std::string device = serialDevicePath(s.portName);
    ModbusContext ctx(
        modbus_new_rtu(device.c_str(), s.baudRate, parityCharacter(s.parity), s.dataBits, s.stopBits));
    if (!ctx) {
        logLine("Modbus RTU: cannot use " + device + " with " + std::to_string(s.baudRate) +
                " baud, parity \"" + toUtf8(s.parity) + "\", " + std::to_string(s.dataBits) + " data bits, " +
                std::to_string(s.stopBits) + " stop bits: " + errorText(lastSystemError()) +
                "; not answering");
        idle();
        return;
    }

    OnceLog openLog;
    while (!stop.stop_requested()) {
        if (modbus_connect(ctx.get()) != 0) {
            openLog.fail("Modbus RTU: cannot open " + device + ": " + errorText(lastSystemError()) +
                         "; retrying until stopped");
            pause(waker);
            continue;
        }
        const int fd = modbus_get_socket(ctx.get());
        // libmodbus opens the device without a lock; another program must see it busy.
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            openLog.fail("Modbus RTU: " + device + " is in use by another program; retrying until stopped");
            modbus_close(ctx.get());
            pause(waker);
            continue;
        }
        // libmodbus knows no constant for some offered rates and would open those at 9600 baud.
        if (const std::error_code error = setSerialSpeed(fd, s.baudRate)) {
            logLine("Modbus RTU: " + device + " cannot run at " + std::to_string(s.baudRate) +
                    " baud: " + errorText(error) + "; not answering");
            modbus_close(ctx.get());
            idle();
            return;
        }
        ::ioctl(fd, TIOCEXCL);
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        openLog.succeed();
        state.open = true;
        serveLine(fd, waker, stop);
        state.open = false;
        ::ioctl(fd, TIOCNXCL);
        modbus_close(ctx.get());  // closing the descriptor drops the lock
        if (!stop.stop_requested()) {
            openLog.fail("Modbus RTU: " + device + " went away; reopening");
            pause(waker);
        }
    }
}

void RtuTransport::serveLine(int fd, const Waker& waker, const std::stop_token& stop) {
    const ConnectionSettings& s = setup_.settings;
    TransportCounters& counters = setup_.state.counters;
    // A request of a known layout is answered as soon as its last byte is in. Anything else (a
    // frame for another slave, another slave's reply, a function without a fixed layout, noise)
    // lasts until the line falls silent; it is answered then only when it is one whole frame
    // for this slave with a good CRC.
    const auto gap = frameGap(s.baudRate);
    // Time for the longest reply on the wire, and a second more for a slow driver.
    const auto writeLimit =
        std::chrono::milliseconds(1000 + 2 * 11 * 1000 * MODBUS_RTU_MAX_ADU_LENGTH / std::max(1, s.baudRate));
    std::uint8_t in[2 * MODBUS_RTU_MAX_ADU_LENGTH];
    std::size_t have = 0;
    bool untilSilence = false;
    auto lastByte = Clock::now();
    std::uint8_t reply[kMaxReply];
    OnceLog writeLog;

    auto ours = [&](std::uint8_t address) {
        return address == MODBUS_BROADCAST_ADDRESS || address == s.rtuUnitId;
    };
    auto crcGood = [](const std::uint8_t* f, std::size_t n) {
        const std::uint16_t crc = modbusFrameCrc(f, n - 2);
        return f[n - 2] == (crc & 0xFF) && f[n - 1] == (crc >> 8);
    };
    const std::string device = serialDevicePath(s.portName);
    auto serve = [&](const std::uint8_t* frame, std::size_t length) {
        const int n = setup_.path.answer(frame, static_cast<int>(length),
                                         {Transport::Rtu, s.rtuUnitId, kRtuMaster}, reply);
        if (frameTraceOn()) {
            traceFrame(Transport::Rtu, device, true, frame, length);
            if (n > 0) traceFrame(Transport::Rtu, device, false, reply, static_cast<std::size_t>(n));
        }
        if (n <= 0) return;
        if (writeWithin(fd, reply, static_cast<std::size_t>(n), waker, writeLimit))
            writeLog.succeed();
        else
            writeLog.fail("Modbus RTU: the port takes no output; replies are dropped");
    };

    while (!stop.stop_requested()) {
        while (have > 0 && !untilSilence) {
            if (!ours(in[0])) {
                untilSilence = true;
                break;
            }
            const int length = rtuRequestLength(in, have);
            if (length == 0 || have < static_cast<std::size_t>(length)) break;
            if (!crcGood(in, static_cast<std::size_t>(length))) {
                untilSilence = true;
                break;
            }
            serve(in, static_cast<std::size_t>(length));
            have -= static_cast<std::size_t>(length);
            std::memmove(in, in + length, have);
        }

        const bool waiting = have > 0 || untilSilence;
        const auto deadline = lastByte + (untilSilence ? gap : kByteTimeout);
        const int ev = waitFor(fd, POLLIN, waker, waiting ? msUntil(deadline) : -1);
        if (ev < 0 || (ev & (POLLERR | POLLHUP | POLLNVAL))) return;
        if (ev == 0) {
            if (waiting && Clock::now() >= deadline) {
                if (untilSilence && have >= 4 && ours(in[0]) && crcGood(in, have))
                    serve(in, have);
                else if (have > 0)
                    counters.dropped(ours(in[0]) && have >= 4);  // ours: a bad CRC
                have = 0;
                untilSilence = false;
            }
            continue;
        }
        const ssize_t n = ::read(fd, in + have, sizeof in - have);
        if (n > 0) {
            have += static_cast<std::size_t>(n);
            lastByte = Clock::now();
            if (have == sizeof in) {  // longer than any frame: drop it all and wait for silence
                counters.dropped(true);
                have = 0;
                untilSilence = true;
            }
        } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
            return;
        }
    }
}

}  // namespace

std::unique_ptr<ModbusTransport> makeRtuTransport(TransportSetup setup) {
    return std::make_unique<RtuTransport>(std::move(setup));
}

}  // namespace tesmor
