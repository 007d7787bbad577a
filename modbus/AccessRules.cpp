#include "modbus/AccessRules.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <modbus/modbus.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>

#include "modbus/Pdu.h"
#include "platform/Log.h"
#include "platform/Text.h"

namespace tesmor {

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kLogEvery = std::chrono::minutes(1);
// Addresses remembered for the once-a-minute log; a sweep from more addresses is summarised.
constexpr std::size_t kMaxRemembered = 1024;

constexpr auto trim = [](std::u16string_view s) noexcept { return trimBlanks(s); };

constexpr auto word = pduWord;

}  // namespace

MasterList::Parsed MasterList::parse(std::u16string_view text) {
    Parsed result;
    MasterList list;
    if (trim(text).empty()) {
        result.list = list;
        return result;
    }
    list.any_ = false;
    for (;;) {
        const auto comma = text.find(u',');
        const std::u16string_view item = trim(text.substr(0, comma));
        const auto slash = item.find(u'/');
        const auto address = parseIpv4(item.substr(0, slash));
        std::optional<int> prefix = 32;
        if (slash != std::u16string_view::npos) prefix = smallNumber(item.substr(slash + 1), 32);
        if (!address || !prefix) {
            result.badItem = std::u16string(item);
            return result;
        }
        const Ipv4 mask = *prefix == 0 ? 0 : ~Ipv4{0} << (32 - *prefix);
        list.blocks_.push_back({*address & mask, mask});
        if (comma == std::u16string_view::npos) break;
        text.remove_prefix(comma + 1);
    }
    result.list = std::move(list);
    return result;
}

bool MasterList::allows(Ipv4 address) const noexcept {
    if (any_) return true;
    return std::any_of(blocks_.begin(), blocks_.end(),
                       [address](const Block& b) { return (address & b.mask) == b.network; });
}

std::vector<LocalAddress> localIpv4Addresses() {
    std::vector<LocalAddress> out;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return out;
    for (const ifaddrs* i = list; i; i = i->ifa_next)
        if (i->ifa_addr && i->ifa_addr->sa_family == AF_INET && (i->ifa_flags & IFF_UP))
            out.push_back({ntohl(reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr),
                           i->ifa_name ? i->ifa_name : ""});
    ::freeifaddrs(list);
    const auto byAddress = [](const LocalAddress& a, const LocalAddress& b) { return a.address < b.address; };
    std::stable_sort(out.begin(), out.end(), byAddress);
    out.erase(
        std::unique(out.begin(), out.end(),
                    [](const LocalAddress& a, const LocalAddress& b) { return a.address == b.address; }),
        out.end());
    return out;
}

std::optional<Ipv4> bindAddressOf(std::u16string_view text) noexcept {
    text = trim(text);
    if (text.empty()) return INADDR_ANY;
    return parseIpv4(text);
}

WriteAccess writeAccessOf(int stored) noexcept {
    switch (stored) {
        case 0:
            return WriteAccess::Any;
        case 1:
            return WriteAccess::Unpublished;
        default:
            return WriteAccess::None;
    }
}

bool isWriteFunction(std::uint8_t function) noexcept {
    switch (function) {
        case MODBUS_FC_WRITE_SINGLE_COIL:
        case MODBUS_FC_WRITE_SINGLE_REGISTER:
        case MODBUS_FC_WRITE_MULTIPLE_COILS:
        case MODBUS_FC_WRITE_MULTIPLE_REGISTERS:
        case MODBUS_FC_MASK_WRITE_REGISTER:
        case MODBUS_FC_WRITE_AND_READ_REGISTERS:
            return true;
        default:
            return false;
    }
}

bool touchesPublished(const RegisterMap& map, bool coils, int address, int count) noexcept {
    const Table table = coils ? Table::Coils : Table::HoldingRegisters;
    const std::int64_t end = static_cast<std::int64_t>(address) + count;
    for (const RegisterInfo& e : map) {
        if (e.table != table || e.address >= end) continue;
        const std::int64_t entryEnd = static_cast<std::int64_t>(e.address) + std::max(e.span(), 1);
        if (entryEnd > address) return true;
    }
    return false;
}

