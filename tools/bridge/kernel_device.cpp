// The guest side as a kernel TUN or TAP device (Linux): whatever sits behind it (a network
// namespace, a container, a virtual machine's tap) is the guest.
#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_arp.h>
#include <linux/if_tun.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "bridge.h"

namespace bridge {
namespace {

// Room for any packet the device can hand over (the largest IPv4 packet).
constexpr int kPacketRoom = 65536;

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

    Wait WaitFor() const override { return {device.fd, kReadable, 0}; }

    bool Service(unsigned ready) override {
        if (!(ready & kBroken)) return true;
        std::fprintf(stderr, "%s: the kernel device failed\n", kProgram);
        return false;
    }

    int Take(const std::uint8_t*& frame) override {
        const ssize_t n = read(device.fd, packet_, sizeof packet_);
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR) return 0;
            SystemFailure("reading from the kernel device");
            return -1;
        }
        frame = packet_;
        return static_cast<int>(n);
    }

    // A drop is the guest's device down, or its queue full.
    bool Give(const std::uint8_t* frame, int length) override {
        return write(device.fd, frame, static_cast<std::size_t>(length)) == length;
    }

    std::string Describe() const override {
        return "kernel device " + name + (netns.empty() ? "" : " in namespace " + netns);
    }

private:
    std::uint8_t packet_[kPacketRoom];
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
        req.ifr_flags = static_cast<short>((o.tap ? IFF_TAP : IFF_TUN) | IFF_NO_PI);
        std::snprintf(req.ifr_name, IFNAMSIZ, "%s", o.device.c_str());
        if (ioctl(device.fd, TUNSETIFF, &req) != 0) return SystemFailure("making the kernel device", o.device);
        name = req.ifr_name;

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
