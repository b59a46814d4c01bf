// vifnet-bridge: joins a kernel TUN or TAP device to a host Ethernet adapter through the
// library, so that whatever sits behind the device (a network namespace, a container, a virtual
// machine) appears on the adapter's LAN as a host of its own.
//
// One thread, one poll loop over three descriptors: the library's descriptor (readable while
// receive buffers wait, since the interface is opened in notify mode), the kernel device, and a
// signalfd for SIGINT and SIGTERM. Guest to LAN, the kernel device is drained without blocking
// into one multi-write batch per turn (one send for the whole batch); LAN to guest, the library
// is read until it has nothing left. Nothing is allocated per packet.
#include <arpa/inet.h>
#include <fcntl.h>
#include <getopt.h>
#include <linux/if.h>
#include <linux/if_arp.h>
#include <linux/if_tun.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <grp.h>
#include <linux/capability.h>
#include <pwd.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "vifnet32.h"

namespace {

constexpr const char* kProgram = "vifnet-bridge";
// Frames per multi-write batch. Large, because each turn of the LAN side costs the library's
// reader thread a wake-up and a hand-over however little it carries (a TCP upload's ACKs): the
// longer the guest side's turn, the more each of those brings. Bounded, so that the LAN side
// waits about a millisecond at most while the guest floods.
constexpr int kBatchFrames = 512;
// Packets read from the library per turn before the guest side gets its turn again.
constexpr int kReadBudget = 256;
// A batch record is the frame behind a 16-byte header.
constexpr int kBatchRecordHeader = 16;
constexpr int kEthHeader = 14;
// Room for any packet either side can hand over (the largest IPv4 packet).
constexpr int kPacketRoom = 65536;
// The receive buffers the library takes from the adapter, each a run of frames: the largest it
// allows, so that one hand-over from its reader thread carries as much as has arrived, and a
// burst waits in the library rather than overflowing the capture ring below it.
constexpr int kIOBufferBytes = 1 << 20;

const char kUsage[] =
    "Usage: vifnet-bridge [OPTIONS]\n"
    "\n"
    "Joins a kernel TUN or TAP device to a host Ethernet adapter through the Vifnet library: what\n"
    "sits behind the device (a network namespace, a container, a virtual machine) appears on the\n"
    "adapter's LAN as a host of its own. Runs until SIGINT (Ctrl-C) or SIGTERM, then removes the\n"
    "device and prints a table of the interface's statistics.\n"
    "\n"
    "Options:\n"
    "  -a, --adapter ADDR    the host adapter, by its IPv4 address (192.168.1.10) or MAC address\n"
    "                        (02-00-00-00-00-01 or 02:00:00:00:00:01); default: the library's\n"
    "                        default interface\n"
    "  -m, --mode tun|tap    tun (default): the device carries IPv4 packets; the library frames\n"
    "                        them and answers ARP for the guest's address. Packets of other\n"
    "                        protocols (IPv6) from the device are dropped.\n"
    "                        tap: the device carries whole Ethernet frames and the guest answers\n"
    "                        ARP itself; the device gets the MAC address the library gives the\n"
    "                        guest, the only unicast address it lets through.\n"
    "  -i, --ip ADDR[/BITS]  the guest's IPv4 address, optionally with its prefix length.\n"
    "                        Required in TUN mode. Optional in TAP mode: there it only chooses\n"
    "                        the guest's MAC address (02-00-5E-...) and is announced by a\n"
    "                        gratuitous ARP when the bridge starts.\n"
    "  -n, --netmask MASK    the guest's netmask (dotted, or /BITS on --ip); default: the\n"
    "                        adapter's own mask when the guest is on its subnet. TUN mode uses it\n"
    "                        to tell LAN neighbours from hosts behind the gateway; TAP mode does\n"
    "                        not use it.\n"
    "      --mac-mode own|shared|auto\n"
    "                        the MAC address the guest uses on the wire. own: one of its own\n"
    "                        (the library's 02-00-5E-... in TUN mode, the device's in TAP mode).\n"
    "                        shared: the adapter's, for links that carry one address per station\n"
    "                        (Wi-Fi); IPv4 and ARP are translated, IPv6 is not. auto (default):\n"
    "                        shared on a wireless adapter, own elsewhere.\n"
    "  -d, --dev NAME        the kernel device's name (default vfbr%d: the kernel numbers it)\n"
    "  -N, --netns NAME      make the device in network namespace NAME (/run/netns/NAME, as made\n"
    "                        by 'ip netns add NAME') instead of this one\n"
    "  -u, --user NAME       once started, run as user NAME (and its group) instead of root\n"
    "  -s, --stats SECONDS   print a statistics line every SECONDS\n"
    "  -D, --debug           the library's diagnostics and frame trace to stderr (IFF_DEBUG)\n"
    "  -h, --help            this help\n"
    "\n"
    "Privileges: once the device and the adapter are open, and before any frame is read, the\n"
    "bridge gives up every capability but two, which the library needs: CAP_NET_RAW, to ask\n"
    "the LAN for a neighbour's MAC address (TUN mode) and to hand the guest's packets for this\n"
    "host to its own stack, and CAP_NET_ADMIN, to tell this host the guest's MAC (a neighbour\n"
    "entry, removed again when the bridge stops). Everything else it keeps using is open by\n"
    "then, and its device goes away when it closes it, which needs nothing more.\n"
    "\n"
    "The device is brought up with the library's MTU; its addresses and routes are the guest's\n"
    "own business (for a namespace: ip -n NAME addr add ...). Once running, the bridge prints a\n"
    "line ending in \"ready\".\n"
    "\n"
    "Example: a namespace \"guest\" as 192.168.1.77 on the LAN of the adapter 192.168.1.10:\n"
    "  ip netns add guest\n"
    "  vifnet-bridge -a 192.168.1.10 -i 192.168.1.77/24 -N guest -d vf0 -s 10 &\n"
    "  ip -n guest addr add 192.168.1.77/24 dev vf0\n"
    "  ip -n guest route add default via 192.168.1.1\n"
    "\n"
    "Exit status: 0 after SIGINT or SIGTERM, 1 on a failure while running, 2 on bad arguments.\n";

struct Options {
    std::string adapter;  // empty: the library's default interface
    bool tap = false;
    bool hasIP = false, hasMask = false;
    std::uint8_t ip[4] = {}, mask[4] = {};
    std::string device = "vfbr%d";
    std::string netns;
    std::string user;  // empty: stays root, with the capabilities it keeps
    int statsSeconds = 0;
    bool debug = false;
    int macMode = VIFNET32_MACMODE_AUTO;
};

// ---- Messages ------------------------------------------------------------------------------------

[[noreturn]] void BadArgument(const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    std::fprintf(stderr, "%s: ", kProgram);
    std::vfprintf(stderr, format, args);
    std::fprintf(stderr, " (see --help)\n");
    va_end(args);
    std::exit(2);
}

// The library reports every failure through its debug output, the cause first and then each
// caller's view of it. Without --debug the bridge keeps the first failure line since it last
// looked, to say why it stops; the library may write from its reader thread too, hence the lock
// (taken on failures and in debug mode only).
std::mutex g_textLock;
bool g_debug = false;
char g_firstFailure[512];

void OnLibraryText(const char* text) {
    std::lock_guard<std::mutex> lock(g_textLock);
    if (g_debug) std::fputs(text, stderr);
    if (std::strncmp(text, "** ", 3) != 0 || g_firstFailure[0]) return;
    std::snprintf(g_firstFailure, sizeof g_firstFailure, "%s", text + 3);
    g_firstFailure[std::strcspn(g_firstFailure, "\r\n")] = '\0';
}

void ForgetLibraryFailures() {
    std::lock_guard<std::mutex> lock(g_textLock);
    g_firstFailure[0] = '\0';
}

// Reports a failed library call with the library's own words; 1, the exit status.
int LibraryFailure(const char* what) {
    const int e = errno;
    std::lock_guard<std::mutex> lock(g_textLock);
    if (g_firstFailure[0]) {
        std::fprintf(stderr, "%s: %s failed: %s\n", kProgram, what, g_firstFailure);
        g_firstFailure[0] = '\0';  // said once: the next failure has its own cause
    } else {
        std::fprintf(stderr, "%s: %s failed: errno %d (%s), error code %u\n", kProgram, what, e, std::strerror(e),
                     vifnet32_get_last_error());
    }
    return 1;
}

int SystemFailure(const char* what, const std::string& detail = "") {
    const int e = errno;
    std::fprintf(stderr, "%s: %s%s%s: %s\n", kProgram, what, detail.empty() ? "" : " ", detail.c_str(), std::strerror(e));
    return 1;
}

// ---- Arguments -----------------------------------------------------------------------------------

bool ParseIPv4(const char* text, std::uint8_t out[4]) { return inet_pton(AF_INET, text, out) == 1; }

// The text forms the library takes for an adapter: IPv4, or six hexadecimal pairs with one
// separator (':' or '-') throughout. Which adapter exists is the library's to say.
bool IsAdapterText(const std::string& text) {
    std::uint8_t ip[4];
    if (ParseIPv4(text.c_str(), ip)) return true;
    if (text.size() != 17 || (text[2] != ':' && text[2] != '-')) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool separator = i % 3 == 2;
        if (separator ? text[i] != text[2] : !std::isxdigit(static_cast<unsigned char>(text[i]))) return false;
    }
    return true;
}

