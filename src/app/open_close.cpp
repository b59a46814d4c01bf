// Open and close: a gateway text and open flags become an interface and its descriptor.
#include <cstring>
#include <string>

#include "app/vifnet32_app.h"
#include "host/adapter_list.h"
#include "host/mac.h"
#include "trace/trace.h"
#include "wrenlib.h"

namespace {

constexpr std::uint32_t kInAddrNone = 0xFFFFFFFFu;

}  // namespace

int CVifnet32App::Open(const char* gateway, int flags) {
    const DWORD pid = plat::GetCurrentProcessId();
    const int mode = flags & ~_O_VF32NOTIFY;
    if (!gateway || !*gateway || mode < 0 || mode > 2) {
        return Fail(VF_EINVAL, VF_ERROR_INVALID_PARAMETER, L"** CVifnet32App::Open: Invalid parameters from process %08.8X\n",
                    pid);
    }
    plat::CSingleLock lock(m_csApp);
    CVFAdapter* adapter = CreateAdapter(gateway);
    if (!adapter) {
        // The pair CreateAdapter left, read before anything else can change it.
        const int nErrno = plat::GetErrno();
        const DWORD code = plat::GetLastErrorCode();
        return Fail(nErrno, code, L"** CVifnet32App::Open(%hs): CreateAdapter() failed for process %08.8X; rc=%d: %s\n", gateway,
                    pid, code, FormatLastError(code).c_str());
    }
    // Interfaces on an opened adapter come with the interface object; CreateAdapter cannot yet
    // return an adapter.
    return Fail(VF_ENODEV, VF_ERROR_NOT_SUPPORTED, L"** CVifnet32App::Open(%hs): new CVifnet() failed for process %08.8X\n",
                gateway, pid);
}

CVFAdapter* CVifnet32App::CreateAdapter(const char* gateway) {
    VF_ASSERT(gateway && *gateway);
    const DWORD pid = plat::GetCurrentProcessId();
    std::uint32_t ip = plat::InetAddr(gateway);
    std::uint8_t mac[6] = {};
    const bool byIp = ip != kInAddrNone;
    if (byIp) {
        if (ip == 0) {
            return Fail(VF_EINVAL, VF_ERROR_INVALID_PARAMETER,
                        L"** CVifnet32App::CreateAdapter(%hs): Invalid null/broadcast gateway IP address\n", gateway);
        }
    } else {
        if (!ParseMACString(plat::ToWide(gateway), mac)) {
            return Fail(VF_EINVAL, VF_ERROR_INVALID_PARAMETER,
                        L"** CVifnet32App::CreateAdapter(%hs): Invalid gateway device from process %08.8X\n", gateway, pid);
        }
        static const std::uint8_t kZero[6] = {};
        if (std::memcmp(mac, kZero, 6) == 0 || (mac[0] & 1)) {
            return Fail(VF_EINVAL, VF_ERROR_INVALID_PARAMETER,
                        L"** CVifnet32App::CreateAdapter(%hs): Invalid null/broadcast gateway MAC address\n", gateway);
        }
    }
    plat::CSingleLock lock(m_csApp);
    // The adapter objects themselves come with the interface object; the list is empty until then.
    VF_ASSERT(m_AdapterList.empty());
    const ADAPTER_INFO_LIST_ENTRY* entry = byIp ? FindWPAdapterByIP(ip) : FindWPAdapterByMAC(mac);
    if (!entry) {
        return Fail(VF_ENOENT, VF_ERROR_NOT_FOUND, L"** CVifnet32App::CreateAdapter: adapter \"%hs\" not found; rc=%d: %s\n",
                    gateway, VF_ERROR_NOT_FOUND, FormatLastError(VF_ERROR_NOT_FOUND).c_str());
    }
    // Opening the packet driver on the entry, and the adapter object that owns the handle, come
    // with the interface object.
    return Fail(VF_ENODEV, VF_ERROR_NOT_SUPPORTED,
                L"** CVifnet32App::CreateAdapter(%hs): adapter objects not available; rc=%d: %s\n", gateway,
                VF_ERROR_NOT_SUPPORTED, FormatLastError(VF_ERROR_NOT_SUPPORTED).c_str());
}

int CVifnet32App::Close(int fd) {
    plat::CSingleLock lock(m_csApp);
    Cfd2VFPtrMap* fdMap = GetFd2VFPtrMap(plat::GetCurrentProcessId());
    VF_ASSERT(fdMap != nullptr);
    CVifnet* vf = GetVFPtrFromfd(fdMap, fd);
    if (!vf) return FailUnknownDescriptor(L"Close", fd);
    // Detaching and deleting the interface come with the interface object; until then no
    // descriptor is ever registered.
    VF_ASSERT(false);
    fdMap->erase(fd);
    return 0;
}
