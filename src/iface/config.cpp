// The interface's single settings: buffer sizes, read timeout, addresses, netmask, broadcast,
// MTU and name, and the statistics copy-out. Each setter checks its argument without the lock,
// allocates what the new value needs, then changes the setting under the interface lock unless
// the interface is up; its failure message is written after the lock is left.
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <new>

#include "adapter/vf_adapter.h"
#include "host/address_text.h"
#include "iface/vifnet.h"
#include "platform/iphelper.h"
#include "trace/trace.h"
#include "wrenlib.h"

namespace {

constexpr std::uint32_t kMinReadBufferSize = 16384;
constexpr std::uint32_t kMaxReadBufferSize = 1048576;
constexpr int kMaxReadTimeout = 86400000;
constexpr int kMinMTU = 60;
constexpr int kEthHeaderSize = 14;

std::uint32_t InAddr(const vifnet32_sockaddr_in* sin) {
    std::uint32_t ip;
    std::memcpy(&ip, sin->sin_addr, 4);
    return ip;
}

void PutInAddr(vifnet32_sockaddr_in* sin, std::uint32_t ip) {
    sin->sin_family = VIFNET32_AF_INET;
    std::memcpy(sin->sin_addr, &ip, 4);
}

void PutMAC(vifnet32_sockaddr* sa, const std::uint8_t* mac) {
    sa->sa_family = VIFNET32_ARPHRD_ETHER;
    std::memcpy(sa->sa_data, mac, 6);
}

bool IsGroupMAC(const std::uint8_t* mac) { return (mac[0] & 1) != 0; }

bool IsZeroMAC(const std::uint8_t* mac) {
    static const std::uint8_t kZero[6] = {};
    return std::memcmp(mac, kZero, 6) == 0;
}

// "sa_data was: 01-00-5E-00-00-01", the rejected MAC as the second line of a failure.
std::wstring RejectedMACLine(const wchar_t* prefix, const std::uint8_t* mac) {
    return trace::Format(L"%s: sa_data was: %2.2X-%2.2X-%2.2X-%2.2X-%2.2X-%2.2X\n", prefix, mac[0], mac[1], mac[2], mac[3],
                         mac[4], mac[5]);
}

}  // namespace

bool CVifnet::SetDeviceBufferSize(int nBytes) {
    if (nBytes < static_cast<int>(CVFAdapter::kMinAdapterBufferSize) ||
        nBytes > static_cast<int>(CVFAdapter::kMaxAdapterBufferSize)) {
        return FailOp(VF_EINVAL, VF_ERROR_INVALID_PARAMETER, L"SetDeviceBufferSize",
                      L"KernelBuffSize of %dK outside of %dK - %dK range",
                      static_cast<int>((static_cast<long long>(nBytes) + 1023) / 1024), 64, 16384);
    }
    plat::CSingleLock lock(m_csIFace);
    if (IsUp()) return FailBusy(lock, L"SetDeviceBufferSize");
    const std::uint32_t old = m_pAdapter->GetAdapterBufferSize();
    if (!m_pAdapter->SetAdapterBufferSize(nBytes)) {
        const int nErrno = m_pAdapter->GetErrno();
        const DWORD code = m_pAdapter->GetLastErrorCode();
        lock.Unlock();
        return FailOpRc(nErrno, code, L"SetDeviceBufferSize", L"SetAdapterBufferSize(%d) failed", nBytes);
    }
    if (ReportsChanges()) {
        DebugTrace(L"Adapter Buffer Size modified for Vifnet interface %p:\n  old value=%d, new value=%d\n\n", this, old,
                   m_pAdapter->GetAdapterBufferSize());
    }
    return true;
}

