// The guest side as a kernel TUN or TAP device (Linux): whatever sits behind it (a network
// namespace, a container, a virtual machine's tap) is the guest.
#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_arp.h>
#include <linux/if_tun.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "bridge.h"

namespace bridge {
namespace {

// Room for any packet the device can hand over (the largest IPv4 packet).
constexpr int kPacketRoom = 65536;
constexpr std::size_t kEth = kEthHeader;
// What the device hands over before each packet, in its own layout and this machine's byte
// order: whether the packet's checksum is still to be made, and whether it is a TCP segment the
// guest left to be cut into the link's size.
struct VnetHeader {
    std::uint8_t flags = 0, gso_type = 0;
    std::uint16_t hdr_len = 0, gso_size = 0, csum_start = 0, csum_offset = 0;
};
static_assert(sizeof(VnetHeader) == 10);
constexpr std::uint8_t kNeedsChecksum = 1;
constexpr std::uint8_t kGsoNone = 0, kGsoTCPv4 = 1, kGsoECN = 0x80;

std::uint16_t Get16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] << 8 | p[1]); }
void Put16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v >> 8);
    p[1] = static_cast<std::uint8_t>(v);
}

// The one's-complement sum of `n` bytes (network order), added to `sum`, unfolded.
std::uint64_t Sum(const std::uint8_t* p, std::size_t n, std::uint64_t sum = 0) {
    for (; n >= 4; p += 4, n -= 4)
        sum += std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 | p[3];
    for (; n >= 2; p += 2, n -= 2)
        sum += std::uint32_t(p[0]) << 8 | p[1];
    if (n) sum += std::uint32_t(p[0]) << 8;
    return sum;
}
std::uint16_t Checksum(std::uint64_t sum) {
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<std::uint16_t>(~sum);
}

struct Descriptor {
    int fd = -1;
    Descriptor() = default;
    explicit Descriptor(int value) : fd(value) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() { Reset(); }
    void Reset(int value = -1) {
        if (fd >= 0) close(fd);
        fd = value;
    }
};

class KernelDevice final : public GuestSide {
public:
    Descriptor device;
    std::string name, netns;

    bool tap = false;
    bool vnet = false;  // the device hands packets over behind a VnetHeader

    Wait WaitFor() const override { return {device.fd, kReadable, 0}; }
    bool Pending() const override { return segOffset_ < segPayload_; }

    bool Service(unsigned ready) override {
        if (!(ready & kBroken)) return true;
        std::fprintf(stderr, "%s: the kernel device failed\n", kProgram);
        return false;
    }

    int Take(const std::uint8_t*& frame) override {
        if (!vnet) {
            const ssize_t n = read(device.fd, packet_, sizeof packet_);
            if (n < 0) return Failed();
            frame = packet_;
            return static_cast<int>(n);
        }
        for (;;) {
            if (segOffset_ < segPayload_) return NextSegment(frame);
            // A TUN packet is read behind room for an Ethernet header, so that both kinds are
            // cut the same way.
            const std::size_t l2 = tap ? 0 : kEth;
            VnetHeader h;
            iovec iov[2] = {{&h, sizeof h}, {packet_ + l2, sizeof packet_ - l2}};
            const ssize_t n = readv(device.fd, iov, 2);
            if (n < 0) return Failed();
            if (n < static_cast<ssize_t>(sizeof h)) return 0;
            const std::size_t length = l2 + static_cast<std::size_t>(n) - sizeof h;
            if (!tap) Put16(packet_ + 12, 0x0800);
            if (h.gso_type == kGsoNone) {
                if ((h.flags & kNeedsChecksum) && !FinishChecksum(h, l2, length)) continue;
                frame = packet_ + l2;
                return static_cast<int>(length - l2);
            }
            // Only TCP over IPv4 is offered to the guest's stack; anything else is dropped.
            if ((h.gso_type & ~kGsoECN) != kGsoTCPv4 || !StartSegments(h, length)) continue;
        }
    }

