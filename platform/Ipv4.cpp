#include "platform/Ipv4.h"

namespace tesmor {

std::optional<int> smallNumber(std::u16string_view s, int max) noexcept {
    if (s.empty() || s.size() > 3) return std::nullopt;
    int n = 0;
    for (char16_t c : s) {
        if (c < u'0' || c > u'9') return std::nullopt;
        n = n * 10 + (c - u'0');
    }
    if (n > max) return std::nullopt;
    return n;
}

std::optional<Ipv4> parseIpv4(std::u16string_view text) noexcept {
    Ipv4 address = 0;
    for (int part = 0; part < 4; ++part) {
        const auto dot = text.find(u'.');
        if ((dot == std::u16string_view::npos) != (part == 3)) return std::nullopt;
        const auto n = smallNumber(text.substr(0, dot), 255);
        if (!n) return std::nullopt;
        address = (address << 8) | static_cast<Ipv4>(*n);
        text = dot == std::u16string_view::npos ? std::u16string_view() : text.substr(dot + 1);
    }
    return address;
}

std::string formatIpv4(Ipv4 a) {
    return std::to_string(a >> 24) + "." + std::to_string((a >> 16) & 0xFF) + "." +
           std::to_string((a >> 8) & 0xFF) + "." + std::to_string(a & 0xFF);
}

}  // namespace tesmor
