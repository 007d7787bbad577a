#pragma once
// The request path shared by every front end: a complete frame is checked (unit or slave
// address, function, quantity, address) and answered from the register store, as bytes the
// transport then sends. Nothing here touches a socket or a serial port.
//
// The checks follow the Modbus application protocol (V1.1b3, section 7 and the state diagrams
// of section 6): unsupported function 01, then quantity, value or PDU length 03, then address 02.
// A function code of 0x80 or more, reserved for exception responses, gets no answer.
#include <modbus/modbus.h>

#include <cstddef>
#include <cstdint>

#include "modbus/AccessRules.h"
#include "modbus/Diagnostics.h"
#include "modbus/Pdu.h"

namespace tesmor {

// Judges one whole frame: an MBAP header and its PDU (TCP), or slave address, PDU and CRC (RTU,
// CRC not checked here). `unitId` is the TCP unit identifier or RTU slave address answered; other
// units are dropped, as is every unit when it lies outside 0-255. An RTU broadcast (address 0) is
// judged like a request to this slave but never gets an exception. `rule` (none: every write
// allowed) refuses writes as AccessRules.h says: 01 before the request checks, 02 after them.
// Pure; any thread (the caller holds the lock of the rule's map).
RequestVerdict checkRequest(const std::uint8_t* frame, int length, Transport transport, int unitId,
                            const modbus_mapping_t& store, const WriteRule* rule = nullptr) noexcept;

// Checks the frame and carries it out on `store`: writes the answer (a reply or an exception,
// with MBAP header or slave address and CRC) into `reply` and returns its length; 0 when nothing
// is to be sent (a dropped frame, any RTU broadcast, whose writes are still carried out). The
// caller holds the lock of `store`; `reply` has room for kMaxReply bytes. `info` gives the
// identity and the counters functions 8, 17 and 43 answer with; null: the defaults.
int answerRequest(const std::uint8_t* frame, int length, Transport transport, int unitId,
                  modbus_mapping_t& store, std::uint8_t* reply, const WriteRule* rule = nullptr,
                  const ServerInfo* info = nullptr) noexcept;

// Framing of a TCP byte stream by the MBAP header (Modbus messaging on TCP/IP implementation
// guide, 3.1.3): the length of the frame that starts at `data`, 0 while fewer than the six bytes
// that tell it have arrived, -1 when the header is invalid (protocol identifier not 0, length
// field 0 or above 254); the stream can then no longer be framed.
int tcpFrameLength(const std::uint8_t* data, std::size_t have) noexcept;

// The length an RTU request starting at `data` has by its function code (slave address, PDU,
// CRC), 0 while too few bytes have arrived to tell. A function without a fixed layout counts as
// address, function and CRC; such a frame is recognised by the silence after it instead.
int rtuRequestLength(const std::uint8_t* data, std::size_t have) noexcept;

}  // namespace tesmor
