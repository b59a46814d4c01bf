/* pcap_shuttle: the plain ways to join a guest's TAP device to a host adapter with libpcap, one
 * frame at a time. It is what people write by hand when they have no library, and the end-to-end
 * benchmark measures the library against it. Two shapes:
 *   - one thread: wait for either side, move one frame, wait again;
 *   - --threads: one blocking thread per direction (pcap_next_ex -> write to the TAP device;
 *     read from the TAP device -> pcap_inject), the more common and the faster of the two.
 *
 *   pcap_shuttle [--threads] <host-interface> <tap-name> [<netns>]
 *
 * The TAP device is made in network namespace <netns> (/run/netns/<netns>) when one is given,
 * otherwise in the current one. Prints "ready" once both ends are open; SIGINT or SIGTERM end it
 * (the device goes with it) after a line of counts on stderr. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <pcap/pcap.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

static volatile sig_atomic_t stopping;

static void on_signal(int sig) {
    (void)sig;
    stopping = 1;
}

static int fail(const char* what) {
    fprintf(stderr, "pcap_shuttle: %s: %s\n", what, strerror(errno));
    return -1;
}

/* A tun device belongs to the namespace its /dev/net/tun file was opened in, so the device is
 * made from inside the guest's namespace and the thread returns home before opening the host
 * adapter. The device lives as long as the descriptor. */
static int open_tap(const char* name, const char* netns) {
    char path[256];
    int home = -1, target, fd;
    struct ifreq req;

    if (netns) {
        snprintf(path, sizeof path, "/run/netns/%s", netns);
        home = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
        target = open(path, O_RDONLY | O_CLOEXEC);
        if (home < 0 || target < 0 || setns(target, CLONE_NEWNET) != 0) return fail(path);
        close(target);
    }
    fd = open("/dev/net/tun", O_RDWR | O_CLOEXEC);
    if (fd < 0) return fail("/dev/net/tun");
    memset(&req, 0, sizeof req);
    req.ifr_flags = IFF_TAP | IFF_NO_PI;
    snprintf(req.ifr_name, IFNAMSIZ, "%s", name);
    if (ioctl(fd, TUNSETIFF, &req) != 0) return fail("TUNSETIFF");
    if (home >= 0) {
        if (setns(home, CLONE_NEWNET) != 0) return fail("returning to the host namespace");
        close(home);
    }
    return fd;
}

static pcap_t* open_adapter(const char* device, int blocking) {
    char error[PCAP_ERRBUF_SIZE] = "";
    pcap_t* pcap = pcap_create(device, error);
    if (!pcap) {
        fprintf(stderr, "pcap_shuttle: %s: %s\n", device, error);
        return NULL;
    }
    /* Immediate mode: a frame is handed over as it arrives, never held for a fuller buffer. Only
     * incoming frames: the ones injected here would otherwise come back as captures. */
    if (pcap_set_snaplen(pcap, 65535) != 0 || pcap_set_promisc(pcap, 1) != 0 || pcap_set_immediate_mode(pcap, 1) != 0 ||
        pcap_set_buffer_size(pcap, 4 << 20) != 0 || pcap_activate(pcap) < 0 || pcap_setdirection(pcap, PCAP_D_IN) != 0 ||
        pcap_setnonblock(pcap, !blocking, error) != 0) {
        fprintf(stderr, "pcap_shuttle: %s: %s%s\n", device, pcap_geterr(pcap), error);
        pcap_close(pcap);
        return NULL;
    }
    return pcap;
}

/* The two-thread shape: each direction blocks in its own read. Counters are per direction, so
 * each has one writer. */
struct direction {
    pcap_t* pcap;
    int tap;
    unsigned long long moved, dropped;
};

static void* lan_to_guest(void* arg) {
    struct direction* d = arg;
    struct pcap_pkthdr* header;
    const unsigned char* data;
    int rc;
    for (;;) {
        rc = pcap_next_ex(d->pcap, &header, &data);
        if (rc == 1 && write(d->tap, data, header->caplen) == (ssize_t)header->caplen)
            ++d->moved;
        else if (rc == 1)
            ++d->dropped;
        else if (rc < 0) {
            fprintf(stderr, "pcap_shuttle: capture: %s\n", pcap_geterr(d->pcap));
            break;
        }
    }
    return NULL;
}

