// The receiving half of an interface: receive buffers from the adapter, the walk over their
// frames, selection, delivery in TAP and TUN mode, and the readiness messages of notify mode.
#include <algorithm>
#include <cstring>
#include <new>

#include "adapter/vf_adapter.h"
#include "host/checksum.h"
#include "iface/frames.h"
#include "iface/vifnet.h"
#include "trace/trace.h"
#include "wrenlib.h"

namespace {

constexpr std::uint32_t kOneDay = 86400000u;
constexpr std::uint32_t kRetryDelay = 100;
// Checksum-offload bits of the adapter record: TCP, UDP, IP.
constexpr std::uint32_t kOffloadedChecksums = 0x04 | 0x08 | 0x10;

}  // namespace

int CVifnet::Read(void* buffer, std::uint32_t size) {
    if (!buffer && size != 0) {
        return FailOp(VF_EINVAL, VF_ERROR_INVALID_PARAMETER, L"Read", L"Error: Invalid parameters");
    }
    ReadView view;
    std::uint32_t nOpenFlags;
    std::uint8_t local[kLocalFrameSize];
    std::uint32_t localLength = 0;
    {
        plat::CSingleLock lock(m_csIFace);
        if (m_nLocalFrames.load(std::memory_order_acquire) != 0) localLength = TakeLocalFrame(local);
        view.nVifnetFlags = m_nVifnetFlags;
        view.nIFaceFlags = GetIFaceFlags();
        std::memcpy(view.tarnMAC, m_TarnVirtMACAddr, 6);
        std::memcpy(view.hwBroadcast, m_IFaceHWBroadcast, 6);
        view.nMaxFrame = m_nMTU + frames::kEthHeaderSize;
        view.bShared = SharedMAC();
        view.nTunAddrs = 0;
        if (view.bShared) {
            std::memcpy(view.hostMAC, m_HostPhysMACAddr, 6);
            for (std::uint32_t ip : m_TarnVirtIPAddrList) {
                if (view.nTunAddrs == kMaxTableEntries) break;
                view.tunAddrs[view.nTunAddrs++] = ip;
            }
        }
        nOpenFlags = m_nOpenFlags;
    }
    if (!(view.nIFaceFlags & VIFNET32_IFF_UP) || ReadsEnded()) return FailNotUp();
    const std::uint32_t mode = nOpenFlags & ~static_cast<std::uint32_t>(_O_VF32NOTIFY);
    if (mode != VIFNET32_O_RDONLY && mode != VIFNET32_O_RDWR) {
        return FailOp(VF_EACCES, VF_ERROR_ACCESS_DENIED, L"Read", L"Error: Interface is write-only");
    }

    plat::CSingleLock lock(m_csRead);
    const bool tap = (view.nVifnetFlags & VIFNET32_IFF_TAP) != 0;
    if (localLength) {
        // A frame made here for the guest (only TAP guests are sent any), before the adapter's.
        ConsumeNotification(true);
        TraceFrame(kTraceTapRead, local, static_cast<int>(localLength));
        const std::uint32_t count = std::min(localLength, size);
        if (count) std::memcpy(buffer, local, count);
        return static_cast<int>(count);
    }
    for (;;) {
        if (m_pSegFrame) {
            // The next segment of a frame the host sent longer than the link carries, cut to
            // the link's size and to the caller's buffer, written straight into that buffer.
            auto* out = static_cast<std::uint8_t*>(buffer);
            const std::uint32_t header = tap ? frames::kEthHeaderSize : 0;
            const std::uint32_t room = std::min(view.nMaxFrame - frames::kEthHeaderSize, size > header ? size - header : 0);
            const std::uint32_t n = frames::NextTCPSegment(m_pSegFrame, m_nSegLength, m_nSegOffset, room, out + header);
            if (n) {
                if (tap) std::memcpy(out, m_pSegFrame, frames::kEthHeaderSize);
                return static_cast<int>(n + header);
            }
            m_pSegFrame = nullptr;
        }
        // A failure or timeout has already handed its pair to this thread.
        const int n = ReadPacket(view);
        if (n <= 0) return n;
        const auto length = static_cast<std::uint32_t>(n);
        std::uint8_t* frame = m_pPacket;
        if (length > view.nMaxFrame) {
            // Only a TCP frame is let through that long (ReadPacket): it is handed out in pieces.
            TraceFrame(tap ? kTraceTapRead : kTraceTunRead, frame, n);
            m_pSegFrame = frame;
            m_nSegLength = length;
            m_nSegOffset = 0;
            continue;
        }
        FixHostChecksums(frame, length);
        if (tap) {
            TraceFrame(kTraceTapRead, frame, n);
            const std::uint32_t count = std::min(length, size);
            if (count) std::memcpy(buffer, frame, count);
            return static_cast<int>(count);
        }
        switch (frames::Get16(frame + 12)) {
        case frames::kEtherTypeIPv4: {
            TraceFrame(kTraceTunRead, frame, n);
            const std::uint32_t count = std::min(length - frames::kEthHeaderSize, size);
            if (count) std::memcpy(buffer, frame + frames::kEthHeaderSize, count);
            return static_cast<int>(count);
        }
        case frames::kEtherTypeARP:
            // Before the answer, which is made in place of the request.
            LearnFromARP(frame, length);
            if (HandleARPPacket(frame, length)) CountRead(m_Stats.n64ARPReplies);
            break;
        case frames::kEtherTypeRARP:
            if (HandleReverseARPPacket(frame, length)) CountRead(m_Stats.n64ARPReplies);
            break;
        default:
            break;
        }
        CountRead(m_Stats.n64FramesDiscarded);
    }
}

