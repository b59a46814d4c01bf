// vifnet-bridge: joins a guest side to a host Ethernet adapter through the library, so that
// whatever sits behind it appears on the adapter's LAN as a host of its own. The guest side is a
// kernel TUN or TAP device (a network namespace, a container, a virtual machine behind it) or a
// QEMU virtual machine connected over a socket.
//
// One thread, one loop waiting on three descriptors: the library's descriptor (readable while
// receive buffers wait, since the interface is opened in notify mode), the guest side's, and one
// for the stop requests. Guest to LAN, the guest side is drained without blocking into one
// multi-write batch per turn (one send for the whole batch); LAN to guest, the library is read
// until it has nothing left. Nothing is allocated per packet.
#include <getopt.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "bridge.h"

namespace bridge {
namespace {

// Frames per multi-write batch. Large, because each turn of the LAN side costs the library's
// reader thread a wake-up and a hand-over however little it carries (a TCP upload's ACKs): the
// longer the guest side's turn, the more each of those brings. Bounded, so that the LAN side
// waits about a millisecond at most while the guest floods.
constexpr int kBatchFrames = 512;
// Packets read from the library per turn before the guest side gets its turn again.
constexpr int kReadBudget = 256;
// A batch record is the frame behind a 16-byte header.
constexpr int kBatchRecordHeader = 16;
// The receive buffers the library takes from the adapter, each a run of frames: the largest it
// allows, so that one hand-over from its reader thread carries as much as has arrived, and a
// burst waits in the library rather than overflowing the capture ring below it.
constexpr int kIOBufferBytes = 1 << 20;
// Room for a kernel device's name, its end included.
constexpr int kDeviceNameRoom = 16;
// Room for a Unix socket's path, its end included.
constexpr std::size_t kUnixPathRoom = 108;

const char kUsage[] =
    "Usage: vifnet-bridge [OPTIONS]\n"
    "\n"
    "Joins a kernel TUN or TAP device (Linux), or a QEMU virtual machine over a socket (--qemu),\n"
    "to a host Ethernet adapter through the Vifnet library: what sits behind the device (a network\n"
    "namespace, a container, a virtual machine), or the VM, appears on the adapter's LAN as a host\n"
    "of its own. Runs until SIGINT (Ctrl-C) or SIGTERM, then removes the device and prints a table\n"
    "of the interface's statistics.\n"
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
    "  -q, --qemu WHERE      instead of a kernel device, QEMU's stream socket (TAP mode): the\n"
    "                        bridge listens on unix:PATH or tcp:ADDR:PORT (the only form on\n"
    "                        Windows), or takes the connected socket fd:N, and prints in its\n"
    "                        ready line the guest's MAC and the options to give QEMU\n"
    "                        (-netdev stream,...,server=off -device virtio-net-pci,...,mac=...).\n"
    "                        When QEMU goes (the VM stops or reboots) the interface stays and the\n"
    "                        next connection takes over; a frame longer than the MTU + 14 or a\n"
    "                        broken length ends that connection only.\n"
    "  -d, --dev NAME        the kernel device's name (default vfbr%d: the kernel numbers it)\n"
    "  -N, --netns NAME      make the device in network namespace NAME (/run/netns/NAME, as made\n"
    "                        by 'ip netns add NAME') instead of this one\n"
    "  -u, --user NAME       once started, run as user NAME (and its group) instead of root\n"
    "                        (--dev, --netns and --user: Linux)\n"
    "  -s, --stats SECONDS   print a statistics line every SECONDS\n"
    "  -D, --debug           the library's diagnostics and frame trace to stderr (IFF_DEBUG)\n"
    "  -h, --help            this help\n"
    "\n"
    "Privileges (Linux): once the device (or socket) and the adapter are open, and before any\n"
    "frame is read, the bridge gives up every capability but two, which the library needs:\n"
    "CAP_NET_RAW, to ask the LAN for a neighbour's MAC address (TUN mode) and to hand the\n"
    "guest's packets for this host to its own stack, and CAP_NET_ADMIN, to tell this host the\n"
    "guest's MAC (a neighbour entry, removed again when the bridge stops). Everything else it\n"
    "keeps using is open by then, and its device goes away when it closes it, which needs\n"
    "nothing more.\n"
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
    "A VM on the LAN: use --qemu. Putting the TAP device into a Linux bridge together with a VM's\n"
    "own tap device does not work: a Linux bridge takes each member's own MAC address, which here\n"
    "is the guest's, as its own, and keeps the frames for the guest instead of forwarding them.\n"
    "  vifnet-bridge -a 192.168.1.10 -i 192.168.1.77 --qemu unix:/tmp/vm.sock &\n"
    "  qemu-system-x86_64 ... -netdev stream,id=n0,server=off,addr.type=unix,addr.path=/tmp/vm.sock \\\n"
    "      -device virtio-net-pci,netdev=n0,mac=02:00:5e:...   (the MAC of the ready line)\n"
    "\n"
    "Exit status: 0 after SIGINT or SIGTERM (or once the socket of --qemu fd:N closes), 1 on a\n"
    "failure while running, 2 on bad arguments.\n";

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

}  // namespace

// Reports a failed library call with the library's own words; 1, the exit status.
int LibraryFailure(const char* what) {
    const int e = errno;
    std::lock_guard<std::mutex> lock(g_textLock);
    if (g_firstFailure[0]) {
        std::fprintf(stderr, "%s: %s failed: %s\n", kProgram, what, g_firstFailure);
        g_firstFailure[0] = '\0';  // said once: the next failure has its own cause
    } else {
        std::fprintf(stderr, "%s: %s failed: errno %d (%s), error code %u\n", kProgram, what, e, std::strerror(e),
                     LastErrorCode());
    }
    return 1;
}

int SystemFailure(const char* what, const std::string& detail) {
    const int e = errno;
    std::fprintf(stderr, "%s: %s%s%s: %s\n", kProgram, what, detail.empty() ? "" : " ", detail.c_str(), std::strerror(e));
    return 1;
}

namespace {

// ---- Arguments -----------------------------------------------------------------------------------

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
    for (int i = 0; i < 4; ++i) mask[i] = static_cast<std::uint8_t>(value >> (24 - 8 * i));
}

bool IsContiguousMask(const std::uint8_t mask[4]) {
    const std::uint32_t value = std::uint32_t{mask[0]} << 24 | std::uint32_t{mask[1]} << 16 | std::uint32_t{mask[2]} << 8 | mask[3];
    return value != 0 && (~value & (~value + 1)) == 0;
}

// unix:PATH (a path a socket address holds), tcp:IPv4:PORT, fd:N.
bool IsQemuEndpoint(const std::string& text) {
    const auto number = [](const std::string& digits, long most) {
        char* end = nullptr;
        const long value = std::strtol(digits.c_str(), &end, 10);
        return !digits.empty() && !*end && std::isdigit(static_cast<unsigned char>(digits[0])) && value <= most ? value : -1L;
    };
    if (text.rfind("unix:", 0) == 0) return HasKernelDevice() && text.size() > 5 && text.size() - 5 < kUnixPathRoom;
    if (text.rfind("fd:", 0) == 0) return HasKernelDevice() && number(text.substr(3), 1 << 20) >= 0;
    const std::size_t colon = text.rfind(':');
    std::uint8_t ip[4];
    return text.rfind("tcp:", 0) == 0 && colon > 4 && ParseIPv4(text.substr(4, colon - 4).c_str(), ip) &&
           number(text.substr(colon + 1), 65535) > 0;
}

Options ParseArguments(int argc, char** argv) {
    static const option kLong[] = {
        {"adapter", required_argument, nullptr, 'a'}, {"mode", required_argument, nullptr, 'm'},
        {"ip", required_argument, nullptr, 'i'},      {"netmask", required_argument, nullptr, 'n'},
        {"dev", required_argument, nullptr, 'd'},     {"netns", required_argument, nullptr, 'N'},
        {"stats", required_argument, nullptr, 's'},   {"debug", no_argument, nullptr, 'D'},
        {"user", required_argument, nullptr, 'u'},    {"qemu", required_argument, nullptr, 'q'},
        {"help", no_argument, nullptr, 'h'},          {nullptr, 0, nullptr, 0},
    };
    Options o;
    bool tunAsked = false;
    opterr = 0;  // one line of our own instead of getopt's
    for (int c; (c = getopt_long(argc, argv, ":a:m:i:n:d:N:s:u:q:Dh", kLong, nullptr)) != -1;) {
        switch (c) {
            case 'a':
                o.adapter = optarg;
                if (!IsAdapterText(o.adapter)) BadArgument("--adapter %s: not an IPv4 or MAC address", optarg);
                break;
            case 'm':
                if (std::strcmp(optarg, "tun") != 0 && std::strcmp(optarg, "tap") != 0)
                    BadArgument("--mode %s: tun or tap", optarg);
                o.tap = std::strcmp(optarg, "tap") == 0;
                tunAsked = !o.tap;
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
                if (o.device.empty() || o.device.size() >= kDeviceNameRoom || o.device.find_first_of("/ \t:") != std::string::npos)
                    BadArgument("--dev %s: not a device name (1 to %d characters, no '/', ':' or blanks)", optarg, kDeviceNameRoom - 1);
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
            case 'q':
                o.qemu = optarg;
                if (!IsQemuEndpoint(o.qemu)) BadArgument("--qemu %s: unix:PATH, tcp:ADDR:PORT or fd:N", optarg);
                break;
            case 'D':
                o.debug = true;
                break;
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
    if (!o.qemu.empty()) {
        if (tunAsked) BadArgument("--qemu carries Ethernet frames: TAP mode only");
        o.tap = true;
    } else if (!HasKernelDevice()) {
        BadArgument("no kernel TUN/TAP device on this system: use --qemu tcp:ADDR:PORT");
    }
    if (!o.tap && !o.hasIP) BadArgument("TUN mode needs the guest's address (--ip)");
    return o;
}

// ---- The library interface -----------------------------------------------------------------------

// Closes the interface unless the bridge closed it itself.
struct OpenInterfaceGuard {
    Interface& vf;
    ~OpenInterfaceGuard() {
        if (vf.fd >= 0) vifnet32_close(vf.fd);
    }
};

// A request addressed by the interface's name, with `size` bytes of `value` as its argument; the
// answer is left in `reply` when one is given.
bool Request(const Interface& vf, int code, const void* value, std::size_t size, vifnet32_ifreq* reply = nullptr) {
    vifnet32_ifreq req;
    std::memset(&req, 0, sizeof req);
    std::memcpy(req.ifr_name, vf.name, sizeof req.ifr_name);
    if (size) std::memcpy(&req.ifr_ifru, value, size);
    if (vifnet32_ioctl(vf.fd, code, &req) != 0) return false;
    if (reply) *reply = req;
    return true;
}

bool SetAddress(const Interface& vf, int code, const std::uint8_t address[4]) {
    vifnet32_sockaddr_in sin;
    std::memset(&sin, 0, sizeof sin);
    sin.sin_family = VIFNET32_AF_INET;
    std::memcpy(sin.sin_addr, address, 4);
    return Request(vf, code, &sin, sizeof sin);
}

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
    if (o.hasIP && !SetAddress(vf, VIFNET32_SIOCSIFDSTADDR, o.ip)) return LibraryFailure("setting the guest's address");
    if (o.hasMask && !SetAddress(vf, VIFNET32_SIOCSIFNETMASK, o.mask)) return LibraryFailure("setting the netmask");
    if (!Request(vf, VIFNET32_IFCTL_SETIOBUFSIZE, &kIOBufferBytes, sizeof kIOBufferBytes)) return LibraryFailure("sizing the receive buffers");
    vifnet32_ifreq reply;
    if (!Request(vf, VIFNET32_SIOCGIFHWADDR, nullptr, 0, &reply)) return LibraryFailure("reading the guest's MAC address");
    std::memcpy(vf.mac, reply.ifr_hwaddr.sa_data, 6);
    if (!Request(vf, VIFNET32_SIOCGIFMTU, nullptr, 0, &reply)) return LibraryFailure("reading the MTU");
    vf.mtu = reply.ifr_mtu;
    return 0;
}

// ---- Statistics ----------------------------------------------------------------------------------

struct Counters {
    std::uint64_t toGuest = 0, toGuestBytes = 0, toLAN = 0, toLANBytes = 0, batches = 0;
    std::uint64_t droppedToGuest = 0, droppedToLAN = 0;
};

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
    GuestSide& guest;
    int batchBytes;
    Counters counters;
    bool sendFailing = false;  // reported once per run of failed sends

    Bridge(const Options& options, const Interface& iface, GuestSide& side)
        : o(options), vf(iface), guest(side), batchBytes(kBatchFrames * (iface.mtu + kEthHeader + kBatchRecordHeader)) {}

    // Guest to LAN: the guest's waiting frames, up to one batch, in one send. False on a failure
    // that ends the bridge.
    bool GuestToLAN() {
        const std::uint8_t* frame = nullptr;
        int n = guest.Take(frame);
        if (n <= 0) return n == 0;
        // A failure here is the last batch failing again: it stays open and takes these frames
        // too, and the end of this one tries to send them all.
        vifnet32_beg_write_multi(vf.fd, batchBytes);
        for (int taken = 0; n > 0;) {
            // The library would frame whatever it is given as IPv4: other protocols stay here.
            if (!o.tap && (frame[0] >> 4) != 4) {
                ++counters.droppedToLAN;
            } else if (vifnet32_write(vf.fd, frame, n) == n) {
                ++counters.toLAN;
                counters.toLANBytes += static_cast<std::uint64_t>(n);
            } else {
                ++counters.droppedToLAN;
            }
            if (++taken == kBatchFrames) break;
            n = guest.Take(frame);
        }
        const bool sent = vifnet32_end_write_multi(vf.fd) == 0;
        counters.batches += sent;
        return NoteSend(sent) && n >= 0;
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
        int more = 1;
        for (int i = 0; i < kReadBudget; ++i) {
            int e = 0;
            const int n = vifnet32_read_ex(vf.fd, packet_, sizeof packet_, &e);
            if (n == 0) {  // nothing left (a timeout of 0 ms): the descriptor tells when more comes
                more = 0;
                break;
            }
            if (n < 0) {
                errno = e;
                LibraryFailure("reading from the LAN");
                more = -1;
                break;
            }
            if (guest.Give(packet_, n)) {
                ++counters.toGuest;
                counters.toGuestBytes += static_cast<std::uint64_t>(n);
            } else {
                ++counters.droppedToGuest;
            }
        }
        guest.Flush();
        return more;
    }

private:
    // The one frame on its way to the guest (the largest IPv4 packet fits).
    std::uint8_t packet_[65536];
};

void PrintReady(const Options& o, const Interface& vf, const std::string& adapter, const GuestSide& guest) {
    std::printf("%s: %s (%s", kProgram, vf.name, o.tap ? "TAP" : "TUN");
    if (o.hasIP) std::printf(", guest %s", AddressText(o.ip).c_str());
    std::printf(", MAC %02x:%02x:%02x:%02x:%02x:%02x, MTU %d) on adapter %s <-> %s; ready\n", vf.mac[0], vf.mac[1], vf.mac[2],
                vf.mac[3], vf.mac[4], vf.mac[5], vf.mtu, adapter.c_str(), guest.Describe().c_str());
    std::fflush(stdout);
}

// The loop, until a stop request (0) or a failure (1).
int Forward(const Options& o, const Interface& vf, GuestSide& guest, Wait stopWait, Counters& counters, double start) {
    auto bridge = std::make_unique<Bridge>(o, vf, guest);
    Counters lastLine;
    double nextStats = start + o.statsSeconds;
    Wait waits[3] = {stopWait, {vf.fd, kReadable, 0}, {}};
    Wait &stop = waits[0], &lan = waits[1], &side = waits[2];
    bool lanPending = false;  // the library holds packets that its descriptor does not announce
    int status = -1;
    while (status < 0) {
        int timeout = -1;
        if (lanPending || guest.Pending()) {
            timeout = 0;
        } else if (o.statsSeconds) {
            timeout = std::max(0, static_cast<int>((nextStats - Now()) * 1000) + 1);
        }
        side = guest.WaitFor();
        if (WaitForAny(waits, side.fd == -1 ? 2 : 3, timeout) < 0) {
            status = SystemFailure("waiting");
            break;
        }
        if (stop.ready) {
            status = 0;
            break;
        }
        if (lan.ready & kBroken) {
            std::fprintf(stderr, "%s: the library's descriptor failed\n", kProgram);
            status = 1;
            break;
        }
        if (!guest.Service(side.ready)) {
            status = 1;
            break;
        }
        // Both directions get their turn in every round, each a bounded one.
        if (((side.ready & kReadable) || guest.Pending()) && !bridge->GuestToLAN()) status = 1;
        if (status < 0 && ((lan.ready & kReadable) || lanPending)) {
            const int more = bridge->LANToGuest();
            if (more < 0) status = 1;
            lanPending = more > 0;
        }
        if (status < 0 && guest.Finished()) status = 0;
        if (o.statsSeconds && Now() >= nextStats) {
            PrintStatsLine(vf, bridge->counters, lastLine, Now() - start, o.statsSeconds);
            while (nextStats <= Now()) nextStats += o.statsSeconds;
        }
    }
    counters = bridge->counters;
    if (status == 0) {
        if (const char* name = StopRequestName()) std::printf("%s: %s: stopping\n", kProgram, name);
    }
    return status;
}

int Run(const Options& o) {
    Wait stop;
    if (!CatchStopRequests(stop)) return SystemFailure("catching SIGINT and SIGTERM");

    g_debug = o.debug;
    vifnet32_set_debug_output_func(OnLibraryText);
    const std::string adapter = o.adapter.empty() ? vifnet32_get_default_iface() : o.adapter;
    if (adapter.empty()) {
        std::fprintf(stderr, "%s: the library knows no default adapter: give one with --adapter\n", kProgram);
        return 1;
    }
    Interface vf;
    OpenInterfaceGuard closeOnReturn{vf};
    ForgetLibraryFailures();  // what looking for the default adapter said is no failure
    if (int status = OpenInterface(o, adapter, vf)) return status;
    std::unique_ptr<GuestSide> guest;
    if (int status = o.qemu.empty() ? OpenKernelDevice(o, vf, guest) : OpenQemuSocket(o, vf, guest)) return status;
    if (int status = DropPrivileges(o)) return status;
    // Up last: the library announces the guest, and frames flow, once both ends exist.
    const int up = VIFNET32_IFF_UP | VIFNET32_IFF_BROADCAST | (o.debug ? VIFNET32_IFF_DEBUG : 0);
    if (!Request(vf, VIFNET32_SIOCSIFFLAGS, &up, sizeof up)) return LibraryFailure("bringing the interface up");
    PrintReady(o, vf, adapter, *guest);

    ForgetLibraryFailures();
    const double start = Now();
    Counters counters;
    const int status = Forward(o, vf, *guest, stop, counters, start);
    VIFNET32_STATS stats;
    const bool haveStats = status == 0 && ReadStats(vf, stats);
    guest.reset();  // a kernel device goes with its descriptor
    const int closed = vifnet32_close(vf.fd);
    vf.fd = -1;
    if (closed != 0) return LibraryFailure("closing the interface");
    if (haveStats) PrintStatsTable(vf, stats, counters, Now() - start);
    return status;
}

}  // namespace
}  // namespace bridge

int main(int argc, char** argv) { return bridge::Run(bridge::ParseArguments(argc, argv)); }
