/*
 * Vifnet: TUN/TAP virtual network interfaces on a host's Ethernet adapter.
 *
 * Everything a caller needs: the exported functions, the constants and the records, laid out
 * byte for byte as the library reads and writes them. Usable from C and C++, on Windows
 * (Vifnet64U.dll) and Linux (libvifnet.so). Names that a system header could also define carry
 * the VIFNET32_ prefix, so this header can be included beside <net/if.h>, <net/if_arp.h>,
 * <linux/if_tun.h> or <winsock2.h>.
 *
 * Every function comes in a plain form, which leaves the error number in the library's errno,
 * and an _ex form, which also stores it through its last argument (when that is not NULL).
 */
#ifndef VIFNET32_H
#define VIFNET32_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
#  if defined(VIFNET32_BUILD)
#    define VIFNET32_API
#  else
#    define VIFNET32_API __declspec(dllimport)
#  endif
#else
#  if defined(VIFNET32_BUILD)
#    define VIFNET32_API __attribute__((visibility("default")))
#  else
#    define VIFNET32_API
#  endif
#endif

#ifdef __cplusplus
#define VIFNET32_STATIC_ASSERT(c, m) static_assert(c, m)
#else
#define VIFNET32_STATIC_ASSERT(c, m) _Static_assert(c, m)
#endif

/* ---- Version ------------------------------------------------------------------------------ */

#define VIFNET32_VERSION_MAJOR 3
#define VIFNET32_VERSION_MINOR 7
#define VIFNET32_VERSION_RELEASE 0
#define VIFNET32_VERSION_BUILD 5409
#define VIFNET32_VERSION_STRING "3.7.0.5409-U"

/* ---- Debug output ----------------------------------------------------------------------------- */

/* Receives each diagnostic message as one narrow, NUL-terminated text. */
typedef void (*PRINT_DEBUG_STRING_FUNC)(const char* text);

/* ---- Open flags ----------------------------------------------------------------------------- */

#define VIFNET32_O_RDONLY 0
#define VIFNET32_O_WRONLY 1
#define VIFNET32_O_RDWR 2
/* Notify mode: one 8-byte message on the descriptor for every buffer of frames that arrives. */
#define _O_VF32NOTIFY 0x08000000

/* ---- Interface flags ---------------------------------------------------------------------- */

/* Interface type, chosen once by VIFNET32_TUNSETIFF. */
#define VIFNET32_IFF_TUN 0x0001
#define VIFNET32_IFF_TAP 0x0002

/* Interface flags (VIFNET32_SIOCGIFFLAGS, VIFNET32_SIOCSIFFLAGS). */
#define VIFNET32_IFF_UP 0x0001
#define VIFNET32_IFF_BROADCAST 0x0002
#define VIFNET32_IFF_DEBUG 0x0004
#define VIFNET32_IFF_LOOPBACK 0x0008
#define VIFNET32_IFF_POINTOPOINT 0x0010
#define VIFNET32_IFF_NOTRAILERS 0x0020
#define VIFNET32_IFF_RUNNING 0x0040
#define VIFNET32_IFF_NOARP 0x0080
#define VIFNET32_IFF_PROMISC 0x0100
#define VIFNET32_IFF_ALLMULTI 0x0200
#define VIFNET32_IFF_MASTER 0x0400
#define VIFNET32_IFF_SLAVE 0x0800
#define VIFNET32_IFF_MULTICAST 0x1000
#define VIFNET32_IFF_PORTSEL 0x2000
#define VIFNET32_IFF_AUTOMEDIA 0x4000
#define VIFNET32_IFF_DYNAMIC 0x8000

/* ---- Interface-control request codes (vifnet32_ioctl) ------------------------------------------ */