void MaskFromBits(int bits, std::uint8_t mask[4]) {
    const std::uint32_t value = bits == 0 ? 0 : 0xFFFFFFFFu << (32 - bits);
    const std::uint32_t network = htonl(value);
    std::memcpy(mask, &network, 4);
}

bool IsContiguousMask(const std::uint8_t mask[4]) {
    std::uint32_t network;
    std::memcpy(&network, mask, 4);
    const std::uint32_t value = ntohl(network);
    return value != 0 && (~value & (~value + 1)) == 0;
}

Options ParseArguments(int argc, char** argv) {
    static const option kLong[] = {
        {"adapter", required_argument, nullptr, 'a'}, {"mode", required_argument, nullptr, 'm'},
        {"ip", required_argument, nullptr, 'i'},      {"netmask", required_argument, nullptr, 'n'},
        {"dev", required_argument, nullptr, 'd'},     {"netns", required_argument, nullptr, 'N'},
        {"stats", required_argument, nullptr, 's'},   {"debug", no_argument, nullptr, 'D'},
        {"user", required_argument, nullptr, 'u'},    {"mac-mode", required_argument, nullptr, 'M'},
        {"help", no_argument, nullptr, 'h'},          {nullptr, 0, nullptr, 0},
    };
    Options o;
    opterr = 0;  // one line of our own instead of getopt's
    for (int c; (c = getopt_long(argc, argv, ":a:m:i:n:d:N:s:u:Dh", kLong, nullptr)) != -1;) {
        switch (c) {
            case 'a':
                o.adapter = optarg;
                if (!IsAdapterText(o.adapter)) BadArgument("--adapter %s: not an IPv4 or MAC address", optarg);
                break;
            case 'm':
                if (std::strcmp(optarg, "tun") != 0 && std::strcmp(optarg, "tap") != 0)
                    BadArgument("--mode %s: tun or tap", optarg);
                o.tap = std::strcmp(optarg, "tap") == 0;
                break;
            case 'i': {
                std::string text = optarg;
                const std::size_t slash = text.find('/');
                if (slash != std::string::npos) {
                    char* end = nullptr;
                    const long bits = std::strtol(text.c_str() + slash + 1, &end, 10);
                    if (slash + 1 == text.size() || *end || bits < 1 || bits > 32) BadArgument("--ip %s: bad prefix length", optarg);
                    if (o.hasMask) BadArgument("the netmask is given twice");
                    MaskFromBits(static_cast<int>(bits), o.mask);
                    o.hasMask = true;
                    text.resize(slash);
                }
                if (!ParseIPv4(text.c_str(), o.ip)) BadArgument("--ip %s: not an IPv4 address", optarg);
                if (o.ip[0] == 0 || o.ip[0] >= 224) BadArgument("--ip %s: not a host address", optarg);
                o.hasIP = true;
                break;
            }
            case 'n':
                if (o.hasMask) BadArgument("the netmask is given twice");
                if (!ParseIPv4(optarg, o.mask) || !IsContiguousMask(o.mask)) BadArgument("--netmask %s: not a netmask", optarg);
                o.hasMask = true;
                break;
            case 'd':
                o.device = optarg;
                if (o.device.empty() || o.device.size() >= IFNAMSIZ || o.device.find_first_of("/ \t:") != std::string::npos)
                    BadArgument("--dev %s: not a device name (1 to %d characters, no '/', ':' or blanks)", optarg, IFNAMSIZ - 1);
                break;
            case 'N':
                o.netns = optarg;
                if (o.netns.empty() || o.netns.find('/') != std::string::npos || o.netns == "." || o.netns == "..")
                    BadArgument("--netns %s: not a namespace name", optarg);
                break;
            case 's': {
                char* end = nullptr;
                const long seconds = std::strtol(optarg, &end, 10);
                if (!*optarg || *end || seconds < 1 || seconds > 86400) BadArgument("--stats %s: 1 to 86400 seconds", optarg);
                o.statsSeconds = static_cast<int>(seconds);
                break;
            }
            case 'u':
                o.user = optarg;
                if (o.user.empty()) BadArgument("--user: a user name");
                break;
            case 'D':
                o.debug = true;
                break;
            case 'M': {
                const char* const names[] = {"auto", "own", "shared"};  // by mode value
                o.macMode = -1;
                for (int mode = 0; mode < 3; ++mode) {
                    if (std::strcmp(optarg, names[mode]) == 0) o.macMode = mode;
                }
                if (o.macMode < 0) BadArgument("--mac-mode %s: own, shared or auto", optarg);
                break;
            }
            case 'h':
                std::fputs(kUsage, stdout);
                std::exit(0);
            case ':':
                BadArgument("%s needs a value", argv[optind - 1]);
            default:
                BadArgument("unknown option %s", argv[optind - 1]);
        }
    }
    if (optind < argc) BadArgument("unexpected argument %s", argv[optind]);
    if (!o.tap && !o.hasIP) BadArgument("TUN mode needs the guest's address (--ip)");
    return o;
}

