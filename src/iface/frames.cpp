#include "iface/frames.h"

#include "host/checksum.h"

namespace frames {

namespace {

constexpr std::uint32_t kCapLenOffset = 8;
constexpr std::uint32_t kHdrLenOffset = 16;
constexpr std::uint32_t kMinRecordHeader = kHdrLenOffset + 2;
constexpr std::uint32_t kFlagsOffset = kMinRecordHeader;

std::uint32_t Load32(const std::uint8_t* p) {
    std::uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

std::uint16_t Load16(const std::uint8_t* p) {
    std::uint16_t v;
    std::memcpy(&v, p, 2);
    return v;
}

}  // namespace

bool NextRecord(std::uint8_t*& pos, std::uint8_t* end, Record& rec) {
    const auto room = static_cast<std::size_t>(end - pos);
    if (pos >= end || room < kMinRecordHeader) {
        pos = end;
        return false;
    }
    const std::uint32_t capLen = Load32(pos + kCapLenOffset);
    const std::uint32_t hdrLen = Load16(pos + kHdrLenOffset);
    // Lengths are compared in 64 bits: a hostile captured length must not wrap the sum.
    if (hdrLen < kMinRecordHeader || std::uint64_t{hdrLen} + capLen > room) {
        pos = end;
        return false;
    }
    rec.frame = pos + hdrLen;
    rec.length = capLen;
    rec.flags = hdrLen >= kFlagsOffset + 2 ? Load16(pos + kFlagsOffset) : 0;
    const std::uint64_t next = (std::uint64_t{hdrLen} + capLen + 3) & ~std::uint64_t{3};
    pos = next >= room ? end : pos + next;
    return true;
}

Verdict Select(const std::uint8_t* frame, bool promiscuous, const std::uint8_t* ifaceMAC, const std::uint8_t* hwBroadcast) {
    if (promiscuous || IsGroupMAC(frame) || SameMAC(frame, ifaceMAC)) return Verdict::Keep;
    const std::uint8_t* source = frame + 6;
    return SameMAC(source, ifaceMAC) || SameMAC(source, hwBroadcast) ? Verdict::OwnDropped : Verdict::Discard;
}

bool IsARPRequest(const std::uint8_t* frame, std::uint32_t length, std::uint16_t operation, const std::uint8_t* ifaceMAC) {
    if (length < kARPFrameSize) return false;
    if (Get16(frame + 14) != 1 || Get16(frame + 16) != kEtherTypeIPv4 || frame[18] != 6 || frame[19] != 4) return false;
    if (Get16(frame + 20) != operation) return false;
    // The reply goes to the sender's hardware address: one that names a group or nobody is not
    // answered, as a kernel does not answer it.
    const std::uint8_t* sender = frame + 22;
    if (IsGroupMAC(sender) || IsZeroMAC(sender)) return false;
    return IsGroupMAC(frame) || SameMAC(frame, ifaceMAC);
}

void MakeARPReply(std::uint8_t* frame, const std::uint8_t* ifaceMAC) {
    std::uint8_t askerMAC[6];
    std::uint8_t askerIP[4];
    std::uint8_t askedIP[4];
    std::memcpy(askerMAC, frame + 22, 6);
    std::memcpy(askerIP, frame + 28, 4);
    std::memcpy(askedIP, frame + 38, 4);
    Put16(frame + 20, 2);
    std::memcpy(frame, askerMAC, 6);
    std::memcpy(frame + 6, ifaceMAC, 6);
    std::memcpy(frame + 32, askerMAC, 6);
    std::memcpy(frame + 38, askerIP, 4);
    std::memcpy(frame + 22, ifaceMAC, 6);
    std::memcpy(frame + 28, askedIP, 4);
}

void MakeRARPReply(std::uint8_t* frame, const std::uint8_t* ifaceMAC, std::uint32_t ipAddr) {
    std::uint8_t askerMAC[6];
    std::memcpy(askerMAC, frame + 22, 6);
    Put16(frame + 20, 4);
    std::memcpy(frame, askerMAC, 6);
    std::memcpy(frame + 6, ifaceMAC, 6);
    std::memcpy(frame + 22, ifaceMAC, 6);
    std::memcpy(frame + 28, &ipAddr, 4);
    std::memcpy(frame + 38, &ipAddr, 4);
}

void MakeARPRequest(std::uint8_t* frame, const std::uint8_t* ifaceMAC, std::uint32_t senderIP, std::uint32_t targetIP) {
    std::memset(frame, 0xFF, 6);
    std::memcpy(frame + 6, ifaceMAC, 6);
    Put16(frame + 12, kEtherTypeARP);
    Put16(frame + 14, 1);
    Put16(frame + 16, kEtherTypeIPv4);
    frame[18] = 6;
    frame[19] = 4;
    Put16(frame + 20, 1);
    std::memcpy(frame + 22, ifaceMAC, 6);
    std::memcpy(frame + 28, &senderIP, 4);
    std::memset(frame + 32, 0, 6);
    std::memcpy(frame + 38, &targetIP, 4);
}

bool TunDestination(const std::uint8_t* packet, std::uint32_t length, std::uint32_t& ipAddr) {
    if (length < 20) return false;
    std::memcpy(&ipAddr, packet + 16, 4);
    return true;
}

void PutTunHeader(std::uint8_t* frame, const std::uint8_t* destMAC, const std::uint8_t* srcMAC) {
    std::memcpy(frame, destMAC, 6);
    std::memcpy(frame + 6, srcMAC, 6);
    Put16(frame + 12, kEtherTypeIPv4);
}

std::uint32_t PutBatchRecord(std::uint8_t* batch, const std::uint8_t* frame, std::uint32_t length) {
    std::memset(batch, 0, kBatchHeaderSize);
    std::memcpy(batch + 8, &length, 4);
    std::memcpy(batch + kBatchHeaderSize, frame, length);
    return kBatchHeaderSize + length;
}

namespace {

constexpr std::uint8_t kProtoTCP = 6;
constexpr std::uint8_t kTCPFin = 0x01, kTCPPsh = 0x08, kTCPCwr = 0x80;

// Header lengths of a TCP/IPv4 frame, and the end of its IPv4 packet within the frame; false
// when they do not fit the captured bytes.
bool TCPv4Headers(const std::uint8_t* frame, std::uint32_t length, std::uint32_t& ipLen, std::uint32_t& tcpLen,
                  std::uint32_t& packetEnd) {
    if (length < kEthHeaderSize + 40 || Get16(frame + 12) != kEtherTypeIPv4) return false;
    const std::uint8_t* ip = frame + kEthHeaderSize;
    ipLen = (ip[0] & 0x0F) * 4u;
    if ((ip[0] >> 4) != 4 || ipLen < 20 || ip[9] != kProtoTCP || (Get16(ip + 6) & 0x3FFF) != 0) return false;
    if (kEthHeaderSize + ipLen + 20 > length) return false;
    tcpLen = (ip[ipLen + 12] >> 4) * 4u;
    // A frame cut by the capture, or one whose total length lies, is not cut further.
    packetEnd = kEthHeaderSize + Get16(ip + 2);
    return tcpLen >= 20 && packetEnd <= length && kEthHeaderSize + ipLen + tcpLen <= packetEnd;
}

}  // namespace

bool IsTCPv4(const std::uint8_t* frame, std::uint32_t length) {
    std::uint32_t ipLen, tcpLen, end;
    return TCPv4Headers(frame, length, ipLen, tcpLen, end);
}

std::uint32_t NextTCPSegment(const std::uint8_t* frame, std::uint32_t length, std::uint32_t& offset, std::uint32_t maxPacket,
                             std::uint8_t* out) {
    std::uint32_t ipLen, tcpLen, end;
    if (!TCPv4Headers(frame, length, ipLen, tcpLen, end)) return 0;
    const std::uint32_t headers = ipLen + tcpLen;
    const std::uint32_t payload = end - kEthHeaderSize - headers;
    if (maxPacket <= headers || offset >= payload) return 0;
    const std::uint32_t mss = maxPacket - headers;
    const std::uint32_t chunk = payload - offset < mss ? payload - offset : mss;
    const std::uint8_t* ip = frame + kEthHeaderSize;
    std::memcpy(out, ip, headers);
    std::memcpy(out + headers, ip + headers + offset, chunk);
    Put16(out + 2, static_cast<std::uint16_t>(headers + chunk));
    Put16(out + 4, static_cast<std::uint16_t>(Get16(ip + 4) + offset / mss));
    Put16(out + 10, 0);
    Put16(out + 10, CalcInetChecksum(out, ipLen));
    std::uint8_t* tcp = out + ipLen;
    std::uint32_t seq;
    std::memcpy(&seq, tcp + 4, 4);
    seq = __builtin_bswap32(__builtin_bswap32(seq) + offset);
    std::memcpy(tcp + 4, &seq, 4);
    if (offset != 0) tcp[13] = static_cast<std::uint8_t>(tcp[13] & ~kTCPCwr);
    if (offset + chunk < payload) tcp[13] = static_cast<std::uint8_t>(tcp[13] & ~(kTCPFin | kTCPPsh));
    Put16(tcp + 16, CalcPseudoHeaderSum(out));
    Put16(tcp + 16, CalcInetChecksum(tcp, tcpLen + chunk));
    offset += chunk;
    return headers + chunk;
}

// ---- Shared MAC mode ---------------------------------------------------------------------------

namespace {

constexpr std::uint8_t kProtoUDP = 17;
constexpr std::uint16_t kBootpClientPort = 68, kBootpServerPort = 67;
constexpr std::uint16_t kBootpBroadcastFlag = 0x8000;

// The IPv4 header of an Ethernet II frame that holds a whole one, or null.
const std::uint8_t* IPv4Header(const std::uint8_t* frame, std::uint32_t length) {
    if (length < kEthHeaderSize + 20 || Get16(frame + 12) != kEtherTypeIPv4) return nullptr;
    const std::uint8_t* ip = frame + kEthHeaderSize;
    if ((ip[0] >> 4) != 4 || (ip[0] & 0x0F) < 5 || kEthHeaderSize + (ip[0] & 0x0Fu) * 4 > length) return nullptr;
    return ip;
}

}  // namespace

bool SharedDestination(const std::uint8_t* frame, std::uint32_t length, std::uint32_t& ipAddr) {
    if (const std::uint8_t* ip = IPv4Header(frame, length)) {
        std::memcpy(&ipAddr, ip + 16, 4);
        return true;
    }
    if (ARPOperation(frame, length) == 0) return false;
    ipAddr = ARPTargetIP(frame);
    return true;
}

bool SharedSource(const std::uint8_t* frame, std::uint32_t length, std::uint32_t& ipAddr) {
    if (const std::uint8_t* ip = IPv4Header(frame, length)) {
        std::memcpy(&ipAddr, ip + 12, 4);
        return true;
    }
    if (ARPOperation(frame, length) == 0) return false;
    ipAddr = ARPSenderIP(frame);
    return true;
}

void ToGuestMAC(std::uint8_t* frame, std::uint32_t length, const std::uint8_t* hostMAC, const std::uint8_t* guestMAC) {
    std::memcpy(frame, guestMAC, 6);
    if (ARPOperation(frame, length) != 0 && SameMAC(frame + 32, hostMAC)) std::memcpy(frame + 32, guestMAC, 6);
}

// Other protocols keep the guest's MAC: with the host's, a neighbour would take the host for the
// guest's addresses in a protocol whose answers the library cannot hand back to the guest.
void ToHostMAC(std::uint8_t* frame, std::uint32_t length, const std::uint8_t* hostMAC) {
    const std::uint16_t type = Get16(frame + 12);
    if (type != kEtherTypeIPv4 && type != kEtherTypeARP) return;
    if (ARPOperation(frame, length) != 0 && SameMAC(frame + 22, frame + 6)) std::memcpy(frame + 22, hostMAC, 6);
    std::memcpy(frame + 6, hostMAC, 6);
}

// The server would otherwise answer the client's own MAC, which a shared link never delivers;
// the broadcast answer reaches every guest and the host, and the client takes the one with its
// transaction number. The client hardware address stays the guest's: the server leases by it, so
// each guest keeps a lease of its own although all share one MAC on the wire.
bool SetDHCPBroadcastFlag(std::uint8_t* frame, std::uint32_t length) {
    const std::uint8_t* ip = IPv4Header(frame, length);
    if (!ip || ip[9] != kProtoUDP || (Get16(ip + 6) & 0x3FFF) != 0) return false;
    const std::uint32_t udpAt = kEthHeaderSize + (ip[0] & 0x0Fu) * 4;
    // UDP header, then the BOOTP fixed part up to its flags (op, htype, hlen, hops, xid, secs).
    if (udpAt + 8 + 12 > length) return false;
    std::uint8_t* udp = frame + udpAt;
    if (Get16(udp) != kBootpClientPort || Get16(udp + 2) != kBootpServerPort || udp[8] != 1) return false;
    std::uint8_t* flags = udp + 8 + 10;
    const std::uint16_t old = Get16(flags);
    if (old & kBootpBroadcastFlag) return false;
    const auto now = static_cast<std::uint16_t>(old | kBootpBroadcastFlag);
    Put16(flags, now);
    // 0: the sender gave no checksum, and none is wanted.
    if (const std::uint16_t sum = Get16(udp + 6)) {
        std::uint16_t updated = UpdateChecksum(sum, old, now);
        Put16(udp + 6, updated == 0 ? 0xFFFF : updated);
    }
    return true;
}

}  // namespace frames
