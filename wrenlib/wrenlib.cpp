// WrenLib: address, error and hex-dump text. These run inside trace messages, so they build
// their text by hand into one reserved string rather than through streams or printf, and keep
// no state, which makes them safe to call from any thread.
#include "wrenlib.h"

#include "platform/platform.h"

namespace {

constexpr wchar_t kHexDigits[] = L"0123456789ABCDEF";

void AppendHexByte(std::wstring& s, std::uint8_t b) {
    s.push_back(kHexDigits[b >> 4]);
    s.push_back(kHexDigits[b & 0x0F]);
}

void AppendDecimal(std::wstring& s, unsigned v) {
    wchar_t digits[10];
    int n = 0;
    do {
        digits[n++] = static_cast<wchar_t>(L'0' + v % 10);
        v /= 10;
    } while (v != 0);
    while (n > 0)
        s.push_back(digits[--n]);
}

}  // namespace

// ASCII only: the locale must not change what an address text means.
int HexDigitValue(wchar_t c) {
    if (c >= L'0' && c <= L'9') return c - L'0';
    if (c >= L'a' && c <= L'f') return c - L'a' + 10;
    if (c >= L'A' && c <= L'F') return c - L'A' + 10;
    return -1;
}

bool ParseMACAddress(const std::wstring& text, std::uint8_t mac[6]) {
    // Pairs start every 3 characters with separators, every 2 without.
    std::size_t stride;
    if (text.size() == 17) {
        stride = 3;
        const wchar_t separator = text[2];
        if (separator != L':' && separator != L'-') return false;
        for (std::size_t i = 2; i < 17; i += 3)
            if (text[i] != separator) return false;
    } else if (text.size() == 12) {
        stride = 2;
    } else {
        return false;
    }

    // Into a scratch copy first: the caller's bytes change only on success.
    std::uint8_t bytes[6];
    for (std::size_t i = 0; i < 6; ++i) {
        const int high = HexDigitValue(text[i * stride]);
        const int low = HexDigitValue(text[i * stride + 1]);
        if (high < 0 || low < 0) return false;
        bytes[i] = static_cast<std::uint8_t>((high << 4) | low);
    }
    for (std::size_t i = 0; i < 6; ++i)
        mac[i] = bytes[i];
    return true;
}

bool ParseIPAddress(const std::wstring& text, std::uint32_t& address, bool reserved) {
    (void)reserved;  // kept for callers written against the wider form of this call

    std::uint32_t result = 0;
    std::size_t pos = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (pos >= text.size() || text[pos] != L'.') return false;
            ++pos;
        }
        const std::size_t start = pos;
        unsigned value = 0;
        while (pos < text.size() && text[pos] >= L'0' && text[pos] <= L'9') {
            value = value * 10 + static_cast<unsigned>(text[pos] - L'0');
            if (value > 255)  // also stops a long run of digits from overflowing
                return false;
            ++pos;
        }
        if (pos == start) return false;
        result = (result << 8) | value;
    }
    if (pos != text.size()) return false;
    address = result;
    return true;
}

std::wstring FormatMACAddr(const std::uint8_t mac[6], std::wstring& out) { return FormatPhysAddr(out, mac, 6, L'-'); }

std::wstring FormatPhysAddr(std::wstring& out, const std::uint8_t* bytes, std::uint32_t count, wchar_t separator) {
    std::wstring s;
    if (bytes != nullptr && count != 0) {
        s.reserve(static_cast<std::size_t>(count) * 3);
        for (std::uint32_t i = 0; i < count; ++i) {
            // A NUL separator would cut the text short for any C caller: it means none.
            if (i != 0 && separator != L'\0') s.push_back(separator);
            AppendHexByte(s, bytes[i]);
        }
    }
    out = s;
    return s;
}

std::wstring FormatIPAddr(const void* address, std::wstring& out) {
    const auto* b = static_cast<const std::uint8_t*>(address);
    std::wstring s;
    s.reserve(15);
    for (int i = 0; i < 4; ++i) {
        if (i != 0) s.push_back(L'.');
        AppendDecimal(s, b[i]);
    }
    out = s;
    return s;
}

std::wstring FormatHexDump(const void* data, std::uint64_t length, bool reserved1, int reserved2, bool reserved3) {
    (void)reserved1;
    (void)reserved2;
    (void)reserved3;

    std::wstring s;
    if (data == nullptr || length == 0) return s;
    const auto* p = static_cast<const std::uint8_t*>(data);

    // Offsets take 4 digits, more only when the dump is long enough to need them, so that every
    // line of one dump lines up.
    int offsetDigits = 4;
    while (offsetDigits < 16 && ((length - 1) >> (offsetDigits * 4)) != 0)
        ++offsetDigits;

    constexpr std::uint64_t kPerLine = 16;
    const std::uint64_t lines = (length + kPerLine - 1) / kPerLine;
    s.reserve(static_cast<std::size_t>(lines) * (offsetDigits + 2 + kPerLine * 3 + 1 + kPerLine + 1));

    for (std::uint64_t offset = 0; offset < length; offset += kPerLine) {
        const std::uint64_t n = length - offset < kPerLine ? length - offset : kPerLine;
        for (int d = offsetDigits - 1; d >= 0; --d)
            s.push_back(kHexDigits[(offset >> (d * 4)) & 0x0F]);
        s.push_back(L':');
        for (std::uint64_t i = 0; i < kPerLine; ++i) {
            s.push_back(L' ');
            if (i < n) {
                AppendHexByte(s, p[offset + i]);
            } else {
                // Pad a short last line so that its text column lines up with the others.
                s.push_back(L' ');
                s.push_back(L' ');
            }
        }
        s.push_back(L' ');
        s.push_back(L' ');
        for (std::uint64_t i = 0; i < n; ++i) {
            const std::uint8_t c = p[offset + i];
            s.push_back(c >= 0x20 && c < 0x7F ? static_cast<wchar_t>(c) : L'.');
        }
        s.push_back(L'\n');
    }
    return s;
}

std::wstring FormatLastError(std::uint32_t code) { return plat::SystemErrorText(code); }