// ---- The library interface -----------------------------------------------------------------------

struct Interface {
    int fd = -1;
    char name[16] = "";
    std::uint8_t mac[6] = {};
    int mtu = 0;

    ~Interface() {
        if (fd >= 0) vifnet32_close(fd);
    }

    // A request addressed by the interface's name, with `size` bytes of `value` as its argument;
    // the answer is left in `reply` when one is given.
    bool Request(int code, const void* value, std::size_t size, vifnet32_ifreq* reply = nullptr) const {
        vifnet32_ifreq req;
        std::memset(&req, 0, sizeof req);
        std::memcpy(req.ifr_name, name, sizeof req.ifr_name);
        if (size) std::memcpy(&req.ifr_ifru, value, size);
        if (vifnet32_ioctl(fd, code, &req) != 0) return false;
        if (reply) *reply = req;
        return true;
    }

    bool SetAddress(int code, const std::uint8_t address[4]) const {
        vifnet32_sockaddr_in sin;
        std::memset(&sin, 0, sizeof sin);
        sin.sin_family = VIFNET32_AF_INET;
        std::memcpy(sin.sin_addr, address, 4);
        return Request(code, &sin, sizeof sin);
    }
};

// Opens and configures the interface, down; 0 or the exit status.
int OpenInterface(const Options& o, const std::string& adapter, Interface& vf) {
    vf.fd = vifnet32_open(adapter.c_str(), VIFNET32_O_RDWR | _O_VF32NOTIFY);
    if (vf.fd < 0) return LibraryFailure(("opening the adapter " + adapter).c_str());
    vifnet32_ifreq req;
    std::memset(&req, 0, sizeof req);
    req.ifr_flags = o.tap ? VIFNET32_IFF_TAP : VIFNET32_IFF_TUN;
    if (vifnet32_ioctl(vf.fd, VIFNET32_TUNSETIFF, &req) != 0) return LibraryFailure("choosing the interface type");
    std::memcpy(vf.name, req.ifr_name, sizeof vf.name);
    // The address first: it chooses the guest's MAC and, on the adapter's subnet, its netmask;
    // an explicit netmask then overrides the derived one.
    if (o.hasIP && !vf.SetAddress(VIFNET32_SIOCSIFDSTADDR, o.ip)) return LibraryFailure("setting the guest's address");
    if (o.hasMask && !vf.SetAddress(VIFNET32_SIOCSIFNETMASK, o.mask)) return LibraryFailure("setting the netmask");
    if (!vf.Request(VIFNET32_IFCTL_SETIOBUFSIZE, &kIOBufferBytes, sizeof kIOBufferBytes)) return LibraryFailure("sizing the receive buffers");
    vifnet32_ifreq reply;
    if (!vf.Request(VIFNET32_SIOCGIFHWADDR, nullptr, 0, &reply)) return LibraryFailure("reading the guest's MAC address");
    std::memcpy(vf.mac, reply.ifr_hwaddr.sa_data, 6);
    if (!vf.Request(VIFNET32_SIOCGIFMTU, nullptr, 0, &reply)) return LibraryFailure("reading the MTU");
    vf.mtu = reply.ifr_mtu;
    return 0;
}

