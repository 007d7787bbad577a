// libFuzzer entry: any bytes as what a master sends, framed as the transports frame them and
// answered by answerRequest. Each frame is handed over at the very end of a readable page, so a
// read past it faults. Each answer is checked against the verdict and, for reads and writes,
// against the store; the CRC of RTU answers against an independent implementation.
//
// Input: byte 0 picks the transport (bit 0: RTU), for RTU whether a correct CRC is appended to
// each frame (bit 1) so that most frames get past the CRC, and the write access rule (bits 2-3:
// 0 any write, 1 none to the published registers of a fixed map, 2 and 3 no writes, as for a TLS
// master whose role may not write), for TCP whether it is the TLS server's side (bit 4); the rest
// is the byte stream, split into frames at each 0xFF 0xFE pair in CRC mode. Each verdict under
// the rule is checked against the verdict without it, and a write not carried out must leave
// the store as it was.
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "modbus/AccessRules.h"
#include "modbus/RequestCheck.h"

using tesmor::RequestVerdict;
using tesmor::Transport;

namespace {

constexpr int kUnit = 1;

void check(bool condition) {
    if (!condition) std::abort();
}

std::uint16_t crc16Modbus(const std::uint8_t* p, std::size_t n) {
    std::uint16_t crc = 0xFFFF;
    for (std::size_t i = 0; i < n; ++i) {
        crc ^= p[i];
        for (int b = 0; b < 8; ++b) crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
    }
    return crc;
}

int word(const std::uint8_t* p) { return (p[0] << 8) | p[1]; }

struct Store {
    modbus_mapping_t* m = modbus_mapping_new(500, 500, 500, 500);
    void reset() {
        for (int i = 0; i < 500; ++i) {
            m->tab_bits[i] = static_cast<std::uint8_t>(i % 3 == 0);
            m->tab_input_bits[i] = static_cast<std::uint8_t>(i % 5 == 0);
            m->tab_registers[i] = static_cast<std::uint16_t>(0x1000 + i);
            m->tab_input_registers[i] = static_cast<std::uint16_t>(0x2000 + i);
        }
    }
};

// A page pair whose second page cannot be touched.
struct GuardedPage {
    long size = sysconf(_SC_PAGESIZE);
    std::uint8_t* base = static_cast<std::uint8_t*>(
        mmap(nullptr, 2 * size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    GuardedPage() {
        check(base != MAP_FAILED);
        check(mprotect(base + size, size, PROT_NONE) == 0);
    }
    const std::uint8_t* place(const std::uint8_t* frame, int length) {
        std::uint8_t* at = base + size - length;
        std::memcpy(at, frame, static_cast<std::size_t>(length));
        return at;
    }
};

// The answer to a frame the check passed: the function echoed and, for reads and writes, the
// values of the store.
void checkReply(const std::uint8_t* req, const std::uint8_t* rsp, std::size_t rspPdu,
                const modbus_mapping_t& m) {
    const std::uint8_t function = req[0];
    check(rspPdu >= 1 && rsp[0] == function);
    if (function == MODBUS_FC_REPORT_SLAVE_ID) return;  // the only request without an address
    const int address = word(req + 1);
    switch (function) {
        case MODBUS_FC_READ_COILS:
        case MODBUS_FC_READ_DISCRETE_INPUTS: {
            const int count = word(req + 3);
            const std::uint8_t* table = function == MODBUS_FC_READ_COILS ? m.tab_bits : m.tab_input_bits;
            check(rspPdu == 2u + static_cast<std::size_t>((count + 7) / 8) && rsp[1] == (count + 7) / 8);
            for (int i = 0; i < count; ++i) check(((rsp[2 + i / 8] >> (i % 8)) & 1) == table[address + i]);
            break;
        }
        case MODBUS_FC_READ_HOLDING_REGISTERS:
        case MODBUS_FC_READ_INPUT_REGISTERS: {
            const int count = word(req + 3);
            const std::uint16_t* table =
                function == MODBUS_FC_READ_HOLDING_REGISTERS ? m.tab_registers : m.tab_input_registers;
            check(rspPdu == 2u + 2u * static_cast<std::size_t>(count) && rsp[1] == 2 * count);
            for (int i = 0; i < count; ++i) check(word(rsp + 2 + 2 * i) == table[address + i]);
            break;
        }
        case MODBUS_FC_WRITE_SINGLE_COIL:
            check(rspPdu == 5 && std::memcmp(rsp, req, 5) == 0);
            check(m.tab_bits[address] == (word(req + 3) == 0xFF00));
            break;
        case MODBUS_FC_WRITE_SINGLE_REGISTER:
            check(rspPdu == 5 && std::memcmp(rsp, req, 5) == 0);
            check(m.tab_registers[address] == word(req + 3));
            break;
        case MODBUS_FC_WRITE_MULTIPLE_COILS: {
            const int count = word(req + 3);
            check(rspPdu == 5 && std::memcmp(rsp, req, 5) == 0);
            for (int i = 0; i < count; ++i)
                check(m.tab_bits[address + i] == ((req[6 + i / 8] >> (i % 8)) & 1));
            break;
        }
        case MODBUS_FC_WRITE_MULTIPLE_REGISTERS: {
            const int count = word(req + 3);
            check(rspPdu == 5 && std::memcmp(rsp, req, 5) == 0);
            for (int i = 0; i < count; ++i) check(m.tab_registers[address + i] == word(req + 6 + 2 * i));
            break;
        }
        case MODBUS_FC_WRITE_AND_READ_REGISTERS: {
            const int readCount = word(req + 3);
            check(rspPdu == 2u + 2u * static_cast<std::size_t>(readCount) && rsp[1] == 2 * readCount);
            // The write comes first, so the read sees it.
            for (int i = 0; i < readCount; ++i) check(word(rsp + 2 + 2 * i) == m.tab_registers[address + i]);
            const int writeAddress = word(req + 5), writeCount = word(req + 7);
            for (int i = 0; i < writeCount; ++i)
                check(m.tab_registers[writeAddress + i] == word(req + 10 + 2 * i));
            break;
        }
        default:
            break;
    }
}

tesmor::RegisterInfo entry(tesmor::Table table, int address, tesmor::DataType dataType,
                           tesmor::DataItem item) {
    tesmor::RegisterInfo e;
    e.table = table;
    e.address = address;
    e.dataType = dataType;
    e.dataItem = item;
    e.byteOrder = tesmor::ByteOrder::BigEndian;
    return e;
}

// Published: holding 10, 20-21, 30-34 and 499, coil 7.
using tesmor::DataItem;
using tesmor::DataType;
using tesmor::Table;
const tesmor::RegisterMap kMap{entry(Table::HoldingRegisters, 10, DataType::Int, DataItem::Mode),
                               entry(Table::HoldingRegisters, 20, DataType::Float, DataItem::Area),
                               entry(Table::HoldingRegisters, 30, DataType::Int, DataItem::SampleTime),
                               entry(Table::HoldingRegisters, 499, DataType::Int, DataItem::SampleNumber),
                               entry(Table::Coils, 7, DataType::Bool, DataItem::Concentration)};

bool publishedAt(bool coils, int address) {
    if (coils) return address == 7;
    return address == 10 || address == 20 || address == 21 || (address >= 30 && address <= 34) ||
           address == 499;
}

// True when the checked write PDU `p` touches a published register, by its own reading.
bool writeTouchesPublished(const std::uint8_t* p) {
    int address = word(p + 1), count = 1;
    bool coils = false;
    switch (p[0]) {
        case MODBUS_FC_WRITE_SINGLE_COIL:
            coils = true;
            break;
        case MODBUS_FC_WRITE_MULTIPLE_COILS:
            coils = true;
            count = word(p + 3);
            break;
        case MODBUS_FC_WRITE_MULTIPLE_REGISTERS:
            count = word(p + 3);
            break;
        case MODBUS_FC_WRITE_AND_READ_REGISTERS:
            address = word(p + 5);
            count = word(p + 7);
            break;
        default:
            break;
    }
    for (int i = 0; i < count; ++i)
        if (publishedAt(coils, address + i)) return true;
    return false;
}

// The verdict under `rule` from the verdict without it.
void checkRuleVerdict(const RequestVerdict& with, const RequestVerdict& without, const std::uint8_t* pdu,
                      tesmor::WriteAccess access, bool broadcast) {
    const bool write = tesmor::isWriteFunction(pdu[0]);
    if (!write || access == tesmor::WriteAccess::Any || without.action == RequestVerdict::Drop) {
        check(with == without);
        return;
    }
    RequestVerdict expected = without;
    if (access == tesmor::WriteAccess::None)
        expected = {RequestVerdict::Exception, MODBUS_EXCEPTION_ILLEGAL_FUNCTION};
    else if (without.action == RequestVerdict::Reply && writeTouchesPublished(pdu))
        expected = {RequestVerdict::Exception, MODBUS_EXCEPTION_ILLEGAL_DATA_ADDRESS};
    if (broadcast && expected.action == RequestVerdict::Exception) expected = {RequestVerdict::Drop, 0};
    check(with == expected);
}

// Frames the stream as the transports do (by the MBAP length, or by the function code for RTU;
// an RTU frame that is not of a known layout is taken whole, as the silence after it would end
// it) and answers each frame, checking the answer against the verdict and the store.
void serve(const std::uint8_t* data, std::size_t size, Transport transport, tesmor::WriteAccess access) {
    static Store store;
    const tesmor::WriteRule rule{access, &kMap};
    std::vector<std::uint8_t> bitsBefore(500), registersBefore(1000);
    static GuardedPage page;
    store.reset();
    const bool tcp = transport != Transport::Rtu;
    const int header = tcp ? 7 : 1;
    const int trailer = tcp ? 0 : 2;
    std::uint8_t reply[tesmor::kMaxReply + 16];
    std::memset(reply, 0xEE, sizeof reply);
    while (size > 0) {
        int length = tcp ? tesmor::tcpFrameLength(data, size) : tesmor::rtuRequestLength(data, size);
        if (length < 0) return;  // an invalid MBAP header ends the connection
        if (length == 0 || static_cast<std::size_t>(length) > size) {
            if (tcp) return;  // a partial frame stalls and ends the connection
            length = static_cast<int>(size);
        }
        if (!tcp && length < 4) return;
        // What the TCP framer passes on never exceeds the largest frame of the protocol; the RTU
        // transport drops anything longer than its buffer.
        check(!tcp || length <= MODBUS_TCP_MAX_ADU_LENGTH);
        if (length > 2 * MODBUS_RTU_MAX_ADU_LENGTH) return;
        const std::uint8_t* frame = page.place(data, length);
        data += length;
        size -= static_cast<std::size_t>(length);

        const RequestVerdict v = tesmor::checkRequest(frame, length, transport, kUnit, *store.m, &rule);
        const bool broadcast = !tcp && frame[0] == MODBUS_BROADCAST_ADDRESS;
        if (length > header + trailer)
            checkRuleVerdict(v, tesmor::checkRequest(frame, length, transport, kUnit, *store.m),
                             frame + header, access, broadcast);
        std::memcpy(bitsBefore.data(), store.m->tab_bits, 500);
        std::memcpy(registersBefore.data(), store.m->tab_registers, 1000);
        const int n = tesmor::answerRequest(frame, length, transport, kUnit, *store.m, reply, &rule);
        check(n >= 0 && n <= tesmor::kMaxReply && reply[tesmor::kMaxReply] == 0xEE);
        if (v.action != RequestVerdict::Reply) {
            check(std::memcmp(bitsBefore.data(), store.m->tab_bits, 500) == 0);
            check(std::memcmp(registersBefore.data(), store.m->tab_registers, 1000) == 0);
        }
        if (v.action == RequestVerdict::Drop || broadcast) {
            check(n == 0);
            continue;
        }
        check(n >= header + 1 + trailer);
        const std::vector<std::uint8_t> rsp(reply, reply + n);
        if (tcp) {
            check(std::memcmp(rsp.data(), frame, 2) == 0 && word(rsp.data() + 2) == 0);
            check(word(rsp.data() + 4) == static_cast<int>(rsp.size()) - 6 && rsp[6] == frame[6]);
        } else {
            check(rsp[0] == frame[0]);
            const std::uint16_t crc = crc16Modbus(rsp.data(), rsp.size() - 2);
            check(rsp[rsp.size() - 2] == (crc & 0xFF) && rsp[rsp.size() - 1] == (crc >> 8));
        }
        const std::uint8_t* pdu = rsp.data() + header;
        const std::size_t pduLength = rsp.size() - static_cast<std::size_t>(header + trailer);
        if (v.action == RequestVerdict::Exception)
            check(pduLength == 2 && pdu[0] == (frame[header] | 0x80) && pdu[1] == v.exception);
        else
            checkReply(frame + header, pdu, pduLength, *store.m);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1 || size > 4096) return 0;
    const std::uint8_t mode = data[0];
    const tesmor::WriteAccess access = tesmor::writeAccessOf((mode >> 2) & 3);
    ++data;
    --size;
    if (!(mode & 1)) {
        serve(data, size, mode & 0x10 ? Transport::Tls : Transport::Tcp, access);
        return 0;
    }
    if (!(mode & 2)) {
        serve(data, size, Transport::Rtu, access);
        return 0;
    }
    // RTU with a correct CRC after each piece.
    std::vector<std::uint8_t> stream;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= size; ++i) {
        if (i == size || (i + 1 < size && data[i] == 0xFF && data[i + 1] == 0xFE)) {
            const std::size_t from = stream.size();
            stream.insert(stream.end(), data + start, data + i);
            const std::uint16_t crc = crc16Modbus(stream.data() + from, stream.size() - from);
            stream.push_back(static_cast<std::uint8_t>(crc & 0xFF));
            stream.push_back(static_cast<std::uint8_t>(crc >> 8));
            start = i + 2;
            ++i;
        }
    }
    serve(stream.data(), stream.size(), Transport::Rtu, access);
    return 0;
}
