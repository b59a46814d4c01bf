// The interface object: construction and destruction, the flags, the type, and the trace
// banners.
#include "iface/vifnet.h"

#include <cstring>
#include <new>

#include "adapter/vf_adapter.h"
#include "host/adapter_list.h"
#include "host/address_text.h"
#include "host/mac.h"
#include "trace/trace.h"
#include "wrenlib.h"

namespace {

constexpr std::uint32_t kEthHeaderSize = 14;
constexpr std::uint32_t kDefaultReadBufferSize = 65536;
constexpr std::uint32_t kDefaultReadTimeout = 5000;

}  // namespace

CVifnet::CVifnet(std::uint32_t nOpenFlags, CVFAdapter* pAdapter, CNeighbours* pNeighbours) {
    m_TarnVirtIPAddrList.reserve(kMaxTableEntries);
    m_MulticastList.reserve(kMaxTableEntries);
    m_HostLinkEntries.reserve(kMaxTableEntries);
    const std::uint32_t mode = nOpenFlags & ~static_cast<std::uint32_t>(_O_VF32NOTIFY);
    VF_ASSERT(mode <= VIFNET32_O_RDWR);
    m_nOpenFlags = nOpenFlags;
    VF_ASSERT(pAdapter != nullptr);
    m_pAdapter = pAdapter;
    m_pNeighbours = pNeighbours;

    m_nReadTimeout = (nOpenFlags & _O_VF32NOTIFY) ? 0 : kDefaultReadTimeout;
    m_Stats.dwStructSize = kStatsSize;

    static const std::uint8_t kNoMAC[6] = {};
    ADAPTER_INFO_LIST_ENTRY info{};
    if (pAdapter) info = pAdapter->GetAdapterInfo();
    m_HostPhysIPAddr = info.IPAddr;
    std::memcpy(m_HostPhysMACAddr, info.MACAddr, 6);
    // An adapter without an IPv4 address (a dedicated guest NIC, a layer-2 VPN adapter) is valid
    // and has no mask to give: until the caller sets one, every destination counts as on the
    // guest's link and is asked for there, since no router of the host's is known to send it to.
    m_IFaceNetMask = info.IPMask;
    VF_ASSERT(std::memcmp(m_HostPhysMACAddr, kNoMAC, 6) != 0);
    BuildTarnIfaceMAC(m_TarnVirtMACAddr, reinterpret_cast<const std::uint8_t*>(&m_HostPhysIPAddr));
    m_HostSubnetMask = GetWPAdapterIPMask(m_HostPhysIPAddr);

    // An adapter that reports no frame size is taken as plain Ethernet rather than given an MTU
    // that wraps around.
    std::uint32_t maxFrame = info.nMaxFrameSize;
    VF_ASSERT(maxFrame > kEthHeaderSize);
    if (maxFrame <= kEthHeaderSize) maxFrame = 1514;
    m_nMTU = maxFrame - kEthHeaderSize;
    m_nWriteBufferSize = m_nMTU + kEthHeaderSize;
    m_nReadBufferSize.store(kDefaultReadBufferSize, std::memory_order_relaxed);
    m_pReadBuffer = new (std::nothrow) std::uint8_t[kDefaultReadBufferSize];
    m_pWriteBuffer = new (std::nothrow) std::uint8_t[m_nWriteBufferSize];
    const bool allocated = m_pReadBuffer && m_pWriteBuffer;

    if (allocated) {
        plat::Socket ends[2];
        if (plat::MakeStreamSocketPair(ends) == 0) {
            m_hSockPair[WRITE_END] = ends[0];
            m_hSockPair[READ_END] = ends[1];
        }
        VF_ASSERT(m_hSockPair[WRITE_END] != plat::kInvalidSocket);
        VF_ASSERT(m_hSockPair[READ_END] != plat::kInvalidSocket);
        if (m_hSockPair[WRITE_END] != plat::kInvalidSocket) {
            VF_ASSERT(plat::SetSocketNoDelay(m_hSockPair[WRITE_END]));
            VF_ASSERT(plat::SetSocketNoDelay(m_hSockPair[READ_END]));
            // The reader thread writes the readiness messages: a caller that never reads must
            // not make it wait.
            VF_ASSERT(plat::SetSocketNonBlocking(m_hSockPair[WRITE_END]));
        }
    }
    m_nIFaceFlags.store(m_hSockPair[WRITE_END] != plat::kInvalidSocket ? kRunningFlags : 0, std::memory_order_relaxed);
    if (!(GetIFaceFlags() & VIFNET32_IFF_RUNNING)) {
        delete[] m_pReadBuffer;
        delete[] m_pWriteBuffer;
        m_pReadBuffer = nullptr;
        m_pWriteBuffer = nullptr;
        m_nReadBufferSize.store(0, std::memory_order_relaxed);
        m_nWriteBufferSize = 0;
        if (allocated) {
            RecordError(VF_EBADF, VF_ERROR_INVALID_HANDLE);
        } else {
            RecordError(VF_ENOMEM, VF_ERROR_OUTOFMEMORY);
        }
        VF_ASSERT(false);
    }
}

