/* The end-to-end guest: a caller of the library's exports, driven by e2e.py one command at a
 * time. Each command line on standard input gets exactly one answer line on standard output:
 * "ok ..." or "err <errno> <windows-error>". The library's diagnostics go to standard error,
 * each line prefixed with "dbg: ".
 *
 *   open <adapter> tun|tap [notify]  -> ok <fd> <name> <guest-mac>  (becomes the current one)
 *   use <fd> | ip <addr> <mask> | up | down | close | stats | devbuf [bytes]
 *   macmode [<mode>]                 -> ok <the mode read back, with its flags, in hex>
 *   send <hex> [<copies>]            write one frame (TAP) or packet (TUN), or copies in a batch
 *   recv <ms> [<offset> <hex>]       -> ok <hex> of the first packet matching, or ok -
 *   count <ms>                       -> ok <packets> <wakeups> read until the deadline
 *   echo <ms> <total> [<hex>]        answer ICMP echo requests on every open TUN interface
 *                                    until <total> were answered -> ok <n per interface>;
 *                                    with a packet, also write it after each answer
 *   arp-set <ip> <mac> | arp-get <ip> | arp-del <ip> | cpu | quit
 *
 * Waits never spin: reads block for the interface's read timeout (100 ms) or, in notify mode,
 * the descriptor is polled and then read until the timeout result. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#if defined(_WIN32)
#include <winsock2.h>
#include <windows.h>
#else
#include <poll.h>
#include <sys/resource.h>
#include <time.h>
#endif

#include "vifnet32.h"

#define MAX_IFACES 4
#define READ_SLICE_MS 100
#define TIMEOUT_ERRNO 60

struct iface {
    int fd, tun, notify;
    char name[16];
    unsigned char mac[6];
};

static struct iface g_ifaces[MAX_IFACES];
static int g_count, g_cur = -1;
static unsigned long g_wakeups;
static unsigned char g_buf[65536];
static char g_line[16384], g_hex[2 * sizeof g_buf + 1];

static unsigned last_error(void) {
#if defined(_WIN32)
    return GetLastError();
#else
    return vifnet32_get_last_error();
#endif
}

static long long now_ms(void) {
#if defined(_WIN32)
    return (long long)GetTickCount64();
#else
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
#endif
}

static double cpu_seconds(void) {
#if defined(_WIN32)
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return -1;
    return ((double)(((unsigned long long)kernel.dwHighDateTime << 32) | kernel.dwLowDateTime) +
            (double)(((unsigned long long)user.dwHighDateTime << 32) | user.dwLowDateTime)) / 1e7;
#else
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_utime.tv_sec + ru.ru_stime.tv_sec + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
#endif
}

/* Whether the descriptor became readable within ms. */
static int wait_readable(int fd, int ms) {
#if defined(_WIN32)
    WSAPOLLFD p;
    p.fd = (SOCKET)fd;
    p.events = POLLRDNORM;
    p.revents = 0;
    return WSAPoll(&p, 1, ms) > 0;
#else
    struct pollfd p = {fd, POLLIN, 0};
    return poll(&p, 1, ms) > 0;
#endif
}

static void dbg_output(const char* text) {
    fprintf(stderr, "dbg: %s", text);
    fflush(stderr);
}

/* Answers a failure; 1 so that the command loop goes on. */
static int reply_err(int e) {
    unsigned w = last_error(); /* before anything else can change it */
    printf("err %d %u\n", e, w);
    return 1;
}

static const char* to_hex(const unsigned char* p, int n) {
    static const char digits[] = "0123456789abcdef";
    int i;
    for (i = 0; i < n; i++) {
        g_hex[2 * i] = digits[p[i] >> 4];
        g_hex[2 * i + 1] = digits[p[i] & 15];
    }
    g_hex[2 * n] = 0;
    return g_hex;
}

static int nibble(char c) { return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1; }

static int from_hex(const char* text, unsigned char* out, int room) {
    int n = 0;
    for (; n < room && nibble(text[0]) >= 0 && nibble(text[1]) >= 0; text += 2) out[n++] = (unsigned char)(nibble(text[0]) << 4 | nibble(text[1]));
    return n;
}

static int parse_ip(const char* text, unsigned char ip[4]) {
    unsigned a, b, c, d;
    if (!text || sscanf(text, "%u.%u.%u.%u", &a, &b, &c, &d) != 4 || (a | b | c | d) > 255) return 0;
    ip[0] = (unsigned char)a, ip[1] = (unsigned char)b, ip[2] = (unsigned char)c, ip[3] = (unsigned char)d;
    return 1;
}

