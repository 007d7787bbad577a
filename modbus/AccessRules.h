#pragma once
// Who may talk to the slave and what a master may change: the allow-list of master addresses
// ("allowedMasters"), the local address the TCP server binds ("bindAddress") and the write
// access rule ("writeAccess"). Modbus itself authenticates nobody; these are the plant's locks.
// Pure functions and small values; MasterGate is used by the TCP transport thread only.
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "modbus/RecordBlock.h"
#include "modbus/RegisterMap.h"
#include "platform/Ipv4.h"

namespace tesmor {

// The host's profile store gives texts back cut at 127 characters, and a list cut inside an
// address may name another host ("10.0.0.12" cut to "10.0.0.1"). Longer lists are refused by the
// dialog, and a stored one of exactly 127 characters counts as cut: it admits nobody.
inline constexpr std::size_t kMaxAllowedMastersLength = 126;

// A comma-separated list of addresses and CIDR blocks ("10.1.2.3, 192.168.10.0/24"). Blanks
// around items are ignored; an empty text (or only blanks) allows every master.
class MasterList {
public:
    struct Parsed;
    // The list, or the first item that is not an address or block (as written, trimmed).
    static Parsed parse(std::u16string_view text);

    bool allowsEveryone() const noexcept { return any_; }
    bool allows(Ipv4 address) const noexcept;
    // A list that allows no master, for a stored list that cannot be read.
    static MasterList nobody() {
        MasterList l;
        l.any_ = false;
        return l;
    }

private:
    struct Block {
        Ipv4 network;
        Ipv4 mask;
    };
    bool any_ = true;
    std::vector<Block> blocks_;
};

struct MasterList::Parsed {
    std::optional<MasterList> list;
    std::u16string badItem;  // set when list is empty; may itself be empty (",," or a trailing ",")
};

// One IPv4 address of the machine and the interface that has it ("lo", "eth0").
struct LocalAddress {
    Ipv4 address;
    std::string interface;
};
// The IPv4 addresses of the machine's interfaces that are up, in ascending order, no repeats (an
// address on two interfaces names the first).
std::vector<LocalAddress> localIpv4Addresses();

// The local address for "bindAddress": an empty text (or only blanks) is every IPv4 interface
// (INADDR_ANY); an invalid text gives nothing, and the server then does not listen.
std::optional<Ipv4> bindAddressOf(std::u16string_view text) noexcept;

// What masters may write ("writeAccess"): 0 anything, 1 only coils and holding registers that
// no map entry publishes, 2 nothing. A stored value outside 0-2 writes nothing (fail closed).
enum class WriteAccess { Any = 0, Unpublished = 1, None = 2 };
WriteAccess writeAccessOf(int stored) noexcept;

// What a write access decision needs: the rule, the map that says which registers are published,
// and the record block, whose registers take only the writes it allows. `historyUnit`: the request
// came through the history unit, where only the block's marks may be written. The caller holds the
// lock that guards map and block.
struct WriteRule {
    WriteAccess access = WriteAccess::Any;
    const RegisterMap* map = nullptr;
    const RecordBlock* record = nullptr;
    bool historyUnit = false;
};

// The coils or holding registers a write PDU addresses, and where its register values start (null
// where there are none to check, or too few bytes); none for a PDU too short to tell.
struct WriteTarget {
    bool coils;
    int address, count;
    const std::uint8_t* values;
};
std::optional<WriteTarget> writeTarget(const std::uint8_t* pdu, int length) noexcept;

// True for the functions that change coils or holding registers (5, 6, 15, 16, 22, 23).
bool isWriteFunction(std::uint8_t function) noexcept;

// True when a map entry's registers (at least the one at its address, as entriesOverlap counts
// them) lie in [address, address + count) of the coils (`coils`) or the holding registers.
bool touchesPublished(const RegisterMap& map, bool coils, int address, int count) noexcept;

// The exception code that refuses the request PDU `pdu` (`length` bytes, function first) under
// `rule`, or 0 when it may go on. Before the request checks (`checked` false) a rule of no writes
// refuses a write function, as the history unit does one that is not to the block's marks (01,
// illegal function, so it comes before the checks of quantity and address); after them (`checked`
// true, the PDU is known to be well formed and inside the tables) the record block refuses what it
// does not take (RecordBlock::writeRefusal), and under rule 1 a write touching a published register
// is refused whole (02).
std::uint8_t writeRefusal(const WriteRule& rule, const std::uint8_t* pdu, int length, bool checked) noexcept;

// Per-address log lines, for one transport thread: one line per address and reason a minute at
// most, so a master retrying in a loop cannot fill the log while a new reason is logged at once;
// past 1024 of them in a minute a single summary line a minute stands for all the others.
class AddressLog {
public:
    void log(Ipv4 address, std::string_view reason, const std::string& line, const std::string& crowdLine);
    void log(Ipv4 address, const std::string& line, const std::string& crowdLine) {
        log(address, {}, line, crowdLine);
    }

private:
    std::unordered_map<std::string, std::chrono::steady_clock::time_point> lastLogged_;
    std::chrono::steady_clock::time_point crowdLogged_{};
};

// The address of the master on a connected socket; nullopt when it is not IPv4.
std::optional<Ipv4> peerIpv4(int fd) noexcept;

// The allow-list at accept, for one TCP transport thread: a master from another address is
// closed before any byte is read or written, and logged at most once a minute per address.
class MasterGate {
public:
    // Parses the stored list; a list that cannot be read allows nobody and is logged here, the
    // line starting with `transportName` ("Modbus TCP").
    explicit MasterGate(std::u16string_view allowedMasters, std::string transportName = "Modbus TCP");
    // True when the master on the accepted socket `fd` may be served; false (logged) otherwise.
    // The caller closes a refused socket at once.
    bool admit(int fd);

private:
    MasterList list_;
    std::string name_;
    AddressLog refusals_;
};

}  // namespace tesmor