CVifnet::~CVifnet() {
    // No call runs any more (the registry waited for them), and the registry's lock may be
    // held here, which must not come before the write lock.
    ReleaseHostLink();
    if (GetIFaceFlags() & VIFNET32_IFF_DEBUG) EndTrace();
    m_nOpenFlags = 0;
    for (plat::Socket& s : m_hSockPair) {
        if (s != plat::kInvalidSocket) plat::CloseSocket(s);
        s = plat::kInvalidSocket;
    }
    delete[] m_pReadBuffer;
    delete[] m_pWriteBuffer;
    delete[] m_pMultiWriteBuffer;
    m_pReadBuffer = m_pWriteBuffer = m_pMultiWriteBuffer = nullptr;
    m_nReadBufferSize.store(0, std::memory_order_relaxed);
    m_nWriteBufferSize = m_nMultiWriteBufferSize = m_nMultiWriteBytes = m_nMultiWritePackets = 0;
    m_bMultiWrite = false;
}

// ---- Flags and type ------------------------------------------------------------------------------

bool CVifnet::SetIFaceFlags(int nFlags) {
    const auto flags = static_cast<std::uint32_t>(nFlags);
    if (flags & ~kSettableFlags) {
        return FailOp(VF_EINVAL, VF_ERROR_INVALID_PARAMETER, L"SetIFaceFlags", L"Invalid/unsupported flags");
    }
    plat::CSingleLock lock(m_csIFace);
    if (flags & VIFNET32_IFF_UP) {
        if (!(GetIFaceFlags() & VIFNET32_IFF_RUNNING)) {
            lock.Unlock();
            return FailOp(VF_ENODEV, VF_ERROR_DEV_NOT_EXIST, L"SetIFaceFlags", L"IFF_UP rejected: interface not IFF_RUNNING");
        }
        if (!(m_nVifnetFlags & (VIFNET32_IFF_TUN | VIFNET32_IFF_TAP))) {
            lock.Unlock();
            return FailOp(VF_ENODEV, VF_ERROR_DEV_NOT_EXIST, L"SetIFaceFlags",
                          L"IFF_UP rejected: interface type (IFF_TUN | IFF_TAP) not set");
        }
    }
    const std::uint32_t old = GetIFaceFlags();
    const std::uint32_t now = flags | kRunningFlags;
    m_nIFaceFlags.store(now, std::memory_order_relaxed);
    if (ReportsChanges()) {
        DebugTrace(L"Interface Flags modified for Vifnet interface %p:\n  old value=%s\n  new value=%s\n\n", this,
                   FormatIFaceFlags(old).c_str(), FormatIFaceFlags(now).c_str());
    }
    const bool wasDebug = old & VIFNET32_IFF_DEBUG, isDebug = now & VIFNET32_IFF_DEBUG;
    if (!wasDebug && isDebug) {
        BeginTrace();
    } else if (wasDebug && !isDebug) {
        EndTrace();
    } else if (wasDebug && isDebug) {
        DumpIFace();
    }
    const bool wasUp = old & VIFNET32_IFF_UP, isUp = now & VIFNET32_IFF_UP;
    if (!wasUp && isUp) {
        VF_ASSERT(IFaceUp());
    } else if (wasUp && !isUp) {
        VF_ASSERT(IFaceDown());
    }
    // The host's side is made and undone outside the interface lock: it takes the write lock,
    // which comes first.
    lock.Unlock();
    if (!wasUp && isUp) {
        OpenHostLink();
    } else if (wasUp && !isUp) {
        CloseHostLink();
    }
    return true;
}

bool CVifnet::SetVifnetFlags(int nFlags) {
    const std::uint32_t mode = static_cast<std::uint32_t>(nFlags) & 3;
    if (mode == 0 || mode == 3) {
        return FailOp(VF_EINVAL, VF_ERROR_INVALID_PARAMETER, L"SetVifnetFlags", L"Invalid/unsupported flags");
    }
    plat::CSingleLock lock(m_csIFace);
    if (m_nVifnetFlags != 0) {
        lock.Unlock();
        return FailOp(VF_EINVAL, VF_ERROR_INVALID_PARAMETER, L"SetVifnetFlags", L"Mode already defined");
    }
    m_nVifnetFlags = mode;
    if (ReportsChanges()) {
        DebugTrace(L"Interface Type modified for Vifnet interface %p:\n  old value=%s, new value=%s\n\n", this, L"???",
                   TypeName());
    }
    return true;
}

