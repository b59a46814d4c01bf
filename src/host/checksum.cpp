// Internet checksums and their repair in captured frames.
//
// The sum runs over every packet whose checksums are repaired, so it is written for speed. The
// one's-complement sum does not care about byte order, so the data is summed as native 32-bit
// words into 64-bit accumulators (no carry is ever lost: 2^32 additions of 32-bit words cannot
// overflow 64 bits, and a 32-bit length allows at most 2^30 of them) and only the folded 16-bit
// result is swapped into network order.
#include "host/checksum.h"

#include <bit>
#include <cstring>

#include "trace/trace.h"

namespace {

inline std::uint32_t Load32(const std::uint8_t* p) {
    std::uint32_t v;
    std::memcpy(&v, p, sizeof v);  // any alignment; compiles to a plain load
    return v;
}

inline std::uint16_t Load16BE(const std::uint8_t* p) { return static_cast<std::uint16_t>((p[0] << 8) | p[1]); }

inline void Store16BE(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v >> 8);
    p[1] = static_cast<std::uint8_t>(v);
}

inline std::uint16_t Fold(std::uint64_t sum) {
    sum = (sum & 0xFFFFFFFFu) + (sum >> 32);
    sum = (sum & 0xFFFFFFFFu) + (sum >> 32);
    // Now at most 2^32, which two 16-bit folds always bring below 2^16.
    sum = (sum & 0xFFFFu) + (sum >> 16);
    sum = (sum & 0xFFFFu) + (sum >> 16);
    return static_cast<std::uint16_t>(sum);
}

constexpr std::uint8_t kProtoTCP = 6;
constexpr std::uint8_t kProtoUDP = 17;
constexpr std::uint32_t kEtherHeader = 14;
constexpr std::uint32_t kMinIPHeader = 20;

}  // namespace

std::uint16_t CalcChecksum(const void* data, std::uint32_t length) {
    const auto* p = static_cast<const std::uint8_t*>(data);
    std::uint64_t a0 = 0, a1 = 0, a2 = 0, a3 = 0;

    // Four independent accumulators keep the adds from waiting on each other.
    while (length >= 128) {
        for (int i = 0; i < 128; i += 16) {
            a0 += Load32(p + i);
            a1 += Load32(p + i + 4);
            a2 += Load32(p + i + 8);
            a3 += Load32(p + i + 12);
        }
        p += 128;
        length -= 128;
    }
    while (length >= 16) {
        a0 += Load32(p);
        a1 += Load32(p + 4);
        a2 += Load32(p + 8);
        a3 += Load32(p + 12);
        p += 16;
        length -= 16;
    }
    while (length >= 4) {
        a0 += Load32(p);
        p += 4;
        length -= 4;
    }
    if (length != 0) {
        // Zero padding puts an odd last byte exactly where a big-endian reading wants it: the
        // high byte of a word whose low byte is 0, at an even offset from the start.
        std::uint8_t tail[4] = {0, 0, 0, 0};
        std::memcpy(tail, p, length);
        a1 += Load32(tail);
    }

    // Each accumulator is below 2^62, so their sum cannot overflow either.
    std::uint16_t sum = Fold(a0 + a1 + a2 + a3);
    if constexpr (std::endian::native == std::endian::little) sum = static_cast<std::uint16_t>((sum >> 8) | (sum << 8));
    return sum;
}

std::uint16_t CalcInetChecksum(const void* data, std::uint32_t length) {
    return static_cast<std::uint16_t>(~CalcChecksum(data, length));
}

std::uint16_t CalcPseudoHeaderSum(const std::uint8_t* ipHeader) {
    const std::uint8_t protocol = ipHeader[9];
    VF_ASSERT(protocol == kProtoTCP || protocol == kProtoUDP);

    const std::uint16_t headerLength = static_cast<std::uint16_t>((ipHeader[0] & 0x0F) * 4);
    // Wraps rather than fails on a lying total length: the sum is then simply wrong, as the
    // packet is.
    const std::uint16_t transportLength = static_cast<std::uint16_t>(Load16BE(ipHeader + 2) - headerLength);

    std::uint8_t pseudo[12];
    std::memcpy(pseudo, ipHeader + 12, 8);  // source then destination address
    pseudo[8] = 0;
    pseudo[9] = protocol;
    Store16BE(pseudo + 10, transportLength);
    return CalcChecksum(pseudo, sizeof pseudo);
}

// Every length in the frame comes from the wire and may lie, so the walk trusts none of them
// beyond the frame. A packet is its T claimed bytes from P, cut at the frame end:
//   - a header length below 20, or a total length below the header length (0 included), ends
//     the walk: the packet is not repairable and nothing after it can be located;
//   - a header that does not fit in the frame is left unchanged (and ends the walk, since
//     T >= H then reaches past the frame too);
//   - the IP header checksum is repaired whenever the header fits;
//   - a TCP or UDP checksum is repaired only when every byte it covers lies inside the
//     packet's bytes in the frame (TCP: the whole packet, so a packet cut short by the frame
//     end keeps its transport checksum as it came; UDP: the UDP length from X, which must also
//     hold the 8-byte UDP header); otherwise the transport bytes are left unchanged.
// Nothing is read or written outside [frame, frame + length).
void FixIPChecksums(std::uint8_t* frame, std::uint32_t length) {
    if (frame == nullptr || length <= kEtherHeader + kMinIPHeader) return;
    if (Load16BE(frame + 12) != 0x0800) return;

    std::uint8_t* p = frame + kEtherHeader;
    std::uint32_t remaining = length - kEtherHeader;

    while (remaining > kMinIPHeader) {
        const std::uint32_t total = Load16BE(p + 2);
        const std::uint32_t header = (p[0] & 0x0Fu) * 4;
        if (header < kMinIPHeader || total < header || header > remaining) return;

        // Bytes of this packet that lie inside the frame.
        const std::uint32_t available = total < remaining ? total : remaining;
        std::uint8_t* transport = p + header;
        const std::uint32_t transportAvailable = available - header;

        const std::uint8_t protocol = p[9];
        Store16BE(p + 10, 0);
        if (protocol == kProtoTCP) {
            if (total <= remaining && transportAvailable >= 18) {
                Store16BE(transport + 16, 0);
                Store16BE(transport + 16, CalcPseudoHeaderSum(p));
                Store16BE(transport + 16, CalcInetChecksum(transport, total - header));
            }
        } else if (protocol == kProtoUDP) {
            const std::uint32_t udpLength = transportAvailable >= 8 ? Load16BE(transport + 4) : 0;
            if (transportAvailable >= 8 && udpLength <= transportAvailable) {
                Store16BE(transport + 6, 0);
                Store16BE(transport + 6, CalcPseudoHeaderSum(p));
                Store16BE(transport + 6, CalcInetChecksum(transport, udpLength));
            }
        }
        Store16BE(p + 10, CalcInetChecksum(p, header));

        if (total >= remaining) return;
        p += total;
        remaining -= total;
    }
}

std::uint16_t UpdateChecksum(std::uint16_t checksum, std::uint16_t oldWord, std::uint16_t newWord) {
    std::uint32_t sum = std::uint32_t{static_cast<std::uint16_t>(~checksum)} + static_cast<std::uint16_t>(~oldWord) + newWord;
    sum = (sum & 0xFFFF) + (sum >> 16);
    sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<std::uint16_t>(~sum);
}