    // A drop is the guest's device down, or its queue full.
    bool Give(const std::uint8_t* frame, int length) override {
        if (!vnet) return write(device.fd, frame, static_cast<std::size_t>(length)) == length;
        VnetHeader none;
        iovec iov[2] = {{&none, sizeof none}, {const_cast<std::uint8_t*>(frame), static_cast<std::size_t>(length)}};
        return writev(device.fd, iov, 2) == static_cast<ssize_t>(sizeof none) + length;
    }

    std::string Describe() const override {
        return "kernel device " + name + (netns.empty() ? "" : " in namespace " + netns);
    }

private:
    int Failed() {
        if (errno == EAGAIN || errno == EINTR) return 0;
        SystemFailure("reading from the kernel device");
        return -1;
    }

    // The checksum the guest left to be made: over its packet from csum_start, stored at
    // csum_offset (where the guest put the sum of the pseudo-header). False: a header that lies.
    bool FinishChecksum(const VnetHeader& h, std::size_t l2, std::size_t length) {
        const std::size_t start = l2 + h.csum_start, at = start + h.csum_offset;
        if (at + 2 > length) return false;
        Put16(packet_ + at, Checksum(Sum(packet_ + start, length - start)));
        return true;
    }

    // A TCP/IPv4 segment of up to 64 KB: its headers and payload bounds, for NextSegment.
    bool StartSegments(const VnetHeader& h, std::size_t length) {
        const std::uint8_t* ip = packet_ + kEth;
        if (length < kEth + 40 || (ip[0] >> 4) != 4 || ip[9] != 6 || h.gso_size == 0) return false;
        ipLen_ = (ip[0] & 0x0F) * 4u;
        if (ipLen_ < 20 || kEth + ipLen_ + 20 > length) return false;
        tcpLen_ = (ip[ipLen_ + 12] >> 4) * 4u;
        const std::size_t end = kEth + Get16(ip + 2);
        if (tcpLen_ < 20 || end > length || kEth + ipLen_ + tcpLen_ > end) return false;
        mss_ = h.gso_size;
        segOffset_ = 0;
        segPayload_ = end - kEth - ipLen_ - tcpLen_;
        return true;
    }

    // The next MTU-sized frame of the segment in hand, its checksums made.
    int NextSegment(const std::uint8_t*& frame) {
        const std::size_t headers = ipLen_ + tcpLen_;
        const std::size_t chunk = std::min(mss_, segPayload_ - segOffset_);
        const std::uint8_t* ip = packet_ + kEth;
        std::uint8_t* out = segment_ + kEth;
        std::memcpy(segment_, packet_, kEth);
        std::memcpy(out, ip, headers);
        std::memcpy(out + headers, ip + headers + segOffset_, chunk);
        Put16(out + 2, static_cast<std::uint16_t>(headers + chunk));
        Put16(out + 4, static_cast<std::uint16_t>(Get16(ip + 4) + segOffset_ / mss_));
        Put16(out + 10, 0);
        Put16(out + 10, Checksum(Sum(out, ipLen_)));
        std::uint8_t* tcp = out + ipLen_;
        const std::uint32_t seq = (std::uint32_t(Get16(tcp + 4)) << 16 | Get16(tcp + 6)) + static_cast<std::uint32_t>(segOffset_);
        Put16(tcp + 4, static_cast<std::uint16_t>(seq >> 16));
        Put16(tcp + 6, static_cast<std::uint16_t>(seq));
        if (segOffset_ != 0) tcp[13] &= 0x7F;                                                // CWR: the first only
        if (segOffset_ + chunk < segPayload_) tcp[13] &= static_cast<std::uint8_t>(~0x09);  // FIN, PSH: the last
        Put16(tcp + 16, 0);
        const std::size_t tcpBytes = tcpLen_ + chunk;
        const std::uint64_t pseudo = Sum(out + 12, 8) + 6 + tcpBytes;
        Put16(tcp + 16, Checksum(Sum(tcp, tcpBytes, pseudo)));
        segOffset_ += chunk;
        const std::size_t l2 = tap ? 0 : kEth;
        frame = segment_ + l2;
        return static_cast<int>(kEth + headers + chunk - l2);
    }

