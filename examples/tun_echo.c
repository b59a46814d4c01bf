/* tun_echo: the smallest useful guest. It takes an IPv4 address on the host adapter's LAN,
 * answers ARP for it (the library does that in TUN mode) and answers ping.
 *
 *   tun_echo <host-adapter> <guest-IPv4> [seconds]
 *
 * <host-adapter> is the host adapter's IPv4 address or MAC address (aa-bb-cc-dd-ee-ff).
 * Runs for the given number of seconds (default 60), then prints its statistics. */
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "vifnet32.h"

static void print_diagnostic(const char* text) { fprintf(stderr, "vifnet: %s", text); }

static int fail(const char* what, int fd) {
    fprintf(stderr, "tun_echo: %s failed: errno %d\n", what, errno); /* the library said why above */
    if (fd >= 0) vifnet32_close(fd);
    return 1;
}

/* One request on the interface: the record carries the name TUNSETIFF gave it. */
static int request(int fd, const char* name, int code, const void* value, size_t size, size_t at) {
    vifnet32_ifreq req;
    memset(&req, 0, sizeof req);
    memcpy(req.ifr_name, name, sizeof req.ifr_name - 1); /* names are at most 15 characters */
    memcpy((unsigned char*)&req + at, value, size);
    return vifnet32_ioctl(fd, code, &req);
}

/* An ICMP echo request becomes its reply in place: swap the addresses, change the type and
 * recompute the ICMP checksum. Returns the packet's length, or 0 if it is not a request. */
static int make_echo_reply(unsigned char* ip, int length) {
    int header = (ip[0] & 0x0F) * 4, total = (ip[2] << 8) | ip[3];
    unsigned char address[4];
    unsigned short sum;
    if (length < 20 || (ip[0] >> 4) != 4 || ip[9] != 1 || total > length || total < header + 8 || ip[header] != 8) return 0;
    memcpy(address, ip + 12, 4);
    memcpy(ip + 12, ip + 16, 4);
    memcpy(ip + 16, address, 4);
    ip[header] = 0;
    ip[header + 2] = ip[header + 3] = 0;
    sum = vifnet32_calc_inet_checksum(ip + header, total - header);
    ip[header + 2] = (unsigned char)(sum >> 8);
    ip[header + 3] = (unsigned char)sum;
    return total;
}

int main(int argc, char** argv) {
    unsigned a, b, c, d;
    unsigned char guest[4], packet[2048];
    vifnet32_ifreq req;
    VIFNET32_STATS stats;
    char name[16] = "";
    int fd, n, seconds = argc > 3 ? atoi(argv[3]) : 60;
    unsigned replies = 0, up = VIFNET32_IFF_UP;
    time_t end;

    if (argc < 3 || sscanf(argv[2], "%u.%u.%u.%u", &a, &b, &c, &d) != 4 || a > 255 || b > 255 || c > 255 || d > 255 || seconds <= 0) {
        fprintf(stderr, "usage: tun_echo <host-adapter IPv4 or MAC> <guest IPv4> [seconds]\n");
        return 2;
    }
    guest[0] = (unsigned char)a, guest[1] = (unsigned char)b, guest[2] = (unsigned char)c, guest[3] = (unsigned char)d;
    vifnet32_set_debug_output_func(print_diagnostic);

    fd = vifnet32_open(argv[1], VIFNET32_O_RDWR);
    if (fd < 0) return fail("open", -1);
    memset(&req, 0, sizeof req);
    req.ifr_flags = VIFNET32_IFF_TUN;
    if (vifnet32_ioctl(fd, VIFNET32_TUNSETIFF, &req) != 0) return fail("TUNSETIFF", fd);
    strcpy(name, req.ifr_name);
    /* The guest's address, then up: the library announces it with gratuitous ARPs. */
    if (request(fd, name, VIFNET32_IFCTL_ADDTARNIPADDR, guest, 4, 0) != 0) return fail("add address", fd);
    if (request(fd, name, VIFNET32_SIOCSIFFLAGS, &up, 4, 16) != 0) return fail("up", fd);
    printf("%s: %u.%u.%u.%u on %s answers ping for %d s\n", name, a, b, c, d, argv[1], seconds);
    fflush(stdout);

    /* A read waits up to the read timeout (5 s) and returns 0 when nothing came. */
    for (end = time(NULL) + seconds; time(NULL) < end;) {
        n = vifnet32_read(fd, packet, sizeof packet);
        if (n < 0) return fail("read", fd);
        n = make_echo_reply(packet, n);
        if (n > 0 && vifnet32_write(fd, packet, n) == n) ++replies;
    }

    memset(&stats, 0, sizeof stats);
    stats.dwStructSize = sizeof stats;
    vifnet32_get_stats(fd, &stats);
    printf("%s: %u echo replies; frames examined %llu, packets written %llu, ARP replies %llu\n", name, replies,
           (unsigned long long)stats.n64FramesExamined, (unsigned long long)stats.n64PacketsWritten,
           (unsigned long long)stats.n64ARPReplies);
    return vifnet32_close(fd) == 0 ? 0 : 1;
}
