#include "modbus/RequestCheck.h"

#include <cstring>

namespace tesmor {

namespace {

constexpr int kTcpHeader = 7;  // MBAP header including the unit identifier
constexpr int kRtuHeader = 1;  // slave address
constexpr int kRtuCrc = 2;
constexpr int kMaxMbapLength = 254;  // implementation guide 3.1.3: unit identifier and a 253-byte PDU

constexpr std::uint8_t kIllegalFunction = MODBUS_EXCEPTION_ILLEGAL_FUNCTION;
constexpr std::uint8_t kIllegalAddress = MODBUS_EXCEPTION_ILLEGAL_DATA_ADDRESS;
constexpr std::uint8_t kIllegalValue = MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE;

constexpr auto word = pduWord;
constexpr auto putWord = putPduWord;

constexpr RequestVerdict kDrop{RequestVerdict::Drop, 0};
RequestVerdict reply() noexcept { return {RequestVerdict::Reply, 0}; }
RequestVerdict exception(std::uint8_t code) noexcept { return {RequestVerdict::Exception, code}; }

bool inTable(int address, int count, int start, int size) noexcept {
    return address >= start && address - start + count <= size;
}

// Bytes of the PDU after the function code for a supported function (before any byte count's
// bytes), or -1 for an unsupported one.
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
            return 5;
        case MODBUS_FC_REPORT_SLAVE_ID:
            return 0;
        case MODBUS_FC_MASK_WRITE_REGISTER:
            return 6;
        case MODBUS_FC_WRITE_AND_READ_REGISTERS:
            return 9;
        case kFunctionDiagnostics:
            return 4;  // sub-function and one word, as every counter request has
        case kFunctionMei:
            return 3;
        default:
            return -1;
    }
}

// The PDU checks of the protocol's state diagrams: quantity (or value, or byte count, or the
// PDU's length) first, then address. `p` is the PDU, `n` its length (at least 1).
RequestVerdict checkPdu(const std::uint8_t* p, int n, const modbus_mapping_t& store) noexcept {
    const std::uint8_t function = p[0];
    const int fixed = fixedDataLength(function);
    if (fixed < 0) return exception(kIllegalFunction);
    if (function == kFunctionDiagnostics) return checkDiagnostics(p, n);
    if (function == kFunctionMei) return checkDeviceIdentification(p, n);
    if (n < 1 + fixed) return exception(kIllegalValue);
    if (fixed == 0) return n == 1 ? reply() : exception(kIllegalValue);
    const int address = word(p + 1);
    switch (function) {
        case MODBUS_FC_READ_COILS:
        case MODBUS_FC_READ_DISCRETE_INPUTS: {
            const int count = word(p + 3);
            if (n != 5 || count < 1 || count > MODBUS_MAX_READ_BITS) return exception(kIllegalValue);
            const bool coils = function == MODBUS_FC_READ_COILS;
            if (!inTable(address, count, coils ? store.start_bits : store.start_input_bits,
                         coils ? store.nb_bits : store.nb_input_bits))
                return exception(kIllegalAddress);
            return reply();
        }
        case MODBUS_FC_READ_HOLDING_REGISTERS:
        case MODBUS_FC_READ_INPUT_REGISTERS: {
            const int count = word(p + 3);
            if (n != 5 || count < 1 || count > MODBUS_MAX_READ_REGISTERS) return exception(kIllegalValue);
            const bool holding = function == MODBUS_FC_READ_HOLDING_REGISTERS;
            if (!inTable(address, count, holding ? store.start_registers : store.start_input_registers,
                         holding ? store.nb_registers : store.nb_input_registers))
                return exception(kIllegalAddress);
            return reply();
        }
        case MODBUS_FC_WRITE_SINGLE_COIL: {
            const int value = word(p + 3);
            if (n != 5 || (value != 0x0000 && value != 0xFF00)) return exception(kIllegalValue);
            if (!inTable(address, 1, store.start_bits, store.nb_bits)) return exception(kIllegalAddress);
            return reply();
        }
        case MODBUS_FC_WRITE_SINGLE_REGISTER:
        case MODBUS_FC_MASK_WRITE_REGISTER:
            if (n != 1 + fixed) return exception(kIllegalValue);
            if (!inTable(address, 1, store.start_registers, store.nb_registers))
                return exception(kIllegalAddress);
            return reply();
        case MODBUS_FC_WRITE_MULTIPLE_COILS: {
            const int count = word(p + 3);
            const int bytes = p[5];
            if (count < 1 || count > MODBUS_MAX_WRITE_BITS || bytes != (count + 7) / 8 || n != 6 + bytes)
                return exception(kIllegalValue);
            if (!inTable(address, count, store.start_bits, store.nb_bits)) return exception(kIllegalAddress);
            return reply();
        }
        case MODBUS_FC_WRITE_MULTIPLE_REGISTERS: {
            const int count = word(p + 3);
            const int bytes = p[5];
            if (count < 1 || count > MODBUS_MAX_WRITE_REGISTERS || bytes != 2 * count || n != 6 + bytes)
                return exception(kIllegalValue);
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
                writeCount > MODBUS_MAX_WR_WRITE_REGISTERS || bytes != 2 * writeCount || n != 10 + bytes)
                return exception(kIllegalValue);
            if (!inTable(address, readCount, store.start_registers, store.nb_registers) ||
                !inTable(writeAddress, writeCount, store.start_registers, store.nb_registers))
                return exception(kIllegalAddress);
            return reply();
        }
        default:
            return exception(kIllegalFunction);
    }
}

