// The sending half of an interface: one caller packet (TUN) or frame (TAP) onto the wire, the
// TUN framing and its choice of destination MAC, and the multi-write batch that turns many
// frames into one driver call.
#include <cstring>
#include <iterator>
#include <new>

#include "adapter/vf_adapter.h"
#include "host/adapter_list.h"
#include "host/neighbours.h"
#include "iface/frames.h"
#include "iface/vifnet.h"
#include "trace/trace.h"
#include "wrenlib.h"

namespace {

// The lower figure of the length message; no lower bound is enforced.
constexpr int kMinFrameText = 60;
// A TAP frame may come with its 4-byte frame check sequence, which is not sent.
constexpr std::uint32_t kTrailerSize = 4;
// The TAP range in the length message runs up to a full frame with its trailer.
constexpr std::uint32_t kTapRangeExtra = frames::kEthHeaderSize + kTrailerSize;

const std::uint8_t kBroadcastMAC[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

}  // namespace

// ---- Subnet tests ----------------------------------------------------------------------------------

bool CVifnet::IsOnTarnSubnet(std::uint32_t ipAddr) const {
    for (std::uint32_t tarn : m_TarnVirtIPAddrList) {
        if ((ipAddr & m_IFaceNetMask) == (tarn & m_IFaceNetMask)) return true;
    }
    return false;
}

bool CVifnet::IsSubnetBroadcast(std::uint32_t ipAddr) const { return (ipAddr | m_IFaceNetMask) == 0xFFFFFFFFu; }

// ---- One packet ------------------------------------------------------------------------------------

int CVifnet::Write(const void* packet, std::uint32_t length) {
    if (!m_pAdapter || !packet || length == 0) {
        return FailOp(VF_EINVAL, VF_ERROR_INVALID_PARAMETER, L"Write", L"Error: Invalid parameters");
    }
    const auto* bytes = static_cast<const std::uint8_t*>(packet);

    // Everything the frame needs of the settings, in one hold: a configuration request may run
    // on another thread, and the MACs, the mask and the address list are its to change.
    std::uint32_t nVifnetFlags, nIFaceFlags, nOpenFlags, nMTU, nWriteBufferSize;
    std::uint8_t srcMAC[6], hostMAC[6];
    bool shared;
    bool hasDest = false, onSubnet = false, subnetBroadcast = false;
    std::uint32_t dest = 0;
    {
        plat::CSingleLock lock(m_csIFace);
        nVifnetFlags = m_nVifnetFlags;
        nIFaceFlags = GetIFaceFlags();
        nOpenFlags = m_nOpenFlags;
        nMTU = m_nMTU;
        nWriteBufferSize = m_nWriteBufferSize;
        std::memcpy(srcMAC, WireMAC(), 6);
        std::memcpy(hostMAC, m_HostPhysMACAddr, 6);
        shared = SharedMAC();
        // The destination is read only from a packet that will be sent: a length the caller got
        // wrong must not make the library read its memory.
        if ((nVifnetFlags & VIFNET32_IFF_TUN) && std::uint64_t{length} + frames::kEthHeaderSize <= nWriteBufferSize &&
            frames::TunDestination(bytes, length, dest)) {
            hasDest = true;
            onSubnet = IsOnTarnSubnet(dest);
            subnetBroadcast = onSubnet && IsSubnetBroadcast(dest);
        }
    }
    if (!(nIFaceFlags & VIFNET32_IFF_UP)) {
        return FailOp(VF_EACCES, VF_ERROR_ACCESS_DENIED, L"Write", L"Error: Interface not UP");
    }
    const std::uint32_t mode = nOpenFlags & ~static_cast<std::uint32_t>(_O_VF32NOTIFY);
    if (mode != VIFNET32_O_WRONLY && mode != VIFNET32_O_RDWR) {
        return FailOp(VF_EROFS, VF_ERROR_WRITE_PROTECT, L"Write", L"Error: Interface is read-only");
    }

    // In 64 bits: a negative length from the caller arrives as a huge one and must fail here,
    // not wrap round to a small frame.
    const bool tun = (nVifnetFlags & VIFNET32_IFF_TUN) != 0;
    std::uint64_t frameLength = tun ? std::uint64_t{length} + frames::kEthHeaderSize : length;
    if (!tun && frameLength == std::uint64_t{nWriteBufferSize} + kTrailerSize) frameLength -= kTrailerSize;
    if (frameLength > nWriteBufferSize) {
        return FailOp(VF_EINVAL, VF_ERROR_INVALID_PARAMETER, L"Write", L"Error: Write length %d outside %d-%d range",
                      static_cast<int>(length), kMinFrameText, static_cast<int>(tun ? nMTU : nMTU + kTapRangeExtra));
    }
    const auto F = static_cast<std::uint32_t>(frameLength);
    // Frames the driver would refuse are refused here, before they can sit in a batch and fail
    // it: one without a whole Ethernet header, and one longer than the adapter carries now
    // (the host may have lowered its MTU below the interface's).
    if (F < frames::kEthHeaderSize) {
        return FailOp(VF_EINVAL, VF_ERROR_INVALID_PARAMETER, L"Write",
                      L"Error: Frame of %d bytes is shorter than an Ethernet header", static_cast<int>(F));
    }
    const std::uint32_t nMaxFrame = m_pAdapter->GetMaxFrameSize();
    if (nMaxFrame > frames::kEthHeaderSize && F > nMaxFrame) {
        // The host may have raised the MTU again, which only a new reading of its adapters
        // shows (taken at most once a second).
        RefreshWPAdaptersList();
        return FailOp(VF_EINVAL, VF_ERROR_INVALID_PARAMETER, L"Write",
                      L"Error: Frame of %d bytes longer than the adapter's frame size of %d", static_cast<int>(F),
                      static_cast<int>(nMaxFrame));
    }

    plat::CSingleLock write(m_csWrite);
    if (shared && !tun) LearnSharedGuest(bytes, F);
    // What is for the host itself goes to its stack, which never sees the wire's frames.
    if (const int toHost = WriteToHost(bytes, length, tun)) return toHost;
    // The buffer is only replaced while the interface is down; a Write that passed its test
    // just before must not fill a smaller one. WritePacket refuses the frame then.
    if (m_pWriteBuffer && F <= m_nWriteBufferSize) {
        if (tun) {
            std::uint8_t destMAC[6] = {};
            const std::uint32_t gateway = m_pAdapter->GetAdapterInfo().GatewayIPAddr;
            // The next hop: the destination on the guest's subnet, else the gateway (which is
            // not looked up for a packet to the gateway itself).
            std::uint32_t nextHop = 0;
            if (onSubnet) {
                nextHop = dest;
            } else if (gateway != 0 && (!hasDest || gateway != dest)) {
                nextHop = gateway;
            }
            auto verdict = CNeighbourTable::Verdict::Send;
            if (subnetBroadcast) {
                std::memcpy(destMAC, kBroadcastMAC, 6);
            } else if (nextHop == 0) {
                std::memcpy(destMAC, m_HostPhysMACAddr, 6);
            } else if (!LookupDestMAC(nextHop, destMAC)) {
                // Nothing the host knows: the link is asked, and the frame waits for the answer
                // without the caller waiting. An address the link leaves unanswered takes the
                // last resort: the gateway, else the host adapter.
                verdict = ResolveOnLink(nextHop, destMAC);
                if (verdict == CNeighbourTable::Verdict::Fallback) {
                    if (!onSubnet || gateway == 0 || gateway == dest || !LookupDestMAC(gateway, destMAC)) {
                        std::memcpy(destMAC, m_HostPhysMACAddr, 6);
                    }
                    verdict = CNeighbourTable::Verdict::Send;
                }
            }
            frames::PutTunHeader(m_pWriteBuffer, destMAC, srcMAC);
            std::memcpy(m_pWriteBuffer + frames::kEthHeaderSize, bytes, length);
            if (verdict == CNeighbourTable::Verdict::Queue) {
                // Without room (its one allocation failed) the table counts the frame dropped.
                m_LinkNeighbours.Reserve(m_nWriteBufferSize);
                m_LinkNeighbours.Enqueue(nextHop, m_pWriteBuffer, F);
                // Accepted, as a kernel accepts a packet for a neighbour it is still asking for.
                return static_cast<int>(length);
            }
            VF_ASSERT(!frames::IsZeroMAC(destMAC));
            VF_ASSERT(!frames::IsZeroMAC(srcMAC));
            VF_ASSERT(!frames::IsGroupMAC(srcMAC));
        } else {
            std::memcpy(m_pWriteBuffer, bytes, F);
            if (shared) {
                frames::ToHostMAC(m_pWriteBuffer, F, hostMAC);
                frames::SetDHCPBroadcastFlag(m_pWriteBuffer, F);
            }
        }
        // A frame too short to hold a MAC field has no such field to count.
        if (F >= 6 && frames::IsZeroMAC(m_pWriteBuffer)) Count(m_Stats.n64ZeroDestMACWritten);
        if (F >= 12 && frames::IsZeroMAC(m_pWriteBuffer + 6)) Count(m_Stats.n64ZeroSrcMACWritten);
    }

    // A failed WritePacket has already handed its pair to this thread.
    const int n = WritePacket(F);
    if (n <= 0) return n;
    TraceFrame(tun ? kTraceTunWritten : kTraceTapWritten, m_pWriteBuffer, static_cast<int>(F));
    if (n != static_cast<int>(F)) {
        DebugTrace(L"** CVifnet(%s)::Write: nBytesWritten (%d) != dwWriteBytes (%d)\n", GetIFaceName().c_str(), n,
                   static_cast<int>(F));
    }
    // The header added (TUN) or the trailer dropped (TAP) is the caller's length all the same.
    return static_cast<int>(static_cast<std::int64_t>(n) + length - F);
}

void CVifnet::LearnSharedGuest(const std::uint8_t* frame, std::uint32_t length) {
    std::uint32_t ip;
    const std::uint8_t* mac = frame + 6;
    if (!frames::SharedSource(frame, length, ip) || frames::IsGroupMAC(mac) || frames::IsZeroMAC(mac)) return;
    // Never an address that is not a single station's, nor the host's own: a guest claiming it
    // would be handed the host's traffic.
    if (!frames::IsStationIP(ip) || ip == m_HostLinkIPAddr || ip == m_HostPhysIPAddr) return;
    std::uint64_t packed = 0;
    for (int i = 0; i < 6; ++i) packed |= std::uint64_t{mac[i]} << (8 * i);
    SharedGuest* slot = nullptr;
    for (SharedGuest& guest : m_SharedGuests) {
        const std::uint32_t known = guest.ipAddr.load(std::memory_order_relaxed);
        if (known == ip) {
            if (guest.mac.load(std::memory_order_relaxed) != packed) guest.mac.store(packed);
            return;
        }
        if (known == 0 && !slot) slot = &guest;
    }
    if (!slot) slot = &m_SharedGuests[m_nNextSharedGuest++ % kSharedGuestCount];
    slot->ipAddr.store(0);
    slot->mac.store(packed);
    slot->ipAddr.store(ip);
}

bool CVifnet::LookupDestMAC(std::uint32_t ipAddr, std::uint8_t* mac) {
    const DWORD now = plat::GetTickCount();
    DestCacheEntry* slot = nullptr;
    for (DestCacheEntry& e : m_DestCache) {
        if (e.bUsed && e.ipAddr == ipAddr) {
            if (now - e.dwTick < (e.bFound ? kDestFoundAge : kDestMissAge)) {
                if (e.bFound) std::memcpy(mac, e.mac, 6);
                return e.bFound;
            }
            slot = &e;
            break;
        }
    }
    if (!slot) {
        // A free slot, else the one stamped longest ago.
        slot = &m_DestCache[0];
        for (DestCacheEntry& e : m_DestCache) {
            if (!e.bUsed) {
                slot = &e;
                break;
            }
            if (now - e.dwTick > now - slot->dwTick) slot = &e;
        }
    }
    // Never waits for the network: what the host does not know, the interface asks the link.
    const bool found = m_pNeighbours && m_pNeighbours->FindMACAddrForIP(ipAddr, mac);
    slot->ipAddr = ipAddr;
    slot->bUsed = true;
    slot->bFound = found;
    slot->dwTick = now;
    if (found) std::memcpy(slot->mac, mac, 6);
    return found;
}

CNeighbourTable::Verdict CVifnet::ResolveOnLink(std::uint32_t ipAddr, std::uint8_t* mac) {
    const DWORD now = plat::GetTickCount();
    const std::uint64_t givenUp = m_LinkNeighbours.GivenUp();
    // The table has no timer of its own: writes move on the addresses it is still asking for.
    if (m_LinkNeighbours.Asking()) {
        std::uint32_t due[4];
        const unsigned n = m_LinkNeighbours.Tick(now, due, static_cast<unsigned>(std::size(due)));
        for (unsigned i = 0; i < n; ++i) AskLink(due[i]);
    }
    const CNeighbourTable::Answer answer = m_LinkNeighbours.Resolve(ipAddr, now, mac);
    if (answer.bAsk) AskLink(ipAddr);
    if (m_LinkNeighbours.GivenUp() != givenUp && (GetIFaceFlags() & VIFNET32_IFF_DEBUG)) {
        DebugTrace(L"CVifnet(%s)::ResolveOnLink: unanswered on the link: %llu addresses; frames queued %llu, dropped %llu\n",
                   GetIFaceName().c_str(), static_cast<unsigned long long>(m_LinkNeighbours.GivenUp()),
                   static_cast<unsigned long long>(m_LinkNeighbours.Queued()),
                   static_cast<unsigned long long>(m_LinkNeighbours.Dropped()));
    }
    return answer.verdict;
}

// Called by Write with m_csWrite held.
int CVifnet::WritePacket(std::uint32_t nFrameLength) {
    if (!m_bMultiWrite) Count(m_Stats.n64WriteCalls);
    if (!m_pAdapter || !m_pWriteBuffer || nFrameLength > m_nWriteBufferSize) {
        return FailOp(VF_EINVAL, VF_ERROR_INVALID_PARAMETER, L"WritePacket", L"Invalid parameters");
    }

    if (m_bMultiWrite) {
        const std::uint64_t record = std::uint64_t{nFrameLength} + frames::kBatchHeaderSize;
        if (record > m_nMultiWriteBufferSize - m_nMultiWriteBytes) {
            // A failed flush has emptied the batch, which stays open; this frame is refused with it.
            if (!FlushMultiWrite()) return -1;
            // Only a batch smaller than the frame (opened before the MTU was raised) is
            // still too small once empty.
            if (record > m_nMultiWriteBufferSize) {
                return FailOp(VF_EINVAL, VF_ERROR_INVALID_PARAMETER, L"WritePacket", L"Invalid parameters");
            }
        }
        m_nMultiWriteBytes += frames::PutBatchRecord(m_pMultiWriteBuffer + m_nMultiWriteBytes, m_pWriteBuffer, nFrameLength);
        ++m_nMultiWritePackets;
        return static_cast<int>(nFrameLength);
    }

    Count(m_Stats.n64WriteAttempts);
    if (!m_pAdapter->WritePacket(m_pWriteBuffer, nFrameLength)) {
        // The pair the adapter handed to this thread, not the one in the adapter, which a send
        // of another interface on it may have replaced meanwhile.
        const int nErrno = plat::GetErrno();
        const DWORD code = plat::GetLastErrorCode();
        return FailOpRc(nErrno, code, L"WritePacket", L"WriteAdapter failed");
    }
    Count(m_Stats.n64PacketsWritten);
    Count(m_Stats.n64BytesWritten, nFrameLength);
    return static_cast<int>(nFrameLength);
}

// ---- Batches ---------------------------------------------------------------------------------------

bool CVifnet::BegMultiWrite(std::uint32_t size) {
    plat::CSingleLock write(m_csWrite);
    if (std::uint64_t{size} < std::uint64_t{m_nWriteBufferSize} + frames::kBatchHeaderSize) {
        return FailOp(VF_EINVAL, VF_ERROR_INVALID_PARAMETER, L"BegMultiWrite", L"a buffer size of %d is too small",
                      static_cast<int>(size));
    }
    if (m_nMultiWriteBytes != 0 && !EndMultiWrite()) return false;
    if (m_pMultiWriteBuffer && m_nMultiWriteBufferSize != size) {
        delete[] m_pMultiWriteBuffer;
        m_pMultiWriteBuffer = nullptr;
        m_nMultiWriteBufferSize = 0;
    }
    if (!m_pMultiWriteBuffer) {
        m_pMultiWriteBuffer = new (std::nothrow) std::uint8_t[size];
        if (!m_pMultiWriteBuffer) {
            // No buffer, no batch: later writes go out one by one.
            m_bMultiWrite = false;
            return FailOpRc(VF_ENOMEM, VF_ERROR_NOT_ENOUGH_MEMORY, L"BegMultiWrite", L"new BYTE [%d] failed",
                            static_cast<int>(size));
        }
        m_nMultiWriteBufferSize = size;
    }
    m_bMultiWrite = true;
    return true;
}

bool CVifnet::EndMultiWrite() {
    plat::CSingleLock write(m_csWrite);
    // The batch ends here even when its send fails: what the send left has been dropped, and
    // later writes go out one by one again.
    const bool flushed = FlushMultiWrite();
    m_bMultiWrite = false;
    return flushed;
}

// Called with m_csWrite held, by EndMultiWrite and by a write that finds the batch full.
bool CVifnet::FlushMultiWrite() {
    if (m_nMultiWriteBytes == 0) return true;
    Count(m_Stats.n64WriteCalls);
    std::uint32_t nSent = 0;
    const bool sent = m_pAdapter->WriteMultiplePackets(m_pMultiWriteBuffer, m_nMultiWriteBytes, &nSent);
    const std::uint32_t nFrames = m_nMultiWritePackets;
    // A batch that fails partway is not sent again, and what it did not send is dropped, as a
    // NIC drops a frame it could not transmit: sent again, the frames before the failure would
    // reach the wire twice, and a frame the link refuses would fail every later batch. The
    // frames that went out are counted; the caller learns how many did.
    std::uint32_t nBytes = m_nMultiWriteBytes;
    if (!sent) {
        nBytes = 0;
        for (std::uint32_t i = 0; i < nSent && nBytes < m_nMultiWriteBytes; ++i) {
            std::uint32_t length;
            std::memcpy(&length, m_pMultiWriteBuffer + nBytes + 8, 4);
            nBytes += frames::kBatchHeaderSize + length;
        }
    }
    Count(m_Stats.n64PacketsWritten, sent ? nFrames : nSent);
    Count(m_Stats.n64BytesWritten, nBytes);
    m_nMultiWriteBytes = 0;
    m_nMultiWritePackets = 0;
    if (sent) return true;
    // The pair the adapter handed to this thread.
    const int nErrno = plat::GetErrno();
    const DWORD code = plat::GetLastErrorCode();
    const std::wstring name = GetIFaceName();
    return Fail(nErrno, code,
                {trace::Format(L"** CVifnet(%s)::EndMultiWrite: WriteMultiplePackets failed; rc=%d: %s\n", name.c_str(),
                               static_cast<int>(code), FormatLastError(code).c_str()),
                 trace::Format(L"** CVifnet(%s)::EndMultiWrite: sent %u of %u frames; the rest are dropped\n", name.c_str(), nSent,
                               nFrames)});
}