#define VIFNET32_SIOCGIFNAME 0x8910
#define VIFNET32_SIOCGIFFLAGS 0x8913
#define VIFNET32_SIOCSIFFLAGS 0x8914
#define VIFNET32_SIOCGIFADDR 0x8915
#define VIFNET32_SIOCSIFADDR 0x8916
#define VIFNET32_SIOCGIFDSTADDR 0x8917
#define VIFNET32_SIOCSIFDSTADDR 0x8918
#define VIFNET32_SIOCGIFBRDADDR 0x8919
#define VIFNET32_SIOCSIFBRDADDR 0x891A
#define VIFNET32_SIOCGIFNETMASK 0x891B
#define VIFNET32_SIOCSIFNETMASK 0x891C
#define VIFNET32_SIOCGIFMTU 0x8921
#define VIFNET32_SIOCSIFMTU 0x8922
#define VIFNET32_SIOCSIFHWADDR 0x8924
#define VIFNET32_SIOCGIFHWADDR 0x8927
#define VIFNET32_SIOCADDMULTI 0x8931
#define VIFNET32_SIOCDELMULTI 0x8932
#define VIFNET32_SIOCSIFHWBROADCAST 0x8937
#define VIFNET32_SIOCDARP 0x8953
#define VIFNET32_SIOCGARP 0x8954
#define VIFNET32_SIOCSARP 0x8955
#define VIFNET32_SIOCDRARP 0x8960
#define VIFNET32_SIOCGRARP 0x8961
#define VIFNET32_SIOCSRARP 0x8962

/* The TUN group: group 'T', argument size 4, with the Windows Sockets direction bits. */
#define VIFNET32_IOW_T(n) ((int)(0x80000000u | (4u << 16) | (0x54u << 8) | (unsigned)(n)))
#define VIFNET32_IOR_T(n) ((int)(0x40000000u | (4u << 16) | (0x54u << 8) | (unsigned)(n)))
#define VIFNET32_TUNSETDEBUG VIFNET32_IOW_T(0xC9)          /* 0x800454C9 */
#define VIFNET32_TUNSETIFF VIFNET32_IOW_T(0xCA)            /* 0x800454CA */
#define VIFNET32_IFCTL_SETDEVBUFSIZE VIFNET32_IOW_T(0xDC)  /* 0x800454DC */
#define VIFNET32_IFCTL_SETIOBUFSIZE VIFNET32_IOW_T(0xDD)   /* 0x800454DD */
/* Read timeout in ms (default 5000); -1 waits without limit: until a frame comes, or the
 * interface goes down or is closed (the read then fails with errno 13). */
#define VIFNET32_IFCTL_SETREADTIMEOUT VIFNET32_IOW_T(0xDE) /* 0x800454DE */
#define VIFNET32_IFCTL_ADDTARNIPADDR VIFNET32_IOW_T(0xE0)  /* 0x800454E0 */
#define VIFNET32_IFCTL_DELTARNIPADDR VIFNET32_IOW_T(0xE1)  /* 0x800454E1 */
#define VIFNET32_IFCTL_GETDEVBUFSIZE VIFNET32_IOR_T(0xDC)  /* 0x400454DC */
#define VIFNET32_IFCTL_GETIOBUFSIZE VIFNET32_IOR_T(0xDD)   /* 0x400454DD */
#define VIFNET32_IFCTL_GETREADTIMEOUT VIFNET32_IOR_T(0xDE) /* 0x400454DE */
#define VIFNET32_IFCTL_GETSTATS VIFNET32_IOR_T(0xDF)       /* 0x400454DF */
#define VIFNET32_IFCTL_QUERYTARNIPADDRS VIFNET32_IOR_T(0xE2) /* 0x400454E2 */
/* The MAC the guest uses on the wire (argument: int*). Own: its own MAC, as on any Ethernet.
 * Shared: the host adapter's MAC, for links that carry only the host's address (an 802.11
 * station); TAP frames are translated for IPv4 and ARP only (IPv6 and other protocols are not).
 * Auto: shared on a wireless adapter, own elsewhere. Set only while the interface is down. */
