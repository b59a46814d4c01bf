// Guest MAC construction and MAC text parsing.
#include "host/mac.h"

#include "wrenlib.h"

void BuildTarnIfaceMAC(std::uint8_t mac[6], const std::uint8_t ip[4]) {
    mac[0] = 0x02;
    mac[1] = 0x00;
    mac[2] = 0x5E;
    // The high bit keeps these addresses apart from the multicast-mapped 5E-00-xx range.
    mac[3] = static_cast<std::uint8_t>(ip[1] | 0x80);
    mac[4] = ip[2];
    mac[5] = ip[3];
    // A unicast, locally administered address, whatever the prefix above becomes.
    mac[0] = static_cast<std::uint8_t>((mac[0] & ~0x01) | 0x02);
}

bool ParseMACString(const std::wstring& text, std::uint8_t mac[6]) {
    if (text.size() != 17) return false;
    const wchar_t separator = text[2];
    if (separator != L':' && separator != L'-') return false;

    // Byte by byte, so that a caller sees how far a bad text got.
    for (int group = 0; group < 6; ++group) {
        const std::size_t at = static_cast<std::size_t>(group) * 3;
        const int high = HexDigitValue(text[at]);
        const int low = HexDigitValue(text[at + 1]);
        if (high < 0 || low < 0) return false;
        if (group < 5 && text[at + 2] != separator) return false;
        mac[group] = static_cast<std::uint8_t>((high << 4) | low);
    }
    return true;
}
