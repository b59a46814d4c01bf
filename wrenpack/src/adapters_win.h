// The Windows adapter list, split from the host's own answers so that a recorded answer can be
// fed to it.
#ifndef WP_ADAPTERS_WIN_H
#define WP_ADAPTERS_WIN_H

#include "wp_driver.h"

#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>

#include <vector>

namespace wp {

// GetAdaptersAddresses, or a stand-in that answers the same way.
using AddressesQuery = ULONG(WINAPI*)(ULONG family, ULONG flags, void* reserved, IP_ADAPTER_ADDRESSES* adapters, ULONG* bytes);

// The capture library's devices that the query knows as Ethernet or IEEE 802.11 adapters with a
// MAC, in the library's order but the adapter with index defaultIndex first. False after Fail().
bool MatchAdapters(const pcap_if_wp* devices, AddressesQuery query, DWORD defaultIndex, std::vector<ADAPTER_INFO_LIST_ENTRY>& out);

}  // namespace wp

#endif
