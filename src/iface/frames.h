// The byte-level work of the frame paths, kept free of interface state so that every piece that
// reads bytes from the wire or from a caller can be exercised alone (unit tests, fuzz targets):
// the walk over the capture records of a receive buffer, frame selection, the ARP and RARP
// replies and announcements, and the TUN framing of a caller's packet.
#pragma once

#include <cstdint>
#include <cstring>

namespace frames {

constexpr std::uint32_t kEthHeaderSize = 14;
constexpr std::uint32_t kARPFrameSize = 42;
constexpr std::uint16_t kEtherTypeIPv4 = 0x0800;
constexpr std::uint16_t kEtherTypeARP = 0x0806;
constexpr std::uint16_t kEtherTypeRARP = 0x8035;
// Size of a batch record header, before its frame.
constexpr std::uint32_t kBatchHeaderSize = 16;

inline std::uint16_t Get16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] << 8 | p[1]); }
inline void Put16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v >> 8);
    p[1] = static_cast<std::uint8_t>(v);
}
inline bool IsGroupMAC(const std::uint8_t* mac) { return (mac[0] & 1) != 0; }
inline bool IsZeroMAC(const std::uint8_t* mac) {
    static const std::uint8_t kZero[6] = {};
    return std::memcmp(mac, kZero, 6) == 0;
}
inline bool SameMAC(const std::uint8_t* a, const std::uint8_t* b) { return std::memcmp(a, b, 6) == 0; }
// Whether an IPv4 address (network order) can be a single station's: not 0.0.0.0, the loopback
// network, or a multicast or reserved one.
inline bool IsStationIP(std::uint32_t ipAddr) {
    const auto* b = reinterpret_cast<const std::uint8_t*>(&ipAddr);
    return ipAddr != 0 && b[0] != 127 && b[0] < 224;
}

// One capture record taken from a receive buffer.
struct Record {
    std::uint8_t* frame = nullptr;
    std::uint32_t length = 0;  // captured length
    std::uint16_t flags = 0;   // WP_CAPTURE_* direction bits; 0 from a header too short to have them
};

// The record at `pos`, advancing `pos` to the next one. A record whose header or frame would
// run past `end` is not taken: the walk of that buffer ends there (`pos` = `end`) and false is
// returned. The driver aligns records to 4 bytes; a final record may end unaligned.
bool NextRecord(std::uint8_t*& pos, std::uint8_t* end, Record& rec);

// What the read path does with a frame it examined.
enum class Verdict { Keep, Discard, OwnDropped };

// Selection of a frame (at least 14 bytes) for an interface: promiscuous, group destination,
// or addressed to the interface's MAC; otherwise dropped, as its own transmission when its
// source is the interface's MAC or hardware broadcast address.
Verdict Select(const std::uint8_t* frame, bool promiscuous, const std::uint8_t* ifaceMAC, const std::uint8_t* hwBroadcast);

// True when the frame is an IPv4-over-Ethernet ARP/RARP packet of the given operation,
// addressed to `ifaceMAC` or a group address, from a sender hardware address that is a single
// station's (the checks every answered request passes).
bool IsARPRequest(const std::uint8_t* frame, std::uint32_t length, std::uint16_t operation, const std::uint8_t* ifaceMAC);

// The operation of an IPv4-over-Ethernet ARP packet of at least 42 bytes; 0 for any other frame.
inline std::uint16_t ARPOperation(const std::uint8_t* frame, std::uint32_t length) {
    if (length < kARPFrameSize || Get16(frame + 14) != 1 || Get16(frame + 16) != kEtherTypeIPv4 || frame[18] != 6 || frame[19] != 4) {
        return 0;
    }
    return Get16(frame + 20);
}

// Sender protocol address of an ARP frame (network order), as 4 raw bytes.
inline std::uint32_t ARPSenderIP(const std::uint8_t* frame) {
    std::uint32_t ip;
    std::memcpy(&ip, frame + 28, 4);
    return ip;
}

// Target protocol address of an ARP frame (network order), as 4 raw bytes.
inline std::uint32_t ARPTargetIP(const std::uint8_t* frame) {
    std::uint32_t ip;
    std::memcpy(&ip, frame + 38, 4);
    return ip;
}