static int parse_mac(const char* text, unsigned char mac[6]) {
    unsigned m[6];
    int i;
    if (!text || sscanf(text, "%x%*[:-]%x%*[:-]%x%*[:-]%x%*[:-]%x%*[:-]%x", &m[0], &m[1], &m[2], &m[3], &m[4], &m[5]) != 6) return 0;
    for (i = 0; i < 6; i++) mac[i] = (unsigned char)m[i];
    return 1;
}

static const char* mac_text(const unsigned char* m) {
    static char text[18];
    snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", m[0], m[1], m[2], m[3], m[4], m[5]);
    return text;
}

/* A request by name on the current interface, with `size` bytes of `data` at offset 16. */
static int ioctl_named(struct iface* f, int code, const void* data, size_t size, vifnet32_ifreq* out, int* e) {
    vifnet32_ifreq rec;
    memset(&rec, 0, sizeof rec);
    strcpy(rec.ifr_name, f->name);
    if (size) memcpy(&rec.ifr_ifru, data, size);
    if (vifnet32_ioctl_ex(f->fd, code, &rec, e) != 0) return -1;
    if (out) *out = rec;
    return 0;
}

static int ioctl_ip(struct iface* f, int code, const unsigned char ip[4], int* e) {
    vifnet32_sockaddr_in sin;
    memset(&sin, 0, sizeof sin);
    sin.sin_family = VIFNET32_AF_INET;
    memcpy(sin.sin_addr, ip, 4);
    return ioctl_named(f, code, &sin, sizeof sin, NULL, e);
}

static int refresh_mac(struct iface* f, int* e) {
    vifnet32_ifreq rec;
    if (ioctl_named(f, VIFNET32_SIOCGIFHWADDR, NULL, 0, &rec, e) != 0) return -1;
    memcpy(f->mac, rec.ifr_hwaddr.sa_data, 6);
    return 0;
}

/* The next packet of f before the deadline: its length, 0 at the deadline, -1 on failure. */
static int next_packet(struct iface* f, long long deadline, int* e) {
    for (;;) {
        long long left;
        int n = vifnet32_read_ex(f->fd, g_buf, (int)sizeof g_buf, e);
        if (n != 0 || *e != TIMEOUT_ERRNO) return n;
        left = deadline - now_ms();
        if (left <= 0) return 0;
        if (f->notify) {
            if (!wait_readable(f->fd, (int)left)) return 0;
            g_wakeups++;
        }
    }
}

/* Turns an ICMP echo request into its reply in place; 0 if it is none. */
static int make_echo_reply(unsigned char* p, int n) {
    int hl = (p[0] & 15) * 4;
    unsigned char tmp[4];
    unsigned short sum;
    if (n < hl + 8 || (p[0] >> 4) != 4 || p[9] != 1 || p[hl] != 8) return 0;
    memcpy(tmp, p + 12, 4);
    memcpy(p + 12, p + 16, 4);
    memcpy(p + 16, tmp, 4);
    p[hl] = 0;
    p[hl + 2] = p[hl + 3] = 0;
    sum = vifnet32_calc_inet_checksum(p + hl, n - hl);
    p[hl + 2] = (unsigned char)(sum >> 8);
    p[hl + 3] = (unsigned char)sum;
    return 1;
}

static int cmd_echo(long long deadline, int total, const char* hex) {
    static unsigned char extra[2048];
    int answered[MAX_IFACES] = {0}, done = 0, i, e = 0, extra_len = hex ? from_hex(hex, extra, sizeof extra) : 0;
    while (done < total && now_ms() < deadline) {
        for (i = 0; i < g_count && done < total; i++) {
            long long slice = now_ms() + READ_SLICE_MS;
            int n = next_packet(&g_ifaces[i], slice < deadline ? slice : deadline, &e);
            if (n < 0) return reply_err(e);
            if (n > 0 && g_ifaces[i].tun && make_echo_reply(g_buf, n)) {
                if (vifnet32_write_ex(g_ifaces[i].fd, g_buf, n, &e) != n) return reply_err(e);
                if (extra_len && vifnet32_write_ex(g_ifaces[i].fd, extra, extra_len, &e) != extra_len) return reply_err(e);
                answered[i]++, done++;
            }
        }
    }
    printf("ok");
    for (i = 0; i < g_count; i++) printf(" %d", answered[i]);
    printf("\n");
    return 1;
}