// ---- MAC mode ------------------------------------------------------------------------------------

// Sets the mode before the interface comes up (the library refuses it later); 0 or the exit status.
int SetMacMode(const Options& o, const Interface& vf) {
    int mode = o.macMode;
    if (vifnet32_ioctl(vf.fd, VIFNET32_IFCTL_SETMACMODE, &mode) != 0) return LibraryFailure("setting the MAC mode");
    return 0;
}

// The ready line's words for the mode in force and why. A host that forwards IPv4 on the adapter
// sees the guest's packets arrive for its own MAC and routes them a second time: said there too.
std::string MacModeText(const Options& o, const Interface& vf) {
    int mode = 0;
    if (vifnet32_ioctl(vf.fd, VIFNET32_IFCTL_GETMACMODE, &mode) != 0) return "MAC mode unknown";
    const bool shared = mode & VIFNET32_MACMODE_F_SHARED_IN_FORCE;
    std::string text = shared ? "MAC mode shared (" : "MAC mode own (";
    if (o.macMode != VIFNET32_MACMODE_AUTO) {
        text += "asked";
    } else {
        text += (mode & VIFNET32_MACMODE_F_WIRELESS) ? "auto: adapter is wireless" : "auto: adapter is wired";
    }
    if (shared && (mode & VIFNET32_MACMODE_F_FORWARDING))
        text += "; WARNING: this host forwards IPv4 on the adapter and would route the guest's packets a second time";
    return text + ")";
}