bool CVifnet::SetIOBufferSize(int nBytes) {
    const auto size = static_cast<std::uint32_t>(nBytes);
    if (nBytes < static_cast<int>(kMinReadBufferSize) || size > kMaxReadBufferSize) {
        return FailOp(VF_EINVAL, VF_ERROR_INVALID_PARAMETER, L"SetIOBufferSize", L"ReadBuffSize of %d outside of %dK - %dK range",
                      nBytes, 16, 1024);
    }
    auto* buffer = new (std::nothrow) std::uint8_t[size];
    if (!buffer) {
        return FailOpRc(VF_ENOMEM, VF_ERROR_NOT_ENOUGH_MEMORY, L"SetIOBufferSize", L"new BYTE [%d] failed", nBytes);
    }
    // The read lock before the interface lock, the order the read path keeps.
    plat::CSingleLock read(m_csRead);
    plat::CSingleLock lock(m_csIFace);
    if (IsUp()) {
        delete[] buffer;
        return FailBusy(lock, L"SetIOBufferSize");
    }
    const std::uint32_t old = GetReadBufferSize();
    delete[] m_pReadBuffer;
    m_pReadBuffer = buffer;
    m_nReadBufferSize.store(size, std::memory_order_relaxed);
    // Frames not yet read were in the old buffer.
    m_pPacket = m_pNextPacket = m_pEndOfPackets = nullptr;
    m_pSegFrame = nullptr;
    const bool told = m_pAdapter->SetPacketsBufferSize(this, size);
    VF_ASSERT(told);
    if (ReportsChanges()) {
        DebugTrace(L"Read Buffer Size modified for Vifnet interface %p:\n  old value=%d, new value=%d\n\n", this, old, size);
    }
    return true;
}

bool CVifnet::SetReadTimeout(int nMillisecs) {
    if (nMillisecs < -1 || nMillisecs > kMaxReadTimeout) {
        return FailOp(VF_EINVAL, VF_ERROR_INVALID_PARAMETER, L"SetReadTimeout", L"Illegal timeout value %d", nMillisecs);
    }
    plat::CSingleLock lock(m_csIFace);
    if (IsUp()) return FailBusy(lock, L"SetReadTimeout");
    if (m_nOpenFlags & _O_VF32NOTIFY) {
        // A notify-mode caller waits on its descriptor; reads never wait.
        if (ReportsChanges()) {
            DebugTrace(L"Read Timeout ignored for Vifnet interface %p:\n  _O_VF32NOTIFY option in effect\n\n", this);
        }
        return true;
    }
    const std::uint32_t old = m_nReadTimeout;
    m_nReadTimeout = static_cast<std::uint32_t>(nMillisecs);
    if (ReportsChanges()) {
        DebugTrace(L"Read Timeout modified for Vifnet interface %p:\n  old value=%d, new value=%d\n\n", this, old, nMillisecs);
    }
    return true;
}

bool CVifnet::SetTarnVirtMACAddr(const vifnet32_sockaddr* sa) {
    if (!sa) return FailNull(L"SetTarnVirtMACAddr");
    if (sa->sa_family != VIFNET32_AF_UNSPEC && sa->sa_family != VIFNET32_ARPHRD_ETHER) {
        return Fail(VF_EINVAL, VF_ERROR_INVALID_PARAMETER,
                    {trace::Format(L"** CVifnet(%s)::SetTarnVirtMACAddr: Invalid/unsupported address family specified:\n",
                                   GetIFaceName().c_str()),
                     trace::Format(L"** CVifnet::SetTarnVirtMACAddr: sa_family = %2x\n", sa->sa_family)});
    }
    if (IsGroupMAC(sa->sa_data) || IsZeroMAC(sa->sa_data)) {
        const std::wstring prefix = MessagePrefix(L"SetTarnVirtMACAddr");
        return Fail(VF_EINVAL, VF_ERROR_INVALID_PARAMETER,
                    {prefix + L": Invalid null or broadcast MAC address:\n", RejectedMACLine(prefix.c_str(), sa->sa_data)});
    }
    plat::CSingleLock lock(m_csIFace);
    if (IsUp()) return FailBusy(lock, L"SetTarnVirtMACAddr");
    const std::wstring old = MACText(m_TarnVirtMACAddr);
    std::memcpy(m_TarnVirtMACAddr, sa->sa_data, 6);
    m_bTarnVirtMACAddrSet = true;
    if (ReportsChanges()) {
        DebugTrace(L"Tarn Virtual MAC Address modified for Vifnet interface %p:\n  old value=%s, new value=%s\n\n", this,
                   old.c_str(), MACText(m_TarnVirtMACAddr).c_str());
    }
    return true;
}

