/* The public header compiled as C beside the system's own network headers, which define many
 * of the same words. */
#if defined(_WIN32)
#include <winsock2.h>
#include "vifnet32.h"
#else
#include <net/if.h>
#include <net/if_arp.h>
#include <linux/if_tun.h>
#include "vifnet32.h"
/* The shorthands mean the same thing for the system's record and ours. */
static int linux_records_agree(void) {
    struct ifreq sys;
    vifnet32_ifreq own;
    return (sizeof(sys.ifr_name) == sizeof(own.ifr_name) && sizeof(sys.ifr_flags) == sizeof(own.ifr_flags)) ? 0 : 1;
}
#endif

int vifnet32_header_c_check(void) {
    int bad = 0;
    vifnet32_ifreq req;
    bad |= sizeof(vifnet32_ifreq) != 32;
    bad |= sizeof(vifnet32_arpreq) != 68;
    bad |= sizeof(VIFNET32_STATS) != 136;
    bad |= (unsigned)VIFNET32_TUNSETIFF != 0x800454CAu;
    bad |= (unsigned)VIFNET32_IFCTL_QUERYTARNIPADDRS != 0x400454E2u;
    bad |= (char*)&req.ifr_mtu - (char*)&req != 16;
#if !defined(_WIN32)
    bad |= linux_records_agree();
#endif
    return bad;
}
