// WrenPack's capture-library driver: the exported operations, their argument checks and error
// reports. What differs per platform (opening, receiving, sending, the read
// event, the adapter list) is in capture_*.cpp and adapters_*.cpp.
#include "wp_driver.h"
#include "wp_platform.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

namespace wp {
namespace {

std::atomic<WP_PRINT_DEBUG_STRING_FUNC> g_print{nullptr};
// Frames of the thread's last batch that went out (WrenPackGetBatchFramesSent).
thread_local uint32_t t_batchFramesSent = 0;

// A handle given to callers: the magic number turns a stale or foreign pointer into EINVAL in the
// common cases instead of a crash.
constexpr uint32_t kMagic = 0x57504831;  // "WPH1"
struct Handle {
    uint32_t magic = kMagic;
    Capture* capture;
    // The filter in force: a new capture takes every frame whole. Installing a filter makes the
    // capture library drop frames for a moment, so a program already in force is not installed
    // again (the library's reader installs its accept-all filter at every start).
    std::mutex filterMu;
    std::vector<WP_BPF_INSN> filter{{0x0006, 0, 0, 0xFFFFFFFFu}};
};

Capture* Of(WP_HANDLE h) {
    auto* handle = static_cast<Handle*>(h);
    return handle && handle->magic == kMagic ? handle->capture : nullptr;
}

// Runs one operation: success leaves errno and the thread's error code as the caller had them
// (library calls inside may have changed them); failure leaves the pair the operation set.
template <class Body>
int Run(Body&& body) {
    const int savedErrno = errno;
    const uint32_t savedWin = last_error();
    try {
        if (!body()) return 0;
    } catch (const std::bad_alloc&) {  // nothing may leave a C function
        return Fail(kNoMemory, "out of memory"), 0;
    }
    errno = savedErrno;
    set_last_error(savedWin);
    return 1;
}

}  // namespace

bool Fail(Error error, const char* format, ...) {
    if (WP_PRINT_DEBUG_STRING_FUNC print = g_print.load()) {
        char text[512] = "WrenPack: ";
        const size_t prefix = std::strlen(text);
        va_list args;
        va_start(args, format);
        std::vsnprintf(text + prefix, sizeof text - prefix - 1, format, args);
        va_end(args);
        std::strcat(text, "\n");
        print(text);
    }
    errno = error.err;
    set_last_error(error.win);
    return false;
}

bool FailPcap(const PcapApi& api, pcap_t_wp* pcap, const char* call, const std::string& device, const char* text, int status) {
    if (!text) text = status == -1 && *api.geterr(pcap) ? api.geterr(pcap) : api.statustostr(status);
    return Fail(FromStatus(status, text), "%s(%s) failed: %s", call, device.c_str(), text);
}

pcap_t_wp* StartCapture(const PcapApi& api, const std::string& device, uint32_t bufferBytes, int timeoutMs) {
    char errbuf[kErrbufSize] = "";
    pcap_t_wp* pcap = api.create(device.c_str(), errbuf);
    if (!pcap) return FailPcap(api, nullptr, "pcap_create", device, errbuf), nullptr;
    api.set_snaplen(pcap, kSnapLength);
    api.set_promisc(pcap, 1);
    api.set_timeout(pcap, timeoutMs);
    api.set_buffer_size(pcap, int(bufferBytes));
    if (api.set_immediate_mode) api.set_immediate_mode(pcap, 1);  // a lone frame is handed over at once
    if (const int status = api.activate(pcap); status < 0) {
        FailPcap(api, pcap, "pcap_activate", device, nullptr, status);
        api.close(pcap);
        return nullptr;
    }
    return pcap;
}

const PcapApi* Pcap() {
    static std::string why;
    static const PcapApi* const api = LoadPcap(why);
    if (!api) Fail(kNoLibrary, "%s", why.c_str());
    return api;
}

}  // namespace wp

using namespace wp;