static int cmd_recv(struct iface* f, long long deadline, const char* offset, const char* hex) {
    unsigned char want[64];
    int at = offset ? atoi(offset) : 0, len = hex ? from_hex(hex, want, sizeof want) : 0, n, e = 0;
    while ((n = next_packet(f, deadline, &e)) > 0)
        if (n >= at + len && memcmp(g_buf + at, want, (size_t)len) == 0) break;
    if (n < 0) return reply_err(e);
    printf("ok %s\n", n > 0 ? to_hex(g_buf, n) : "-");
    return 1;
}

static int cmd_open(const char* adapter, const char* type, const char* mode) {
    struct iface* f = &g_ifaces[g_count];
    vifnet32_ifreq rec;
    int e = 0, notify = mode && strcmp(mode, "notify") == 0, timeout = READ_SLICE_MS;
    if (g_count == MAX_IFACES || !adapter || !type) return reply_err(22);
    memset(f, 0, sizeof *f);
    f->fd = vifnet32_open_ex(adapter, VIFNET32_O_RDWR | (notify ? _O_VF32NOTIFY : 0), &e);
    if (f->fd < 0) return reply_err(e);
    memset(&rec, 0, sizeof rec);
    rec.ifr_flags = strcmp(type, "tun") == 0 ? VIFNET32_IFF_TUN : VIFNET32_IFF_TAP;
    if (vifnet32_ioctl_ex(f->fd, VIFNET32_TUNSETIFF, &rec, &e) != 0) return reply_err(e);
    memcpy(f->name, rec.ifr_name, sizeof f->name);
    f->tun = strcmp(type, "tun") == 0, f->notify = notify;
    /* A short read timeout lets every wait check its own deadline between reads. */
    if (!notify && ioctl_named(f, VIFNET32_IFCTL_SETREADTIMEOUT, &timeout, 4, NULL, &e) != 0) return reply_err(e);
    if (refresh_mac(f, &e) != 0) return reply_err(e);
    g_cur = g_count++;
    printf("ok %d %s %s\n", f->fd, f->name, mac_text(f->mac));
    return 1;
}

static int cmd_arp(const char* op, const char* ip, const char* mac) {
    vifnet32_arpreq arp;
    int e = 0, code = strcmp(op, "arp-set") == 0 ? VIFNET32_SIOCSARP : strcmp(op, "arp-del") == 0 ? VIFNET32_SIOCDARP : VIFNET32_SIOCGARP;
    memset(&arp, 0, sizeof arp);
    arp.arp_pa.sa_family = VIFNET32_AF_INET;
    arp.arp_flags = VIFNET32_ATF_COM;
    if (!parse_ip(ip, arp.arp_pa.sa_data) || (code == VIFNET32_SIOCSARP && !parse_mac(mac, arp.arp_ha.sa_data))) return reply_err(22);
    if (vifnet32_ioctl_ex(-1, code, &arp, &e) != 0) return reply_err(e);
    printf("ok %s\n", code == VIFNET32_SIOCGARP ? mac_text(arp.arp_ha.sa_data) : "");
    return 1;
}

static int cmd_stats(struct iface* f) {
    VIFNET32_STATS s;
    int e = 0;
    memset(&s, 0, sizeof s);
    s.dwStructSize = sizeof s;
    if (vifnet32_get_stats_ex(f->fd, &s, &e) != 0) return reply_err(e);
    printf("ok attempts=%llu written=%llu examined=%llu arp=%llu discarded=%llu own=%llu kbuf=%u\n",
           (unsigned long long)s.n64WriteAttempts, (unsigned long long)s.n64PacketsWritten,
           (unsigned long long)s.n64FramesExamined, (unsigned long long)s.n64ARPReplies,
           (unsigned long long)s.n64FramesDiscarded, (unsigned long long)s.n64OwnFramesDropped, s.dwKernelBuffSize);
    return 1;
}

