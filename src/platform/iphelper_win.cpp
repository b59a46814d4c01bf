// Windows: the neighbour table and routing straight from IP Helper.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <iphlpapi.h>

#include <cstddef>
#include <cstring>

#include "platform/iphelper.h"

namespace plat {

static_assert(sizeof(IpNetRow) == sizeof(MIB_IPNETROW), "IpNetRow is MIB_IPNETROW");
static_assert(offsetof(IpNetRow, dwAddr) == offsetof(MIB_IPNETROW, dwAddr), "IpNetRow address");
static_assert(offsetof(IpNetRow, dwType) == offsetof(MIB_IPNETROW, dwType), "IpNetRow type");
static_assert(sizeof(IpNetTable) == sizeof(MIB_IPNETTABLE), "IpNetTable is MIB_IPNETTABLE");
static_assert(offsetof(IpNetTable, table) == offsetof(MIB_IPNETTABLE, table), "IpNetTable rows");

DWORD GetIpNetTable(IpNetTable* table, DWORD* pdwSize, bool bOrder) {
    ULONG size = *pdwSize;
    const DWORD rc = ::GetIpNetTable(reinterpret_cast<MIB_IPNETTABLE*>(table), &size, bOrder ? TRUE : FALSE);
    *pdwSize = size;
    return rc;
}

DWORD SetIpNetEntry(const IpNetRow* row) {
    MIB_IPNETROW copy;
    std::memcpy(&copy, row, sizeof copy);
    return ::SetIpNetEntry(&copy);
}

DWORD DeleteIpNetEntry(const IpNetRow* row) {
    MIB_IPNETROW copy;
    std::memcpy(&copy, row, sizeof copy);
    return ::DeleteIpNetEntry(&copy);
}

DWORD GetBestRoute(DWORD dwDestAddr, DWORD dwSourceAddr, DWORD* pdwIfIndex) {
    MIB_IPFORWARDROW route;
    std::memset(&route, 0, sizeof route);
    const DWORD rc = ::GetBestRoute(dwDestAddr, dwSourceAddr, &route);
    if (rc == NO_ERROR) *pdwIfIndex = route.dwForwardIfIndex;
    return rc;
}

DWORD GetBestInterface(DWORD dwDestAddr, DWORD* pdwIfIndex) { return ::GetBestInterface(dwDestAddr, pdwIfIndex); }

DWORD GetIfType(DWORD dwIfIndex, DWORD* pdwType) {
    MIB_IFROW row;
    std::memset(&row, 0, sizeof row);
    row.dwIndex = dwIfIndex;
    const DWORD rc = ::GetIfEntry(&row);
    if (rc == NO_ERROR) *pdwType = row.dwType;
    return rc;
}

// The host-wide switch (IPEnableRouter) from the IP statistics, for every interface alike: the
// per-interface row (GetIpInterfaceEntry) would be exact, but Wine exports it as a stub that
// aborts the process when called, and a host that routes at all is worth the warning.
DWORD GetIPv4Forwarding(DWORD /*dwIfIndex*/, bool* pbForwarding) {
    if (!pbForwarding) return VF_ERROR_INVALID_PARAMETER;
    MIB_IPSTATS stats;
    std::memset(&stats, 0, sizeof stats);
    const DWORD rc = ::GetIpStatistics(&stats);
    if (rc == NO_ERROR) *pbForwarding = stats.dwForwarding == MIB_IP_FORWARDING;
    return rc;
}

DWORD SendARP(DWORD dwDestIP, DWORD dwSrcIP, std::uint8_t* pMacAddr, DWORD* pdwPhysAddrLen) {
    ULONG len = *pdwPhysAddrLen;
    const DWORD rc = ::SendARP(dwDestIP, dwSrcIP, pMacAddr, &len);
    *pdwPhysAddrLen = len;
    return rc;
}

// Windows: whether the capture library's sends reach the host's own stack is not known here, so
// the library changes nothing on the host for its guests (see the README).
bool IsIfPhysAddr(DWORD, const std::uint8_t*) { return false; }
DWORD SetOwnIpNetEntry(const IpNetRow*) { return VF_ERROR_NOT_SUPPORTED; }
DWORD DeleteOwnIpNetEntry(const IpNetRow*) { return VF_ERROR_NOT_SUPPORTED; }
DWORD DeleteOwnIpNetEntries(DWORD, DWORD* pnRemoved) {
    if (pnRemoved) *pnRemoved = 0;
    return VF_ERROR_NOT_SUPPORTED;
}
DWORD OpenHostDeliverySocket(std::intptr_t* ps) {
    *ps = kInvalidHostSocket;
    return VF_ERROR_NOT_SUPPORTED;
}
DWORD DeliverToHost(std::intptr_t, const std::uint8_t*, std::uint32_t) { return VF_ERROR_NOT_SUPPORTED; }
void CloseHostDeliverySocket(std::intptr_t) {}

}  // namespace plat
