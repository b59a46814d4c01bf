// Linux: the neighbour table, routes and links through rtnetlink, and ARP requests on a packet
// socket, answered the way the Windows calls answer.
#include <arpa/inet.h>
#include <errno.h>
#include <linux/neighbour.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <netinet/if_ether.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <netpacket/packet.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <fstream>
#include <string>
#include <new>
#include <utility>
#include <vector>

#include "platform/iphelper.h"

namespace plat {

namespace {

// The Windows code the IP Helper call would answer for the host's errno.
DWORD WinCode(int err) {
    switch (err) {
        case 0:
            return VF_ERROR_SUCCESS;
        case ENOENT:
        case ESRCH:
            return VF_ERROR_NOT_FOUND;
        case EINVAL:
        case ENODEV:
        case ENXIO:
            return VF_ERROR_INVALID_PARAMETER;
        case EPERM:
        case EACCES:
            return VF_ERROR_ACCESS_DENIED;
        case ENOMEM:
        case ENOBUFS:
            return VF_ERROR_NOT_ENOUGH_MEMORY;
        case EOPNOTSUPP:
        case EAFNOSUPPORT:
        case EPROTONOSUPPORT:
            return VF_ERROR_NOT_SUPPORTED;
        case EEXIST:
            return VF_ERROR_ALREADY_EXISTS;
        case ENETUNREACH:
        case EHOSTUNREACH:
            return VF_ERROR_NETWORK_UNREACHABLE;
        default:
            return VF_ERROR_GEN_FAILURE;
    }
}

// One rtnetlink request under construction: the header, one fixed body, then attributes.
class CRequest {
public:
    CRequest(std::uint16_t type, std::uint16_t flags) {
        Header()->nlmsg_len = NLMSG_LENGTH(0);
        Header()->nlmsg_type = type;
        Header()->nlmsg_flags = static_cast<std::uint16_t>(NLM_F_REQUEST | flags);
    }
    nlmsghdr* Header() { return reinterpret_cast<nlmsghdr*>(m_buf); }
    // The body, zeroed; called once, before any attribute.
    template <typename T>
    T* Body() {
        T* body = reinterpret_cast<T*>(m_buf + Header()->nlmsg_len);
        Header()->nlmsg_len += NLMSG_ALIGN(sizeof(T));
        return body;
    }
    void Attr(std::uint16_t type, const void* data, std::size_t len) {
        auto* attr = reinterpret_cast<rtattr*>(m_buf + NLMSG_ALIGN(Header()->nlmsg_len));
        attr->rta_type = type;
        attr->rta_len = static_cast<std::uint16_t>(RTA_LENGTH(len));
        std::memcpy(RTA_DATA(attr), data, len);
        Header()->nlmsg_len = NLMSG_ALIGN(Header()->nlmsg_len) + RTA_ALIGN(attr->rta_len);
    }

private:
    // Room for the largest request here: a body and two small attributes.
    alignas(nlmsghdr) unsigned char m_buf[128] = {};
};

// The attributes of one answer message after its body of bodySize bytes, by type; false when
// the message is too short for the body.
template <std::size_t N>
bool ParseAttrs(const nlmsghdr* h, std::size_t bodySize, const rtattr* (&attrs)[N]) {
    std::fill(std::begin(attrs), std::end(attrs), nullptr);
    if (h->nlmsg_len < NLMSG_LENGTH(bodySize)) return false;
    const auto* p = static_cast<const unsigned char*>(NLMSG_DATA(h)) + NLMSG_ALIGN(bodySize);
    const auto* end = reinterpret_cast<const unsigned char*>(h) + h->nlmsg_len;
    while (p + sizeof(rtattr) <= end) {
        const auto* attr = reinterpret_cast<const rtattr*>(p);
        if (attr->rta_len < sizeof(rtattr) || attr->rta_len > end - p) break;
        const unsigned type = attr->rta_type & NLA_TYPE_MASK;
        if (type < N && !attrs[type]) attrs[type] = attr;
        p += RTA_ALIGN(attr->rta_len);
    }
    return true;
}

std::size_t PayloadLen(const rtattr* attr) { return attr ? RTA_PAYLOAD(attr) : 0; }

// A 4-byte attribute (address or index), if present with at least that size.
bool Attr32(const rtattr* attr, std::uint32_t* value) {
    if (PayloadLen(attr) < 4) return false;
    std::memcpy(value, RTA_DATA(attr), 4);
    return true;
}

// One conversation with the kernel's routing service.
class CRouteSocket {
public:
    CRouteSocket() {
        m_fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
        if (m_fd < 0) {
            m_err = errno;
            return;
        }
        // The kernel answers at once; the limit only guards against a lost answer.
        timeval tv{2, 0};
        setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    }
    ~CRouteSocket() {
        if (m_fd >= 0) close(m_fd);
    }
    CRouteSocket(const CRouteSocket&) = delete;
    CRouteSocket& operator=(const CRouteSocket&) = delete;