int CVifnet::ReadPacket(const ReadView& view) {
    CountRead(m_Stats.n64ReadPacketCalls);
    if (!m_pAdapter || !m_pReadBuffer || GetReadBufferSize() == 0) {
        return FailOp(VF_EINVAL, VF_ERROR_INVALID_PARAMETER, L"ReadPacket", L"Invalid parameters");
    }
    // The clock is read only once a refill finds nothing waiting: a read served from the
    // buffer in hand, or from one the adapter already holds, never needs the deadline. The
    // call's deadline is fixed by its first wait.
    DWORD deadline = 0;
    bool haveDeadline = false;
    const bool promiscuous = (view.nIFaceFlags & VIFNET32_IFF_PROMISC) != 0;
    for (;;) {
        if (m_pNextPacket >= m_pEndOfPackets) {
            ConsumeNotification();
            bool refilled = ReadMorePackets(0);
            if (!refilled) {
                const DWORD now = plat::GetTickCount();
                if (!haveDeadline) {
                    deadline = now + m_nReadTimeout;
                    haveDeadline = true;
                }
                if (m_nReadTimeout == plat::kInfinite) {
                    refilled = ReadMorePackets(plat::kInfinite);
                } else if (now <= deadline && deadline - now <= kOneDay) {
                    refilled = ReadMorePackets(deadline - now);
                }
            }
            if (!refilled) {
                // The adapter gave up its wait because this interface closed or went down, or
                // because it lost its device: neither is a timeout.
                if (ReadsEnded()) return FailNotUp();
                if (m_pAdapter->HasFailed()) {
                    return FailOp(VF_ENODEV, VF_ERROR_DEV_NOT_EXIST, L"ReadPacket", L"Error: adapter %s no longer receives",
                                  m_pAdapter->GetMACText().c_str());
                }
                (void)Fail(VF_ETIMEDOUT, VF_WAIT_TIMEOUT, nullptr);
                return 0;
            }
        }
        frames::Record rec;
        if (!frames::NextRecord(m_pNextPacket, m_pEndOfPackets, rec)) {
            // Lengths that run past the buffer: the rest of this buffer is not trusted.
            CountRead(m_Stats.n64FramesExamined);
            CountRead(m_Stats.n64FramesDiscarded);
            continue;
        }
        CountRead(m_Stats.n64FramesExamined);
        m_pPacket = rec.frame;
        m_nPacketFlags = rec.flags;
        // Nothing past the captured bytes is read: a frame without room for more than its
        // Ethernet header is never delivered. It came from the wire, so it is dropped and counted,
        // not reported as an inconsistency of ours.
        if (rec.length <= frames::kEthHeaderSize) {
            CountRead(m_Stats.n64FramesDiscarded);
            continue;
        }
        // Longer than the link carries: the host's own TCP frames come so with segmentation
        // offload (Read cuts them); anything else is dropped.
        if (rec.length > view.nMaxFrame && !((rec.flags & WP_CAPTURE_SENT_BY_HOST) && frames::IsTCPv4(rec.frame, rec.length))) {
            CountRead(m_Stats.n64FramesDiscarded);
            continue;
        }
        if (frames::IsZeroMAC(rec.frame)) CountRead(m_Stats.n64ZeroDestMACRead);
        if (frames::IsZeroMAC(rec.frame + 6)) CountRead(m_Stats.n64ZeroSrcMACRead);
        if (view.bShared) {
            // The LAN sends the host and every guest sharing its MAC to that one MAC: a frame for
            // it is this guest's only when addressed to one of the guest's IPv4 addresses. The
            // rest is the host's, which its own stack gets anyway. Frames the host itself sends
            // carry its address as source, never a guest's as destination, save those of its way
            // to its guest, which are addressed to the guest's own MAC and selected as always.
            std::uint32_t ip;
            std::uint8_t guestMAC[6];
            // This guest's own frames come back from the capture with the host's MAC as source,
            // and are known by their source address instead.
            if (frames::SameMAC(rec.frame + 6, view.hostMAC) && frames::SharedSource(rec.frame, rec.length, ip) &&
                FindSharedGuest(view, ip, guestMAC)) {
                CountRead(m_Stats.n64OwnFramesDropped);
                continue;
            }
            if (frames::SameMAC(rec.frame, view.hostMAC) && frames::SharedDestination(rec.frame, rec.length, ip) &&
                FindSharedGuest(view, ip, guestMAC)) {
                if (view.nVifnetFlags & VIFNET32_IFF_TAP) frames::ToGuestMAC(rec.frame, rec.length, view.hostMAC, guestMAC);
                return static_cast<int>(rec.length);
            }
        }
        switch (frames::Select(rec.frame, promiscuous, view.tarnMAC, view.hwBroadcast)) {
        case frames::Verdict::Keep:
            return static_cast<int>(rec.length);
        case frames::Verdict::OwnDropped:
            CountRead(m_Stats.n64OwnFramesDropped);
            break;
        case frames::Verdict::Discard:
            CountRead(m_Stats.n64FramesDiscarded);
            break;
        }
    }
}