static void* guest_to_lan(void* arg) {
    static unsigned char frame[65536];
    struct direction* d = arg;
    ssize_t n;
    for (;;) {
        n = read(d->tap, frame, sizeof frame);
        if (n > 0 && pcap_inject(d->pcap, frame, (size_t)n) == n)
            ++d->moved;
        else if (n > 0)
            ++d->dropped;
        else if (n < 0 && errno != EINTR) {
            fail("read from the TAP device");
            break;
        }
    }
    return NULL;
}

/* The signals are blocked in every thread and taken here; the process ends with the threads
 * still blocked in their reads. */
static int run_threads(pcap_t* pcap, int tap) {
    struct direction in = {pcap, tap, 0, 0}, out = {pcap, tap, 0, 0};
    pthread_t threads[2];
    sigset_t stop;
    int sig = 0;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop, NULL);
    if (pthread_create(&threads[0], NULL, lan_to_guest, &in) != 0 || pthread_create(&threads[1], NULL, guest_to_lan, &out) != 0)
        return fail("pthread_create"), 1;
    printf("ready\n");
    fflush(stdout);
    sigwait(&stop, &sig);
    fprintf(stderr, "pcap_shuttle: %llu frames to the host adapter, %llu to the guest, %llu dropped\n", out.moved, in.moved,
            in.dropped + out.dropped);
    return 0;
}

int main(int argc, char** argv) {
    static unsigned char frame[65536];
    unsigned long long to_host = 0, to_guest = 0, dropped = 0;
    struct sigaction action;
    struct pollfd fds[2];
    struct pcap_pkthdr* header;
    const unsigned char* data;
    pcap_t* pcap;
    ssize_t n;
    int tap, rc, threads = 0;

    if (argc > 1 && strcmp(argv[1], "--threads") == 0) {
        threads = 1;
        --argc;
        ++argv;
    }
    if (argc < 3 || argc > 4) {
        fprintf(stderr, "usage: pcap_shuttle [--threads] <host-interface> <tap-name> [<netns>]\n");
        return 2;
    }
    /* No SA_RESTART: the signal must end the wait in poll. */
    memset(&action, 0, sizeof action);
    action.sa_handler = on_signal;
    sigaction(SIGINT, &action, NULL);
    sigaction(SIGTERM, &action, NULL);

    tap = open_tap(argv[2], argc > 3 ? argv[3] : NULL);
    if (tap < 0) return 1;
    pcap = open_adapter(argv[1], threads);
    if (!pcap) return 1;
    if (threads) return run_threads(pcap, tap);
    fds[0].fd = tap;
    fds[1].fd = pcap_get_selectable_fd(pcap);
    fds[0].events = fds[1].events = POLLIN;
    printf("ready\n");
    fflush(stdout);

    while (!stopping) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            fail("poll");
            break;
        }
        if ((fds[0].revents | fds[1].revents) & (POLLERR | POLLHUP | POLLNVAL)) {
            fprintf(stderr, "pcap_shuttle: a descriptor failed\n");
            break;
        }
        if (fds[0].revents & POLLIN) {
            n = read(tap, frame, sizeof frame);
            if (n > 0 && pcap_inject(pcap, frame, (size_t)n) == n)
                ++to_host;
            else if (n > 0)
                ++dropped; /* the adapter's queue is full: a wire would drop it too */
        }
        if (fds[1].revents & POLLIN) {
            rc = pcap_next_ex(pcap, &header, &data);
            if (rc == 1 && write(tap, data, header->caplen) == (ssize_t)header->caplen)
                ++to_guest;
            else if (rc == 1)
                ++dropped; /* the guest's device is down or its queue full */
            else if (rc < 0) {
                fprintf(stderr, "pcap_shuttle: capture: %s\n", pcap_geterr(pcap));
                break;
            }
        }
    }
    fprintf(stderr, "pcap_shuttle: %llu frames to the host adapter, %llu to the guest, %llu dropped\n", to_host, to_guest,
            dropped);
    pcap_close(pcap);
    close(tap);
    return stopping ? 0 : 1;
}
