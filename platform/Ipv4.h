#pragma once
// IPv4 addresses as the settings and the log lines write them.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tesmor {

// An IPv4 address in host byte order.
using Ipv4 = std::uint32_t;

// Dotted decimal with exactly four parts of 0-255 and no blanks; nothing else.
std::optional<Ipv4> parseIpv4(std::u16string_view text) noexcept;
// "192.0.2.7".
std::string formatIpv4(Ipv4 address);
// A decimal number of 1 to 3 digits without sign or blanks, at most `max`: a part of an address or
// the length of a block's prefix ("/24").
std::optional<int> smallNumber(std::u16string_view text, int max) noexcept;

}  // namespace tesmor