std::wstring CVifnet::FormatIFaceFlags(std::uint32_t nFlags) {
    static const wchar_t* const kNames[16] = {
        L"IFF_UP",        L"IFF_BROADCAST", L"IFF_DEBUG",     L"IFF_LOOPBACK", L"IFF_POINTOPOINT", L"IFF_NOTRAILERS",
        L"IFF_RUNNING",   L"IFF_NOARP",     L"IFF_PROMISC",   L"IFF_ALLMULTI", L"IFF_MASTER",      L"IFF_SLAVE",
        L"IFF_MULTICAST", L"IFF_PORTSEL",   L"IFF_AUTOMEDIA", L"IFF_DYNAMIC",
    };
    std::wstring text;
    for (unsigned bit = 0; bit < 16; ++bit) {
        if (nFlags & (1u << bit)) {
            text += L", ";
            text += kNames[bit];
        }
    }
    if (nFlags & 0xFFFF0000u) text += trace::Format(L", 0x%08.8X", nFlags & 0xFFFF0000u);
    return text.empty() ? text : text.substr(2);
}

const wchar_t* CVifnet::TypeName() const {
    if (m_nVifnetFlags & VIFNET32_IFF_TUN) return L"IFF_TUN";
    if (m_nVifnetFlags & VIFNET32_IFF_TAP) return L"IFF_TAP";
    return L"???";
}

bool CVifnet::ReportsChanges() const {
    return (GetIFaceFlags() & VIFNET32_IFF_DEBUG) && (GetDebugFlags() & kReportChanges) && trace::Enabled();
}

// ---- Traces --------------------------------------------------------------------------------------

// The banners and the dump are written under the output lock rather than the application lock:
// they are printed with the interface lock held, and naming takes the interface lock inside the
// application lock, so the application lock here could deadlock against a naming request. The
// output lock is taken last by everyone, so the block stays whole and no order is reversed.
void CVifnet::BeginTrace() {
    plat::CSingleLock lock(m_csIFace);
    trace::CBlock block;
    DebugTrace(L"*** BEGIN TRACE *** for Vifnet interface %p...\n\n", this);
    DumpIFace();
}

void CVifnet::EndTrace() {
    trace::CBlock block;
    DebugTrace(L"*** END TRACE *** (for Vifnet interface %p)\n\n", this);
}

// ---- Up and down ---------------------------------------------------------------------------------

bool CVifnet::IFaceUp() {
    // The host's stack also gets what the LAN sends a shared guest (it is addressed to the
    // host's MAC); it drops packets for addresses not its own, unless it forwards them.
    if (SharedMAC() && HostForwards()) {
        DebugTrace(L"** CVifnet(%s)::IFaceUp: WARNING: the host forwards IPv4 on adapter %s: in shared MAC mode it routes the "
                   L"guest's packets a second time; turn IPv4 forwarding off on that adapter\n",
                   m_strIFaceName.c_str(), MACText(m_HostPhysMACAddr).c_str());
    }
    // What a TAP guest was learnt to have belongs to its last time up (and mode).
    for (SharedGuest& guest : m_SharedGuests)
        guest.ipAddr.store(0);
    const int bound = m_pAdapter ? m_pAdapter->AddVifnet(this) : 0;
    VF_ASSERT(bound >= 1);
    VF_ASSERT(SendGratuitousARPs());
    return true;
}

bool CVifnet::IFaceDown() {
    if (m_pAdapter) m_pAdapter->RemoveVifnet(this);
    return true;
}

bool CVifnet::SendGratuitousARPs() {
    plat::CSingleLock lock(m_csIFace);
    bool all = true;
    for (std::uint32_t ip : m_TarnVirtIPAddrList) {
        if (!SendGratuitousARP(ip)) all = false;
    }
    return all;
}

// ---- Accessors -----------------------------------------------------------------------------------

std::wstring CVifnet::GetIFaceName() const {
    plat::CSingleLock lock(m_csIFace);
    return m_strIFaceName;
}

std::uint32_t CVifnet::GetIFaceMTU() {
    plat::CSingleLock lock(m_csIFace);
    return m_nMTU;
}

std::uint32_t CVifnet::GetReadTimeout() {
    plat::CSingleLock lock(m_csIFace);
    return m_nReadTimeout;
}

Failure CVifnet::FailBusy(plat::CSingleLock& lock, const wchar_t* operation) {
    lock.Unlock();
    return FailOp(VF_EBUSY, VF_ERROR_BUSY, operation, L"Interface is busy (already IFF_UP)");
}

std::wstring CVifnet::MessagePrefix(const wchar_t* operation) const {
    return L"** CVifnet(" + GetIFaceName() + L")::" + operation;
}

Failure CVifnet::FailOp(int nErrno, DWORD code, const std::wstring& operation, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    FailOpV(nErrno, code, false, L"** CVifnet(" + GetIFaceName() + L")", operation, format, args);
    va_end(args);
    return {};
}

Failure CVifnet::FailOpRc(int nErrno, DWORD code, const std::wstring& operation, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    FailOpV(nErrno, code, true, L"** CVifnet(" + GetIFaceName() + L")", operation, format, args);
    va_end(args);
    return {};
}

Failure CVifnet::FailNull(const wchar_t* operation) {
    return FailOp(VF_EINVAL, VF_ERROR_INVALID_PARAMETER, operation, L"Invalid NULL argument");
}