// ---- The kernel device ---------------------------------------------------------------------------

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

// Makes the kernel device, up, with the library's MTU (and in TAP mode the guest's MAC). A TUN
// device belongs to the namespace that was current when it was made and lives as long as its
// descriptor, so it is made inside the guest's namespace and closing `device` removes it.
int OpenKernelDevice(const Options& o, const Interface& vf, Descriptor& device, std::string& name) {
    return InNamespace(o.netns, [&]() -> int {
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
}

// Gives up root: a bug reachable from the LAN's frames must not find every capability there. What
// the bridge uses from here on is open already (the capture's socket, the device, the socket
// pair), and closing the device removes it. The library still asks the LAN for a neighbour's MAC
// address on a packet socket of its own (CAP_NET_RAW), and gives the host its way to the guest
// when the interface comes up and takes it back at close: a raw socket (CAP_NET_RAW) and a
// neighbour entry (CAP_NET_ADMIN). Nothing else is kept.
// Capabilities belong to each thread and capset changes only the caller's, so this runs before
// the library starts its reader thread (when the interface comes up), which inherits them.
int DropPrivileges(const Options& o) {
    constexpr std::uint64_t keep = (1ull << CAP_NET_RAW) | (1ull << CAP_NET_ADMIN);
    const passwd* user = nullptr;
    if (!o.user.empty()) {
        errno = 0;
        user = getpwnam(o.user.c_str());
        if (!user) {
            if (errno) return SystemFailure("looking up user", o.user);
            std::fprintf(stderr, "%s: no user %s\n", kProgram, o.user.c_str());
            return 1;
        }
    }
    // Nothing dropped can come back, not even through a program run later (a kernel older than
    // these headers knows fewer capabilities: EINVAL for the rest).
    for (int cap = 0; cap <= CAP_LAST_CAP; ++cap) {
        if (!(keep >> cap & 1) && prctl(PR_CAPBSET_DROP, cap, 0, 0, 0) != 0 && errno != EINVAL)
            return SystemFailure("dropping capabilities");
    }
    if (user) {
        // Kept across the change of user, then cut down below.
        if (prctl(PR_SET_KEEPCAPS, 1, 0, 0, 0) != 0) return SystemFailure("keeping capabilities");
        if (setgroups(0, nullptr) != 0 || setgid(user->pw_gid) != 0 || setuid(user->pw_uid) != 0)
            return SystemFailure("becoming user", o.user);
    }
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    data[0].effective = data[0].permitted = static_cast<std::uint32_t>(keep);
    if (syscall(SYS_capset, &header, data) != 0) return SystemFailure("dropping capabilities");
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return SystemFailure("dropping capabilities");
    return 0;
}

// ---- Statistics ----------------------------------------------------------------------------------

struct Counters {
    std::uint64_t toGuest = 0, toGuestBytes = 0, toLAN = 0, toLANBytes = 0, batches = 0;
    std::uint64_t droppedToGuest = 0, droppedToLAN = 0;
};

// The one packet in flight, either way: the library copies what it is given, so one buffer
// serves both directions.
std::uint8_t g_packet[kPacketRoom];

double Now() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

bool ReadStats(const Interface& vf, VIFNET32_STATS& stats) {
    std::memset(&stats, 0, sizeof stats);
    stats.dwStructSize = sizeof stats;
    return vifnet32_get_stats(vf.fd, &stats) == 0;
}

using ULL = unsigned long long;

void PrintStatsLine(const Interface& vf, const Counters& c, Counters& last, double elapsed, double interval) {
    VIFNET32_STATS s;
    if (!ReadStats(vf, s)) return;
    std::printf("[%7.1f s] to guest %llu packets (%.0f/s), to LAN %llu (%.0f/s) in %llu batches; library: examined %llu, sent %llu, "
                "ARP replies %llu, discarded %llu\n",
                elapsed, static_cast<ULL>(c.toGuest), static_cast<double>(c.toGuest - last.toGuest) / interval,
                static_cast<ULL>(c.toLAN), static_cast<double>(c.toLAN - last.toLAN) / interval, static_cast<ULL>(c.batches),
                static_cast<ULL>(s.n64FramesExamined), static_cast<ULL>(s.n64PacketsWritten), static_cast<ULL>(s.n64ARPReplies),
                static_cast<ULL>(s.n64FramesDiscarded));
    std::fflush(stdout);
    last = c;
}

void PrintStatsTable(const Interface& vf, const VIFNET32_STATS& s, const Counters& c, double elapsed) {
    struct Row {
        const char* label;
        ULL value;
    };
    const Row rows[] = {
        {"packets to the guest", c.toGuest},
        {"bytes to the guest", c.toGuestBytes},
        {"packets to the LAN", c.toLAN},
        {"bytes to the LAN", c.toLANBytes},
        {"multi-write batches", c.batches},
        {"dropped on the way to the guest", c.droppedToGuest},
        {"dropped on the way to the LAN", c.droppedToLAN},
        {nullptr, 0},
        {"driver buffer (bytes)", s.dwKernelBuffSize},
        {"read buffer (bytes)", s.dwReadBuffSize},
        {"largest receive buffer (bytes)", s.dwMaxBytesRead},
        {"receive buffers taken", s.n64AdapterReads},
        {"bytes received", s.n64BytesRead},
        {"frames examined", s.n64FramesExamined},
        {"frames discarded", s.n64FramesDiscarded},
        {"own frames dropped", s.n64OwnFramesDropped},
        {"ARP/RARP requests answered", s.n64ARPReplies},
        {"read calls", s.n64ReadPacketCalls},
        {"write calls (single + batches)", s.n64WriteCalls},
        {"single-frame sends", s.n64WriteAttempts},
        {"frames sent", s.n64PacketsWritten},
        {"bytes sent", s.n64BytesWritten},
        {"zero destination MAC read", s.n64ZeroDestMACRead},
        {"zero source MAC read", s.n64ZeroSrcMACRead},
        {"zero destination MAC written", s.n64ZeroDestMACWritten},
        {"zero source MAC written", s.n64ZeroSrcMACWritten},
    };
    std::printf("\nStatistics of %s after %.1f s\n  the bridge\n", vf.name, elapsed);
    for (const Row& row : rows) {
        if (row.label) {
            std::printf("    %-32s %16llu\n", row.label, row.value);
        } else {
            std::printf("  the library's interface (its statistics record)\n");
        }
    }
    std::fflush(stdout);
}

// ---- The two directions --------------------------------------------------------------------------

struct Bridge {
    const Options& o;
    const Interface& vf;
    int device;
    int batchBytes;
    Counters counters;
    bool sendFailing = false;  // reported once per run of failed sends

    Bridge(const Options& options, const Interface& iface, int kernelDevice)
        : o(options), vf(iface), device(kernelDevice), batchBytes(kBatchFrames * (iface.mtu + kEthHeader + kBatchRecordHeader)) {}

    // Guest to LAN: the device's waiting packets, up to one batch, in one send. False on a
    // failure that ends the bridge.
    bool GuestToLAN() {
        ssize_t n = read(device, g_packet, sizeof g_packet);
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR) return true;
            SystemFailure("reading from the kernel device");
            return false;
        }
        // A failure here is the last batch failing again: it stays open and takes these frames
        // too, and the end of this one tries to send them all.
        vifnet32_beg_write_multi(vf.fd, batchBytes);
        int readError = 0;
        for (int taken = 0; n > 0;) {
            // The library would frame whatever it is given as IPv4: other protocols stay here.
            if (!o.tap && (g_packet[0] >> 4) != 4) {
                ++counters.droppedToLAN;
            } else if (vifnet32_write(vf.fd, g_packet, static_cast<int>(n)) == n) {
                ++counters.toLAN;
                counters.toLANBytes += static_cast<std::uint64_t>(n);
            } else {
                ++counters.droppedToLAN;
            }
            if (++taken == kBatchFrames) break;
            n = read(device, g_packet, sizeof g_packet);
            if (n < 0 && errno != EAGAIN && errno != EINTR) readError = errno;
        }
        const bool sent = vifnet32_end_write_multi(vf.fd) == 0;
        counters.batches += sent;
        if (!NoteSend(sent)) return false;
        if (readError) {
            errno = readError;
            SystemFailure("reading from the kernel device");
            return false;
        }
        return true;
    }

    // A send that fails for a moment (the host's queues full) is reported once per run of
    // failures; one whose adapter is gone ends the bridge. False then.
    bool NoteSend(bool sent) {
        if (sent == !sendFailing) return true;
        if (!sent && (errno == ENODEV || errno == ENXIO)) {
            LibraryFailure("sending to the LAN");
            return false;
        }
        sendFailing = !sent;
        if (sendFailing) {
            LibraryFailure("sending to the LAN");
            std::fprintf(stderr, "%s: frames to the LAN wait in the library, or are dropped, until a send works again\n", kProgram);
        } else {
            std::fprintf(stderr, "%s: sending to the LAN works again\n", kProgram);
        }
        return true;
    }

    // LAN to guest: reads until the library has nothing left or the turn is over. Returns 1 when
    // more may be waiting (the descriptor would not say so: the library holds the rest of a
    // receive buffer it has started), 0 when drained, -1 on a failure that ends the bridge.
    int LANToGuest() {
        for (int i = 0; i < kReadBudget; ++i) {
            int e = 0;
            const int n = vifnet32_read_ex(vf.fd, g_packet, sizeof g_packet, &e);
            if (n == 0) return 0;  // nothing left (a timeout of 0 ms): the descriptor tells when more comes
            if (n < 0) {
                errno = e;
                LibraryFailure("reading from the LAN");
                return -1;
            }
            if (write(device, g_packet, static_cast<std::size_t>(n)) == n) {
                ++counters.toGuest;
                counters.toGuestBytes += static_cast<std::uint64_t>(n);
            } else {
                ++counters.droppedToGuest;  // the guest's device is down, or its queue is full
            }
        }
        return 1;
    }
};

