// The host and its own guest. What the packet driver sends reaches the wire only (Linux), so
// without help the host never hears its guest: the guest's IPv4 packets for the host's address
// are handed to the host's stack through a socket of the platform's, a TAP guest's ARP request
// for the host is answered here, and the host is told each guest address's MAC with a
// neighbour entry of the library's. The host's replies then leave on the adapter, where the
// driver sees them like any frame the host sends, and reach the guest by its MAC.
#include <algorithm>
#include <cstring>

#include "adapter/vf_adapter.h"
#include "host/address_text.h"
#include "iface/frames.h"
#include "iface/vifnet.h"
#include "platform/iphelper.h"
#include "trace/trace.h"
#include "wrenlib.h"

namespace {

constexpr std::uint32_t kNoIfIndex = 0xFFFFFFFFu;

// The IPv4 destination of a packet with a whole header, or 0.
std::uint32_t IPv4Destination(const std::uint8_t* ip, std::uint32_t length) {
    if (length < 20 || (ip[0] >> 4) != 4 || (ip[0] & 0x0F) < 5) return 0;
    std::uint32_t dest;
    std::memcpy(&dest, ip + 16, 4);
    return dest;
}

}  // namespace

// Failures here cost the host its way to the guest, not the interface: they are written and
// the interface works on as before.
void CVifnet::OpenHostLink() {
    plat::CSingleLock write(m_csWrite);
    plat::CSingleLock lock(m_csIFace);
    if (!IsUp() || m_hHostSocket != plat::kInvalidHostSocket || !m_pAdapter) return;
    m_HostLinkIPAddr = m_HostPhysIPAddr;
    std::memcpy(m_HostLinkMACAddr, m_HostPhysMACAddr, 6);
    // An adapter that is none of the host's interfaces (the simulated driver's) has no host
    // stack behind it to reach.
    const ADAPTER_INFO_LIST_ENTRY& info = m_pAdapter->GetAdapterInfo();
    if (info.nIfIndex == 0 || info.nIfIndex == kNoIfIndex || m_HostPhysIPAddr == 0 ||
        !plat::IsIfPhysAddr(info.nIfIndex, info.MACAddr)) {
        return;
    }
    m_nHostLinkIfIndex = info.nIfIndex;
    DWORD rc = plat::OpenHostDeliverySocket(&m_hHostSocket);
    if (rc != 0) {
        if (rc != VF_ERROR_NOT_SUPPORTED) {
            DebugTrace(L"** CVifnet(%s)::OpenHostLink: the host cannot reach this guest: no delivery socket; rc=%d: %s\n",
                       m_strIFaceName.c_str(), static_cast<int>(rc), FormatLastError(rc).c_str());
        }
        return;
    }
    for (std::uint32_t ip : m_TarnVirtIPAddrList) {
        plat::IpNetRow row{m_nHostLinkIfIndex, 6, {}, ip, plat::kIpNetTypeStatic};
        std::memcpy(row.bPhysAddr, m_TarnVirtMACAddr, 6);
        rc = plat::SetOwnIpNetEntry(&row);
        if (rc == 0) {
            m_HostLinkEntries.push_back(ip);  // reserved: at most kMaxTableEntries
        } else {
            DebugTrace(L"** CVifnet(%s)::OpenHostLink: no host neighbour entry for %s; rc=%d: %s\n", m_strIFaceName.c_str(),
                       IPText(ip).c_str(), static_cast<int>(rc), FormatLastError(rc).c_str());
        }
    }
}

void CVifnet::CloseHostLink() {
    plat::CSingleLock write(m_csWrite);
    // Up again already (another thread): what was made stays, as the new up would make it.
    if (IsUp() && !m_bClosing.load(std::memory_order_acquire)) return;
    ReleaseHostLink();
}

void CVifnet::ReleaseHostLink() {
    for (std::uint32_t ip : m_HostLinkEntries) {
        const plat::IpNetRow row{m_nHostLinkIfIndex, 0, {}, ip, 0};
        const DWORD rc = plat::DeleteOwnIpNetEntry(&row);
        // Without the privilege (given up since up) the entry stays until the adapter's next
        // open in any process removes it.
        if (rc != 0 && rc != VF_ERROR_NOT_FOUND) {
            DebugTrace(L"** CVifnet(%s)::CloseHostLink: host neighbour entry for %s left; rc=%d: %s\n", GetIFaceName().c_str(),
                       IPText(ip).c_str(), static_cast<int>(rc), FormatLastError(rc).c_str());
        }
    }
    m_HostLinkEntries.clear();
    plat::CloseHostDeliverySocket(m_hHostSocket);
    m_hHostSocket = plat::kInvalidHostSocket;
}