std::optional<WriteTarget> writeTarget(const std::uint8_t* p, int length) noexcept {
    if (length < 1) return std::nullopt;
    switch (p[0]) {
        case MODBUS_FC_WRITE_SINGLE_COIL:
            if (length < 3) return std::nullopt;
            return WriteTarget{true, word(p + 1), 1, nullptr};
        case MODBUS_FC_WRITE_MULTIPLE_COILS:
            if (length < 5) return std::nullopt;
            return WriteTarget{true, word(p + 1), word(p + 3), nullptr};
        case MODBUS_FC_WRITE_SINGLE_REGISTER:
            if (length < 5) return std::nullopt;
            return WriteTarget{false, word(p + 1), 1, p + 3};
        case MODBUS_FC_MASK_WRITE_REGISTER:
            if (length < 3) return std::nullopt;
            return WriteTarget{false, word(p + 1), 1, nullptr};
        case MODBUS_FC_WRITE_MULTIPLE_REGISTERS:
            if (length < 5) return std::nullopt;
            return WriteTarget{false, word(p + 1), word(p + 3),
                               length >= 6 + 2 * word(p + 3) ? p + 6 : nullptr};
        case MODBUS_FC_WRITE_AND_READ_REGISTERS:
            if (length < 9) return std::nullopt;
            return WriteTarget{false, word(p + 5), word(p + 7),
                               length >= 10 + 2 * word(p + 7) ? p + 10 : nullptr};
        default:
            return std::nullopt;
    }
}

std::uint8_t writeRefusal(const WriteRule& rule, const std::uint8_t* p, int length, bool checked) noexcept {
    if (length < 1 || !isWriteFunction(p[0])) return 0;
    const auto target = writeTarget(p, length);
    if (!checked) {
        if (rule.access == WriteAccess::None) return MODBUS_EXCEPTION_ILLEGAL_FUNCTION;
        // Through the history unit only the marks of the record block may be written.
        if (rule.historyUnit && !(rule.record && target && !target->coils &&
                                  rule.record->marksOnly(target->address, target->count)))
            return MODBUS_EXCEPTION_ILLEGAL_FUNCTION;
        return 0;
    }
    if (!target) return 0;
    if (rule.record && !target->coils)
        if (const std::uint8_t code =
                rule.record->writeRefusal(target->address, target->count, target->values))
            return code;
    if (rule.access != WriteAccess::Unpublished || !rule.map) return 0;
    return touchesPublished(*rule.map, target->coils, target->address, target->count)
               ? MODBUS_EXCEPTION_ILLEGAL_DATA_ADDRESS
               : 0;
}

void AddressLog::log(Ipv4 address, std::string_view reason, const std::string& line,
                     const std::string& crowdLine) {
    const auto now = Clock::now();
    if (lastLogged_.size() >= kMaxRemembered)
        std::erase_if(lastLogged_, [now](const auto& e) { return now - e.second >= kLogEvery; });
    std::string key(reinterpret_cast<const char*>(&address), sizeof address);
    key += reason;
    const auto it = lastLogged_.find(key);
    if (it != lastLogged_.end()) {
        if (now - it->second < kLogEvery) return;
        it->second = now;
    } else if (lastLogged_.size() < kMaxRemembered) {
        lastLogged_.emplace(std::move(key), now);
    } else {
        if (now - crowdLogged_ >= kLogEvery) {
            crowdLogged_ = now;
            logLine(crowdLine);
        }
        return;
    }
    logLine(line);
}

std::optional<Ipv4> peerIpv4(int fd) noexcept {
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &len) != 0 || peer.sin_family != AF_INET)
        return std::nullopt;
    return ntohl(peer.sin_addr.s_addr);
}

MasterGate::MasterGate(std::u16string_view allowedMasters, std::string transportName)
    : name_(std::move(transportName)) {
    if (allowedMasters.size() == kMaxAllowedMastersLength + 1) {
        list_ = MasterList::nobody();
        logLine(name_ + ": \"allowedMasters\" is " + std::to_string(allowedMasters.size()) +
                " characters long and may have been cut by the profile store; no master is admitted");
        return;
    }
    auto parsed = MasterList::parse(allowedMasters);
    if (parsed.list) {
        list_ = std::move(*parsed.list);
        return;
    }
    list_ = MasterList::nobody();
    logLine(name_ + ": \"allowedMasters\" holds \"" + toUtf8(parsed.badItem) +
            "\", which is neither an IPv4 address nor a block like 192.168.10.0/24; no master is admitted");
}

bool MasterGate::admit(int fd) {
    if (list_.allowsEveryone()) return true;
    const auto address = peerIpv4(fd);
    if (address && list_.allows(*address)) return true;
    refusals_.log(address.value_or(0),
                  name_ + ": master " + (address ? formatIpv4(*address) : std::string("of unknown address")) +
                      " is not in \"allowedMasters\"; connection closed",
                  name_ + ": masters from many addresses not in \"allowedMasters\" are being refused");
    return false;
}

}  // namespace tesmor
