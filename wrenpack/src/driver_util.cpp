// The driver's pure helpers: the capture-record layout, names, and error numbers from the
// host's errors. Kept apart from the exports so that tests can take them alone.
#include "wp_driver.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

namespace wp {

Error FromErrno(int e) {
    switch (e) {
    case ENETDOWN: return kNetDown;
    case ENODEV:
    case ENXIO: return kNoDevice;
    case EPERM:
    case EACCES: return kAccess;
    case ENOMEM: return kNoMemory;
    case ENOBUFS:
    case EAGAIN: return kNoBuffers;
    case EMSGSIZE: return kTooBig;
    case EINVAL: return kInvalid;
    default: return kGeneral;
    }
}

// Capture libraries format system errors as "<call>: <strerror text>", which is all a library
// loaded at run time gives; the texts are the C library's English ones.
Error FromText(const char* text) {
    static const struct {
        const char* fragment;
        Error error;
    } kTexts[] = {
        {"went down", kNetDown},      {"Network is down", kNetDown}, {"disappeared", kNoDevice},
        {"No such device", kNoDevice}, {"ermission", kAccess},        {"not permitted", kAccess},
        {"Message too long", kTooBig}, {"No buffer space", kNoBuffers}, {"Cannot allocate", kNoMemory},
    };
    for (const auto& t : kTexts)
        if (text && std::strstr(text, t.fragment)) return t.error;
    return kGeneral;
}

Error FromStatus(int status, const char* text) {
    switch (status) {
    case -5: return kNotFound;                // PCAP_ERROR_NO_SUCH_DEVICE
    case -8: case -11: return kAccess;        // PCAP_ERROR_PERM_DENIED, PCAP_ERROR_PROMISC_PERM_DENIED
    case -9: return kNetDown;                 // PCAP_ERROR_IFACE_NOT_UP
    default: return FromText(text);
    }
}

bool PutRecord(uint8_t* buffer, uint32_t capacity, uint32_t* used, const pcap_pkthdr_wp& header, const uint8_t* frame,
               uint16_t flags) {
    constexpr uint32_t kHeader = sizeof(WP_CAPTURE_HEADER);
    uint32_t caplen = header.caplen;
    uint64_t size = kHeader + WP_CAPTURE_ALIGN(uint64_t(caplen));
    if (*used + size > capacity) {
        if (*used != 0 || capacity < kHeader + 4) return false;
        caplen = (capacity - kHeader) & ~3u;
        size = kHeader + caplen;
    }
    WP_CAPTURE_HEADER h{};
    h.tv_sec = uint32_t(header.ts.tv_sec);
    h.tv_usec = uint32_t(header.ts.tv_usec);
    h.bh_caplen = caplen;
    h.bh_datalen = header.len;
    h.bh_hdrlen = kHeader;
    h.wReserved = flags;
    uint8_t* at = buffer + *used;
    std::memcpy(at, &h, kHeader);
    std::memcpy(at + kHeader, frame, caplen);
    std::memset(at + kHeader + caplen, 0, size - kHeader - caplen);
    *used += uint32_t(size);
    return true;
}

std::string Narrow(const WP_CHAR16* text) {
    std::string out;
    for (; text && *text; ++text) {
        const char16_t c = *text;
        if (c < 0x80) {
            out += char(c);
        } else if (c < 0x800) {
            out += char(0xC0 | (c >> 6));
            out += char(0x80 | (c & 0x3F));
        } else {
            out += char(0xE0 | (c >> 12));
            out += char(0x80 | ((c >> 6) & 0x3F));
            out += char(0x80 | (c & 0x3F));
        }
    }
    return out;
}

// Device names are ASCII on every host we know; other bytes are copied one per character,
// which keeps a name that comes back through Narrow recognisable in messages.
void Widen(const std::string& text, WP_CHAR16* out, size_t chars) {
    const size_t n = std::min(text.size(), chars - 1);
    for (size_t i = 0; i < n; ++i)
        out[i] = WP_CHAR16(uint8_t(text[i]));
    out[n] = 0;
}

bool IsWirelessDevice(const std::string& classDir, const std::string& device) {
    std::error_code ec;
    const std::filesystem::path dir = std::filesystem::path(classDir) / device;
    // The link itself, not what it points to: a device's phy80211 may be a dangling link.
    auto present = [&](const char* node) { return std::filesystem::exists(std::filesystem::symlink_status(dir / node, ec)); };
    return present("wireless") || present("phy80211");
}

}  // namespace wp
