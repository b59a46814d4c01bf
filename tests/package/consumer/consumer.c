/* Calls what needs no privilege and no network, through the installed header and library, then
 * lists where the library and its packet driver were loaded from. Exits 0 when all behave. */
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include "vifnet32.h"

static int failures;

static void expect(int ok, const char* what) {
    if (!ok) {
        fprintf(stderr, "consumer: %s\n", what);
        ++failures;
    }
}

int main(void) {
    /* An IPv4 header whose checksum field (bytes 10-11) would be 0xB861. */
    static const unsigned char header[20] = {0x45, 0, 0, 0x73, 0, 0, 0x40, 0, 0x40, 0x11, 0, 0, 0xC0, 0xA8, 0, 1, 0xC0, 0xA8, 0, 0xC7};
    int major = -1, minor = -1, release = -1, build = -1, e = 0;
    const char* text;
    char line[512];
    FILE* maps;

    vifnet32_version_numbers(&major, &minor, &release, &build);
    expect(major == VIFNET32_VERSION_MAJOR && minor == VIFNET32_VERSION_MINOR && release == VIFNET32_VERSION_RELEASE &&
               build == VIFNET32_VERSION_BUILD, "version numbers differ from the header's");
    text = vifnet32_version_string();
    expect(text && strcmp(text, VIFNET32_VERSION_STRING) == 0, "version text differs from the header's");
    expect(vifnet32_calc_inet_checksum(header, sizeof header) == 0xB861, "Internet checksum");
    expect(vifnet32_close_ex(99, &e) == -1 && e == 9, "closing an unknown descriptor");
    /* Lists the host's adapters through the packet driver: MAC text even when there is none. */
    text = vifnet32_get_default_iface();
    expect(text && strlen(text) == 17 && text[2] == '-' && text[14] == '-', "default host adapter text");

    maps = fopen("/proc/self/maps", "r");
    while (maps && fgets(line, sizeof line, maps)) {
        const char* path = strchr(line, '/');
        if (path && (strstr(path, "/libvifnet.so") || strstr(path, "/libwrenpack.so"))) printf("loaded %s", path);
    }
    if (maps) fclose(maps);
    printf("consumer: %d failure(s)\n", failures);
    return failures != 0;
}