std::string AddressText(const std::uint8_t a[4]) {
    char text[INET_ADDRSTRLEN];
    return inet_ntop(AF_INET, a, text, sizeof text);
}

// SIGINT and SIGTERM as a descriptor, or -1. They are blocked before the library starts any
// thread, so every thread inherits the mask and they arrive only here. A shell starts a
// background job with SIGINT ignored, and an ignored signal is never delivered: the default
// is restored first.
int StopSignals() {
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    if (pthread_sigmask(SIG_BLOCK, &stop, nullptr) != 0) return -1;
    return signalfd(-1, &stop, SFD_NONBLOCK | SFD_CLOEXEC);
}

void PrintReady(const Options& o, const Interface& vf, const std::string& adapter, const std::string& device) {
    std::printf("%s: %s (%s", kProgram, vf.name, o.tap ? "TAP" : "TUN");
    if (o.hasIP) std::printf(", guest %s", AddressText(o.ip).c_str());
    std::printf(", MAC %02x:%02x:%02x:%02x:%02x:%02x, MTU %d, %s) on adapter %s <-> kernel device %s%s%s; ready\n", vf.mac[0],
                vf.mac[1], vf.mac[2], vf.mac[3], vf.mac[4], vf.mac[5], vf.mtu, MacModeText(o, vf).c_str(), adapter.c_str(), device.c_str(),
                o.netns.empty() ? "" : " in namespace ", o.netns.c_str());
    std::fflush(stdout);
}