bool CVifnet::GetTarnVirtMACAddr(vifnet32_sockaddr* sa) {
    if (!sa) return FailNull(L"GetTarnVirtMACAddr");
    plat::CSingleLock lock(m_csIFace);
    PutMAC(sa, m_TarnVirtMACAddr);
    return true;
}

bool CVifnet::SetIFaceHWBroadcast(const vifnet32_sockaddr* sa) {
    if (!sa) return FailNull(L"SetIFaceHWBroadcast");
    const std::wstring prefix = MessagePrefix(L"SetIFaceHWBroadcast");
    if (sa->sa_family != VIFNET32_AF_UNSPEC && sa->sa_family != VIFNET32_ARPHRD_ETHER) {
        return Fail(VF_EINVAL, VF_ERROR_INVALID_PARAMETER,
                    {prefix + L": Invalid/unsupported address family specified\n",
                     trace::Format(L"%s: sa_family = %2x\n", prefix.c_str(), sa->sa_family)});
    }
    if (!IsGroupMAC(sa->sa_data)) {
        return Fail(VF_EINVAL, VF_ERROR_INVALID_PARAMETER,
                    {prefix + L": Invalid null or non-broadcast MAC address:\n", RejectedMACLine(prefix.c_str(), sa->sa_data)});
    }
    plat::CSingleLock lock(m_csIFace);
    if (IsUp()) return FailBusy(lock, L"SetIFaceHWBroadcast");
    const std::wstring old = MACText(m_IFaceHWBroadcast);
    std::memcpy(m_IFaceHWBroadcast, sa->sa_data, 6);
    if (ReportsChanges()) {
        DebugTrace(L"Interface Broadcast MAC Address modified for Vifnet interface %p:\n  old value=%s, new value=%s\n\n", this,
                   old.c_str(), MACText(m_IFaceHWBroadcast).c_str());
    }
    return true;
}

bool CVifnet::GetIFaceHWBroadcast(vifnet32_sockaddr* sa) {
    if (!sa) return FailNull(L"GetIFaceHWBroadcast");
    plat::CSingleLock lock(m_csIFace);
    PutMAC(sa, m_IFaceHWBroadcast);
    return true;
}

bool CVifnet::SetHostPhysByIPAddr(const vifnet32_sockaddr_in* sin) {
    if (!sin) return FailNull(L"SetHostPhysByIPAddr");
    const std::wstring prefix = MessagePrefix(L"SetHostPhysByIPAddr");
    if (sin->sin_family != VIFNET32_AF_INET) {
        return Fail(VF_EINVAL, VF_ERROR_INVALID_PARAMETER,
                    {prefix + L": Invalid address family specified:\n",
                     trace::Format(L"%s: sin_family = %02x\n", prefix.c_str(), sin->sin_family)});
    }
    // The host address belongs to the adapter: the request can only confirm it, so it is
    // checked before the busy test and refused even while the interface is up.
    const std::uint32_t ip = InAddr(sin);
    plat::CSingleLock lock(m_csIFace);
    if (ip != 0 && ip != m_HostPhysIPAddr) {
        lock.Unlock();
        const std::uint8_t* b = sin->sin_addr;
        return Fail(VF_EINVAL, VF_ERROR_INVALID_PARAMETER,
                    {prefix + L": Invalid IP address:\n",
                     trace::Format(L"%s: sin_addr = %d.%d.%d.%d\n", prefix.c_str(), b[0], b[1], b[2], b[3])});
    }
    if (IsUp()) return FailBusy(lock, L"SetHostPhysByIPAddr");
    if (ReportsChanges()) {
        const std::wstring current = IPText(m_HostPhysIPAddr);
        DebugTrace(L"Host Physical IP Address modified for Vifnet interface %p:\n  old value=%s, new value=%s\n\n", this,
                   current.c_str(), current.c_str());
    }
    return true;
}