bool CVifnet::FindSharedGuest(const ReadView& view, std::uint32_t ipAddr, std::uint8_t* mac) const {
    if (!(view.nVifnetFlags & VIFNET32_IFF_TAP)) {
        const std::uint32_t* end = view.tunAddrs + view.nTunAddrs;
        return std::find(view.tunAddrs, end, ipAddr) != end;
    }
    if (ipAddr == 0) return false;
    for (const SharedGuest& guest : m_SharedGuests) {
        if (guest.ipAddr.load() != ipAddr) continue;
        const std::uint64_t packed = guest.mac.load();
        // Replaced meanwhile: the MAC read may be the new address's.
        if (guest.ipAddr.load() != ipAddr) return false;
        for (int i = 0; i < 6; ++i) mac[i] = static_cast<std::uint8_t>(packed >> (8 * i));
        return true;
    }
    return false;
}

Failure CVifnet::FailNotUp() { return FailOp(VF_EACCES, VF_ERROR_ACCESS_DENIED, L"Read", L"Error: Interface not UP"); }

bool CVifnet::ReadMorePackets(std::uint32_t nTimeout) {
    CountRead(m_Stats.n64AdapterReads);
    std::uint32_t nBufSize = GetReadBufferSize();
    std::uint32_t n = m_pAdapter->GetNextPacketsBuffer(&m_nReadSeqNum, m_pReadBuffer, nBufSize, nTimeout, this);
    if (n == 0) return false;
    while (n > nBufSize) {
        const std::wstring name = GetIFaceName();
        DebugTrace(L"** CVifnet(%s)::ReadMorePackets: packet buffer too small; allocating larger buffer...\n", name.c_str());
        m_pPacket = m_pNextPacket = m_pEndOfPackets = nullptr;
        auto* larger = new (std::nothrow) std::uint8_t[n];
        if (larger) {
            // The buffer is replaced under m_csIFace too, so the I/O-buffer setting, which
            // holds m_csRead and then m_csIFace, never sees it half changed.
            plat::CSingleLock lock(m_csIFace);
            delete[] m_pReadBuffer;
            m_pReadBuffer = larger;
            m_nReadBufferSize.store(n, std::memory_order_relaxed);
            nBufSize = n;
        } else {
            DebugTrace(L"** CVifnet(%s)::ReadMorePackets: WARNING: packet buffer reallocation failed; packets dropped\n",
                       name.c_str());
            ++m_nReadSeqNum;
        }
        CountRead(m_Stats.n64AdapterReads);
        n = m_pAdapter->GetNextPacketsBuffer(&m_nReadSeqNum, m_pReadBuffer, nBufSize, nTimeout, this);
        if (n == 0) return false;
    }
    m_pNextPacket = m_pReadBuffer;
    m_pEndOfPackets = m_pReadBuffer + n;
    std::atomic_ref<std::uint32_t> maxRead(m_Stats.dwMaxBytesRead);
    if (n > maxRead.load(std::memory_order_relaxed)) maxRead.store(n, std::memory_order_relaxed);
    CountRead(m_Stats.n64BytesRead, n);
    ++m_nReadSeqNum;
    return true;
}