// The poll loop, until a stop signal (0) or a failure (1).
int Forward(const Options& o, const Interface& vf, int device, int signals, Counters& counters, double start) {
    constexpr short kBroken = POLLERR | POLLHUP | POLLNVAL;
    Bridge bridge(o, vf, device);
    Counters lastLine;
    double nextStats = start + o.statsSeconds;
    pollfd fds[3] = {{signals, POLLIN, 0}, {vf.fd, POLLIN, 0}, {device, POLLIN, 0}};
    pollfd &stop = fds[0], &lan = fds[1], &guest = fds[2];
    bool lanPending = false;  // the library holds packets that its descriptor does not announce
    int status = -1;
    while (status < 0) {
        int timeout = -1;
        if (lanPending) {
            timeout = 0;
        } else if (o.statsSeconds) {
            timeout = std::max(0, static_cast<int>((nextStats - Now()) * 1000) + 1);
        }
        if (poll(fds, 3, timeout) < 0) {
            if (errno != EINTR) status = SystemFailure("poll");
            continue;
        }
        if (stop.revents) {
            status = 0;
            break;
        }
        if ((lan.revents | guest.revents) & kBroken) {
            std::fprintf(stderr, "%s: the %s failed\n", kProgram, (guest.revents & kBroken) ? "kernel device" : "library's descriptor");
            status = 1;
            break;
        }
        // Both directions get their turn in every round, each a bounded one.
        if ((guest.revents & POLLIN) && !bridge.GuestToLAN()) status = 1;
        if (status < 0 && ((lan.revents & POLLIN) || lanPending)) {
            const int more = bridge.LANToGuest();
            if (more < 0) status = 1;
            lanPending = more > 0;
        }
        if (o.statsSeconds && Now() >= nextStats) {
            PrintStatsLine(vf, bridge.counters, lastLine, Now() - start, o.statsSeconds);
            while (nextStats <= Now()) nextStats += o.statsSeconds;
        }
    }
    counters = bridge.counters;
    if (status == 0) {
        signalfd_siginfo info;
        if (read(signals, &info, sizeof info) == static_cast<ssize_t>(sizeof info))
            std::printf("%s: %s: stopping\n", kProgram, info.ssi_signo == SIGINT ? "SIGINT" : "SIGTERM");
    }
    return status;
}