#define VIFNET32_IFCTL_SETMACMODE VIFNET32_IOW_T(0xE3)     /* 0x800454E3 */
/* Writes the configured mode, ORed with the VIFNET32_MACMODE_F_* bits of the moment. */
#define VIFNET32_IFCTL_GETMACMODE VIFNET32_IOR_T(0xE3)     /* 0x400454E3 */
#define VIFNET32_MACMODE_AUTO 0   /* the default of a new interface */
#define VIFNET32_MACMODE_OWN 1
#define VIFNET32_MACMODE_SHARED 2
/* Shared applies now: configured shared, or auto on a wireless adapter. */
#define VIFNET32_MACMODE_F_SHARED_IN_FORCE 0x100
/* The host adapter is wireless. */
#define VIFNET32_MACMODE_F_WIRELESS 0x200
/* The host forwards IPv4 on that adapter, and so would route a shared guest's packets again. */
#define VIFNET32_MACMODE_F_FORWARDING 0x400

/* Address families in the records. */
#define VIFNET32_AF_UNSPEC 0
#define VIFNET32_ARPHRD_ETHER 1
#define VIFNET32_AF_INET 2
/* The only arp_flags value the ARP requests accept (a complete entry). */
#define VIFNET32_ATF_COM 4
/* Room the caller gives VIFNET32_IFCTL_QUERYTARNIPADDRS: 32 addresses and the final 0.0.0.0. */
#define VIFNET32_MAX_TARN_IPADDRS 32

/* ---- Records ------------------------------------------------------------------------------ */

/* A socket address: the family, then a MAC address in the first six bytes of sa_data. */
typedef struct vifnet32_sockaddr {
    uint16_t sa_family;
    uint8_t sa_data[14];
} vifnet32_sockaddr;

/* An IPv4 socket address; sin_addr in network byte order. The port is never used. */
typedef struct vifnet32_sockaddr_in {
    uint16_t sin_family;
    uint16_t sin_port;
    uint8_t sin_addr[4];
    uint8_t sin_zero[8];
} vifnet32_sockaddr_in;

/* The interface request record (the library reads and writes its first 32 bytes only, so a
 * larger system ifreq may be passed too). */
typedef struct vifnet32_ifreq {
    union {
        char ifrn_name[16]; /* NUL-terminated; byte 15 is always 0 when the library writes it */
    } ifr_ifrn;
    union {
        vifnet32_sockaddr ifru_addr;
        vifnet32_sockaddr ifru_dstaddr;
        vifnet32_sockaddr ifru_broadaddr;
        vifnet32_sockaddr ifru_netmask;
        vifnet32_sockaddr ifru_hwaddr;
        vifnet32_sockaddr_in ifru_addr_in;
        int16_t ifru_flags;
        int32_t ifru_mtu;
        uint32_t ifru_value; /* the number of the TUN-group requests */
    } ifr_ifru;
} vifnet32_ifreq;

/* The usual shorthands, spelt exactly as the system's headers spell them so that both can be
 * in force at once. */
#ifndef ifr_name
#define ifr_name ifr_ifrn.ifrn_name
#endif
#ifndef ifr_hwaddr
#define ifr_hwaddr ifr_ifru.ifru_hwaddr
#endif
#ifndef ifr_addr
#define ifr_addr ifr_ifru.ifru_addr
#endif
#ifndef ifr_dstaddr
#define ifr_dstaddr ifr_ifru.ifru_dstaddr
#endif
#ifndef ifr_broadaddr
#define ifr_broadaddr ifr_ifru.ifru_broadaddr
#endif
#ifndef ifr_netmask
#define ifr_netmask ifr_ifru.ifru_netmask
#endif
#ifndef ifr_flags
#define ifr_flags ifr_ifru.ifru_flags
#endif
#ifndef ifr_mtu
#define ifr_mtu ifr_ifru.ifru_mtu
#endif

/* The ARP request record. The IPv4 address sits at offset 2, directly after the family. */
typedef struct vifnet32_arpreq {
    vifnet32_sockaddr arp_pa;      /* family 2; sa_data[0..3] the IPv4 address, network order */
    vifnet32_sockaddr arp_ha;      /* family 0; sa_data[0..5] the MAC address */
    int32_t arp_flags;             /* VIFNET32_ATF_COM */
    vifnet32_sockaddr arp_netmask; /* not used */
    char arp_dev[16];              /* not used */
} vifnet32_arpreq;

/* Statistics of one interface. Set dwStructSize to the size of your record before the call;
 * the library copies at most its own size and stores the number of bytes copied. */