bool CVifnet::GetHostPhysIPAddr(vifnet32_sockaddr_in* sin) {
    if (!sin) return FailNull(L"GetHostPhysIPAddr");
    plat::CSingleLock lock(m_csIFace);
    PutInAddr(sin, m_HostPhysIPAddr);
    return true;
}

bool CVifnet::SetIFaceNetMask(const vifnet32_sockaddr_in* sin) {
    if (!sin) return FailNull(L"SetIFaceNetMask");
    if (sin->sin_family != VIFNET32_AF_INET) {
        const std::wstring prefix = MessagePrefix(L"SetIFaceNetMask");
        return Fail(VF_EINVAL, VF_ERROR_INVALID_PARAMETER,
                    {prefix + L": Invalid address family specified:\n",
                     trace::Format(L"%s: sin_family = %02x\n", prefix.c_str(), sin->sin_family)});
    }
    const std::uint32_t mask = InAddr(sin);
    if (mask == 0) {
        return FailOp(VF_EINVAL, VF_ERROR_INVALID_PARAMETER, L"SetIFaceNetMask", L"Invalid NULL IP netmask");
    }
    plat::CSingleLock lock(m_csIFace);
    if (IsUp()) return FailBusy(lock, L"SetIFaceNetMask");
    const std::uint32_t old = m_IFaceNetMask;
    m_IFaceNetMask = mask;
    m_bIFaceNetMaskSet = true;
    if (ReportsChanges()) {
        DebugTrace(L"Tarn Virtual Network Mask modified for Vifnet interface %p:\n  old value=%s, new value=%s\n\n", this,
                   IPText(old).c_str(), IPText(mask).c_str());
    }
    // The broadcast follows the new mask on the guest's subnet: the first Tarn virtual address
    // is the guest's own; with none yet, the host side of the link stands in.
    const std::uint32_t first = GetFirstTarnVirtIPAddr();
    UpdateIFaceBroadcast(first ? first : m_HostPhysIPAddr);
    return true;
}

bool CVifnet::GetIFaceNetMask(vifnet32_sockaddr_in* sin) {
    if (!sin) return FailNull(L"GetIFaceNetMask");
    plat::CSingleLock lock(m_csIFace);
    PutInAddr(sin, m_IFaceNetMask);
    return true;
}

bool CVifnet::SetIFaceBroadcast(const vifnet32_sockaddr_in* sin) {
    if (!sin) return FailNull(L"SetIFaceBroadcast");
    if (sin->sin_family != VIFNET32_AF_INET) {
        return FailOp(VF_EINVAL, VF_ERROR_INVALID_PARAMETER, L"SetIFaceBroadcast", L"Invalid address family specified");
    }
    const std::uint32_t ip = InAddr(sin);
    if (ip == 0) {
        return FailOp(VF_EINVAL, VF_ERROR_INVALID_PARAMETER, L"SetIFaceBroadcast", L"Invalid NULL IP address");
    }
    plat::CSingleLock lock(m_csIFace);
    if (IsUp()) return FailBusy(lock, L"SetIFaceBroadcast");
    const std::uint32_t old = m_IFaceBroadcast;
    m_IFaceBroadcast = ip;
    m_bIFaceBroadcastSet = true;
    if (ReportsChanges()) {
        DebugTrace(L"Interface Broadcast IP Address modified for Vifnet interface %p:\n  old value=%s, new value=%s\n\n", this,
                   IPText(old).c_str(), IPText(ip).c_str());
    }
    return true;
}