int readBits(const std::uint8_t* table, int from, int count, std::uint8_t* out) noexcept {
    const int bytes = (count + 7) / 8;
    out[0] = static_cast<std::uint8_t>(bytes);
    std::memset(out + 1, 0, static_cast<std::size_t>(bytes));
    for (int i = 0; i < count; ++i)
        if (table[from + i]) out[1 + i / 8] |= static_cast<std::uint8_t>(1u << (i % 8));
    return 1 + bytes;
}

int readWords(const std::uint16_t* table, int from, int count, std::uint8_t* out) noexcept {
    out[0] = static_cast<std::uint8_t>(2 * count);
    for (int i = 0; i < count; ++i) putWord(out + 1 + 2 * i, table[from + i]);
    return 1 + 2 * count;
}

// Carries out a request the check passed and writes the answer's PDU; returns its length.
int carryOut(const std::uint8_t* p, int n, modbus_mapping_t& m, int unitId, const ServerInfo* info,
             std::uint8_t* out) noexcept {
    const std::uint8_t function = p[0];
    out[0] = function;
    switch (function) {
        case MODBUS_FC_REPORT_SLAVE_ID:
            return answerServerId(unitId, identityOrDefault(info ? info->identity : nullptr), out);
        case kFunctionDiagnostics:
            return answerDiagnostics(p, n, info ? info->counters : nullptr, out);
        case kFunctionMei:
            return answerDeviceIdentification(p, identityOrDefault(info ? info->identity : nullptr), out);
        default:
            break;
    }
    const int address = word(p + 1);
    const int count = word(p + 3);
    switch (function) {
        case MODBUS_FC_READ_COILS:
            return 1 + readBits(m.tab_bits, address - m.start_bits, count, out + 1);
        case MODBUS_FC_READ_DISCRETE_INPUTS:
            return 1 + readBits(m.tab_input_bits, address - m.start_input_bits, count, out + 1);
        case MODBUS_FC_READ_HOLDING_REGISTERS:
            return 1 + readWords(m.tab_registers, address - m.start_registers, count, out + 1);
        case MODBUS_FC_READ_INPUT_REGISTERS:
            return 1 + readWords(m.tab_input_registers, address - m.start_input_registers, count, out + 1);
        case MODBUS_FC_WRITE_SINGLE_COIL:
            m.tab_bits[address - m.start_bits] = count == 0xFF00 ? 1 : 0;
            std::memcpy(out, p, 5);
            return 5;
        case MODBUS_FC_WRITE_SINGLE_REGISTER:
            m.tab_registers[address - m.start_registers] = static_cast<std::uint16_t>(count);
            std::memcpy(out, p, 5);
            return 5;
        case MODBUS_FC_WRITE_MULTIPLE_COILS:
            for (int i = 0; i < count; ++i)
                m.tab_bits[address - m.start_bits + i] =
                    static_cast<std::uint8_t>((p[6 + i / 8] >> (i % 8)) & 1);
            std::memcpy(out, p, 5);
            return 5;
        case MODBUS_FC_WRITE_MULTIPLE_REGISTERS:
            for (int i = 0; i < count; ++i)
                m.tab_registers[address - m.start_registers + i] =
                    static_cast<std::uint16_t>(word(p + 6 + 2 * i));
            std::memcpy(out, p, 5);
            return 5;
        case MODBUS_FC_MASK_WRITE_REGISTER: {
            const int andMask = word(p + 3), orMask = word(p + 5);
            std::uint16_t& r = m.tab_registers[address - m.start_registers];
            r = static_cast<std::uint16_t>((r & andMask) | (orMask & ~andMask));
            std::memcpy(out, p, 7);
            return 7;
        }
        case MODBUS_FC_WRITE_AND_READ_REGISTERS: {
            // The write comes first, so the read sees it.
            const int writeAddress = word(p + 5), writeCount = word(p + 7);
            for (int i = 0; i < writeCount; ++i)
                m.tab_registers[writeAddress - m.start_registers + i] =
                    static_cast<std::uint16_t>(word(p + 10 + 2 * i));
            return 1 + readWords(m.tab_registers, address - m.start_registers, count, out + 1);
        }
        default:
            return 0;  // not reached: the check answers every other function with an exception
    }
}

