// Open and close: a gateway text and open flags become an interface and its descriptor.
#include <cstring>
#include <new>
#include <string>

#include "adapter/vf_adapter.h"
#include "app/vifnet32_app.h"
#include "host/adapter_list.h"
#include "host/driver.h"
#include "host/mac.h"
#include "platform/iphelper.h"
#include "trace/trace.h"
#include "wrenlib.h"

namespace {

constexpr std::uint32_t kInAddrNone = 0xFFFFFFFFu;

}  // namespace

int CVifnet32App::Open(const char* gateway, int flags) {
    const DWORD pid = plat::GetCurrentProcessId();
    const int mode = flags & ~_O_VF32NOTIFY;
    if (!gateway || !*gateway || mode < 0 || mode > 2) {
        return FailOp(VF_EINVAL, VF_ERROR_INVALID_PARAMETER, L"Open", L"Invalid parameters from process %08.8X", pid);
    }
    plat::CSingleLock lock(m_csApp);
    CVFAdapter* adapter = CreateAdapter(gateway);
    if (!adapter) {
        // The pair CreateAdapter left, read before anything else can change it.
        const int nErrno = plat::GetErrno();
        const DWORD code = plat::GetLastErrorCode();
        return FailOpRc(nErrno, code, trace::Format(L"Open(%hs)", gateway), L"CreateAdapter() failed for process %08.8X", pid);
    }
    // A failed construction leaves the adapter open and listed: the next Open of the same
    // device reuses it.
    CVifnet* vf = new (std::nothrow) CVifnet(static_cast<std::uint32_t>(flags), adapter, &m_Neighbours);
    if (!vf || !(vf->GetIFaceFlags() & VIFNET32_IFF_RUNNING)) {
        const int nErrno = vf ? vf->GetErrno() : VF_ENOMEM;
        const DWORD code = vf ? vf->GetLastErrorCode() : VF_ERROR_OUTOFMEMORY;
        delete vf;
        return FailOpRc(nErrno, code, trace::Format(L"Open(%hs)", gateway), L"new CVifnet() failed for process %08.8X", pid);
    }
    const int fd = GetFileDescriptor(pid, vf);
    bool associated = false;
    if (fd >= 0) {
        try {
            m_VF2AdapterMap[vf] = adapter;
            associated = true;
        } catch (const std::bad_alloc&) {
            GetFd2VFPtrMap(pid)->erase(fd);
            ::RaiseError(VF_ENOMEM, VF_ERROR_NOT_ENOUGH_MEMORY);
        }
    }
    if (!associated) {
        const int nErrno = plat::GetErrno();
        const DWORD code = plat::GetLastErrorCode();
        FailOpRc(nErrno, code, trace::Format(L"Open(%hs)", gateway), L"GetFileDescriptor failed for process %08.8X", pid);
        DetachFromAdapter(vf, adapter);
        delete vf;
        return ::RaiseError(nErrno, code);
    }
    return fd;
}

CVFAdapter* CVifnet32App::CreateAdapter(const char* gateway) {
    VF_ASSERT(gateway && *gateway);
    const DWORD pid = plat::GetCurrentProcessId();
    std::uint32_t ip = plat::InetAddr(gateway);
    std::uint8_t mac[6] = {};
    const bool byIp = ip != kInAddrNone;
    if (byIp) {
        if (ip == 0) {
            return FailOp(VF_EINVAL, VF_ERROR_INVALID_PARAMETER, trace::Format(L"CreateAdapter(%hs)", gateway),
                          L"Invalid null/broadcast gateway IP address");
        }
    } else {
        if (!ParseMACString(plat::ToWide(gateway), mac)) {
            return FailOp(VF_EINVAL, VF_ERROR_INVALID_PARAMETER, trace::Format(L"CreateAdapter(%hs)", gateway),
                          L"Invalid gateway device from process %08.8X", pid);
        }
        static const std::uint8_t kZero[6] = {};
        if (std::memcmp(mac, kZero, 6) == 0 || (mac[0] & 1)) {
            return FailOp(VF_EINVAL, VF_ERROR_INVALID_PARAMETER, trace::Format(L"CreateAdapter(%hs)", gateway),
                          L"Invalid null/broadcast gateway MAC address");
        }
    }
    auto matches = [&](const ADAPTER_INFO_LIST_ENTRY& info) {
        return byIp ? info.IPAddr == ip : std::memcmp(info.MACAddr, mac, 6) == 0;
    };
    plat::CSingleLock lock(m_csApp);
    for (CVFAdapter* adapter : m_AdapterList) {
        if (matches(adapter->GetAdapterInfo())) return adapter;
    }
    const auto find = [&] { return byIp ? FindWPAdapterByIP(ip) : FindWPAdapterByMAC(mac); };
    const ADAPTER_INFO_LIST_ENTRY* entry = find();
    // The host's adapters may have changed since the list was read: an address moved, an
    // adapter came. Read them again (at most once a second) before giving up.
    if (!entry && RefreshWPAdaptersList()) entry = find();
    if (!entry) {
        return FailOpRc(VF_ENOENT, VF_ERROR_NOT_FOUND, L"CreateAdapter", L"adapter \"%hs\" not found", gateway);
    }
    // An adapter open under the address it had is the same device: it is shared, not opened twice.
    for (CVFAdapter* adapter : m_AdapterList) {
        if (SameWPAdapterName(adapter->GetAdapterInfo().szAdapterName, entry->szAdapterName)) return adapter;
    }
    WP_HANDLE handle = WrenPackOpenAdapter(entry->szAdapterName);
    if (!handle) {
        const auto [nErrno, code] = TakeDriverError();
        return FailOpRc(nErrno, code, trace::Format(L"CreateAdapter(%hs)", gateway), L"WrenPackOpenAdapter(%s) failed",
                        WPText(entry->szAdapterName, WP_ADAPTER_NAME_CHARS).c_str());
    }
    // Out of memory for the adapter or its place in the list: the handle is closed again and
    // nothing is listed.
    CVFAdapter* adapter = new (std::nothrow) CVFAdapter(handle, entry);
    if (adapter) {
        // Neighbour entries for guests that this library left on the adapter in a process that
        // ended without closing them (killed): nothing answers for those guests any more.
        DWORD removed = 0;
        if (entry->nIfIndex != 0 && entry->nIfIndex != 0xFFFFFFFFu && plat::IsIfPhysAddr(entry->nIfIndex, entry->MACAddr) &&
            plat::DeleteOwnIpNetEntries(entry->nIfIndex, &removed) == 0 && removed != 0) {
            DebugTrace(L"CVifnet32App::CreateAdapter(%hs): %u host neighbour entries left by an earlier process removed\n", gateway,
                       static_cast<unsigned>(removed));
        }
        try {
            m_Adapter2PosMap[adapter] = m_AdapterList.insert(m_AdapterList.end(), adapter);
            return adapter;
        } catch (const std::bad_alloc&) {
            if (!m_AdapterList.empty() && m_AdapterList.back() == adapter) m_AdapterList.pop_back();
            delete adapter;
            handle = nullptr;
        }
    }
    if (handle) WrenPackCloseAdapter(handle);
    return FailOpRc(VF_ENOMEM, VF_ERROR_NOT_ENOUGH_MEMORY, trace::Format(L"CreateAdapter(%hs)", gateway),
                    L"new CVFAdapter failed");
}