typedef struct VIFNET32_STATS {
    uint32_t dwStructSize;
    uint32_t dwKernelBuffSize;       /* the adapter's driver buffer, bytes */
    uint32_t dwReadBuffSize;         /* the interface's read buffer, bytes */
    uint32_t dwMaxBytesRead;         /* most data received in one adapter buffer */
    uint64_t n64WriteCalls;
    uint64_t n64WriteAttempts;
    uint64_t n64ReadPacketCalls;
    uint64_t n64AdapterReads;
    uint64_t n64FramesExamined;
    uint64_t n64PacketsWritten;
    uint64_t n64BytesRead;
    uint64_t n64BytesWritten;
    uint64_t n64ARPReplies;
    uint64_t n64FramesDiscarded;
    uint64_t n64OwnFramesDropped;
    uint64_t n64ZeroDestMACRead;
    uint64_t n64ZeroDestMACWritten;
    uint64_t n64ZeroSrcMACRead;
    uint64_t n64ZeroSrcMACWritten;
} VIFNET32_STATS;

VIFNET32_STATIC_ASSERT(sizeof(vifnet32_sockaddr) == 16, "sockaddr size");
VIFNET32_STATIC_ASSERT(sizeof(vifnet32_sockaddr_in) == 16, "sockaddr_in size");
VIFNET32_STATIC_ASSERT(offsetof(vifnet32_sockaddr_in, sin_port) == 2, "sin_port");
VIFNET32_STATIC_ASSERT(offsetof(vifnet32_sockaddr_in, sin_addr) == 4, "sin_addr");
VIFNET32_STATIC_ASSERT(sizeof(vifnet32_ifreq) == 32, "ifreq size");
VIFNET32_STATIC_ASSERT(offsetof(vifnet32_ifreq, ifr_ifrn.ifrn_name) == 0, "ifr_name");
VIFNET32_STATIC_ASSERT(offsetof(vifnet32_ifreq, ifr_ifru.ifru_flags) == 16, "ifr_flags");
VIFNET32_STATIC_ASSERT(offsetof(vifnet32_ifreq, ifr_ifru.ifru_addr) == 16, "ifr_addr");
VIFNET32_STATIC_ASSERT(offsetof(vifnet32_ifreq, ifr_ifru.ifru_mtu) == 16, "ifr_mtu");
VIFNET32_STATIC_ASSERT(offsetof(vifnet32_ifreq, ifr_ifru.ifru_value) == 16, "ifr value");
VIFNET32_STATIC_ASSERT(sizeof(vifnet32_arpreq) == 68, "arpreq size");
VIFNET32_STATIC_ASSERT(offsetof(vifnet32_arpreq, arp_pa) == 0, "arp_pa");
VIFNET32_STATIC_ASSERT(offsetof(vifnet32_arpreq, arp_pa.sa_data) == 2, "arp_pa address");
VIFNET32_STATIC_ASSERT(offsetof(vifnet32_arpreq, arp_ha) == 16, "arp_ha");
VIFNET32_STATIC_ASSERT(offsetof(vifnet32_arpreq, arp_ha.sa_data) == 18, "arp_ha address");
VIFNET32_STATIC_ASSERT(offsetof(vifnet32_arpreq, arp_flags) == 32, "arp_flags");
VIFNET32_STATIC_ASSERT(offsetof(vifnet32_arpreq, arp_netmask) == 36, "arp_netmask");
VIFNET32_STATIC_ASSERT(offsetof(vifnet32_arpreq, arp_dev) == 52, "arp_dev");
VIFNET32_STATIC_ASSERT(VIFNET32_IFCTL_SETMACMODE == (int)0x800454E3u, "SETMACMODE code");
VIFNET32_STATIC_ASSERT(VIFNET32_IFCTL_GETMACMODE == 0x400454E3, "GETMACMODE code");
VIFNET32_STATIC_ASSERT((VIFNET32_MACMODE_SHARED & ~0xFF) == 0, "modes fit the low byte");
VIFNET32_STATIC_ASSERT(sizeof(VIFNET32_STATS) == 136, "stats size");
VIFNET32_STATIC_ASSERT(offsetof(VIFNET32_STATS, dwKernelBuffSize) == 4, "dwKernelBuffSize");
VIFNET32_STATIC_ASSERT(offsetof(VIFNET32_STATS, dwReadBuffSize) == 8, "dwReadBuffSize");
VIFNET32_STATIC_ASSERT(offsetof(VIFNET32_STATS, dwMaxBytesRead) == 12, "dwMaxBytesRead");
VIFNET32_STATIC_ASSERT(offsetof(VIFNET32_STATS, n64WriteCalls) == 16, "n64WriteCalls");
VIFNET32_STATIC_ASSERT(offsetof(VIFNET32_STATS, n64WriteAttempts) == 24, "n64WriteAttempts");
VIFNET32_STATIC_ASSERT(offsetof(VIFNET32_STATS, n64ReadPacketCalls) == 32, "n64ReadPacketCalls");
VIFNET32_STATIC_ASSERT(offsetof(VIFNET32_STATS, n64AdapterReads) == 40, "n64AdapterReads");
VIFNET32_STATIC_ASSERT(offsetof(VIFNET32_STATS, n64FramesExamined) == 48, "n64FramesExamined");
VIFNET32_STATIC_ASSERT(offsetof(VIFNET32_STATS, n64PacketsWritten) == 56, "n64PacketsWritten");
VIFNET32_STATIC_ASSERT(offsetof(VIFNET32_STATS, n64BytesRead) == 64, "n64BytesRead");
VIFNET32_STATIC_ASSERT(offsetof(VIFNET32_STATS, n64BytesWritten) == 72, "n64BytesWritten");
VIFNET32_STATIC_ASSERT(offsetof(VIFNET32_STATS, n64ARPReplies) == 80, "n64ARPReplies");
VIFNET32_STATIC_ASSERT(offsetof(VIFNET32_STATS, n64FramesDiscarded) == 88, "n64FramesDiscarded");
VIFNET32_STATIC_ASSERT(offsetof(VIFNET32_STATS, n64OwnFramesDropped) == 96, "n64OwnFramesDropped");
VIFNET32_STATIC_ASSERT(offsetof(VIFNET32_STATS, n64ZeroDestMACRead) == 104, "n64ZeroDestMACRead");
VIFNET32_STATIC_ASSERT(offsetof(VIFNET32_STATS, n64ZeroDestMACWritten) == 112, "n64ZeroDestMACWritten");
VIFNET32_STATIC_ASSERT(offsetof(VIFNET32_STATS, n64ZeroSrcMACRead) == 120, "n64ZeroSrcMACRead");
VIFNET32_STATIC_ASSERT(offsetof(VIFNET32_STATS, n64ZeroSrcMACWritten) == 128, "n64ZeroSrcMACWritten");