int CVifnet::WriteToHost(const std::uint8_t* bytes, std::uint32_t length, bool tun) {
    const std::uint8_t* ip = bytes;
    std::uint32_t ipLength = length;
    if (!tun) {
        if (length < frames::kEthHeaderSize) return 0;
        const std::uint16_t type = frames::Get16(bytes + 12);
        if (type == frames::kEtherTypeARP) {
            // The host's stack never sees the request, so the library answers for it, with the
            // MAC the host's frames come from. The request goes on to the wire all the same.
            std::uint8_t reply[kLocalFrameSize] = {};
            // A write-only caller would never take the answer, nor its readiness message.
            const std::uint32_t mode = m_nOpenFlags & ~static_cast<std::uint32_t>(_O_VF32NOTIFY);
            if (mode == VIFNET32_O_WRONLY || length < frames::kARPFrameSize || !frames::IsARPRequest(bytes, length, 1, m_HostLinkMACAddr) ||
                frames::ARPTargetIP(bytes) != m_HostLinkIPAddr || m_HostLinkIPAddr == 0) {
                return 0;
            }
            std::memcpy(reply, bytes, frames::kARPFrameSize);
            frames::MakeARPReply(reply, m_HostLinkMACAddr);
            plat::CSingleLock lock(m_csIFace);
            QueueLocalFrame(reply, kLocalFrameSize);
            return 0;
        }
        if (type != frames::kEtherTypeIPv4 || !frames::SameMAC(bytes, m_HostLinkMACAddr)) return 0;
        ip += frames::kEthHeaderSize;
        ipLength -= frames::kEthHeaderSize;
    }
    if (m_hHostSocket == plat::kInvalidHostSocket) return 0;
    const std::uint32_t dest = IPv4Destination(ip, ipLength);
    if (dest == 0 || dest != m_HostLinkIPAddr) return 0;
    // The host takes the packet as its own stack's, without the checks of a packet that comes
    // in: a source that only the host itself may have (its loopback, its own address) or that
    // no single station has is refused here, or a guest could pose as the host to itself.
    std::uint32_t source;
    std::memcpy(&source, ip + 12, 4);
    if (!frames::IsStationIP(source) || source == m_HostLinkIPAddr) return 0;
    // The host takes the length given for the packet's own: an Ethernet frame's padding must
    // not become payload.
    const std::uint32_t total = frames::Get16(ip + 2);
    if (total < 20 || total > ipLength) return 0;
    ipLength = total;
    Count(m_Stats.n64WriteCalls);
    Count(m_Stats.n64WriteAttempts);
    const DWORD rc = plat::DeliverToHost(m_hHostSocket, ip, ipLength);
    if (rc != 0) {
        return Fail(VF_EIO, rc, L"** CVifnet(%s)::Write: delivery to the host failed; rc=%d: %s\n", GetIFaceName().c_str(),
                    static_cast<int>(rc), FormatLastError(rc).c_str());
    }
    Count(m_Stats.n64PacketsWritten);
    Count(m_Stats.n64BytesWritten, length);
    return static_cast<int>(length);
}

// A full ring drops the new frame, as a full device queue would: a guest asks again. The
// readiness message goes out under m_csIFace too, so a Read that takes the frame (under the same
// lock) always finds its message counted.
void CVifnet::QueueLocalFrame(const std::uint8_t* frame, std::uint32_t length) {
    const unsigned count = m_nLocalFrames.load(std::memory_order_relaxed);
    if (count == kLocalFrameCount) return;
    const unsigned slot = (m_nLocalHead + count) % kLocalFrameCount;
    length = std::min(length, kLocalFrameSize);
    std::memcpy(m_LocalFrames[slot], frame, length);
    m_LocalFrameLength[slot] = length;
    m_nLocalFrames.store(count + 1, std::memory_order_release);
    // A caller waiting on its descriptor comes to read.
    if (!(m_nOpenFlags & _O_VF32NOTIFY) || m_hSockPair[WRITE_END] == plat::kInvalidSocket) return;
    const std::uint64_t note = kLocalNote;
    if (plat::SocketSend(m_hSockPair[WRITE_END], &note, sizeof note) == static_cast<int>(sizeof note)) {
        m_nLocalNotesSent.fetch_add(1, std::memory_order_release);
    }
}

std::uint32_t CVifnet::TakeLocalFrame(std::uint8_t* frame) {
    const unsigned count = m_nLocalFrames.load(std::memory_order_relaxed);
    if (count == 0) return 0;
    const std::uint32_t length = m_LocalFrameLength[m_nLocalHead];
    std::memcpy(frame, m_LocalFrames[m_nLocalHead], length);
    m_nLocalHead = (m_nLocalHead + 1) % kLocalFrameCount;
    m_nLocalFrames.store(count - 1, std::memory_order_relaxed);
    return length;
}