    // Sends the request and hands each answer message to onMessage until the kernel's last
    // word; 0 or the errno it answered with. A request that is not a dump asks for an
    // acknowledgement, so that every exchange ends with one.
    template <typename F>
    int Exchange(CRequest& request, F&& onMessage) {
        if (m_fd < 0) return m_err;
        nlmsghdr* req = request.Header();
        const bool dump = (req->nlmsg_flags & NLM_F_DUMP) == NLM_F_DUMP;
        if (!dump) req->nlmsg_flags |= NLM_F_ACK;
        req->nlmsg_seq = ++m_seq;
        sockaddr_nl kernel{};
        kernel.nl_family = AF_NETLINK;
        if (sendto(m_fd, req, req->nlmsg_len, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) < 0) return errno;
        std::vector<std::uint32_t> buffer;
        try {
            buffer.resize(kBufferBytes / sizeof(std::uint32_t));
        } catch (const std::bad_alloc&) {
            return ENOMEM;
        }
        auto* bytes = reinterpret_cast<unsigned char*>(buffer.data());
        for (;;) {
            const ssize_t n = recv(m_fd, bytes, kBufferBytes, MSG_TRUNC);
            if (n < 0) {
                if (errno == EINTR) continue;
                return errno;
            }
            if (static_cast<std::size_t>(n) > kBufferBytes) return EMSGSIZE;
            std::size_t at = 0;
            const auto size = static_cast<std::size_t>(n);
            while (at + sizeof(nlmsghdr) <= size) {
                const auto* h = reinterpret_cast<const nlmsghdr*>(bytes + at);
                if (h->nlmsg_len < sizeof(nlmsghdr) || h->nlmsg_len > size - at) break;
                at += NLMSG_ALIGN(h->nlmsg_len);
                if (h->nlmsg_seq != m_seq) continue;
                if (h->nlmsg_type == NLMSG_DONE) return 0;
                if (h->nlmsg_type == NLMSG_ERROR) {
                    if (h->nlmsg_len < NLMSG_LENGTH(sizeof(nlmsgerr))) return EPROTO;
                    return -static_cast<const nlmsgerr*>(NLMSG_DATA(h))->error;
                }
                onMessage(h);
            }
        }
    }

private:
    // A dump's messages come in batches of at most 32 KiB.
    static constexpr std::size_t kBufferBytes = 65536;
    int m_fd = -1;
    int m_err = 0;
    std::uint32_t m_seq = 0;
};

// What the routing says about reaching one address.
struct Route {
    std::uint8_t type = RTN_UNSPEC;
    std::uint32_t ifIndex = 0;
    bool viaGateway = false;
    std::uint32_t prefSrc = 0;  // network order, 0 if none
};

int LookupRoute(std::uint32_t dest, std::uint32_t source, Route* route) {
    CRequest req(RTM_GETROUTE, 0);
    auto* rtm = req.Body<rtmsg>();
    rtm->rtm_family = AF_INET;
    rtm->rtm_dst_len = 32;
    req.Attr(RTA_DST, &dest, 4);
    if (source) {
        rtm->rtm_src_len = 32;
        req.Attr(RTA_SRC, &source, 4);
    }
    bool answered = false;
    CRouteSocket nl;
    const int err = nl.Exchange(req, [&](const nlmsghdr* h) {
        const rtattr* attrs[RTA_MAX + 1];
        if (h->nlmsg_type != RTM_NEWROUTE || answered || !ParseAttrs(h, sizeof(rtmsg), attrs)) return;
        const auto* answer = static_cast<const rtmsg*>(NLMSG_DATA(h));
        answered = true;
        route->type = answer->rtm_type;
        Attr32(attrs[RTA_OIF], &route->ifIndex);
        Attr32(attrs[RTA_PREFSRC], &route->prefSrc);
        route->viaGateway = attrs[RTA_GATEWAY] || attrs[RTA_VIA] || attrs[RTA_MULTIPATH];
    });
    if (err) return err;
    return answered ? 0 : ENETUNREACH;
}

// What a link is.
struct Link {
    unsigned short type = 0;  // ARPHRD_*
    unsigned flags = 0;       // IFF_*
    std::uint8_t mac[6] = {};
    std::size_t macLen = 0;
};

int LookupLink(CRouteSocket& nl, std::uint32_t ifIndex, Link* link) {
    CRequest req(RTM_GETLINK, 0);
    auto* ifi = req.Body<ifinfomsg>();
    ifi->ifi_family = AF_UNSPEC;
    ifi->ifi_index = static_cast<int>(ifIndex);
    bool answered = false;
    const int err = nl.Exchange(req, [&](const nlmsghdr* h) {
        const rtattr* attrs[IFLA_MAX + 1];
        if (h->nlmsg_type != RTM_NEWLINK || answered || !ParseAttrs(h, sizeof(ifinfomsg), attrs)) return;
        const auto* answer = static_cast<const ifinfomsg*>(NLMSG_DATA(h));
        answered = true;
        link->type = answer->ifi_type;
        link->flags = answer->ifi_flags;
        link->macLen = std::min(PayloadLen(attrs[IFLA_ADDRESS]), sizeof link->mac);
        if (link->macLen) std::memcpy(link->mac, RTA_DATA(attrs[IFLA_ADDRESS]), link->macLen);
    });
    if (err) return err;
    return answered ? 0 : ENODEV;
}

bool IsLoopback(const Link& link) { return link.type == ARPHRD_LOOPBACK || (link.flags & IFF_LOOPBACK); }

// The row type of a neighbour in the given state: the kernel's permanent entries (and fixed
// mappings of links without ARP) are the static ones, entries it resolved the dynamic ones, and
// entries still being resolved or that failed to resolve are invalid.
DWORD RowType(std::uint16_t state, DWORD physAddrLen) {
    if (state & NUD_PERMANENT) return kIpNetTypeStatic;
    if (state & NUD_NOARP) return physAddrLen ? kIpNetTypeStatic : kIpNetTypeInvalid;
    if (state & (NUD_REACHABLE | NUD_STALE | NUD_DELAY | NUD_PROBE)) return kIpNetTypeDynamic;
    return kIpNetTypeInvalid;
}

int ReadNeighbours(std::vector<IpNetRow>* rows) {
    CRequest req(RTM_GETNEIGH, NLM_F_DUMP);
    req.Body<ndmsg>()->ndm_family = AF_INET;
    bool outOfMemory = false;
    CRouteSocket nl;
    const int err = nl.Exchange(req, [&](const nlmsghdr* h) {
        const rtattr* attrs[NDA_MAX + 1];
        if (h->nlmsg_type != RTM_NEWNEIGH || !ParseAttrs(h, sizeof(ndmsg), attrs)) return;
        const auto* ndm = static_cast<const ndmsg*>(NLMSG_DATA(h));
        IpNetRow row{};
        if (ndm->ndm_family != AF_INET || (ndm->ndm_flags & NTF_PROXY) || !Attr32(attrs[NDA_DST], &row.dwAddr)) return;
        row.dwIndex = static_cast<DWORD>(ndm->ndm_ifindex);
        row.dwPhysAddrLen = static_cast<DWORD>(std::min(PayloadLen(attrs[NDA_LLADDR]), sizeof row.bPhysAddr));
        if (row.dwPhysAddrLen) std::memcpy(row.bPhysAddr, RTA_DATA(attrs[NDA_LLADDR]), row.dwPhysAddrLen);
        row.dwType = RowType(ndm->ndm_state, row.dwPhysAddrLen);
        try {
            rows->push_back(row);
        } catch (const std::bad_alloc&) {
            outOfMemory = true;
        }
    });
    if (err) return err;
    if (outOfMemory) return ENOMEM;
    // The kernel keeps entries on the loopback too (0.0.0.0 with an all-zero address, once
    // something was sent there); a loopback has no ARP, and Windows lists none of its rows.
    std::vector<std::pair<std::uint32_t, bool>> seen;  // interface index, loopback
    auto onLoopback = [&](const IpNetRow& row) {
        for (const auto& [index, loopback] : seen) {
            if (index == row.dwIndex) return loopback;
        }
        Link link;
        const bool loopback = LookupLink(nl, row.dwIndex, &link) == 0 && IsLoopback(link);
        seen.emplace_back(row.dwIndex, loopback);
        return loopback;
    };
    try {
        std::erase_if(*rows, onLoopback);
    } catch (const std::bad_alloc&) {
        return ENOMEM;
    }
    return 0;
}

// Whether an address can be a neighbour at all: not 0.0.0.0, loopback, multicast or broadcast.
bool IsUnicastNeighbour(std::uint32_t addr) {
    const std::uint32_t host = ntohl(addr);
    return host != 0 && (host >> 24) != 127 && (host >> 28) < 0xE;
}

// ARP for IPv4 over Ethernet, as it follows the link header.
struct ArpPacket {
    std::uint16_t htype, ptype;
    std::uint8_t hlen, plen;
    std::uint16_t op;
    std::uint8_t sha[6], spa[4], tha[6], tpa[4];
} __attribute__((packed));
static_assert(sizeof(ArpPacket) == 28, "ARP packet layout");

std::int64_t NowMs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Asks the link for dest's hardware address: a broadcast request, repeated a few times, each
// answer awaited a while. 0 with mac filled, or a Windows code.
DWORD ExchangeARP(const Link& link, std::uint32_t ifIndex, std::uint32_t sender, std::uint32_t dest, std::uint8_t* mac) {
    constexpr int kTries = 3;
    constexpr int kWaitMs = 350;
    const int fd = socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC, htons(ETH_P_ARP));
    if (fd < 0) return WinCode(errno);
    sockaddr_ll local{};
    local.sll_family = AF_PACKET;
    local.sll_protocol = htons(ETH_P_ARP);
    local.sll_ifindex = static_cast<int>(ifIndex);
    if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        const DWORD rc = WinCode(errno);
        close(fd);
        return rc;
    }
    ArpPacket request{};
    request.htype = htons(ARPHRD_ETHER);
    request.ptype = htons(ETH_P_IP);
    request.hlen = 6;
    request.plen = 4;
    request.op = htons(ARPOP_REQUEST);
    std::memcpy(request.sha, link.mac, 6);
    std::memcpy(request.spa, &sender, 4);
    std::memcpy(request.tpa, &dest, 4);
    sockaddr_ll broadcast = local;
    broadcast.sll_halen = 6;
    std::memset(broadcast.sll_addr, 0xFF, 6);