// Only frames the host itself sent are repaired: a frame from the LAN that merely claims the
// host's MAC keeps the checksums it came with. Where the driver tells a frame's direction (Linux,
// the simulated driver), its mark decides. Where it cannot (Windows: the capture library gives no
// direction), the source MAC is all there is, and a frame from the host's MAC is repaired: the
// host's own offloaded frames would otherwise reach the guest broken, while a spoofed frame
// gains no more than checksums that hold over the bytes it already carries.
void CVifnet::FixHostChecksums(std::uint8_t* frame, std::uint32_t length) {
    const ADAPTER_INFO_LIST_ENTRY& info = m_pAdapter->GetAdapterInfo();
    if (frames::Get16(frame + 12) != frames::kEtherTypeIPv4 || !frames::SameMAC(frame + 6, info.MACAddr)) return;
    if ((m_nPacketFlags & WP_CAPTURE_DIRECTION_KNOWN) && !(m_nPacketFlags & WP_CAPTURE_SENT_BY_HOST)) return;
    if (info.bFixChecksums || (info.nOffloadInfo && (info.nChecksumOffloadFlags & kOffloadedChecksums))) {
        FixIPChecksums(frame, length);
    }
}

// ---- Readiness messages ----------------------------------------------------------------------------

// A caller that never reads lets its descriptor fill up. The write end does not block, so the
// reader thread (and every other interface on the adapter) never waits for such a caller: a
// message that does not fit is skipped instead of retried, and nLastNotifySent keeps the last
// count that really went out. Nothing is lost by skipping: a full descriptor is already
// readable, and the caller's reads go on until no buffer is left.
void CVifnet::PacketNotify(std::uint64_t nBuffersRead) {
    if (!(m_nOpenFlags & _O_VF32NOTIFY) || m_hSockPair[WRITE_END] == plat::kInvalidSocket) return;
    nLastNotifyTried.store(nBuffersRead, std::memory_order_relaxed);
    for (;;) {
        const int sent = plat::SocketSend(m_hSockPair[WRITE_END], &nBuffersRead, sizeof nBuffersRead);
        if (sent == static_cast<int>(sizeof nBuffersRead)) {
            nLastNotifySent.store(nBuffersRead, std::memory_order_release);
            return;
        }
        const int code = plat::SocketErrorCode();
        if (code == VF_WSAEWOULDBLOCK) return;
        // The name is read without m_csIFace, which must not be taken under the adapter lock:
        // it cannot change while the interface is up, and only bound interfaces are notified.
        const std::wstring& name = m_strIFaceName;
        trace::CBlock block;
        DebugTrace(L"** CVifnet(%s)::PacketNotify: send( m_hSockPair[ WRITE_END ]) failed; rc=%d (0x%08.8X): %s\n", name.c_str(),
                   code, code, FormatLastError(code).c_str());
        if (code == VF_WSAEINTR) {
            plat::Sleep(kRetryDelay);
            continue;
        }
        DebugTrace(L"** CVifnet(%s)::PacketNotify: nLastNotifyTried = %lld\n", name.c_str(),
                   static_cast<long long>(nLastNotifyTried.load(std::memory_order_relaxed)));
        DebugTrace(L"** CVifnet(%s)::PacketNotify: nLastNotifySent  = %lld\n", name.c_str(),
                   static_cast<long long>(nLastNotifySent.load(std::memory_order_relaxed)));
        return;
    }
}

