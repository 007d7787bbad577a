#pragma once
// The check every received request passes before libmodbus answers it.
//
// libmodbus 3.1.6 frames a TCP request by its function code, not by the MBAP length, ignores the
// protocol identifier, reads two bytes past a frame that holds only a function code, and checks
// a single coil's address before its value. The check answers those frames itself, as the Modbus
// application protocol (V1.1b3, section 7 and the state diagrams of section 6) defines:
// unsupported function 01, then quantity or value 03, then address 02. A function code of 0x80
// or more, reserved for exception responses, gets no answer (libmodbus would answer it with the
// code plus 0x80 cut to a byte, which reads as an ordinary function).
#include <cstdint>

#include <modbus/modbus.h>

namespace tesmor {

enum class Transport { Tcp, Rtu };

struct RequestVerdict {
    enum Action { Reply, Exception, Drop };
    Action action = Drop;
    std::uint8_t exception = 0;  // the exception code when action is Exception
    // The byte stream can no longer be trusted (the MBAP length disagrees with the frame):
    // the connection is ended after this frame.
    bool close = false;

    bool operator==(const RequestVerdict&) const = default;
};

// Judges one whole frame as modbus_receive returned it (MBAP header or slave address first,
// an RTU frame with its CRC). `unitId` is the TCP unit identifier answered (other units are
// dropped, as is any unit when it lies outside 0-255); RTU frames were matched by libmodbus.
// `store` gives the table sizes. Pure; any thread.
RequestVerdict checkRequest(const std::uint8_t* frame, int length, Transport transport, int unitId,
                            const modbus_mapping_t& store) noexcept;

// Checks the frame and answers it: modbus_reply for a valid request, the exception for an
// invalid one, nothing for a dropped one (nor for any answer to an RTU broadcast). The caller
// holds the lock of `store`. Returns the verdict, whose `close` the TCP transport obeys.
RequestVerdict answerRequest(modbus_t* ctx, const std::uint8_t* frame, int length, Transport transport,
                             int unitId, modbus_mapping_t& store) noexcept;

}  // namespace tesmor