bool CVifnet::GetIFaceBroadcast(vifnet32_sockaddr_in* sin) {
    if (!sin) return FailNull(L"GetIFaceBroadcast");
    plat::CSingleLock lock(m_csIFace);
    PutInAddr(sin, m_IFaceBroadcast);
    return true;
}

bool CVifnet::SetIFaceMTU(int nMTU) {
    const int maxMTU = static_cast<int>(m_pAdapter->GetAdapterInfo().nMaxFrameSize) - kEthHeaderSize;
    if (nMTU < kMinMTU || nMTU > maxMTU) {
        return FailOp(VF_EINVAL, VF_ERROR_INVALID_PARAMETER, L"SetIFaceMTU", L"MTU %d outside allowable range of %d-%d", nMTU,
                      kMinMTU, maxMTU);
    }
    const auto size = static_cast<std::uint32_t>(nMTU + kEthHeaderSize);
    auto* buffer = new (std::nothrow) std::uint8_t[size];
    if (!buffer) {
        return FailOpRc(VF_ENOMEM, VF_ERROR_NOT_ENOUGH_MEMORY, L"SetIFaceMTU", L"new BYTE [%d + %d] failed", nMTU,
                        kEthHeaderSize);
    }
    // The write lock before the interface lock, the order the write path keeps.
    plat::CSingleLock write(m_csWrite);
    plat::CSingleLock lock(m_csIFace);
    if (IsUp()) {
        delete[] buffer;
        return FailBusy(lock, L"SetIFaceMTU");
    }
    const std::uint32_t old = m_nMTU;
    delete[] m_pWriteBuffer;
    m_pWriteBuffer = buffer;
    m_nWriteBufferSize = size;
    m_nMTU = static_cast<std::uint32_t>(nMTU);
    if (ReportsChanges()) {
        DebugTrace(L"MTU (Maximum Transmission Unit) modified for Vifnet interface %p:\n  old value=%d, new value=%d\n\n", this,
                   old, nMTU);
    }
    return true;
}

bool CVifnet::SetIFaceName(const wchar_t* name) {
    if (!name || !*name) {
        return FailOp(VF_EINVAL, VF_ERROR_INVALID_PARAMETER, L"SetIFaceName", L"Illegal NULL name parameter");
    }
    plat::CSingleLock lock(m_csIFace);
    if (IsUp()) return FailBusy(lock, L"SetIFaceName");
    const std::wstring old = m_strIFaceName;
    m_strIFaceName = name;
    if (ReportsChanges()) {
        DebugTrace(L"Interface Name modified for Vifnet interface %p:\n  old value=\"%s\", new value=\"%s\"\n\n", this,
                   old.c_str(), name);
    }
    return true;
}

