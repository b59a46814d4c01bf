// Linux: the capture library's devices that are Ethernet links, described by the kernel
// (interface ioctls, the routing table, sysfs and the transmit-checksum feature).
#include "wp_driver.h"

#include <arpa/inet.h>
#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

namespace wp {
namespace {

// The IPv4 default gateway of each interface, from the kernel's routing table (network order
// values, as the table prints them); the interface of the first default route is the default.
struct Route {
    std::string device;
    uint32_t gateway;
};

std::vector<Route> DefaultRoutes() {
    std::vector<Route> routes;
    std::ifstream table("/proc/net/route");
    std::string line;
    std::getline(table, line);  // the column titles
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string device;
        unsigned destination = 0, gateway = 0, flags = 0;
        fields >> device >> std::hex >> destination >> gateway >> flags;
        if (fields && destination == 0 && (flags & 0x1 /* RTF_UP */)) routes.push_back({device, gateway});
    }
    return routes;
}

// The link speed in units of 100 bit/s; 0 where the link does not say.
uint32_t LinkSpeed(const std::string& device) {
    std::ifstream file("/sys/class/net/" + device + "/speed");
    long long mbits = 0;
    if (!(file >> mbits) || mbits <= 0) return 0;
    return uint32_t(std::min<long long>(mbits * 10000, UINT32_MAX));
}

// Frames the host's stack sends with transmit-checksum offload on leave their TCP and UDP
// checksums unfinished when captured on the way out; the IPv4 header checksum is always done.
void Offload(int sock, const char* device, ADAPTER_INFO_LIST_ENTRY& e) {
    ethtool_value value{};
    value.cmd = ETHTOOL_GTXCSUM;
    ifreq request{};
    std::strncpy(request.ifr_name, device, IFNAMSIZ - 1);
    request.ifr_data = reinterpret_cast<char*>(&value);
    if (ioctl(sock, SIOCETHTOOL, &request) < 0) return;
    e.nOffloadInfo = 1;
    e.nChecksumOffloadFlags = value.data ? (WP_OFFLOAD_TX_TCP_CHECKSUM | WP_OFFLOAD_TX_UDP_CHECKSUM) : 0;
}

// Fills the record of one device; false when it is not an Ethernet link.
bool Describe(int sock, const pcap_if_wp& dev, const std::vector<Route>& routes, ADAPTER_INFO_LIST_ENTRY& e) {
    ifreq request{};
    if (std::strlen(dev.name) >= IFNAMSIZ) return false;
    std::strncpy(request.ifr_name, dev.name, IFNAMSIZ - 1);
    if (ioctl(sock, SIOCGIFHWADDR, &request) < 0 || request.ifr_hwaddr.sa_family != ARPHRD_ETHER) return false;
    e = ADAPTER_INFO_LIST_ENTRY{};
    std::memcpy(e.MACAddr, request.ifr_hwaddr.sa_data, 6);
    e.nMaxFrameSize = ioctl(sock, SIOCGIFMTU, &request) == 0 ? uint32_t(request.ifr_mtu) + 14 : 1514;
    e.nIfIndex = if_nametoindex(dev.name);
    e.nLinkSpeed = LinkSpeed(dev.name);
    if (IsWirelessDevice("/sys/class/net", dev.name)) e.nAdapterFlags |= WP_ADAPTER_WIRELESS;
    e.nMedium = 0;  // 802.3
    Widen(dev.name, e.szAdapterName, WP_ADAPTER_NAME_CHARS);
    Widen(dev.description ? dev.description : dev.name, e.szDescription, WP_ADAPTER_DESCRIPTION_CHARS);
    Widen(dev.name, e.szConnectionName, WP_ADAPTER_CONNECTION_CHARS);
    for (const pcap_addr_wp* a = dev.addresses; a; a = a->next) {
        if (a->addr && a->addr->sa_family == AF_INET) {
            e.IPAddr = reinterpret_cast<const sockaddr_in*>(a->addr)->sin_addr.s_addr;
            if (a->netmask) e.IPMask = reinterpret_cast<const sockaddr_in*>(a->netmask)->sin_addr.s_addr;
            break;
        }
    }
    for (const Route& r : routes)
        if (r.device == dev.name && r.gateway) {
            e.GatewayIPAddr = r.gateway;
            break;
        }
    Offload(sock, dev.name, e);
    return true;
}

}  // namespace

bool ListAdapters(std::vector<ADAPTER_INFO_LIST_ENTRY>& out) {
    const PcapApi* api = Pcap();
    if (!api) return false;
    char errbuf[kErrbufSize] = "";
    pcap_if_wp* devices = nullptr;
    if (api->findalldevs(&devices, errbuf) < 0) return Fail(FromText(errbuf), "pcap_findalldevs failed: %s", errbuf);
    const int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (sock < 0) {
        api->freealldevs(devices);
        return Fail(FromErrno(errno), "GetAdaptersList: no socket: %s", std::strerror(errno));
    }
    const std::vector<Route> routes = DefaultRoutes();
    const std::string preferred = routes.empty() ? "" : routes.front().device;
    for (const pcap_if_wp* dev = devices; dev; dev = dev->next) {
        ADAPTER_INFO_LIST_ENTRY e;
        if (!(dev->flags & 0x1 /* PCAP_IF_LOOPBACK */) && Describe(sock, *dev, routes, e)) {
            if (preferred == dev->name)
                out.insert(out.begin(), e);
            else
                out.push_back(e);
        }
    }
    close(sock);
    api->freealldevs(devices);
    return true;
}

}  // namespace wp