// The request checks with the write access rule around them.
RequestVerdict checkWithRule(const std::uint8_t* p, int n, const modbus_mapping_t& store,
                             const WriteRule* rule) noexcept {
    if (!rule) return checkPdu(p, n, store);
    if (const std::uint8_t code = writeRefusal(*rule, p, n, false)) return exception(code);
    const RequestVerdict v = checkPdu(p, n, store);
    if (v.action != RequestVerdict::Reply) return v;
    if (const std::uint8_t code = writeRefusal(*rule, p, n, true)) return exception(code);
    return v;
}

}  // namespace

RequestVerdict checkRequest(const std::uint8_t* frame, int length, Transport transport, int unitId,
                            const modbus_mapping_t& store, const WriteRule* rule) noexcept {
    if (unitId < 0 || unitId > 255) return kDrop;
    if (transport == Transport::Rtu) {
        if (length < kRtuHeader + 1 + kRtuCrc) return kDrop;
        const bool broadcast = frame[0] == MODBUS_BROADCAST_ADDRESS;
        if (!broadcast && frame[0] != unitId) return kDrop;
        if (frame[kRtuHeader] & 0x80) return kDrop;
        const RequestVerdict v =
            checkWithRule(frame + kRtuHeader, length - kRtuHeader - kRtuCrc, store, rule);
        // No answer of any kind goes to a broadcast.
        return broadcast && v.action == RequestVerdict::Exception ? kDrop : v;
    }
    if (length < kTcpHeader + 1 || tcpFrameLength(frame, static_cast<std::size_t>(length)) != length)
        return kDrop;
    // Messaging on TCP/IP implementation guide 4.4.1.2: a request meant for another unit is not
    // answered.
    if (frame[6] != unitId) return kDrop;
    if (frame[kTcpHeader] & 0x80) return kDrop;
    return checkWithRule(frame + kTcpHeader, length - kTcpHeader, store, rule);
}

int answerRequest(const std::uint8_t* frame, int length, Transport transport, int unitId,
                  modbus_mapping_t& store, std::uint8_t* reply, const WriteRule* rule,
                  const ServerInfo* info) noexcept {
    const RequestVerdict v = checkRequest(frame, length, transport, unitId, store, rule);
    if (v.action == RequestVerdict::Drop) return 0;
    const bool tcp = transport != Transport::Rtu;
    const int header = tcp ? kTcpHeader : kRtuHeader;
    std::uint8_t* pdu = reply + header;
    int pduLength = 2;
    if (v.action == RequestVerdict::Exception) {
        pdu[0] = static_cast<std::uint8_t>(frame[header] | 0x80);
        pdu[1] = v.exception;
    } else {
        const int pduIn = length - header - (tcp ? 0 : kRtuCrc);
        pduLength = carryOut(frame + header, pduIn, store, unitId, info, pdu);
    }
    if (tcp) {
        std::memcpy(reply, frame, 2);  // transaction identifier
        putWord(reply + 2, 0);
        putWord(reply + 4, pduLength + 1);
        reply[6] = frame[6];
        return kTcpHeader + pduLength;
    }
    if (frame[0] == MODBUS_BROADCAST_ADDRESS) return 0;
    reply[0] = frame[0];
    const std::uint16_t crc = modbusFrameCrc(reply, static_cast<std::size_t>(kRtuHeader + pduLength));
    reply[kRtuHeader + pduLength] = static_cast<std::uint8_t>(crc & 0xFF);
    reply[kRtuHeader + pduLength + 1] = static_cast<std::uint8_t>(crc >> 8);
    return kRtuHeader + pduLength + kRtuCrc;
}

int tcpFrameLength(const std::uint8_t* data, std::size_t have) noexcept {
    if (have < 6) return 0;
    const int length = word(data + 4);
    if (word(data + 2) != 0 || length == 0 || length > kMaxMbapLength) return -1;
    return 6 + length;
}

int rtuRequestLength(const std::uint8_t* data, std::size_t have) noexcept {
    if (have < 2) return 0;
    const int fixed = fixedDataLength(data[1]);
    switch (data[1]) {
        case MODBUS_FC_WRITE_MULTIPLE_COILS:
        case MODBUS_FC_WRITE_MULTIPLE_REGISTERS:
        case MODBUS_FC_WRITE_AND_READ_REGISTERS: {
            const std::size_t countAt = static_cast<std::size_t>(kRtuHeader + fixed);  // the byte count
            if (have <= countAt) return 0;
            return kRtuHeader + 1 + fixed + data[countAt] + kRtuCrc;
        }
        default:
            return kRtuHeader + 1 + (fixed < 0 ? 0 : fixed) + kRtuCrc;
    }
}

std::uint16_t modbusFrameCrc(const std::uint8_t* data, std::size_t length) noexcept {
    std::uint16_t crc = 0xFFFF;
    for (std::size_t i = 0; i < length; ++i) {
        crc ^= data[i];
        for (int b = 0; b < 8; ++b)
            crc = static_cast<std::uint16_t>((crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1);
    }
    return crc;
}

}  // namespace tesmor
