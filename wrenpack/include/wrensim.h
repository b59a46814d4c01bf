/*
 * Control interface of WrenPack's simulated driver. Only the simulated build of WrenPack exports
 * these; the driver operations of wrenpack.h behave as on a real adapter, with host adapters
 * declared by the test, received data injected by the test and sent frames recorded for it.
 * Adapters are named by their szAdapterName.
 */
#ifndef WRENSIM_H
#define WRENSIM_H

#include "wrenpack.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Driver operations whose failure a test can force. */
typedef enum WRENSIM_OP {
    WRENSIM_OP_GET_ADAPTERS_LIST = 0,
    WRENSIM_OP_OPEN_ADAPTER,
    WRENSIM_OP_SET_BUFF,
    WRENSIM_OP_SET_BPF,
    WRENSIM_OP_SET_READ_EVENT_THRESHOLD,
    WRENSIM_OP_GET_READ_EVENT,
    WRENSIM_OP_RECV_PACKET,
    WRENSIM_OP_SEND_PACKET,
    WRENSIM_OP_SEND_MANY_PACKETS,
    WRENSIM_OP_COUNT
} WRENSIM_OP;

/* What was sent: one frame through WrenPackSendPacket or one batch through SendManyPackets. */
#define WRENSIM_SENT_FRAME 1
#define WRENSIM_SENT_BATCH 2

/* Forget every adapter, pending receive data, recorded send, forced failure and list-size
 * override. Handles still open stay valid but see an adapter with nothing pending. */
WRENPACK_API void WrenSimReset(void);

/* Declare a host adapter (the record is copied; nEntrySize and pNext are filled in by the
 * driver). Returns 0 if an adapter of that name already exists. */
WRENPACK_API int WrenSimAddAdapter(const ADAPTER_INFO_LIST_ENTRY* entry);

/* Replace the record of the adapter of that name, as when the host changes an adapter's address
 * or MTU; open handles stay. Sends refuse frames shorter than 14 bytes (22/87) and frames
 * longer than the record's nMaxFrameSize when it is nonzero (10040/10040); a batch is sent up
 * to the first such frame. Returns 0 if there is no adapter of that name. */
WRENPACK_API int WrenSimSetAdapter(const ADAPTER_INFO_LIST_ENTRY* entry);

/* Make the byte count reported by the size query of WrenPackGetAdaptersList this value
 * instead of the adapters' total (0 restores the real total). */
WRENPACK_API void WrenSimSetAdaptersListSize(uint32_t bytes);

/* After `skip` more successful calls of `op`, make the next `count` calls fail (count -1:
 * every later call) with errno `err` and Windows error `winError`. count 0 clears. */
WRENPACK_API void WrenSimFail(WRENSIM_OP op, uint32_t skip, int count, int err, uint32_t winError);

/* Queue one receive buffer for the adapter, delivered as it stands by one WrenPackRecvPacket
 * (a receive with less capacity takes the first `capacity` bytes and leaves the rest queued). */
WRENPACK_API int WrenSimInjectBuffer(const WP_CHAR16* adapterName, const void* data, uint32_t length);

/* Queue one frame as a receive buffer of its own: one capture record (20-byte header, the
 * current time, caplen = datalen = length) of a frame that came in from the link
 * (WP_CAPTURE_DIRECTION_KNOWN). */
WRENPACK_API int WrenSimInjectFrame(const WP_CHAR16* adapterName, const void* frame, uint32_t length);
/* The same for a frame the host itself sent on the adapter (WP_CAPTURE_SENT_BY_HOST as well). */
WRENPACK_API int WrenSimInjectHostFrame(const WP_CHAR16* adapterName, const void* frame, uint32_t length);

/* Receive buffers still queued for the adapter. */
WRENPACK_API uint32_t WrenSimPendingBuffers(const WP_CHAR16* adapterName);

/* Number of sends recorded for the adapter (frames and batches, in order of sending). */
WRENPACK_API uint32_t WrenSimSentCount(const WP_CHAR16* adapterName);

/* Copy send number `index` into `buffer` (at most `capacity` bytes); *pLength receives its full
 * length. Returns WRENSIM_SENT_FRAME, WRENSIM_SENT_BATCH, or 0 when there is no such send. */
WRENPACK_API int WrenSimGetSent(const WP_CHAR16* adapterName, uint32_t index, void* buffer, uint32_t capacity, uint32_t* pLength);

/* Forget the adapter's recorded sends. */
WRENPACK_API void WrenSimClearSent(const WP_CHAR16* adapterName);

/* How many handles are open on the adapter now. */
WRENPACK_API uint32_t WrenSimOpenCount(const WP_CHAR16* adapterName);

/* The driver settings last applied to the adapter through any handle: buffer size (0 = never
 * set), read-event threshold (0xFFFFFFFF = never set), and the filter program (instruction
 * count returned; up to `capacity` instructions copied). */
WRENPACK_API uint32_t WrenSimGetBuff(const WP_CHAR16* adapterName);
WRENPACK_API uint32_t WrenSimGetReadEventThreshold(const WP_CHAR16* adapterName);
WRENPACK_API uint32_t WrenSimGetBpf(const WP_CHAR16* adapterName, WP_BPF_INSN* insns, uint32_t capacity);

/* Write a line through the function installed with WrenPackSetPrintDebugStringFunction. */
WRENPACK_API void WrenSimTrace(const char* text);

#ifdef __cplusplus
}
#endif

#endif /* WRENSIM_H */
