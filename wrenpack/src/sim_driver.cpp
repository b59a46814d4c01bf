// WrenPack's simulated driver. Host adapters, received data and sent frames live in memory and
// are controlled through the WrenSim* calls; nothing here touches a network.
//
// Errors reported by the driver operations (errno / Windows error). The errno values are below
// 35, where Linux and the Windows C runtime agree, so callers see the same numbers everywhere:
//   bad handle or argument, malformed batch          22 EINVAL / 87 ERROR_INVALID_PARAMETER
//   no adapters, no adapter of that name             2 ENOENT  / 1168 ERROR_NOT_FOUND
//   adapter list buffer too small                    12 ENOMEM / 122 ERROR_INSUFFICIENT_BUFFER
//   no read event could be made                      12 ENOMEM / 8 ERROR_NOT_ENOUGH_MEMORY
//   frame shorter than an Ethernet header            22 EINVAL / 87 ERROR_INVALID_PARAMETER
//   frame longer than the adapter's nMaxFrameSize    10040 WSAEMSGSIZE (both)
//
// A handle belongs to the adapter object it was opened on. WrenSimReset forgets the adapters
// and empties every handle's queue, but open handles keep working on their forgotten adapter:
// receives find nothing, settings and sends succeed and are seen by no WrenSim* query, and an
// adapter declared later under the same name is a different adapter.
#include "wp_platform.h"
#include "wrensim.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace {

struct Outcome {
    bool ok = true;
    int err = 0;
    uint32_t win = 0;
};
constexpr Outcome kOk{};
constexpr Outcome kInvalid{false, 22, 87};
constexpr Outcome kNotFound{false, 2, 1168};
constexpr Outcome kListTooSmall{false, 12, 122};
constexpr Outcome kNoEvent{false, 12, 8};
constexpr Outcome kTooBig{false, 10040, 10040};
constexpr uint32_t kEthHeader = 14;

// Frames of the thread's last batch that went out (WrenPackGetBatchFramesSent).
thread_local uint32_t t_batchFramesSent = 0;

// One received buffer as queued for one handle. The bytes are shared by every handle that
// receives the buffer, so injecting copies them once whatever the number of readers.
struct Chunk {
    std::shared_ptr<uint8_t[]> data;
    uint32_t length;
    uint32_t offset;  // bytes already delivered
};

struct Handle;

struct Sent {
    int kind;
    std::vector<uint8_t> bytes;
};

// Recorded sends. Forgetting them keeps the records' storage, so that a caller sending
// steadily and clearing now and then (a benchmark) makes the driver allocate nothing per send.
class SentLog {
public:
    std::size_t size() const { return m_count; }
    const Sent& operator[](std::size_t i) const { return m_slots[i]; }
    void add(int kind, const std::uint8_t* p, std::uint32_t length) {
        if (m_count == m_slots.size()) m_slots.emplace_back();
        Sent& slot = m_slots[m_count++];
        slot.kind = kind;
        slot.bytes.assign(p, p + length);
    }
    void clear() { m_count = 0; }

private:
    std::vector<Sent> m_slots;
    std::size_t m_count = 0;
};

struct Adapter : std::enable_shared_from_this<Adapter> {
    ADAPTER_INFO_LIST_ENTRY entry;
    std::u16string name;
    std::vector<Handle*> handles;
    SentLog sent;
    uint32_t buff = 0;
    uint32_t threshold = 0xFFFFFFFFu;
    std::vector<WP_BPF_INSN> bpf;
};

struct Handle {
    std::shared_ptr<Adapter> adapter;
    std::deque<Chunk> queue;
    WP_EVENT event = WP_NO_EVENT;
    bool signalled = false;  // mirrors the event, so only transitions cost a system call

    ~Handle() { wp::event_destroy(event); }

    void push(const Chunk& chunk) {
        queue.push_back(chunk);
        if (!signalled) {
            wp::event_set(event);
            signalled = true;
        }
    }
    void clear() {
        queue.clear();
        if (signalled) {
            wp::event_clear(event);
            signalled = false;
        }
    }
};

struct Failure {
    uint32_t skip = 0;
    int count = 0;  // negative: every later call
    int err = 0;
    uint32_t win = 0;
};

struct State {
    std::mutex mu;
    std::vector<std::shared_ptr<Adapter>> adapters;  // in order of declaration
    std::unordered_set<Handle*> handles;             // open handles, to reject stale ones
    uint32_t listSizeOverride = 0;
    Failure fail[WRENSIM_OP_COUNT];
};

