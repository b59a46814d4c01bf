/* vifnet_info: what the library answers a caller before any interface is open.
 *
 *   vifnet_info [IPv4-address]
 *
 * Prints the library's version, the default host adapter, and the guest MAC address the library
 * would give a guest with the given address; diagnostics go to standard error. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <errno.h>

#include "vifnet32.h"

static void print_diagnostic(const char* text) { fprintf(stderr, "vifnet: %s", text); }

static int parse_ipv4(const char* text, unsigned char ip[4]) {
    unsigned a, b, c, d;
    char tail;
    if (sscanf(text, "%u.%u.%u.%u%c", &a, &b, &c, &d, &tail) != 4 || a > 255 || b > 255 || c > 255 || d > 255) return 0;
    ip[0] = (unsigned char)a;
    ip[1] = (unsigned char)b;
    ip[2] = (unsigned char)c;
    ip[3] = (unsigned char)d;
    return 1;
}

int main(int argc, char** argv) {
    int major, minor, release, build;
    unsigned char ip[4] = {192, 168, 1, 10}, mac[6];
    int sv[2], rc;

    if (argc > 2 || (argc == 2 && !parse_ipv4(argv[1], ip))) {
        fprintf(stderr, "usage: vifnet_info [IPv4-address]\n");
        return 2;
    }
    vifnet32_set_debug_output_func(print_diagnostic);

    vifnet32_version_numbers(&major, &minor, &release, &build);
    printf("Vifnet %s (%d.%d.%d build %d)\n%s\n\n", vifnet32_version_string(), major, minor, release, build,
           vifnet32_copyright_string());
    printf("default host adapter : %s\n", vifnet32_get_default_iface());

    vifnet32_build_tarn_iface_mac(mac, ip);
    printf("guest MAC for %u.%u.%u.%u : %02X-%02X-%02X-%02X-%02X-%02X\n", ip[0], ip[1], ip[2], ip[3], mac[0], mac[1], mac[2],
           mac[3], mac[4], mac[5]);
    printf("checksum of \"abc\"    : sum 0x%04X, Internet checksum 0x%04X\n", vifnet32_calc_checksum("abc", 3),
           vifnet32_calc_inet_checksum("abc", 3));
    printf("descriptor socket pair: %s\n", vifnet32_socketpair(2, 1, 0, sv) == 0 ? "ok" : "failed");
    rc = vifnet32_close(99);
    printf("closing descriptor 99: %d (errno %d)\n", rc, errno);
    return 0;
}