extern "C" {

WRENPACK_API int WrenPackGetAdaptersList(void* buffer, uint32_t* pcbBytes) {
    return Run([&] {
        if (!pcbBytes || (!buffer && *pcbBytes != 0)) return Fail(kInvalid, "GetAdaptersList: invalid parameters");
        std::vector<ADAPTER_INFO_LIST_ENTRY> list;
        if (!ListAdapters(list)) return false;
        if (list.empty()) return Fail(kNotFound, "GetAdaptersList: the host has no Ethernet adapter");
        const uint32_t needed = uint32_t(list.size()) * WP_ADAPTER_ENTRY_SIZE;
        if (!buffer) {
            *pcbBytes = needed;
            return true;
        }
        if (*pcbBytes < needed) {
            *pcbBytes = needed;
            return Fail({12, 122}, "GetAdaptersList: %u bytes needed", needed);
        }
        // The caller's buffer need not be aligned for the record: each one is copied whole.
        auto* at = static_cast<uint8_t*>(buffer);
        for (size_t i = 0; i < list.size(); ++i) {
            ADAPTER_INFO_LIST_ENTRY& e = list[i];
            e.nEntrySize = WP_ADAPTER_ENTRY_SIZE;
            e.pNext = i + 1 < list.size() ? reinterpret_cast<ADAPTER_INFO_LIST_ENTRY*>(at + (i + 1) * WP_ADAPTER_ENTRY_SIZE) : nullptr;
            std::memcpy(at + i * WP_ADAPTER_ENTRY_SIZE, &e, sizeof e);
        }
        std::memset(at + needed, 0, *pcbBytes - needed);
        return true;
    });
}

WRENPACK_API WP_HANDLE WrenPackOpenAdapter(const WP_CHAR16* adapterName) {
    Handle* opened = nullptr;
    Run([&] {
        if (!adapterName || !*adapterName) return Fail(kInvalid, "OpenAdapter: no adapter name");
        Capture* capture = Open(Narrow(adapterName));
        if (!capture) return false;
        opened = new (std::nothrow) Handle;
        if (opened) opened->capture = capture;
        if (!opened) Close(capture);
        return opened || Fail(kNoMemory, "OpenAdapter: out of memory");
    });
    return opened;
}

WRENPACK_API void WrenPackCloseAdapter(WP_HANDLE adapter) {
    Capture* capture = Of(adapter);
    if (!capture) return;
    static_cast<Handle*>(adapter)->magic = 0;
    Close(capture);
    delete static_cast<Handle*>(adapter);
}

WRENPACK_API int WrenPackSetBuff(WP_HANDLE adapter, uint32_t bytes) {
    return Run([&] {
        Capture* capture = Of(adapter);
        if (!capture || bytes == 0) return Fail(kInvalid, "SetBuff: invalid parameters");
        return SetBuffer(capture, bytes);
    });
}

WRENPACK_API int WrenPackSetBpf(WP_HANDLE adapter, const WP_BPF_PROGRAM* program) {
    return Run([&] {
        Capture* capture = Of(adapter);
        if (!capture || !program || program->bf_len == 0 || !program->bf_insns)
            return Fail(kInvalid, "SetBpf: invalid parameters");
        auto* handle = static_cast<Handle*>(adapter);
        const auto equal = [](const WP_BPF_INSN& a, const WP_BPF_INSN& b) {
            return a.code == b.code && a.jt == b.jt && a.jf == b.jf && a.k == b.k;
        };
        std::lock_guard<std::mutex> lock(handle->filterMu);
        if (std::equal(program->bf_insns, program->bf_insns + program->bf_len, handle->filter.begin(), handle->filter.end(), equal))
            return true;
        if (!SetFilter(capture, program)) return false;
        handle->filter.assign(program->bf_insns, program->bf_insns + program->bf_len);
        return true;
    });
}

// Data is handed over as soon as any waits, whatever the threshold: the read event is
// signalled for the first frame on every platform.
WRENPACK_API int WrenPackSetReadEventThreshold(WP_HANDLE adapter, uint32_t /*bytes*/) {
    return Run([&] { return Of(adapter) ? true : Fail(kInvalid, "SetReadEventThreshold: invalid handle"); });
}

WRENPACK_API WP_EVENT WrenPackGetWin32ReadEventHandle(WP_HANDLE adapter) {
    WP_EVENT event = WP_NO_EVENT;
    Run([&] {
        Capture* capture = Of(adapter);
        if (!capture) return Fail(kInvalid, "GetReadEvent: invalid handle");
        event = ReadEvent(capture);
        return event != WP_NO_EVENT;
    });
    return event;
}

WRENPACK_API int WrenPackRecvPacket(WP_HANDLE adapter, void* buffer, uint32_t capacity, uint32_t* pcbRead, void*) {
    return Run([&] {
        Capture* capture = Of(adapter);
        if (!capture || !buffer || !pcbRead) return Fail(kInvalid, "RecvPacket: invalid parameters");
        *pcbRead = 0;
        return Receive(capture, static_cast<uint8_t*>(buffer), capacity, pcbRead);
    });
}

WRENPACK_API int WrenPackSendPacket(WP_HANDLE adapter, const void* frame, uint32_t length) {
    return Run([&] {
        Capture* capture = Of(adapter);
        if (!capture || !frame || length == 0) return Fail(kInvalid, "SendPacket: invalid parameters");
        return Send(capture, static_cast<const uint8_t*>(frame), length);
    });
}

// Batch records are packed back to back and must fill the batch exactly; the platform sends
// only a batch that has passed this check.
WRENPACK_API int WrenPackSendManyPackets(WP_HANDLE adapter, const void* batch, uint32_t length) {
    t_batchFramesSent = 0;
    return Run([&] {
        Capture* capture = Of(adapter);
        const auto* p = static_cast<const uint8_t*>(batch);
        if (!capture || !p || length == 0) return Fail(kInvalid, "SendManyPackets: invalid parameters");
        for (uint64_t at = 0; at < length;) {
            WP_BATCH_HEADER header;
            if (length - at < sizeof header) return Fail(kInvalid, "SendManyPackets: batch ends inside a record header");
            std::memcpy(&header, p + at, sizeof header);
            if (header.dwFrameLength == 0 || length - at - sizeof header < header.dwFrameLength)
                return Fail(kInvalid, "SendManyPackets: bad frame length %u at offset %u", header.dwFrameLength, unsigned(at));
            at += sizeof header + header.dwFrameLength;
        }
        return SendBatch(capture, p, length, &t_batchFramesSent);
    });
}

WRENPACK_API uint32_t WrenPackGetBatchFramesSent(void) { return t_batchFramesSent; }

WRENPACK_API int WrenPackSetPrintDebugStringFunction(WP_PRINT_DEBUG_STRING_FUNC func) {
    g_print = func;
    return 1;
}

WRENPACK_API uint32_t WrenPackGetLastError(void) { return last_error(); }

}  // extern "C"