    DWORD rc = VF_ERROR_BAD_NET_NAME;
    for (int attempt = 0; attempt < kTries && rc == VF_ERROR_BAD_NET_NAME; ++attempt) {
        if (sendto(fd, &request, sizeof request, 0, reinterpret_cast<sockaddr*>(&broadcast), sizeof broadcast) < 0) {
            rc = WinCode(errno);
            break;
        }
        const std::int64_t deadline = NowMs() + kWaitMs;
        for (std::int64_t left = kWaitMs; left > 0; left = deadline - NowMs()) {
            pollfd pfd{fd, POLLIN, 0};
            const int ready = poll(&pfd, 1, static_cast<int>(left));
            if (ready < 0 && errno == EINTR) continue;
            if (ready <= 0) break;
            ArpPacket answer;
            const ssize_t n = recv(fd, &answer, sizeof answer, 0);
            if (n < static_cast<ssize_t>(sizeof answer)) continue;
            if (answer.htype == htons(ARPHRD_ETHER) && answer.ptype == htons(ETH_P_IP) && answer.hlen == 6 && answer.plen == 4 &&
                answer.op == htons(ARPOP_REPLY) && std::memcmp(answer.spa, &dest, 4) == 0) {
                std::memcpy(mac, answer.sha, 6);
                rc = VF_ERROR_SUCCESS;
                break;
            }
        }
    }
    close(fd);
    return rc;
}

}  // namespace