    std::uint8_t packet_[kPacketRoom];
    std::uint8_t segment_[kPacketRoom];
    std::size_t ipLen_ = 0, tcpLen_ = 0, mss_ = 1, segOffset_ = 0, segPayload_ = 0;
};

// Runs `work` with the calling thread in network namespace `netns` (or where it is, when that is
// empty) and brings the thread back home; the exit status of a failure, else 0.
template <typename F>
int InNamespace(const std::string& netns, F&& work) {
    if (netns.empty()) return work();
    const std::string path = "/run/netns/" + netns;
    Descriptor home(open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC));
    Descriptor target(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (home.fd < 0) return SystemFailure("network namespace of this thread");
    if (target.fd < 0) return SystemFailure("network namespace", path);
    if (setns(target.fd, CLONE_NEWNET) != 0) return SystemFailure("entering network namespace", path);
    const int status = work();
    if (setns(home.fd, CLONE_NEWNET) != 0) {
        SystemFailure("returning from network namespace", path);
        return 1;
    }
    return status;
}

}  // namespace

// Makes the kernel device, up, with the library's MTU (and in TAP mode the guest's MAC). A TUN
// device belongs to the namespace that was current when it was made and lives as long as its
// descriptor, so it is made inside the guest's namespace and closing it removes it.
int OpenKernelDevice(const Options& o, const Interface& vf, std::unique_ptr<GuestSide>& guest) {
    auto kernel = std::make_unique<KernelDevice>();
    kernel->netns = o.netns;
    Descriptor& device = kernel->device;
    std::string& name = kernel->name;
    const int status = InNamespace(o.netns, [&]() -> int {
        device.Reset(open("/dev/net/tun", O_RDWR | O_NONBLOCK | O_CLOEXEC));
        if (device.fd < 0) return SystemFailure("opening", "/dev/net/tun");
        ifreq req;
        std::memset(&req, 0, sizeof req);
        req.ifr_flags = static_cast<short>((o.tap ? IFF_TAP : IFF_TUN) | IFF_NO_PI | IFF_VNET_HDR);
        std::snprintf(req.ifr_name, IFNAMSIZ, "%s", o.device.c_str());
        if (ioctl(device.fd, TUNSETIFF, &req) != 0) return SystemFailure("making the kernel device", o.device);
        name = req.ifr_name;
        kernel->tap = o.tap;
        // The guest's stack may then hand over TCP segments of up to 64 KB and leave checksums
        // to be made: one read instead of one per frame, cut here into the link's size. A
        // device that refuses the offloads hands over whole frames, behind the header all the same.
        const int header = sizeof(VnetHeader);
        if (ioctl(device.fd, TUNSETVNETHDRSZ, &header) != 0) return SystemFailure("setting the header size of", name);
        kernel->vnet = true;
        ioctl(device.fd, TUNSETOFFLOAD, TUN_F_CSUM | TUN_F_TSO4);

        // Settings are made by name, through a socket of the device's namespace.
        Descriptor control(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        if (control.fd < 0) return SystemFailure("socket");
        if (o.tap) {
            std::memset(&req.ifr_ifru, 0, sizeof req.ifr_ifru);
            req.ifr_hwaddr.sa_family = ARPHRD_ETHER;
            std::memcpy(req.ifr_hwaddr.sa_data, vf.mac, 6);
            if (ioctl(control.fd, SIOCSIFHWADDR, &req) != 0) return SystemFailure("setting the MAC address of", name);
        }
        req.ifr_mtu = vf.mtu;
        if (ioctl(control.fd, SIOCSIFMTU, &req) != 0) return SystemFailure("setting the MTU of", name);
        if (ioctl(control.fd, SIOCGIFFLAGS, &req) != 0) return SystemFailure("reading the flags of", name);
        req.ifr_flags = static_cast<short>(req.ifr_flags | IFF_UP);
        if (ioctl(control.fd, SIOCSIFFLAGS, &req) != 0) return SystemFailure("bringing up", name);
        return 0;
    });
    if (status == 0) guest = std::move(kernel);
    return status;
}

}  // namespace bridge