/* ---- Functions ------------------------------------------------------------------------------ */

/* Opens an interface on the host adapter named by its IPv4 address or MAC address text;
 * flags: VIFNET32_O_* optionally with _O_VF32NOTIFY. Returns the descriptor, -1 on failure. */
VIFNET32_API int vifnet32_open(const char* gateway, int flags);
VIFNET32_API int vifnet32_open_ex(const char* gateway, int flags, int* e);
VIFNET32_API int vifnet32_close(int fd);
VIFNET32_API int vifnet32_close_ex(int fd, int* e);
/* Bytes read, 0 on timeout, -1 on failure. A received frame longer than the interface's MTU
 * + 14 is dropped and counted in n64FramesDiscarded, in TUN and TAP mode, as a NIC with that MTU
 * would drop it. On Linux, with segmentation or receive offloads on, the host's own frames are
 * captured as super-frames of up to 64 KB and are dropped too: turn GSO/TSO (and GRO/LRO) off
 * on the host adapter (ethtool -K <dev> gso off tso off gro off). */
VIFNET32_API int vifnet32_read(int fd, void* buffer, int size);
VIFNET32_API int vifnet32_read_ex(int fd, void* buffer, int size, int* e);
VIFNET32_API int vifnet32_write(int fd, const void* buffer, int length);
VIFNET32_API int vifnet32_write_ex(int fd, const void* buffer, int length, int* e);
/* A frame shorter than an Ethernet header (14 bytes), or longer than the host adapter carries
 * now, is refused by vifnet32_write (EINVAL), before it can enter a batch. A batch the driver
 * fails to send partway is not sent again: vifnet32_end_write_multi (or the write that forced
 * the send) fails, the frames that went out are counted, the rest are dropped, and the batch
 * ends all the same with vifnet32_end_write_multi. */