DWORD GetIpNetTable(IpNetTable* table, DWORD* pdwSize, bool bOrder) {
    if (!pdwSize) return VF_ERROR_INVALID_PARAMETER;
    std::vector<IpNetRow> rows;
    if (const int err = ReadNeighbours(&rows)) return WinCode(err);
    if (rows.empty()) return VF_ERROR_NO_DATA;
    if (bOrder) {
        std::sort(rows.begin(), rows.end(),
                  [](const IpNetRow& a, const IpNetRow& b) { return ntohl(a.dwAddr) < ntohl(b.dwAddr); });
    }
    const DWORD needed = static_cast<DWORD>(offsetof(IpNetTable, table) + rows.size() * sizeof(IpNetRow));
    if (!table || *pdwSize < needed) {
        *pdwSize = needed;
        return VF_ERROR_INSUFFICIENT_BUFFER;
    }
    table->dwNumEntries = static_cast<DWORD>(rows.size());
    std::memcpy(table->table, rows.data(), rows.size() * sizeof(IpNetRow));
    return VF_ERROR_SUCCESS;
}

namespace {

// The protocol field of the library's own neighbour entries: what tells them from the host's
// and from entries a user made. The kernel keeps the byte without reading it, and
// `ip neigh show proto 86` lists them.
constexpr std::uint8_t kOwnNeighbourProtocol = 86;

int WriteNeighbour(std::uint16_t type, std::uint16_t flags, const IpNetRow* row, std::uint16_t state, bool own) {
    CRequest req(type, flags);
    auto* ndm = req.Body<ndmsg>();
    ndm->ndm_family = AF_INET;
    ndm->ndm_ifindex = static_cast<int>(row->dwIndex);
    ndm->ndm_state = state;
    req.Attr(NDA_DST, &row->dwAddr, 4);
    if (type == RTM_NEWNEIGH) req.Attr(NDA_LLADDR, row->bPhysAddr, row->dwPhysAddrLen);
    if (own && type == RTM_NEWNEIGH) req.Attr(NDA_PROTOCOL, &kOwnNeighbourProtocol, 1);
    CRouteSocket nl;
    return nl.Exchange(req, [](const nlmsghdr*) {});
}

// The addresses of the library's entries on one interface.
int ReadOwnNeighbours(std::uint32_t ifIndex, std::vector<std::uint32_t>* addrs) {
    CRequest req(RTM_GETNEIGH, NLM_F_DUMP);
    req.Body<ndmsg>()->ndm_family = AF_INET;
    bool outOfMemory = false;
    CRouteSocket nl;
    const int err = nl.Exchange(req, [&](const nlmsghdr* h) {
        const rtattr* attrs[NDA_MAX + 1];
        if (h->nlmsg_type != RTM_NEWNEIGH || !ParseAttrs(h, sizeof(ndmsg), attrs)) return;
        const auto* ndm = static_cast<const ndmsg*>(NLMSG_DATA(h));
        std::uint32_t addr;
        if (ndm->ndm_family != AF_INET || static_cast<std::uint32_t>(ndm->ndm_ifindex) != ifIndex || !Attr32(attrs[NDA_DST], &addr)) return;
        if (PayloadLen(attrs[NDA_PROTOCOL]) != 1 || *static_cast<const std::uint8_t*>(RTA_DATA(attrs[NDA_PROTOCOL])) != kOwnNeighbourProtocol) return;
        try {
            addrs->push_back(addr);
        } catch (const std::bad_alloc&) {
            outOfMemory = true;
        }
    });
    return err ? err : outOfMemory ? ENOMEM : 0;
}

}  // namespace

