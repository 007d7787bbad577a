#include "modbus/RequestCheck.h"

#include <algorithm>
#include <cstring>

namespace tesmor {

namespace {

constexpr int kTcpHeader = 7;  // MBAP header including the unit identifier
constexpr int kRtuHeader = 1;  // slave address
constexpr int kRtuCrc = 2;

constexpr std::uint8_t kIllegalFunction = MODBUS_EXCEPTION_ILLEGAL_FUNCTION;
constexpr std::uint8_t kIllegalAddress = MODBUS_EXCEPTION_ILLEGAL_DATA_ADDRESS;
constexpr std::uint8_t kIllegalValue = MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE;

int word(const std::uint8_t* p) noexcept { return (p[0] << 8) | p[1]; }

RequestVerdict reply() noexcept { return {RequestVerdict::Reply, 0, false}; }
RequestVerdict exception(std::uint8_t code) noexcept { return {RequestVerdict::Exception, code, false}; }

bool inTable(int address, int count, int start, int size) noexcept {
    return address >= start && address - start + count <= size;
}

// Bytes of the PDU after the function code for a function libmodbus answers, or -1 for a
// function it does not support (it then reads past the frame).
int fixedDataLength(std::uint8_t function) noexcept {
    switch (function) {
        case MODBUS_FC_READ_COILS:
        case MODBUS_FC_READ_DISCRETE_INPUTS:
        case MODBUS_FC_READ_HOLDING_REGISTERS:
        case MODBUS_FC_READ_INPUT_REGISTERS:
        case MODBUS_FC_WRITE_SINGLE_COIL:
        case MODBUS_FC_WRITE_SINGLE_REGISTER:
            return 4;
        case MODBUS_FC_WRITE_MULTIPLE_COILS:
        case MODBUS_FC_WRITE_MULTIPLE_REGISTERS:
            return 5;  // plus the byte count's bytes
        case MODBUS_FC_REPORT_SLAVE_ID:
            return 0;
        case MODBUS_FC_MASK_WRITE_REGISTER:
            return 6;
        case MODBUS_FC_WRITE_AND_READ_REGISTERS:
            return 9;  // plus the byte count's bytes
        default:
            return -1;
    }
}

// The PDU checks of the protocol's state diagrams: quantity (or value, or byte count) first,
// then address. `p` is the PDU, `n` its length.
RequestVerdict checkPdu(const std::uint8_t* p, int n, const modbus_mapping_t& store) noexcept {
    const std::uint8_t function = p[0];
    const int fixed = fixedDataLength(function);
    if (fixed < 0) return exception(kIllegalFunction);
    if (n < 1 + fixed) return {RequestVerdict::Drop, 0, true};  // libmodbus never frames it so
    if (fixed == 0) return reply();
    const int address = word(p + 1);
    switch (function) {
        case MODBUS_FC_READ_COILS:
        case MODBUS_FC_READ_DISCRETE_INPUTS: {
            const int count = word(p + 3);
            if (count < 1 || count > MODBUS_MAX_READ_BITS) return exception(kIllegalValue);
            const bool coils = function == MODBUS_FC_READ_COILS;
            if (!inTable(address, count, coils ? store.start_bits : store.start_input_bits,
                         coils ? store.nb_bits : store.nb_input_bits))
                return exception(kIllegalAddress);
            return reply();
        }
        case MODBUS_FC_READ_HOLDING_REGISTERS:
        case MODBUS_FC_READ_INPUT_REGISTERS: {
            const int count = word(p + 3);
            if (count < 1 || count > MODBUS_MAX_READ_REGISTERS) return exception(kIllegalValue);
            const bool holding = function == MODBUS_FC_READ_HOLDING_REGISTERS;
            if (!inTable(address, count, holding ? store.start_registers : store.start_input_registers,
                         holding ? store.nb_registers : store.nb_input_registers))
                return exception(kIllegalAddress);
            return reply();
        }
        case MODBUS_FC_WRITE_SINGLE_COIL: {
            const int value = word(p + 3);
            if (value != 0x0000 && value != 0xFF00) return exception(kIllegalValue);
            if (!inTable(address, 1, store.start_bits, store.nb_bits)) return exception(kIllegalAddress);
            return reply();
        }
        case MODBUS_FC_WRITE_SINGLE_REGISTER:
        case MODBUS_FC_MASK_WRITE_REGISTER:
            if (!inTable(address, 1, store.start_registers, store.nb_registers)) return exception(kIllegalAddress);
            return reply();
        case MODBUS_FC_WRITE_MULTIPLE_COILS: {
            const int count = word(p + 3);
            const int bytes = p[5];
            if (count < 1 || count > MODBUS_MAX_WRITE_BITS || bytes != (count + 7) / 8)
                return exception(kIllegalValue);
            if (n < 6 + bytes) return {RequestVerdict::Drop, 0, true};
            if (!inTable(address, count, store.start_bits, store.nb_bits)) return exception(kIllegalAddress);
            return reply();
        }
        case MODBUS_FC_WRITE_MULTIPLE_REGISTERS: {
            const int count = word(p + 3);
            const int bytes = p[5];
            if (count < 1 || count > MODBUS_MAX_WRITE_REGISTERS || bytes != 2 * count)
                return exception(kIllegalValue);
            if (n < 6 + bytes) return {RequestVerdict::Drop, 0, true};
            if (!inTable(address, count, store.start_registers, store.nb_registers))
                return exception(kIllegalAddress);
            return reply();
        }
        case MODBUS_FC_WRITE_AND_READ_REGISTERS: {
            const int readCount = word(p + 3);
            const int writeAddress = word(p + 5);
            const int writeCount = word(p + 7);
            const int bytes = p[9];
            if (readCount < 1 || readCount > MODBUS_MAX_WR_READ_REGISTERS || writeCount < 1 ||
                writeCount > MODBUS_MAX_WR_WRITE_REGISTERS || bytes != 2 * writeCount)
                return exception(kIllegalValue);
            if (n < 10 + bytes) return {RequestVerdict::Drop, 0, true};
            if (!inTable(address, readCount, store.start_registers, store.nb_registers) ||
                !inTable(writeAddress, writeCount, store.start_registers, store.nb_registers))
                return exception(kIllegalAddress);
            return reply();
        }
        default:
            return exception(kIllegalFunction);
    }
}

}  // namespace

RequestVerdict checkRequest(const std::uint8_t* frame, int length, Transport transport, int unitId,
                            const modbus_mapping_t& store) noexcept {
    if (transport == Transport::Rtu) {
        if (length < kRtuHeader + 1 + kRtuCrc) return {RequestVerdict::Drop, 0, false};
        if (frame[kRtuHeader] & 0x80) return {RequestVerdict::Drop, 0, false};
        RequestVerdict v = checkPdu(frame + kRtuHeader, length - kRtuHeader - kRtuCrc, store);
        // No answer of any kind goes to a broadcast.
        if (frame[0] == MODBUS_BROADCAST_ADDRESS && v.action == RequestVerdict::Exception)
            return {RequestVerdict::Drop, 0, false};
        return v;
    }
    if (length < kTcpHeader + 1) return {RequestVerdict::Drop, 0, true};
    // The MBAP length counts the unit identifier and the PDU. When it disagrees with the frame
    // libmodbus cut, the next frame would start in the wrong place.
    const bool lengthAgrees = word(frame + 4) == length - 6;
    // Messaging on TCP/IP implementation guide 4.4.1.2: a request whose protocol identifier is not
    // Modbus, or that is meant for another unit, is not answered.
    if (word(frame + 2) != 0 || unitId < 0 || unitId > 255 || frame[6] != static_cast<std::uint8_t>(unitId))
        return {RequestVerdict::Drop, 0, !lengthAgrees};
    const std::uint8_t* pdu = frame + kTcpHeader;
    if (pdu[0] & 0x80) return {RequestVerdict::Drop, 0, !lengthAgrees};
    if (fixedDataLength(pdu[0]) < 0) return {RequestVerdict::Exception, kIllegalFunction, !lengthAgrees};
    if (!lengthAgrees) return {RequestVerdict::Drop, 0, true};
    return checkPdu(pdu, length - kTcpHeader, store);
}

RequestVerdict answerRequest(modbus_t* ctx, const std::uint8_t* frame, int length, Transport transport, int unitId,
                             modbus_mapping_t& store) noexcept {
    const RequestVerdict v = checkRequest(frame, length, transport, unitId, store);
    if (v.action == RequestVerdict::Exception) {
        modbus_reply_exception(ctx, frame, v.exception);
    } else if (v.action == RequestVerdict::Reply) {
        // libmodbus reads an address after every function code, also after one that has none
        // (report slave id): give it zeros there instead of whatever follows the frame.
        const int header = transport == Transport::Tcp ? kTcpHeader : kRtuHeader;
        if (length < header + 3) {
            std::uint8_t padded[MODBUS_MAX_ADU_LENGTH] = {};
            std::memcpy(padded, frame, static_cast<std::size_t>(length));
            modbus_reply(ctx, padded, length, &store);
        } else {
            modbus_reply(ctx, frame, length, &store);
        }
    }
    return v;
}

}  // namespace tesmor
