/*
 * WrenPack: packet-driver library.
 *
 * Lists the host's Ethernet adapters, opens one below the host's protocol stack, receives and
 * sends raw frames. Windows: WrenPack64U.dll. Linux: libwrenpack.so.
 *
 * Results: an int result is nonzero on success and 0 on failure; a handle is non-NULL on
 * success. On failure errno and the thread's Windows error code (GetLastError on Windows,
 * WrenPackGetLastError on every platform) describe the cause.
 */
#ifndef WRENPACK_H
#define WRENPACK_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
#if defined(WRENPACK_BUILD)
#define WRENPACK_API __declspec(dllexport)
#else
#define WRENPACK_API __declspec(dllimport)
#endif
#else
#if defined(WRENPACK_BUILD)
#define WRENPACK_API __attribute__((visibility("default")))
#else
#define WRENPACK_API
#endif
#endif

/* 16-bit characters in the record's name fields, whatever the platform's wchar_t. */
#ifdef __cplusplus
typedef char16_t WP_CHAR16;
#else
typedef uint16_t WP_CHAR16;
#endif

/* Opaque adapter handle. */
typedef void* WP_HANDLE;

/* The driver's read event: signalled while received data waits. Windows: an event HANDLE
 * (NULL = none). Elsewhere: a file descriptor that polls readable while data waits (-1 = none). */
#if defined(_WIN32)
typedef void* WP_EVENT;
#define WP_NO_EVENT ((WP_EVENT)0)
#else
typedef int WP_EVENT;
#define WP_NO_EVENT (-1)
#endif

typedef void (*WP_PRINT_DEBUG_STRING_FUNC)(const char* text);

#define WP_ADAPTER_ENTRY_SIZE 1376u
#define WP_ADAPTER_NAME_CHARS 256
#define WP_ADAPTER_DESCRIPTION_CHARS 128
#define WP_ADAPTER_CONNECTION_CHARS 256

/* Transmit checksum-offload bits of nChecksumOffloadFlags. */
#define WP_OFFLOAD_TX_IP_CHECKSUM 0x04u
#define WP_OFFLOAD_TX_TCP_CHECKSUM 0x08u
#define WP_OFFLOAD_TX_UDP_CHECKSUM 0x10u

/* Bits of nAdapterFlags. */
#define WP_ADAPTER_WIRELESS 0x01u /* an IEEE 802.11 adapter */

/* One host adapter, 1376 bytes, little-endian. The reserved words belong to the driver. */
typedef struct ADAPTER_INFO_LIST_ENTRY {
    uint32_t nEntrySize;                                     /*    0: 1376 */
    uint32_t dwReserved0;                                    /*    4 */
    struct ADAPTER_INFO_LIST_ENTRY* pNext;                   /*    8 */
    WP_CHAR16 szAdapterName[WP_ADAPTER_NAME_CHARS];          /*   16 */
    WP_CHAR16 szDescription[WP_ADAPTER_DESCRIPTION_CHARS];   /*  528 */
    uint8_t MACAddr[6];                                      /*  784 */
    uint8_t bReserved1[2];                                   /*  790 */
    uint32_t nMedium;                                        /*  792: NDIS medium code */
    uint32_t nLinkSpeed;                                     /*  796: units of 100 bit/s */
    uint32_t IPAddr;                                         /*  800: network byte order */
    uint32_t IPMask;                                         /*  804: network byte order */
    uint32_t GatewayIPAddr;                                  /*  808: network byte order */
    uint32_t nAdapterFlags;                                  /*  812: WP_ADAPTER_* */
    uint32_t nIfIndex;                                       /*  816: 0 = none */
    uint32_t dwReserved3;                                    /*  820 */
    uint32_t nOffloadInfo;                                   /*  824: nonzero = next field valid */
    uint32_t nChecksumOffloadFlags;                          /*  828: WP_OFFLOAD_TX_* */
    uint32_t dwReserved4[3];                                 /*  832 */
    WP_CHAR16 szConnectionName[WP_ADAPTER_CONNECTION_CHARS]; /* 844 */
    uint32_t nMaxFrameSize;                                  /* 1356: MTU + 14 */
    uint32_t dwReserved5[2];                                 /* 1360 */
    uint32_t bFixChecksums;                                  /* 1368 */
    uint32_t dwReserved6;                                    /* 1372 */
} ADAPTER_INFO_LIST_ENTRY;

