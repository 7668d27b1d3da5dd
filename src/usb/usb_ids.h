#pragma once
// The "usb-ids" file in the settings folder names the USB devices that are
// capture boards: one vvvv:pppp (hexadecimal vendor and product id) per line,
// '#' starts a comment, blank lines are ignored, and so is any line that is
// not a pair of ids.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace usb {

struct UsbId {
    uint16_t vendor;
    uint16_t product;
    friend bool operator==(const UsbId&, const UsbId&) = default;
};

namespace detail {
inline bool parseHex16(std::string_view text, uint16_t& out) {
    if (text.empty() || text.size() > 4) return false;
    uint32_t value = 0;
    for (char c : text) {
        int digit;
        if (c >= '0' && c <= '9') digit = c - '0';
        else if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
        else return false;
        value = value * 16 + static_cast<uint32_t>(digit);
    }
    out = static_cast<uint16_t>(value);
    return true;
}

inline std::string_view trim(std::string_view s) {
    const char* space = " \t\r\n";
    const size_t first = s.find_first_not_of(space);
    if (first == std::string_view::npos) return {};
    return s.substr(first, s.find_last_not_of(space) - first + 1);
}
}  // namespace detail

inline std::vector<UsbId> parseUsbIds(std::string_view text) {
    std::vector<UsbId> ids;
    while (!text.empty()) {
        const size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        if (const size_t hash = line.find('#'); hash != std::string_view::npos) line = line.substr(0, hash);
        line = detail::trim(line);
        const size_t colon = line.find(':');
        UsbId id{};
        if (colon == std::string_view::npos || !detail::parseHex16(line.substr(0, colon), id.vendor) ||
            !detail::parseHex16(line.substr(colon + 1), id.product))
            continue;
        ids.push_back(id);
    }
    return ids;
}

}  // namespace usb

namespace usb {

// "vvvv:pppp", the form a line of the file takes.
inline std::string formatUsbId(UsbId id) {
    static const char digits[] = "0123456789abcdef";
    std::string text(9, ':');
    for (int i = 0; i < 4; ++i) {
        text[3 - i] = digits[(id.vendor >> (4 * i)) & 0xF];
        text[8 - i] = digits[(id.product >> (4 * i)) & 0xF];
    }
    return text;
}

// The file's text with the pair added on a line of its own; unchanged when
// the pair is listed already (comments and unreadable lines are kept).
inline std::string withUsbId(std::string_view text, UsbId id) {
    std::string result(text);
    for (const UsbId& listed : parseUsbIds(text))
        if (listed == id) return result;
    if (!result.empty() && result.back() != '\n') result += '\n';
    result += formatUsbId(id);
    result += '\n';
    return result;
}

}  // namespace usb