bool IsIfPhysAddr(DWORD dwIfIndex, const std::uint8_t* mac) {
    Link link;
    CRouteSocket nl;
    return mac && LookupLink(nl, dwIfIndex, &link) == 0 && link.macLen == 6 && std::memcmp(link.mac, mac, 6) == 0;
}

DWORD SetOwnIpNetEntry(const IpNetRow* row) {
    if (!row || row->dwIndex == 0 || row->dwPhysAddrLen == 0 || row->dwPhysAddrLen > sizeof row->bPhysAddr) {
        return VF_ERROR_INVALID_PARAMETER;
    }
    return WinCode(WriteNeighbour(RTM_NEWNEIGH, NLM_F_CREATE | NLM_F_REPLACE, row, NUD_PERMANENT, true));
}

DWORD DeleteOwnIpNetEntry(const IpNetRow* row) {
    if (!row) return VF_ERROR_INVALID_PARAMETER;
    // Only an entry still marked as ours: one the user or the host has since put in its place
    // stays.
    std::vector<std::uint32_t> own;
    if (const int err = ReadOwnNeighbours(row->dwIndex, &own)) return WinCode(err);
    if (std::find(own.begin(), own.end(), row->dwAddr) == own.end()) return VF_ERROR_NOT_FOUND;
    const int err = WriteNeighbour(RTM_DELNEIGH, 0, row, 0, true);
    return err == ENOENT ? VF_ERROR_NOT_FOUND : WinCode(err);
}

