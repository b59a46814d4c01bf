/* The public header first, then the system's network headers. */
#include "vifnet32.h"
#if defined(_WIN32)
#include <winsock2.h>
#else
#include <net/if.h>
#include <net/if_arp.h>
#include <linux/if_tun.h>
#endif

int vifnet32_header_order_check(void) { return sizeof(vifnet32_ifreq) == 32 ? 0 : 1; }