bool CVifnet::GetStats(VIFNET32_STATS* pStats) {
    if (!pStats || pStats->dwStructSize == 0) {
        return FailOp(VF_EINVAL, VF_ERROR_INVALID_PARAMETER, L"GetStats", L"pStats is NULL or pStats->dwStructSize is zero");
    }
    if (pStats->dwStructSize > VIFNET32_MAX_STATS_SIZE) {
        return FailOp(VF_EINVAL, VF_ERROR_INVALID_PARAMETER, L"GetStats", L"pStats->dwStructSize %u too large",
                      pStats->dwStructSize);
    }
    // The counters are counted without a lock by the paths that count (relaxed atomics); a
    // copy may mix values from just before and just after a frame. The two sizes are refreshed
    // in the copy, so concurrent callers never write the interface's own record.
    VIFNET32_STATS stats{};
    stats.dwMaxBytesRead = std::atomic_ref<std::uint32_t>(m_Stats.dwMaxBytesRead).load(std::memory_order_relaxed);
    static_assert((kStatsSize - offsetof(VIFNET32_STATS, n64WriteCalls)) % 8 == 0, "the counters end the record");
    constexpr std::size_t kCounters = (kStatsSize - offsetof(VIFNET32_STATS, n64WriteCalls)) / 8;
    std::uint64_t* from = &m_Stats.n64WriteCalls;
    std::uint64_t* to = &stats.n64WriteCalls;
    for (std::size_t i = 0; i < kCounters; ++i)
        to[i] = std::atomic_ref<std::uint64_t>(from[i]).load(std::memory_order_relaxed);
    stats.dwStructSize = kStatsSize;
    stats.dwKernelBuffSize = m_pAdapter->GetAdapterBufferSize();
    stats.dwReadBuffSize = GetReadBufferSize();
    const std::uint32_t size = pStats->dwStructSize;
    const std::uint32_t copied = std::min(size, kStatsSize);
    std::memset(pStats, 0, size);
    std::memcpy(pStats, &stats, copied);
    pStats->dwStructSize = copied;
    return true;
}

// ---- MAC mode ------------------------------------------------------------------------------------

const wchar_t* CVifnet::MacModeName(int nMode) {
    switch (nMode) {
    case VIFNET32_MACMODE_OWN: return L"own";
    case VIFNET32_MACMODE_SHARED: return L"shared";
    default: return L"auto";
    }
}

bool CVifnet::OnWirelessAdapter() const {
    return m_pAdapter && (m_pAdapter->GetAdapterInfo().nAdapterFlags & WP_ADAPTER_WIRELESS);
}

bool CVifnet::SharedMAC() const {
    return m_nMacMode == VIFNET32_MACMODE_SHARED || (m_nMacMode == VIFNET32_MACMODE_AUTO && OnWirelessAdapter());
}

// Asked of the host each time rather than kept: forwarding can be switched on at any moment,
// and only the mode request and up ask. An adapter the host does not have (the simulated one)
// is not asked about, as the host link does not touch it either.
bool CVifnet::HostForwards() const {
    if (!m_pAdapter) return false;
    const ADAPTER_INFO_LIST_ENTRY& info = m_pAdapter->GetAdapterInfo();
    if (info.nIfIndex == 0 || info.nIfIndex == 0xFFFFFFFFu || !plat::IsIfPhysAddr(info.nIfIndex, info.MACAddr)) return false;
    bool forwarding = false;
    return plat::GetIPv4Forwarding(info.nIfIndex, &forwarding) == VF_ERROR_SUCCESS && forwarding;
}

bool CVifnet::SetMacMode(int nMode) {
    if (nMode != VIFNET32_MACMODE_AUTO && nMode != VIFNET32_MACMODE_OWN && nMode != VIFNET32_MACMODE_SHARED) {
        return FailOp(VF_EINVAL, VF_ERROR_INVALID_PARAMETER, L"SetMacMode", L"Illegal MAC mode %d (0 auto, 1 own, 2 shared)",
                      nMode);
    }
    plat::CSingleLock lock(m_csIFace);
    if (IsUp()) return FailBusy(lock, L"SetMacMode");
    const int old = m_nMacMode;
    m_nMacMode = nMode;
    if (ReportsChanges()) {
        DebugTrace(L"MAC Mode modified for Vifnet interface %p:\n  old value=%s, new value=%s\n\n", this, MacModeName(old),
                   MacModeName(nMode));
    }
    return true;
}

int CVifnet::GetMacMode() {
    const bool forwards = HostForwards();
    plat::CSingleLock lock(m_csIFace);
    int value = m_nMacMode;
    if (SharedMAC()) value |= VIFNET32_MACMODE_F_SHARED_IN_FORCE;
    if (OnWirelessAdapter()) value |= VIFNET32_MACMODE_F_WIRELESS;
    if (forwards) value |= VIFNET32_MACMODE_F_FORWARDING;
    return value;
}