/* One command on the current interface (or none); 0 once the guest should exit. */
static int run(char* line) {
    char* argv[6] = {0};
    int argc = 0, e = 0, n;
    struct iface* f = g_cur >= 0 ? &g_ifaces[g_cur] : NULL;
    unsigned char ip[4], mask[4];
    for (char* tok = strtok(line, " \t\r\n"); tok && argc < 6; tok = strtok(NULL, " \t\r\n")) argv[argc++] = tok;
    if (argc == 0) return 1;
    if (strcmp(argv[0], "quit") == 0) return 0;
    if (strcmp(argv[0], "open") == 0) return cmd_open(argv[1], argv[2], argv[3]);
    if (strcmp(argv[0], "cpu") == 0) return printf("ok %.3f\n", cpu_seconds()), 1;
    if (strncmp(argv[0], "arp-", 4) == 0) return cmd_arp(argv[0], argv[1], argv[2]);
    if (strcmp(argv[0], "echo") == 0 && argc >= 3) return cmd_echo(now_ms() + atoi(argv[1]), atoi(argv[2]), argv[3]);
    if (!f) return reply_err(9);
    if (strcmp(argv[0], "use") == 0) {
        for (n = 0; n < g_count && g_ifaces[n].fd != atoi(argv[1] ? argv[1] : "-1"); n++) continue;
        if (n == g_count) return reply_err(9);
        g_cur = n;
        printf("ok\n");
    } else if (strcmp(argv[0], "ip") == 0) {
        if (!parse_ip(argv[1], ip) || !parse_ip(argv[2], mask)) return reply_err(22);
        if (ioctl_ip(f, VIFNET32_SIOCSIFDSTADDR, ip, &e) || ioctl_ip(f, VIFNET32_SIOCSIFNETMASK, mask, &e) || refresh_mac(f, &e))
            return reply_err(e);
        printf("ok %s\n", mac_text(f->mac));
    } else if (strcmp(argv[0], "up") == 0 || strcmp(argv[0], "down") == 0) {
        int flags = VIFNET32_IFF_BROADCAST | (argv[0][0] == 'u' ? VIFNET32_IFF_UP : 0);
        if (ioctl_named(f, VIFNET32_SIOCSIFFLAGS, &flags, 4, NULL, &e) != 0) return reply_err(e);
        printf("ok\n");
    } else if (strcmp(argv[0], "send") == 0) {
        /* With a count, that many copies go out as one batch. */
        int copies = argc > 2 ? atoi(argv[2]) : 0, i;
        n = from_hex(argv[1] ? argv[1] : "", g_buf, (int)sizeof g_buf);
        if (copies && vifnet32_beg_write_multi_ex(f->fd, 1 << 20, &e) < 0) return reply_err(e);
        for (i = 0; i < (copies ? copies : 1); i++)
            if (vifnet32_write_ex(f->fd, g_buf, n, &e) < 0) return reply_err(e);
        if (copies && vifnet32_end_write_multi_ex(f->fd, &e) < 0) return reply_err(e);
        printf("ok %d\n", n);
    } else if (strcmp(argv[0], "recv") == 0 && argc >= 2) {
        cmd_recv(f, now_ms() + atoi(argv[1]), argv[2], argv[3]);
    } else if (strcmp(argv[0], "count") == 0 && argc == 2) {
        long long deadline = now_ms() + atoi(argv[1]);
        unsigned long packets = 0;
        g_wakeups = 0;
        while ((n = next_packet(f, deadline, &e)) > 0) packets++;
        if (n < 0) return reply_err(e);
        printf("ok %lu %lu\n", packets, g_wakeups);
    } else if (strcmp(argv[0], "devbuf") == 0) {
        vifnet32_ifreq rec;
        int bytes = argv[1] ? atoi(argv[1]) : 0;
        if (argv[1] && ioctl_named(f, VIFNET32_IFCTL_SETDEVBUFSIZE, &bytes, 4, NULL, &e) != 0) return reply_err(e);
        if (ioctl_named(f, VIFNET32_IFCTL_GETDEVBUFSIZE, NULL, 0, &rec, &e) != 0) return reply_err(e);
        printf("ok %u\n", rec.ifr_ifru.ifru_value);
    } else if (strcmp(argv[0], "macmode") == 0) {
        int mode = argv[1] ? atoi(argv[1]) : 0;
        if (argv[1] && vifnet32_ioctl_ex(f->fd, VIFNET32_IFCTL_SETMACMODE, &mode, &e) != 0) return reply_err(e);
        if (vifnet32_ioctl_ex(f->fd, VIFNET32_IFCTL_GETMACMODE, &mode, &e) != 0) return reply_err(e);
        printf("ok %x\n", mode);
    } else if (strcmp(argv[0], "stats") == 0) {
        cmd_stats(f);
    } else if (strcmp(argv[0], "close") == 0) {
        if (vifnet32_close_ex(f->fd, &e) != 0) return reply_err(e);
        g_ifaces[g_cur] = g_ifaces[--g_count];
        g_cur = g_count - 1;
        printf("ok\n");
    } else {
        reply_err(22);
    }
    return 1;
}

int main(void) {
#if defined(_WIN32)
    WSADATA wsa;
    WSAStartup(MAKEWORD(2, 2), &wsa);
#endif
    vifnet32_set_debug_output_func(dbg_output);
    while (fgets(g_line, sizeof g_line, stdin) && run(g_line)) fflush(stdout);
    while (g_count > 0) vifnet32_close(g_ifaces[--g_count].fd);
    return 0;
}