#ifdef __cplusplus
#define WP_STATIC_ASSERT(c, m) static_assert(c, m)
#else
#define WP_STATIC_ASSERT(c, m) _Static_assert(c, m)
#endif
WP_STATIC_ASSERT(sizeof(ADAPTER_INFO_LIST_ENTRY) == 1376, "ADAPTER_INFO_LIST_ENTRY size");
WP_STATIC_ASSERT(offsetof(ADAPTER_INFO_LIST_ENTRY, pNext) == 8, "pNext");
WP_STATIC_ASSERT(offsetof(ADAPTER_INFO_LIST_ENTRY, szAdapterName) == 16, "szAdapterName");
WP_STATIC_ASSERT(offsetof(ADAPTER_INFO_LIST_ENTRY, szDescription) == 528, "szDescription");
WP_STATIC_ASSERT(offsetof(ADAPTER_INFO_LIST_ENTRY, MACAddr) == 784, "MACAddr");
WP_STATIC_ASSERT(offsetof(ADAPTER_INFO_LIST_ENTRY, nMedium) == 792, "nMedium");
WP_STATIC_ASSERT(offsetof(ADAPTER_INFO_LIST_ENTRY, nLinkSpeed) == 796, "nLinkSpeed");
WP_STATIC_ASSERT(offsetof(ADAPTER_INFO_LIST_ENTRY, IPAddr) == 800, "IPAddr");
WP_STATIC_ASSERT(offsetof(ADAPTER_INFO_LIST_ENTRY, IPMask) == 804, "IPMask");
WP_STATIC_ASSERT(offsetof(ADAPTER_INFO_LIST_ENTRY, GatewayIPAddr) == 808, "GatewayIPAddr");
WP_STATIC_ASSERT(offsetof(ADAPTER_INFO_LIST_ENTRY, nAdapterFlags) == 812, "nAdapterFlags");
WP_STATIC_ASSERT(offsetof(ADAPTER_INFO_LIST_ENTRY, nIfIndex) == 816, "nIfIndex");
WP_STATIC_ASSERT(offsetof(ADAPTER_INFO_LIST_ENTRY, nOffloadInfo) == 824, "nOffloadInfo");
WP_STATIC_ASSERT(offsetof(ADAPTER_INFO_LIST_ENTRY, nChecksumOffloadFlags) == 828, "offload flags");
WP_STATIC_ASSERT(offsetof(ADAPTER_INFO_LIST_ENTRY, szConnectionName) == 844, "szConnectionName");
WP_STATIC_ASSERT(offsetof(ADAPTER_INFO_LIST_ENTRY, nMaxFrameSize) == 1356, "nMaxFrameSize");
WP_STATIC_ASSERT(offsetof(ADAPTER_INFO_LIST_ENTRY, bFixChecksums) == 1368, "bFixChecksums");

/* Classic BSD Packet Filter program. */
typedef struct WP_BPF_INSN {
    uint16_t code;
    uint8_t jt;
    uint8_t jf;
    uint32_t k;
} WP_BPF_INSN;

typedef struct WP_BPF_PROGRAM {
    uint32_t bf_len;
    const WP_BPF_INSN* bf_insns;
} WP_BPF_PROGRAM;

/* Capture record header in a receive buffer; the frame starts bh_hdrlen bytes after the record
 * start and the next record at the frame start plus bh_caplen, rounded up to 4. */
typedef struct WP_CAPTURE_HEADER {
    uint32_t tv_sec;
    uint32_t tv_usec;
    uint32_t bh_caplen;
    uint32_t bh_datalen;
    uint16_t bh_hdrlen;
    uint16_t wReserved; /* WP_CAPTURE_* direction bits */
} WP_CAPTURE_HEADER;
WP_STATIC_ASSERT(sizeof(WP_CAPTURE_HEADER) == 20, "capture header");
/* A driver that can tell which way a captured frame went sets WP_CAPTURE_DIRECTION_KNOWN in
 * every record, and WP_CAPTURE_SENT_BY_HOST as well in the records of frames the host itself
 * sent on the adapter. A driver that cannot tell leaves wReserved 0: then only the frame's own
 * bytes say where it came from. The Linux driver tells; the Windows driver cannot (the capture
 * library there gives no direction with a frame). */
#define WP_CAPTURE_DIRECTION_KNOWN 0x0001u
#define WP_CAPTURE_SENT_BY_HOST 0x0002u
#define WP_CAPTURE_ALIGN(n) (((n) + 3u) & ~3u)

/* Batch record header for WrenPackSendManyPackets; the frame follows at +16, no padding. */
typedef struct WP_BATCH_HEADER {
    uint32_t dwZero0;
    uint32_t dwZero1;
    uint32_t dwFrameLength;
    uint32_t dwZero2;
} WP_BATCH_HEADER;
WP_STATIC_ASSERT(sizeof(WP_BATCH_HEADER) == 16, "batch header");

/* With buffer NULL and *pcbBytes 0 stores the bytes needed (stays 0 on failure). With a buffer
 * of *pcbBytes bytes fills a chain of records linked through pNext. */
WRENPACK_API int WrenPackGetAdaptersList(void* buffer, uint32_t* pcbBytes);
WRENPACK_API WP_HANDLE WrenPackOpenAdapter(const WP_CHAR16* adapterName);
WRENPACK_API void WrenPackCloseAdapter(WP_HANDLE adapter);
WRENPACK_API int WrenPackSetBuff(WP_HANDLE adapter, uint32_t bytes);
WRENPACK_API int WrenPackSetBpf(WP_HANDLE adapter, const WP_BPF_PROGRAM* program);
WRENPACK_API int WrenPackSetReadEventThreshold(WP_HANDLE adapter, uint32_t bytes);
WRENPACK_API WP_EVENT WrenPackGetWin32ReadEventHandle(WP_HANDLE adapter);
WRENPACK_API int WrenPackRecvPacket(WP_HANDLE adapter, void* buffer, uint32_t capacity, uint32_t* pcbRead, void* reserved);
WRENPACK_API int WrenPackSendPacket(WP_HANDLE adapter, const void* frame, uint32_t length);
WRENPACK_API int WrenPackSendManyPackets(WP_HANDLE adapter, const void* batch, uint32_t length);
/* How many frames of the calling thread's last WrenPackSendManyPackets went out, counted from
 * the batch's first: all of them after a success; after a failure those sent before the frame
 * that failed (0 when the batch was refused whole). */
WRENPACK_API uint32_t WrenPackGetBatchFramesSent(void);
WRENPACK_API int WrenPackSetPrintDebugStringFunction(WP_PRINT_DEBUG_STRING_FUNC func);
/* The calling thread's Windows error code as WrenPack last set it (GetLastError on Windows). */
WRENPACK_API uint32_t WrenPackGetLastError(void);

#ifdef __cplusplus
}
#endif

#endif /* WRENPACK_H */