// Turns a qualified ARP request into its reply in place: `ifaceMAC` is at the address asked.
void MakeARPReply(std::uint8_t* frame, const std::uint8_t* ifaceMAC);
// Turns a qualified RARP request for `ifaceMAC` into its reply in place, giving `ipAddr`.
void MakeRARPReply(std::uint8_t* frame, const std::uint8_t* ifaceMAC, std::uint32_t ipAddr);
// A 42-byte broadcast ARP request from `ifaceMAC` at `senderIP` asking for `targetIP`; with the
// two addresses equal, an announcement that the address is at `ifaceMAC`.
void MakeARPRequest(std::uint8_t* frame, const std::uint8_t* ifaceMAC, std::uint32_t senderIP, std::uint32_t targetIP);
inline void MakeGratuitousARP(std::uint8_t* frame, const std::uint8_t* ifaceMAC, std::uint32_t ipAddr) {
    MakeARPRequest(frame, ifaceMAC, ipAddr, ipAddr);
}

// Destination address of a caller's TUN packet (bytes 16-19, network order); false for a packet
// too short to hold one, which has no known destination.
bool TunDestination(const std::uint8_t* packet, std::uint32_t length, std::uint32_t& ipAddr);
// Writes the 14-byte Ethernet II header of a TUN frame: destination, source, IPv4.
void PutTunHeader(std::uint8_t* frame, const std::uint8_t* destMAC, const std::uint8_t* srcMAC);

// ---- Frames the host sends with segmentation offload ----
// The host hands a capture its TCP frames before the link cuts them (up to 64 KB on a link with
// segmentation offload, a veth included): a guest must get them as segments the link would
// carry.

// True when the frame is a whole TCP/IPv4 frame whose headers can be cut from (Ethernet II, an
// IPv4 header and a TCP header inside the captured length, not a fragment).
bool IsTCPv4(const std::uint8_t* frame, std::uint32_t length);
// Writes the IPv4 packet of the segment of such a frame whose payload starts at `offset` (the
// payload byte it reached so far; advanced past the segment) at `out`, at most `maxPacket`
// bytes long, with its own lengths, sequence number, flags and finished checksums. Its length,
// or 0 when nothing is left or `maxPacket` leaves no room for payload.
std::uint32_t NextTCPSegment(const std::uint8_t* frame, std::uint32_t length, std::uint32_t& offset, std::uint32_t maxPacket,
                             std::uint8_t* out);

// ---- Shared MAC mode ----
// A guest that shares the host adapter's MAC is told apart from the host by IPv4 address only:
// the LAN sends both to the one MAC. TAP frames are translated for IPv4 and ARP; other
// protocols (IPv6 among them) carry no address the library knows to be the guest's, and are
// not translated.

// The guest address a frame is for: the IPv4 destination, or an ARP packet's target address;
// false for any other frame.
bool SharedDestination(const std::uint8_t* frame, std::uint32_t length, std::uint32_t& ipAddr);
// The address a frame comes from: the IPv4 source, or an ARP packet's sender address; false for
// any other frame.
bool SharedSource(const std::uint8_t* frame, std::uint32_t length, std::uint32_t& ipAddr);
// A received TAP frame for the host's MAC made the guest's: its destination, and an ARP
// packet's target hardware address if it is the host's.
void ToGuestMAC(std::uint8_t* frame, std::uint32_t length, const std::uint8_t* hostMAC, const std::uint8_t* guestMAC);
// A TAP guest's IPv4 or ARP frame (of at least 14 bytes) made the host's: its source, and an ARP
// packet's sender hardware address if it is the frame's source, become `hostMAC`. Frames of
// other protocols are left as they are.
void ToHostMAC(std::uint8_t* frame, std::uint32_t length, const std::uint8_t* hostMAC);
// A DHCP client's request (UDP 68 to 67, BOOTREQUEST) gets the BOOTP broadcast flag, with its
// UDP checksum updated; true when the frame was changed.
bool SetDHCPBroadcastFlag(std::uint8_t* frame, std::uint32_t length);

// Appends one batch record (header and frame) at `batch`; the bytes used.
std::uint32_t PutBatchRecord(std::uint8_t* batch, const std::uint8_t* frame, std::uint32_t length);

}  // namespace frames
