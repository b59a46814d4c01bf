// The host's IPv4 neighbour (ARP) table and routing, in the shape of the Windows IP Helper calls:
// the same records, the same answers and Windows error codes on every platform.
// iphelper_win.cpp forwards to IP Helper; iphelper_linux.cpp speaks rtnetlink and sends its ARP
// requests on a packet socket.
#pragma once

#include <cstdint>

#include "platform/errors.h"

namespace plat {

// Entry types of a neighbour-table row.
constexpr DWORD kIpNetTypeOther = 1;
constexpr DWORD kIpNetTypeInvalid = 2;
constexpr DWORD kIpNetTypeDynamic = 3;
constexpr DWORD kIpNetTypeStatic = 4;

// Interface types GetIfType reports.
constexpr DWORD kIfTypeOther = 1;
constexpr DWORD kIfTypeEthernet = 6;
constexpr DWORD kIfTypeSoftwareLoopback = 24;

// One neighbour-table row (the layout of MIB_IPNETROW).
struct IpNetRow {
    DWORD dwIndex;        // interface index
    DWORD dwPhysAddrLen;  // bytes of bPhysAddr used
    std::uint8_t bPhysAddr[8];
    DWORD dwAddr;  // IPv4 address, network order
    DWORD dwType;  // kIpNetType*
};
static_assert(sizeof(IpNetRow) == 24, "IpNetRow layout");

// A whole table (the layout of MIB_IPNETTABLE): the count, then that many rows.
struct IpNetTable {
    DWORD dwNumEntries;
    IpNetRow table[1];
};
static_assert(sizeof(IpNetTable) == 28, "IpNetTable layout");

// Fills the caller's buffer of *pdwSize bytes with the IPv4 neighbour table, rows ordered by
// address when bOrder is true. 0; VF_ERROR_INSUFFICIENT_BUFFER with *pdwSize set to the bytes
// needed (also when table is null); VF_ERROR_NO_DATA when the table has no row; another
// Windows code on failure.
DWORD GetIpNetTable(IpNetTable* table, DWORD* pdwSize, bool bOrder);

// Adds or replaces the entry of row->dwAddr on interface row->dwIndex; a static row stays until
// deleted. 0 or a Windows code.
DWORD SetIpNetEntry(const IpNetRow* row);
// Removes the entry of row->dwAddr on interface row->dwIndex. 0 or a Windows code; an entry that
// is not there answers VF_ERROR_NOT_FOUND or VF_ERROR_NO_MORE_ITEMS, as the host's own call
// does.
DWORD DeleteIpNetEntry(const IpNetRow* row);

// Index of the interface the host's routing would send a packet to dwDestAddr on (addresses
// network order; dwSourceAddr 0 for any). 0 or a Windows code.
DWORD GetBestRoute(DWORD dwDestAddr, DWORD dwSourceAddr, DWORD* pdwIfIndex);
DWORD GetBestInterface(DWORD dwDestAddr, DWORD* pdwIfIndex);
// The interface's type (kIfType*). 0 or a Windows code.
DWORD GetIfType(DWORD dwIfIndex, DWORD* pdwType);

// Resolves dwDestIP (network order) to its hardware address with an ARP exchange on the
// network, waiting a bounded time for the answer. pMacAddr holds *pdwPhysAddrLen bytes (at least
// 6); on success *pdwPhysAddrLen is the address length. dwSrcIP 0 for any. 0 or a Windows code.
DWORD SendARP(DWORD dwDestIP, DWORD dwSrcIP, std::uint8_t* pMacAddr, DWORD* pdwPhysAddrLen);

}  // namespace plat
