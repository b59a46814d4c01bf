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

// Whether the host forwards IPv4 packets that arrive on interface dwIfIndex (routes them on
// instead of dropping those not for its own addresses). 0 with *pbForwarding set, or a Windows
// code when the host does not say.
DWORD GetIPv4Forwarding(DWORD dwIfIndex, bool* pbForwarding);

// Resolves dwDestIP (network order) to its hardware address with an ARP exchange on the
// network, waiting a bounded time for the answer. pMacAddr holds *pdwPhysAddrLen bytes (at least
// 6); on success *pdwPhysAddrLen is the address length. dwSrcIP 0 for any. 0 or a Windows code.
DWORD SendARP(DWORD dwDestIP, DWORD dwSrcIP, std::uint8_t* pMacAddr, DWORD* pdwPhysAddrLen);

// ---- The host's way to its own guests ----
// The host stack never sees what the packet driver sends (on Linux it goes to the wire only), so
// the library hands the guest's packets for the host to the host's stack itself and tells the
// host each guest's MAC with a neighbour entry of its own. The entries are marked as the
// library's (on Linux by their protocol field, kOwnNeighbourProtocol), so that those a killed
// process left behind are found and removed by the next one.

// Whether interface dwIfIndex is the adapter of MAC address `mac` (6 bytes): the host's state is
// changed only for an adapter the host really has (not a simulated one).
bool IsIfPhysAddr(DWORD dwIfIndex, const std::uint8_t* mac);
// Adds or replaces a permanent entry for row->dwAddr on interface row->dwIndex, marked as the
// library's. 0 or a Windows code (VF_ERROR_NOT_SUPPORTED where the host has no such entries).
DWORD SetOwnIpNetEntry(const IpNetRow* row);
// Removes the library's entry of row->dwAddr on row->dwIndex, and no other. 0 or a Windows code.
DWORD DeleteOwnIpNetEntry(const IpNetRow* row);
// Removes every entry marked as the library's on interface dwIfIndex; *pnRemoved (may be null)
// is how many went. 0 or a Windows code.
DWORD DeleteOwnIpNetEntries(DWORD dwIfIndex, DWORD* pnRemoved);

// A socket that hands whole IPv4 packets (header included) to the host's own stack: a packet
// for one of the host's addresses is delivered there with the source address it carries.
// 0 with *ps set, or a Windows code (no privilege; VF_ERROR_NOT_SUPPORTED on a platform without
// one) with *ps kInvalidHostSocket.
constexpr std::intptr_t kInvalidHostSocket = -1;
DWORD OpenHostDeliverySocket(std::intptr_t* ps);
// Sends one IPv4 packet of `length` bytes to its destination address; 0 or a Windows code.
DWORD DeliverToHost(std::intptr_t s, const std::uint8_t* packet, std::uint32_t length);
void CloseHostDeliverySocket(std::intptr_t s);

}  // namespace plat