// The two kinds of message share the stream in any order: each side takes messages until it
// has one of its own kind, accounting for the other kind's as it meets them. A message of its
// kind is outstanding before it starts, so it never waits for one that is not coming.
void CVifnet::ConsumeNotification(bool local) {
    if (!(m_nOpenFlags & _O_VF32NOTIFY) || m_hSockPair[READ_END] == plat::kInvalidSocket) return;
    std::uint64_t value = 0;
    auto* bytes = reinterpret_cast<std::uint8_t*>(&value);
    int have = 0;
    for (;;) {
        // Only a message that was sent is waited for: the descriptor blocks.
        if (have == 0 && (local ? m_nLocalNotesRead.load(std::memory_order_relaxed) >= m_nLocalNotesSent.load(std::memory_order_acquire)
                                : nLastNotifyRead.load(std::memory_order_relaxed) >= nLastNotifySent.load(std::memory_order_acquire))) {
            return;
        }
        // A stream may hand over a message in pieces; the rest of one is always on its way.
        const int got = plat::SocketRecv(m_hSockPair[READ_END], bytes + have, static_cast<int>(sizeof value) - have);
        if (got > 0) {
            have += got;
            if (have < static_cast<int>(sizeof value)) continue;
            have = 0;
            if (value == kLocalNote) {
                m_nLocalNotesRead.fetch_add(1, std::memory_order_relaxed);
                if (local) return;
            } else {
                nLastNotifyRead.store(value, std::memory_order_relaxed);
                if (!local) return;
            }
            continue;
        }
        const int code = plat::SocketErrorCode();
        const std::wstring name = GetIFaceName();
        trace::CBlock block;
        DebugTrace(L"** CVifnet(%s)::ReadPacket: recv( m_hSockPair[ READ_END ]) failed; rc=%d (0x%08.8X): %s\n", name.c_str(), code,
                   code, FormatLastError(code).c_str());
        if (code == VF_WSAEINTR) {
            plat::Sleep(kRetryDelay);
            continue;
        }
        DebugTrace(L"** CVifnet(%s)::ReadPacket: nLastNotifySent  = %lld\n", name.c_str(),
                   static_cast<long long>(nLastNotifySent.load(std::memory_order_relaxed)));
        DebugTrace(L"** CVifnet(%s)::ReadPacket: nLastNotifyRead  = %lld\n", name.c_str(),
                   static_cast<long long>(nLastNotifyRead.load(std::memory_order_relaxed)));
        return;
    }
}