// Never destroyed: a thread or a static destructor elsewhere may still call in at exit.
State& S() {
    static State* state = new State;
    return *state;
}

std::atomic<WP_PRINT_DEBUG_STRING_FUNC> g_print{nullptr};

Adapter* findAdapter(const WP_CHAR16* name) {
    if (!name) return nullptr;
    std::u16string_view wanted(name);
    for (auto& a : S().adapters)
        if (a->name == wanted) return a.get();
    return nullptr;
}

Handle* findHandle(WP_HANDLE h) {
    auto* handle = static_cast<Handle*>(h);
    return h && S().handles.count(handle) ? handle : nullptr;
}

// Called once a call of `op` is known to succeed otherwise: true (with the forced error in
// `out`) if the call must fail instead. Failed calls never count as skipped ones.
bool forced(WRENSIM_OP op, Outcome& out) {
    Failure& f = S().fail[op];
    if (f.count == 0) return false;
    if (f.skip > 0) {
        --f.skip;
        return false;
    }
    if (f.count > 0) --f.count;
    out = {false, f.err, f.win};
    return true;
}

// Runs one driver operation under the lock. On failure sets errno and the Windows error code;
// on success restores both, since locking and event calls may have overwritten them.
template <class Body>
int run(Body&& body) {
    const int savedErrno = errno;
    const uint32_t savedWin = wp::last_error();
    Outcome out;
    {
        std::lock_guard<std::mutex> lock(S().mu);
        out = body();
    }
    if (!out.ok) {
        errno = out.err;
        wp::set_last_error(out.win);
        return 0;
    }
    errno = savedErrno;
    wp::set_last_error(savedWin);
    return 1;
}

// Runs operation `op` on an open handle: a stale handle or invalid arguments fail with 22/87,
// then a forced failure applies, then `apply` does the work.
template <class Apply>
int onHandle(WP_HANDLE adapter, WRENSIM_OP op, bool argumentsValid, Apply&& apply) {
    return run([&]() -> Outcome {
        Handle* h = findHandle(adapter);
        if (!h || !argumentsValid) return kInvalid;
        Outcome out;
        if (forced(op, out)) return out;
        return apply(*h);
    });
}

// What the adapter does with one frame: a real link refuses a frame without a whole Ethernet
// header, and one longer than its MTU allows.
Outcome frameOutcome(const Adapter& a, uint32_t length) {
    if (length < kEthHeader) return kInvalid;
    if (a.entry.nMaxFrameSize && length > a.entry.nMaxFrameSize) return kTooBig;
    return kOk;
}

// Sends on a handle: records the bytes once validated and not forced to fail.
int recordSend(WP_HANDLE adapter, WRENSIM_OP op, int kind, const void* bytes, uint32_t length,
               bool (*valid)(const uint8_t*, uint32_t)) {
    auto* p = static_cast<const uint8_t*>(bytes);
    return onHandle(adapter, op, p && length != 0 && valid(p, length), [&](Handle& h) {
        Adapter& a = *h.adapter;
        if (kind == WRENSIM_SENT_FRAME) {
            const Outcome out = frameOutcome(a, length);
            if (out.ok) a.sent.add(kind, p, length);
            return out;
        }
        // A batch goes out frame by frame up to the first one the adapter refuses: what went
        // before it is recorded as the batch sent.
        uint32_t at = 0;
        Outcome out = kOk;
        while (at < length) {
            WP_BATCH_HEADER header;
            std::memcpy(&header, p + at, sizeof header);
            out = frameOutcome(a, header.dwFrameLength);
            if (!out.ok) break;
            at += sizeof header + header.dwFrameLength;
            ++t_batchFramesSent;
        }
        if (at) a.sent.add(kind, p, at);
        return out;
    });
}

bool anyFrame(const uint8_t*, uint32_t) { return true; }

// Batch records are packed back to back and must fill the batch exactly. An empty frame is
// rejected too: it is what a zeroed or overrun buffer looks like.
bool validBatch(const uint8_t* p, uint32_t length) {
    uint64_t at = 0;
    while (at < length) {
        if (length - at < sizeof(WP_BATCH_HEADER)) return false;
        WP_BATCH_HEADER header;
        std::memcpy(&header, p + at, sizeof header);
        if (header.dwFrameLength == 0 || length - at - sizeof header < header.dwFrameLength) return false;
        at += sizeof header + header.dwFrameLength;
    }
    return true;
}