int Run(const Options& o) {
    Descriptor signals(StopSignals());
    if (signals.fd < 0) return SystemFailure("catching SIGINT and SIGTERM");

    g_debug = o.debug;
    vifnet32_set_debug_output_func(OnLibraryText);
    const std::string adapter = o.adapter.empty() ? vifnet32_get_default_iface() : o.adapter;
    if (adapter.empty()) {
        std::fprintf(stderr, "%s: the library knows no default adapter: give one with --adapter\n", kProgram);
        return 1;
    }
    Interface vf;
    ForgetLibraryFailures();  // what looking for the default adapter said is no failure
    if (int status = OpenInterface(o, adapter, vf)) return status;
    if (int status = SetMacMode(o, vf)) return status;
    Descriptor device;
    std::string deviceName;
    if (int status = OpenKernelDevice(o, vf, device, deviceName)) return status;
    if (int status = DropPrivileges(o)) return status;
    // Up last: the library announces the guest, and frames flow, once both ends exist.
    const int up = VIFNET32_IFF_UP | VIFNET32_IFF_BROADCAST | (o.debug ? VIFNET32_IFF_DEBUG : 0);
    if (!vf.Request(VIFNET32_SIOCSIFFLAGS, &up, sizeof up)) return LibraryFailure("bringing the interface up");
    PrintReady(o, vf, adapter, deviceName);

    ForgetLibraryFailures();
    const double start = Now();
    Counters counters;
    const int status = Forward(o, vf, device.fd, signals.fd, counters, start);
    VIFNET32_STATS stats;
    const bool haveStats = status == 0 && ReadStats(vf, stats);
    device.Reset();  // the kernel device goes with its descriptor
    const int closed = vifnet32_close(vf.fd);
    vf.fd = -1;
    if (closed != 0) return LibraryFailure("closing the interface");
    if (haveStats) PrintStatsTable(vf, stats, counters, Now() - start);
    return status;
}

}  // namespace

int main(int argc, char** argv) { return Run(ParseArguments(argc, argv)); }
