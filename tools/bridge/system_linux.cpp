// What vifnet-bridge needs from Linux beyond the library: addresses, time, stop signals, waiting
// and giving up root.
#include <arpa/inet.h>
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

}  // namespace bridge