VIFNET32_API int vifnet32_ioctl(int fd, int request, void* record);
VIFNET32_API int vifnet32_ioctl_ex(int fd, int request, void* record, int* e);
VIFNET32_API int vifnet32_beg_write_multi(int fd, int size);
VIFNET32_API int vifnet32_beg_write_multi_ex(int fd, int size, int* e);
VIFNET32_API int vifnet32_end_write_multi(int fd);
VIFNET32_API int vifnet32_end_write_multi_ex(int fd, int* e);
/* stats->dwStructSize: the caller's record size, 1 to VIFNET32_MAX_STATS_SIZE bytes; all of it
 * is zeroed, then filled up to the library's record size. */
#define VIFNET32_MAX_STATS_SIZE 4096
VIFNET32_API int vifnet32_get_stats(int fd, VIFNET32_STATS* stats);
VIFNET32_API int vifnet32_get_stats_ex(int fd, VIFNET32_STATS* stats, int* e);
/* The default host adapter as MAC text ("00-1A-2B-3C-4D-5E"); never NULL; overwritten by the
 * next call. */
VIFNET32_API const char* vifnet32_get_default_iface(void);
VIFNET32_API const char* vifnet32_get_default_iface_ex(int* e);
/* Installs the function that receives the diagnostics of this library and of its packet
 * driver (NULL: none). Returns the packet driver's result. */
VIFNET32_API int vifnet32_set_debug_output_func(PRINT_DEBUG_STRING_FUNC func);
VIFNET32_API int vifnet32_set_debug_output_func_ex(PRINT_DEBUG_STRING_FUNC func, int* e);
/* A connected pair of stream sockets (domain 2, type 1, protocol 0 only); on failure errno is
 * a Windows Sockets error code. */
VIFNET32_API int vifnet32_socketpair(int domain, int type, int protocol, int sv[2]);
VIFNET32_API int vifnet32_socketpair_ex(int domain, int type, int protocol, int sv[2], int* e);
/* Folded 16-bit one's-complement sum, and the Internet checksum (its complement). */
VIFNET32_API unsigned short vifnet32_calc_checksum(const void* data, int length);
VIFNET32_API unsigned short vifnet32_calc_checksum_ex(const void* data, int length, int* e);
VIFNET32_API unsigned short vifnet32_calc_inet_checksum(const void* data, int length);
VIFNET32_API unsigned short vifnet32_calc_inet_checksum_ex(const void* data, int length, int* e);
/* The guest interface MAC (6 bytes) for an IPv4 address (4 bytes, network order). */
VIFNET32_API void vifnet32_build_tarn_iface_mac(unsigned char* mac, const unsigned char* ip);
VIFNET32_API void vifnet32_build_tarn_iface_mac_ex(unsigned char* mac, const unsigned char* ip, int* e);
VIFNET32_API void vifnet32_version_numbers(int* major, int* minor, int* release, int* build);
VIFNET32_API void vifnet32_version_numbers_ex(int* major, int* minor, int* release, int* build, int* e);
VIFNET32_API const char* vifnet32_version_string(void);
VIFNET32_API const char* vifnet32_version_string_ex(int* e);
VIFNET32_API const char* vifnet32_copyright_string(void);
VIFNET32_API const char* vifnet32_copyright_string_ex(int* e);

#if !defined(_WIN32)
/* The calling thread's last Windows error code as the library set it (Windows callers use
 * GetLastError). */
VIFNET32_API unsigned int vifnet32_get_last_error(void);
#endif

#ifdef __cplusplus
}
#endif

#endif /* VIFNET32_H */