int CVifnet32App::Close(int fd) {
    const DWORD pid = plat::GetCurrentProcessId();
    plat::CSingleLock lock(m_csApp);
    Cfd2VFPtrMap* fdMap = GetFd2VFPtrMap(pid);
    VF_ASSERT(fdMap != nullptr);
    CVifnet* vf = GetVFPtrFromfd(fdMap, fd);
    if (!vf) return FailUnknownDescriptor(L"Close", fd);
    VF_ASSERT(fdMap->erase(fd) == 1);
    RetireNames(pid, vf);
    // A read waiting on the interface (up to its timeout, or without limit) would hold the
    // close up: it is told to end now, and one that starts from here on ends at once.
    vf->BeginClose();
    if (CVFAdapter* adapter = vf->GetAdapter()) adapter->WakeReaders(vf);
    if (!WaitForCalls(vf, lock)) {
        // Still in use after the longest wait: the interface stays associated (the library's
        // unload destroys it) rather than being deleted under a running call.
        VF_ASSERT(false);
        return 0;
    }
    // A naming request that ran while this waited may have named the interface again.
    RetireNames(pid, vf);
    auto it = m_VF2AdapterMap.find(vf);
    VF_ASSERT(it != m_VF2AdapterMap.end() && it->second != nullptr);
    DetachFromAdapter(vf, it != m_VF2AdapterMap.end() ? it->second : nullptr);
    delete vf;
    return 0;
}

bool CVifnet32App::WaitForCalls(CVifnet* pVF, plat::CSingleLock& lock) {
    // Callers must not close a descriptor that another of their threads is using; a call that
    // found the interface just before it left the tables is waited for all the same. The lock
    // is let go meanwhile, since such a call may need it (naming does).
    constexpr DWORD kLongestWait = 5000;
    const DWORD start = plat::GetTickCount();
    while (pVF->CallsInProgress() > 0) {
        if (plat::GetTickCount() - start > kLongestWait) return false;
        lock.Unlock();
        plat::Sleep(1);
        lock.Lock();
    }
    return true;
}

void CVifnet32App::RetireNames(DWORD pid, CVifnet* pVF) {
    plat::CSingleLock lock(m_csApp);
    CName2VFPtrMap* names = GetName2VFPtrMap(pid);
    if (!names) return;
    std::erase_if(*names, [pVF](const auto& entry) { return entry.second == pVF; });
}

void CVifnet32App::DetachFromAdapter(CVifnet* pVF, CVFAdapter* pAdapter) {
    plat::CSingleLock lock(m_csApp);
    auto it = m_VF2AdapterMap.find(pVF);
    VF_ASSERT(it != m_VF2AdapterMap.end() && it->second == pAdapter);
    if (it != m_VF2AdapterMap.end()) m_VF2AdapterMap.erase(it);
    if (!pAdapter) return;
    pAdapter->RemoveVifnet(pVF);
    for (const auto& [vf, adapter] : m_VF2AdapterMap) {
        if (adapter == pAdapter) return;
    }
    auto pos = m_Adapter2PosMap.find(pAdapter);
    VF_ASSERT(pos != m_Adapter2PosMap.end());
    if (pos != m_Adapter2PosMap.end()) {
        m_AdapterList.erase(pos->second);
        m_Adapter2PosMap.erase(pos);
    }
    delete pAdapter;
}
