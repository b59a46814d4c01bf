// What vifnet-bridge needs from Linux beyond the library: addresses, time, stop signals, waiting,
// giving up root and stream sockets.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <grp.h>
#include <linux/capability.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bridge.h"

namespace bridge {

bool ParseIPv4(const char* text, std::uint8_t out[4]) { return inet_pton(AF_INET, text, out) == 1; }

std::string AddressText(const std::uint8_t a[4]) {
    char text[INET_ADDRSTRLEN];
    return inet_ntop(AF_INET, a, text, sizeof text);
}

double Now() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

unsigned LastErrorCode() { return vifnet32_get_last_error(); }

bool HasKernelDevice() { return true; }

namespace {
int g_signals = -1;
}

// SIGINT and SIGTERM as a descriptor. They are blocked before the library starts any thread, so
// every thread inherits the mask and they arrive only here. A shell starts a background job with
// SIGINT ignored, and an ignored signal is never delivered: the default is restored first.
bool CatchStopRequests(Wait& stop) {
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    if (pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0) return false;
    g_signals = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
    stop = {g_signals, kReadable, 0};
    return g_signals >= 0;
}

const char* StopRequestName() {
    signalfd_siginfo info;
    if (read(g_signals, &info, sizeof info) != static_cast<ssize_t>(sizeof info)) return nullptr;
    return info.ssi_signo == SIGINT ? "SIGINT" : "SIGTERM";
}

int WaitForAny(Wait* waits, int n, int timeoutMs) {
    pollfd fds[4];
    for (int i = 0; i < n; ++i) {
        fds[i] = {static_cast<int>(waits[i].fd), static_cast<short>(((waits[i].events & kReadable) ? POLLIN : 0) |
                                                                     ((waits[i].events & kWritable) ? POLLOUT : 0)), 0};
    }
    const int ready = poll(fds, static_cast<nfds_t>(n), timeoutMs);
    if (ready < 0) return errno == EINTR ? 0 : -1;
    for (int i = 0; i < n; ++i) {
        const short r = fds[i].revents;
        waits[i].ready = ((r & POLLIN) ? kReadable : 0) | ((r & POLLOUT) ? kWritable : 0) |
                         ((r & (POLLERR | POLLHUP | POLLNVAL)) ? kBroken : 0);
    }
    return ready;
}

// Gives up root: a bug reachable from the LAN's frames must not find every capability there. What
// the bridge uses from here on is open already (the capture's socket, the guest side, the socket
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

// ---- Stream sockets ------------------------------------------------------------------------------

Socket ListenOn(const std::string& where) {
    sockaddr_storage address{};
    socklen_t size = 0;
    int family = AF_UNIX;
    if (where.rfind("unix:", 0) == 0) {
        auto* un = reinterpret_cast<sockaddr_un*>(&address);
        un->sun_family = AF_UNIX;
        std::memcpy(un->sun_path, where.c_str() + 5, where.size() - 5);  // its length was checked
        size = sizeof *un;
        // A socket file left by an earlier run would stop the bind; nothing else is removed.
        struct stat st;
        if (lstat(un->sun_path, &st) == 0 && S_ISSOCK(st.st_mode)) unlink(un->sun_path);
    } else {
        auto* in = reinterpret_cast<sockaddr_in*>(&address);
        const std::size_t colon = where.rfind(':');
        in->sin_family = family = AF_INET;
        in->sin_port = htons(static_cast<std::uint16_t>(std::atoi(where.c_str() + colon + 1)));
        ParseIPv4(where.substr(4, colon - 4).c_str(), reinterpret_cast<std::uint8_t*>(&in->sin_addr));
        size = sizeof *in;
    }
    const int s = socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (s < 0) return SystemFailure("socket"), -1;
    const int on = 1;
    if (family == AF_INET) setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (bind(s, reinterpret_cast<sockaddr*>(&address), size) != 0 || listen(s, 1) != 0) {
        SystemFailure("listening on", where);
        close(s);
        return -1;
    }
    return s;
}

void ForgetListener(const std::string& where) {
    if (where.rfind("unix:", 0) == 0) unlink(where.c_str() + 5);
}

Socket AcceptOne(Socket listener) {
    const int s = accept4(static_cast<int>(listener), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    return s < 0 ? -1 : s;
}

Socket AdoptDescriptor(int fd) {
    const int flags = fcntl(fd, F_GETFL);
    int type = 0;
    socklen_t size = sizeof type;
    if (flags < 0 || getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &size) != 0 || type != SOCK_STREAM) {
        std::fprintf(stderr, "%s: descriptor %d is not a connected stream socket\n", kProgram, fd);
        return -1;
    }
    if (fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return SystemFailure("descriptor", std::to_string(fd)), -1;
    return fd;
}

void CloseSocket(Socket s) { close(static_cast<int>(s)); }

long ReceiveSome(Socket s, void* buffer, long size) {
    const ssize_t n = recv(static_cast<int>(s), buffer, static_cast<std::size_t>(size), 0);
    if (n >= 0) return static_cast<long>(n);
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? -1 : -2;
}

long SendSome(Socket s, const void* buffer, long size) {
    const ssize_t n = send(static_cast<int>(s), buffer, static_cast<std::size_t>(size), MSG_NOSIGNAL);
    if (n >= 0) return static_cast<long>(n);
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? 0 : -1;
}

std::string SocketErrorText() { return std::strerror(errno); }

}  // namespace bridge