// Queues one buffer for every handle open on the adapter; 0 when nobody would receive it.
int inject(const WP_CHAR16* adapterName, std::shared_ptr<uint8_t[]> data, uint32_t length) {
    std::lock_guard<std::mutex> lock(S().mu);
    Adapter* a = findAdapter(adapterName);
    if (!a || a->handles.empty()) return 0;
    for (Handle* h : a->handles)
        h->push({data, length, 0});
    return 1;
}

}  // namespace

extern "C" {

WRENPACK_API int WrenPackGetAdaptersList(void* buffer, uint32_t* pcbBytes) {
    return run([&]() -> Outcome {
        State& s = S();
        if (!pcbBytes || (!buffer && *pcbBytes != 0)) return kInvalid;
        if (s.adapters.empty()) return kNotFound;
        const uint32_t needed = uint32_t(s.adapters.size()) * WP_ADAPTER_ENTRY_SIZE;
        if (buffer && *pcbBytes < needed) {
            *pcbBytes = needed;
            return kListTooSmall;
        }
        Outcome out;
        if (forced(WRENSIM_OP_GET_ADAPTERS_LIST, out)) return out;
        if (!buffer) {
            *pcbBytes = s.listSizeOverride ? s.listSizeOverride : needed;
            return kOk;
        }
        // The caller's buffer need not be aligned for the record: copy each one in whole.
        auto* at = static_cast<uint8_t*>(buffer);
        for (size_t i = 0; i < s.adapters.size(); ++i) {
            ADAPTER_INFO_LIST_ENTRY e = s.adapters[i]->entry;
            uint8_t* next = at + (i + 1) * WP_ADAPTER_ENTRY_SIZE;
            e.pNext = i + 1 < s.adapters.size() ? reinterpret_cast<ADAPTER_INFO_LIST_ENTRY*>(next) : nullptr;
            std::memcpy(at + i * WP_ADAPTER_ENTRY_SIZE, &e, sizeof e);
        }
        std::memset(at + needed, 0, *pcbBytes - needed);
        return kOk;
    });
}

WRENPACK_API WP_HANDLE WrenPackOpenAdapter(const WP_CHAR16* adapterName) {
    Handle* opened = nullptr;
    run([&]() -> Outcome {
        if (!adapterName) return kInvalid;
        Adapter* a = findAdapter(adapterName);
        if (!a) return kNotFound;
        Outcome out;
        if (forced(WRENSIM_OP_OPEN_ADAPTER, out)) return out;
        auto h = std::make_unique<Handle>();
        h->event = wp::event_create();
        if (h->event == WP_NO_EVENT) return kNoEvent;
        h->adapter = a->shared_from_this();
        a->handles.push_back(h.get());
        S().handles.insert(h.get());
        opened = h.release();
        return kOk;
    });
    return opened;
}

WRENPACK_API void WrenPackCloseAdapter(WP_HANDLE adapter) {
    run([&]() -> Outcome {
        Handle* h = findHandle(adapter);
        if (!h) return kOk;  // NULL or already closed: nothing to do
        S().handles.erase(h);
        auto& list = h->adapter->handles;
        list.erase(std::find(list.begin(), list.end(), h));
        delete h;
        return kOk;
    });
}

WRENPACK_API int WrenPackSetBuff(WP_HANDLE adapter, uint32_t bytes) {
    return onHandle(adapter, WRENSIM_OP_SET_BUFF, true, [&](Handle& h) {
        h.adapter->buff = bytes;
        return kOk;
    });
}

WRENPACK_API int WrenPackSetBpf(WP_HANDLE adapter, const WP_BPF_PROGRAM* program) {
    const bool valid = program && program->bf_len != 0 && program->bf_insns;
    return onHandle(adapter, WRENSIM_OP_SET_BPF, valid, [&](Handle& h) {
        h.adapter->bpf.assign(program->bf_insns, program->bf_insns + program->bf_len);
        return kOk;
    });
}

WRENPACK_API int WrenPackSetReadEventThreshold(WP_HANDLE adapter, uint32_t bytes) {
    return onHandle(adapter, WRENSIM_OP_SET_READ_EVENT_THRESHOLD, true, [&](Handle& h) {
        h.adapter->threshold = bytes;
        return kOk;
    });
}

WRENPACK_API WP_EVENT WrenPackGetWin32ReadEventHandle(WP_HANDLE adapter) {
    WP_EVENT event = WP_NO_EVENT;
    onHandle(adapter, WRENSIM_OP_GET_READ_EVENT, true, [&](Handle& h) {
        event = h.event;
        return kOk;
    });
    return event;
}

WRENPACK_API int WrenPackRecvPacket(WP_HANDLE adapter, void* buffer, uint32_t capacity, uint32_t* pcbRead, void* /*reserved*/) {
    return onHandle(adapter, WRENSIM_OP_RECV_PACKET, buffer && pcbRead, [&](Handle& h) {
        if (h.queue.empty()) {
            *pcbRead = 0;
            return kOk;
        }
        Chunk& head = h.queue.front();
        const uint32_t n = std::min(head.length - head.offset, capacity);
        std::memcpy(buffer, head.data.get() + head.offset, n);
        *pcbRead = n;
        head.offset += n;
        if (head.offset == head.length) {
            h.queue.pop_front();
            if (h.queue.empty()) h.clear();
        }
        return kOk;
    });
}

WRENPACK_API int WrenPackSendPacket(WP_HANDLE adapter, const void* frame, uint32_t length) {
    return recordSend(adapter, WRENSIM_OP_SEND_PACKET, WRENSIM_SENT_FRAME, frame, length, anyFrame);
}

WRENPACK_API int WrenPackSendManyPackets(WP_HANDLE adapter, const void* batch, uint32_t length) {
    t_batchFramesSent = 0;
    return recordSend(adapter, WRENSIM_OP_SEND_MANY_PACKETS, WRENSIM_SENT_BATCH, batch, length, validBatch);
}

WRENPACK_API uint32_t WrenPackGetBatchFramesSent(void) { return t_batchFramesSent; }

WRENPACK_API int WrenPackSetPrintDebugStringFunction(WP_PRINT_DEBUG_STRING_FUNC func) {
    g_print = func;
    return 1;
}

WRENPACK_API uint32_t WrenPackGetLastError(void) { return wp::last_error(); }

// ---- Control interface ----

WRENPACK_API void WrenSimReset(void) {
    std::lock_guard<std::mutex> lock(S().mu);
    State& s = S();
    s.adapters.clear();
    s.listSizeOverride = 0;
    for (Failure& f : s.fail)
        f = Failure{};
    for (Handle* h : s.handles)
        h->clear();
}

WRENPACK_API int WrenSimAddAdapter(const ADAPTER_INFO_LIST_ENTRY* entry) {
    if (!entry) return 0;
    const WP_CHAR16* name = entry->szAdapterName;
    const WP_CHAR16* end = std::find(name, name + WP_ADAPTER_NAME_CHARS, u'\0');
    if (end == name || end == name + WP_ADAPTER_NAME_CHARS) return 0;  // empty, or not terminated within the field
    std::lock_guard<std::mutex> lock(S().mu);
    if (findAdapter(name)) return 0;
    auto a = std::make_shared<Adapter>();
    a->entry = *entry;
    a->entry.nEntrySize = WP_ADAPTER_ENTRY_SIZE;
    a->entry.pNext = nullptr;
    a->name.assign(name, end);
    S().adapters.push_back(std::move(a));
    return 1;
}

WRENPACK_API int WrenSimSetAdapter(const ADAPTER_INFO_LIST_ENTRY* entry) {
    if (!entry || std::find(entry->szAdapterName, entry->szAdapterName + WP_ADAPTER_NAME_CHARS, u'\0') ==
                      entry->szAdapterName + WP_ADAPTER_NAME_CHARS)
        return 0;
    std::lock_guard<std::mutex> lock(S().mu);
    Adapter* a = findAdapter(entry->szAdapterName);
    if (!a) return 0;
    a->entry = *entry;
    a->entry.nEntrySize = WP_ADAPTER_ENTRY_SIZE;
    a->entry.pNext = nullptr;
    return 1;
}

WRENPACK_API void WrenSimSetAdaptersListSize(uint32_t bytes) {
    std::lock_guard<std::mutex> lock(S().mu);
    S().listSizeOverride = bytes;
}

WRENPACK_API void WrenSimFail(WRENSIM_OP op, uint32_t skip, int count, int err, uint32_t winError) {
    if (int(op) < 0 || int(op) >= WRENSIM_OP_COUNT) return;
    std::lock_guard<std::mutex> lock(S().mu);
    S().fail[op] = count == 0 ? Failure{} : Failure{skip, count, err, winError};
}

WRENPACK_API int WrenSimInjectBuffer(const WP_CHAR16* adapterName, const void* data, uint32_t length) {
    if (!data || length == 0) return 0;  // an empty buffer would read as "nothing received"
    auto copy = std::make_shared_for_overwrite<uint8_t[]>(length);
    std::memcpy(copy.get(), data, length);
    return inject(adapterName, std::move(copy), length);
}

namespace {

int injectRecord(const WP_CHAR16* adapterName, const void* frame, uint32_t length, uint16_t flags) {
    const uint64_t total = sizeof(WP_CAPTURE_HEADER) + ((uint64_t(length) + 3) & ~uint64_t(3));
    if ((!frame && length) || total > UINT32_MAX) return 0;
    using namespace std::chrono;
    const auto us = duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
    WP_CAPTURE_HEADER header{};
    header.tv_sec = uint32_t(us / 1000000);
    header.tv_usec = uint32_t(us % 1000000);
    header.bh_caplen = header.bh_datalen = length;
    header.bh_hdrlen = sizeof header;
    header.wReserved = flags;
    auto record = std::make_shared<uint8_t[]>(size_t(total));  // zeroed: the padding
    std::memcpy(record.get(), &header, sizeof header);
    if (length) std::memcpy(record.get() + sizeof header, frame, length);
    return inject(adapterName, std::move(record), uint32_t(total));
}

}  // namespace

// The simulated driver tells every frame's direction, as the Linux driver does.
WRENPACK_API int WrenSimInjectFrame(const WP_CHAR16* adapterName, const void* frame, uint32_t length) {
    return injectRecord(adapterName, frame, length, WP_CAPTURE_DIRECTION_KNOWN);
}

WRENPACK_API int WrenSimInjectHostFrame(const WP_CHAR16* adapterName, const void* frame, uint32_t length) {
    return injectRecord(adapterName, frame, length, WP_CAPTURE_DIRECTION_KNOWN | WP_CAPTURE_SENT_BY_HOST);
}

// Every open handle's queue ends with the latest buffer injected, so the longest queue holds
// every buffer some handle has still to read.
WRENPACK_API uint32_t WrenSimPendingBuffers(const WP_CHAR16* adapterName) {
    std::lock_guard<std::mutex> lock(S().mu);
    Adapter* a = findAdapter(adapterName);
    size_t most = 0;
    if (a)
        for (Handle* h : a->handles)
            most = std::max(most, h->queue.size());
    return uint32_t(most);
}

WRENPACK_API uint32_t WrenSimSentCount(const WP_CHAR16* adapterName) {
    std::lock_guard<std::mutex> lock(S().mu);
    Adapter* a = findAdapter(adapterName);
    return a ? uint32_t(a->sent.size()) : 0;
}

WRENPACK_API int WrenSimGetSent(const WP_CHAR16* adapterName, uint32_t index, void* buffer, uint32_t capacity,
                                uint32_t* pLength) {
    std::lock_guard<std::mutex> lock(S().mu);
    Adapter* a = findAdapter(adapterName);
    if (!a || index >= a->sent.size()) {
        if (pLength) *pLength = 0;
        return 0;
    }
    const Sent& sent = a->sent[index];
    if (buffer) std::memcpy(buffer, sent.bytes.data(), std::min<size_t>(capacity, sent.bytes.size()));
    if (pLength) *pLength = uint32_t(sent.bytes.size());
    return sent.kind;
}

WRENPACK_API void WrenSimClearSent(const WP_CHAR16* adapterName) {
    std::lock_guard<std::mutex> lock(S().mu);
    if (Adapter* a = findAdapter(adapterName)) a->sent.clear();
}

WRENPACK_API uint32_t WrenSimOpenCount(const WP_CHAR16* adapterName) {
    std::lock_guard<std::mutex> lock(S().mu);
    Adapter* a = findAdapter(adapterName);
    return a ? uint32_t(a->handles.size()) : 0;
}

WRENPACK_API uint32_t WrenSimGetBuff(const WP_CHAR16* adapterName) {
    std::lock_guard<std::mutex> lock(S().mu);
    Adapter* a = findAdapter(adapterName);
    return a ? a->buff : 0;
}

WRENPACK_API uint32_t WrenSimGetReadEventThreshold(const WP_CHAR16* adapterName) {
    std::lock_guard<std::mutex> lock(S().mu);
    Adapter* a = findAdapter(adapterName);
    return a ? a->threshold : 0xFFFFFFFFu;
}

WRENPACK_API uint32_t WrenSimGetBpf(const WP_CHAR16* adapterName, WP_BPF_INSN* insns, uint32_t capacity) {
    std::lock_guard<std::mutex> lock(S().mu);
    Adapter* a = findAdapter(adapterName);
    if (!a) return 0;
    if (insns) std::copy_n(a->bpf.begin(), std::min<size_t>(capacity, a->bpf.size()), insns);
    return uint32_t(a->bpf.size());
}

WRENPACK_API void WrenSimTrace(const char* text) {
    WP_PRINT_DEBUG_STRING_FUNC print = g_print;
    if (print && text) print(text);
}

}  // extern "C"
