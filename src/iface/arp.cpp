// TUN mode: the library answers ARP and RARP requests for the guest's addresses, and announces
// them, since the guest itself only sees IPv4 packets. Replies are made in place from the
// request and sent straight through the adapter, beside the write path.
#include <algorithm>

#include "adapter/vf_adapter.h"
#include "iface/frames.h"
#include "iface/vifnet.h"
#include "trace/trace.h"
#include "wrenlib.h"

// The Tarn MAC and address list are read under m_csIFace: configuration changes them there.
// The caller holds m_csRead, which is always taken before m_csIFace.
bool CVifnet::HandleARPPacket(std::uint8_t* frame, std::uint32_t length) {
    std::uint8_t tarnMAC[6];
    {
        plat::CSingleLock lock(m_csIFace);
        // In shared mode the guest's addresses are at the host's MAC.
        if (!frames::IsARPRequest(frame, length, 1, WireMAC())) return false;
        const std::uint32_t asked = frames::ARPTargetIP(frame);
        if (std::find(m_TarnVirtIPAddrList.begin(), m_TarnVirtIPAddrList.end(), asked) == m_TarnVirtIPAddrList.end()) return false;
        std::copy_n(WireMAC(), 6, tarnMAC);
    }
    TraceFrame(kTraceARPRead, frame, static_cast<int>(length));
    frames::MakeARPReply(frame, tarnMAC);
    if (!SendARPFrame(frame, L"HandleARPPacket")) return false;
    TraceFrame(kTraceARPWritten, frame, frames::kARPFrameSize);
    return true;
}

bool CVifnet::HandleReverseARPPacket(std::uint8_t* frame, std::uint32_t length) {
    std::uint8_t tarnMAC[6];
    std::uint32_t ipAddr;
    {
        plat::CSingleLock lock(m_csIFace);
        // A shared guest has no MAC of its own on the wire for anyone to ask an address for; one
        // asked for the host's MAC is the host's to answer.
        if (SharedMAC() || !frames::IsARPRequest(frame, length, 3, m_TarnVirtMACAddr)) return false;
        // Only the guest's own MAC is resolved.
        if (!frames::SameMAC(frame + 32, m_TarnVirtMACAddr)) return false;
        std::copy_n(m_TarnVirtMACAddr, 6, tarnMAC);
        ipAddr = GetFirstTarnVirtIPAddr();
    }
    TraceFrame(kTraceRARPRead, frame, static_cast<int>(length));
    frames::MakeRARPReply(frame, tarnMAC, ipAddr);
    if (!SendARPFrame(frame, L"HandleReverseARPPacket")) return false;
    TraceFrame(kTraceRARPWritten, frame, frames::kARPFrameSize);
    return true;
}

void CVifnet::LearnFromARP(const std::uint8_t* frame, std::uint32_t length) {
    const std::uint16_t operation = frames::ARPOperation(frame, length);
    if (operation != 1 && operation != 2) return;
    const std::uint8_t* senderMAC = frame + 22;
    const std::uint32_t senderIP = frames::ARPSenderIP(frame);
    if (senderIP == 0 || frames::IsGroupMAC(senderMAC) || frames::IsZeroMAC(senderMAC)) return;
    // What is said to the guest makes an entry, as a kernel learns from the requests it answers
    // and the replies to its own; what is said to others only updates one (a neighbour that
    // announces a new MAC is followed).
    bool toGuest;
    {
        plat::CSingleLock lock(m_csIFace);
        const std::uint32_t target = frames::ARPTargetIP(frame);
        toGuest = std::find(m_TarnVirtIPAddrList.begin(), m_TarnVirtIPAddrList.end(), target) != m_TarnVirtIPAddrList.end();
    }
    plat::CSingleLock write(m_csWrite);
    if (!m_LinkNeighbours.Learn(senderIP, senderMAC, plat::GetTickCount(), toGuest)) return;
    // The frames that waited go out in the order they were written, straight through the
    // adapter: the write buffer and an open batch are the caller's.
    std::uint8_t* queued;
    std::uint32_t queuedLength;
    while (m_LinkNeighbours.Dequeue(senderIP, &queued, &queuedLength)) {
        std::copy_n(senderMAC, 6, queued);
        if (SendARPFrame(queued, L"LearnFromARP", queuedLength)) {
            TraceFrame(kTraceTunWritten, queued, static_cast<int>(queuedLength));
        }
    }
}

void CVifnet::AskLink(std::uint32_t ipAddr) {
    std::uint8_t frame[frames::kARPFrameSize];
    {
        plat::CSingleLock lock(m_csIFace);
        std::uint32_t from = GetFirstTarnVirtIPAddr();
        for (std::uint32_t tarn : m_TarnVirtIPAddrList) {
            if ((tarn & m_IFaceNetMask) == (ipAddr & m_IFaceNetMask)) {
                from = tarn;
                break;
            }
        }
        frames::MakeARPRequest(frame, WireMAC(), from, ipAddr);
    }
    // A request that cannot go out is reported; the next use asks again.
    SendARPFrame(frame, L"AskLink");
}

bool CVifnet::SendGratuitousARP(std::uint32_t ipAddr) {
    std::uint8_t frame[frames::kARPFrameSize];
    frames::MakeGratuitousARP(frame, WireMAC(), ipAddr);
    return SendARPFrame(frame, L"SendGratuitousARP");
}

bool CVifnet::SendARPFrame(const std::uint8_t* frame, const wchar_t* operation, std::uint32_t length) {
    Count(m_Stats.n64WriteAttempts);
    if (m_pAdapter && m_pAdapter->WritePacket(frame, length)) {
        Count(m_Stats.n64PacketsWritten);
        Count(m_Stats.n64BytesWritten, length);
        return true;
    }
    // The pair the adapter handed to this thread: the adapter's own may already be another
    // interface's.
    const int nErrno = m_pAdapter ? plat::GetErrno() : VF_EINVAL;
    const DWORD code = m_pAdapter ? plat::GetLastErrorCode() : VF_ERROR_INVALID_PARAMETER;
    return FailOpRc(nErrno, code, operation, L"WriteAdapter failed");
}
