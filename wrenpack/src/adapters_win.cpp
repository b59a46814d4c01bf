// The host's Ethernet adapters: the capture library says which devices it can open, IP Helper
// says what each of them is (addresses, MAC, index, link), matched by the adapter's GUID.
#include "adapters_win.h"

#include <algorithm>
#include <memory>
#include <string.h>
#include <vector>

namespace wp {
namespace {

constexpr char kDevicePrefix[] = "\\Device\\NPF_";

// The capture library's device name is its prefix followed by the adapter's GUID.
const IP_ADAPTER_ADDRESSES* FindAdapter(const IP_ADAPTER_ADDRESSES* list, const char* device) {
    const char* guid = strstr(device, kDevicePrefix);
    if (!guid) return nullptr;
    guid += sizeof(kDevicePrefix) - 1;
    for (; list; list = list->Next)
        if (list->AdapterName && _stricmp(list->AdapterName, guid) == 0) return list;
    return nullptr;
}

void CopyWide(const wchar_t* text, WP_CHAR16* out, size_t chars) {
    size_t n = 0;
    for (; text && text[n] && n + 1 < chars; ++n)
        out[n] = static_cast<WP_CHAR16>(text[n]);
    out[n] = 0;
}

uint32_t FirstIpv4(const SOCKADDR* address) {
    return address && address->sa_family == AF_INET ? reinterpret_cast<const sockaddr_in*>(address)->sin_addr.s_addr : 0;
}

// A prefix length as a mask in network byte order (the host is little-endian).
uint32_t PrefixMask(unsigned length) {
    if (length == 0) return 0;
    return __builtin_bswap32(length >= 32 ? 0xFFFFFFFFu : ~(0xFFFFFFFFu >> length));
}

void Fill(ADAPTER_INFO_LIST_ENTRY& entry, const char* device, const IP_ADAPTER_ADDRESSES& adapter) {
    memset(&entry, 0, sizeof entry);
    entry.nEntrySize = WP_ADAPTER_ENTRY_SIZE;
    Widen(device, entry.szAdapterName, WP_ADAPTER_NAME_CHARS);
    CopyWide(adapter.Description, entry.szDescription, WP_ADAPTER_DESCRIPTION_CHARS);
    CopyWide(adapter.FriendlyName, entry.szConnectionName, WP_ADAPTER_CONNECTION_CHARS);
    memcpy(entry.MACAddr, adapter.PhysicalAddress, 6);
    entry.nMedium = 0;  // 802.3: what the capture library delivers for every adapter listed here
    // Units of 100 bit/s. "Unknown" (all ones) reads as no speed rather than the largest one.
    ULONG64 speed = adapter.TransmitLinkSpeed == ~ULONG64{0} ? 0 : adapter.TransmitLinkSpeed / 100;
    entry.nLinkSpeed = static_cast<uint32_t>(std::min<ULONG64>(speed, UINT32_MAX));
    for (const IP_ADAPTER_UNICAST_ADDRESS* unicast = adapter.FirstUnicastAddress; unicast; unicast = unicast->Next) {
        if (uint32_t ip = FirstIpv4(unicast->Address.lpSockaddr)) {
            entry.IPAddr = ip;
            entry.IPMask = PrefixMask(unicast->OnLinkPrefixLength);
            break;
        }
    }
    for (const IP_ADAPTER_GATEWAY_ADDRESS_LH* gateway = adapter.FirstGatewayAddress; gateway && !entry.GatewayIPAddr;
         gateway = gateway->Next)
        entry.GatewayIPAddr = FirstIpv4(gateway->Address.lpSockaddr);
    entry.nIfIndex = adapter.IfIndex;
    if (adapter.IfType == IF_TYPE_IEEE80211) entry.nAdapterFlags |= WP_ADAPTER_WIRELESS;
    entry.nMaxFrameSize = static_cast<uint32_t>(std::min<ULONG64>(ULONG64{adapter.Mtu} + 14, UINT32_MAX));
    // The host does not say whether it finishes checksums in hardware: nOffloadInfo stays 0.
}

struct DeviceList {
    const PcapApi* pcap;
    pcap_if_wp* devices = nullptr;
    ~DeviceList() {
        if (devices) pcap->freealldevs(devices);
    }
};

}  // namespace

bool ListAdapters(std::vector<ADAPTER_INFO_LIST_ENTRY>& out) {
    out.clear();
    const PcapApi* pcap = Pcap();
    if (!pcap) return false;
    DeviceList list{pcap};
    char errbuf[kErrbufSize] = "";
    if (pcap->findalldevs(&list.devices, errbuf) != 0) return Fail(FromText(errbuf), "pcap_findalldevs failed: %s", errbuf);
    if (!list.devices) return true;
    // The adapter of the default route leads, so that "the first adapter" means the one the host
    // itself would use. Without a default route (or an answer) the capture library's order stays.
    DWORD defaultIndex = 0;
    if (GetBestInterface(0, &defaultIndex) != NO_ERROR) defaultIndex = 0;
    return MatchAdapters(list.devices, GetAdaptersAddresses, defaultIndex, out);
}

bool MatchAdapters(const pcap_if_wp* devices, AddressesQuery query, DWORD defaultIndex, std::vector<ADAPTER_INFO_LIST_ENTRY>& out) {
    // Every family: an adapter without IPv4 is left out of an IPv4-only answer, and it can still
    // be opened by its MAC.
    const ULONG flags = GAA_FLAG_INCLUDE_GATEWAYS | GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER;
    ULONG bytes = 16 * 1024, rc = ERROR_BUFFER_OVERFLOW;
    std::unique_ptr<uint64_t[]> buffer;  // 8-byte units: the records hold 64-bit fields
    while (rc == ERROR_BUFFER_OVERFLOW) {
        buffer.reset(new (std::nothrow) uint64_t[bytes / 8 + 1]);
        if (!buffer) return Fail(kNoMemory, "GetAdaptersList: no memory for the host's adapter list");
        rc = query(AF_UNSPEC, flags, nullptr, reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.get()), &bytes);
    }
    if (rc == ERROR_NO_DATA) return true;  // no adapter at all
    if (rc != NO_ERROR)
        return Fail({rc == ERROR_NOT_ENOUGH_MEMORY ? 12 : 5, rc}, "GetAdaptersList: GetAdaptersAddresses failed: error %lu", rc);
    const auto* adapters = reinterpret_cast<const IP_ADAPTER_ADDRESSES*>(buffer.get());
    for (const pcap_if_wp* device = devices; device; device = device->next) {
        const IP_ADAPTER_ADDRESSES* adapter = device->name ? FindAdapter(adapters, device->name) : nullptr;
        if (!adapter || adapter->PhysicalAddressLength != 6) continue;
        if (adapter->IfType != IF_TYPE_ETHERNET_CSMACD && adapter->IfType != IF_TYPE_IEEE80211) continue;
        out.emplace_back();
        Fill(out.back(), device->name, *adapter);
    }
    auto first = std::find_if(out.begin(), out.end(),
                              [&](const ADAPTER_INFO_LIST_ENTRY& e) { return defaultIndex && e.nIfIndex == defaultIndex; });
    std::rotate(out.begin(), first, first == out.end() ? first : first + 1);
    return true;
}

}  // namespace wp