DWORD DeleteOwnIpNetEntries(DWORD dwIfIndex, DWORD* pnRemoved) {
    if (pnRemoved) *pnRemoved = 0;
    std::vector<std::uint32_t> own;
    if (const int err = ReadOwnNeighbours(dwIfIndex, &own)) return WinCode(err);
    for (std::uint32_t addr : own) {
        const IpNetRow row{dwIfIndex, 0, {}, addr, 0};
        const int err = WriteNeighbour(RTM_DELNEIGH, 0, &row, 0, true);
        if (err && err != ENOENT) return WinCode(err);
        if (!err && pnRemoved) ++*pnRemoved;
    }
    return VF_ERROR_SUCCESS;
}

// A raw socket that supplies its own IPv4 header: the kernel routes the packet by its
// destination, and one for a local address is delivered to the host's own stack (through the
// loopback) with the guest's source address, as if it had come in.
DWORD OpenHostDeliverySocket(std::intptr_t* ps) {
    *ps = kInvalidHostSocket;
    const int fd = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_RAW);
    if (fd < 0) return WinCode(errno);
    *ps = fd;
    return VF_ERROR_SUCCESS;
}

DWORD DeliverToHost(std::intptr_t s, const std::uint8_t* packet, std::uint32_t length) {
    if (s == kInvalidHostSocket || !packet || length < sizeof(iphdr)) return VF_ERROR_INVALID_PARAMETER;
    sockaddr_in dest{};
    dest.sin_family = AF_INET;
    std::memcpy(&dest.sin_addr, packet + offsetof(iphdr, daddr), 4);
    for (;;) {
        if (sendto(static_cast<int>(s), packet, length, 0, reinterpret_cast<sockaddr*>(&dest), sizeof dest) >= 0) return 0;
        if (errno != EINTR) return WinCode(errno);
    }
}

void CloseHostDeliverySocket(std::intptr_t s) {
    if (s != kInvalidHostSocket) close(static_cast<int>(s));
}

DWORD SetIpNetEntry(const IpNetRow* row) {
    if (!row || row->dwIndex == 0 || row->dwPhysAddrLen == 0 || row->dwPhysAddrLen > sizeof row->bPhysAddr) {
        return VF_ERROR_INVALID_PARAMETER;
    }
    std::uint16_t state;
    if (row->dwType == kIpNetTypeStatic) {
        state = NUD_PERMANENT;
    } else if (row->dwType == kIpNetTypeDynamic) {
        state = NUD_REACHABLE;
    } else {
        return VF_ERROR_INVALID_PARAMETER;
    }
    CRequest req(RTM_NEWNEIGH, NLM_F_CREATE | NLM_F_REPLACE);
    auto* ndm = req.Body<ndmsg>();
    ndm->ndm_family = AF_INET;
    ndm->ndm_ifindex = static_cast<int>(row->dwIndex);
    ndm->ndm_state = state;
    req.Attr(NDA_DST, &row->dwAddr, 4);
    req.Attr(NDA_LLADDR, row->bPhysAddr, row->dwPhysAddrLen);
    CRouteSocket nl;
    return WinCode(nl.Exchange(req, [](const nlmsghdr*) {}));
}

DWORD DeleteIpNetEntry(const IpNetRow* row) {
    if (!row) return VF_ERROR_INVALID_PARAMETER;
    CRequest req(RTM_DELNEIGH, 0);
    auto* ndm = req.Body<ndmsg>();
    ndm->ndm_family = AF_INET;
    ndm->ndm_ifindex = static_cast<int>(row->dwIndex);
    req.Attr(NDA_DST, &row->dwAddr, 4);
    CRouteSocket nl;
    const int err = nl.Exchange(req, [](const nlmsghdr*) {});
    // Windows answers a missing entry with "no more items".
    return err == ENOENT ? VF_ERROR_NO_MORE_ITEMS : WinCode(err);
}

DWORD GetBestRoute(DWORD dwDestAddr, DWORD dwSourceAddr, DWORD* pdwIfIndex) {
    if (!pdwIfIndex) return VF_ERROR_INVALID_PARAMETER;
    Route route;
    if (const int err = LookupRoute(dwDestAddr, dwSourceAddr, &route)) return WinCode(err);
    if (route.ifIndex == 0) return VF_ERROR_NETWORK_UNREACHABLE;
    *pdwIfIndex = route.ifIndex;
    return VF_ERROR_SUCCESS;
}

DWORD GetBestInterface(DWORD dwDestAddr, DWORD* pdwIfIndex) { return GetBestRoute(dwDestAddr, 0, pdwIfIndex); }

DWORD GetIfType(DWORD dwIfIndex, DWORD* pdwType) {
    if (!pdwType) return VF_ERROR_INVALID_PARAMETER;
    Link link;
    CRouteSocket nl;
    if (const int err = LookupLink(nl, dwIfIndex, &link)) return WinCode(err);
    if (IsLoopback(link)) {
        *pdwType = kIfTypeSoftwareLoopback;
    } else if (link.type == ARPHRD_ETHER) {
        *pdwType = kIfTypeEthernet;
    } else {
        *pdwType = kIfTypeOther;
    }
    return VF_ERROR_SUCCESS;
}

DWORD SendARP(DWORD dwDestIP, DWORD dwSrcIP, std::uint8_t* pMacAddr, DWORD* pdwPhysAddrLen) {
    if (!pMacAddr || !pdwPhysAddrLen || *pdwPhysAddrLen < 6) return VF_ERROR_INVALID_PARAMETER;
    if (!IsUnicastNeighbour(dwDestIP)) return VF_ERROR_BAD_NET_NAME;
    // A request goes out only for an address that the routing puts directly on an Ethernet link
    // of this host: never for one behind a gateway, local, or on a loopback or ARP-less link.
    Route route;
    if (const int err = LookupRoute(dwDestIP, dwSrcIP, &route)) return WinCode(err);
    if (route.type != RTN_UNICAST || route.viaGateway || route.ifIndex == 0) return VF_ERROR_BAD_NET_NAME;
    Link link;
    CRouteSocket nl;
    if (const int err = LookupLink(nl, route.ifIndex, &link)) return WinCode(err);
    if (link.type != ARPHRD_ETHER || IsLoopback(link) || (link.flags & IFF_NOARP) || !(link.flags & IFF_UP) || link.macLen != 6) {
        return VF_ERROR_BAD_NET_NAME;
    }
    const DWORD rc = ExchangeARP(link, route.ifIndex, dwSrcIP ? dwSrcIP : route.prefSrc, dwDestIP, pMacAddr);
    if (rc != VF_ERROR_SUCCESS) return rc;
    *pdwPhysAddrLen = 6;
    // Windows keeps what an exchange learnt in the host's table, so the next lookup finds it
    // there instead of asking the network again (a TUN write per packet, otherwise); so does
    // this, as a dynamic entry that the kernel ages as its own.
    IpNetRow learnt{route.ifIndex, 6, {}, dwDestIP, kIpNetTypeDynamic};
    std::memcpy(learnt.bPhysAddr, pMacAddr, 6);
    SetIpNetEntry(&learnt);
    return rc;
}

// The per-interface switch, which the global one (net.ipv4.ip_forward) sets on every interface.
DWORD GetIPv4Forwarding(DWORD dwIfIndex, bool* pbForwarding) {
    if (!pbForwarding) return VF_ERROR_INVALID_PARAMETER;
    char name[IF_NAMESIZE] = {};
    if (!if_indextoname(dwIfIndex, name)) return VF_ERROR_NOT_FOUND;
    std::ifstream file(std::string("/proc/sys/net/ipv4/conf/") + name + "/forwarding");
    int value = 0;
    if (!(file >> value)) return VF_ERROR_NOT_SUPPORTED;
    *pbForwarding = value != 0;
    return VF_ERROR_SUCCESS;
}

}  // namespace plat
