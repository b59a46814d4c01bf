// Windows: a capture thread per open adapter moves frames from the capture library into a
// queue of capture records, and an event of ours is set while the queue holds any. Where the
// library hands over the first frame at once and has a read event (pcap_setmintocopy,
// pcap_getevent), the thread sleeps on that event and reads without blocking, so an idle link
// costs no wake-up at all; otherwise (Wine's library) it blocks in the library's read.
// Which way a frame went is not known here: pcap_next_ex gives no direction (neither does the
// library under Wine), and a capture limited to one direction is not offered by every library
// we meet. Records leave their direction bits clear, and the reader has only the frame's bytes.
#include "wp_driver.h"
#include "wp_platform.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

namespace wp {
namespace {

constexpr uint32_t kDefaultBuffer = 1u << 20;
// The capture library's read timeout. A library that can hand over the first frame at once
// (setmintocopy) may wait long: its thread waits on the library's read event (or, where the
// minimum could not be set, the timeout hands a lone frame over), and is woken by the driver
// when needed. One without (Wine's, over a host library that fills blocks of frames) gives a
// frame over only when its block times out, so that time is kept short; an empty block never
// times out there, so an idle link costs nothing either way.
constexpr int kIdleWaitMs = 100;
constexpr int kBlockWaitMs = 1;

}  // namespace

struct Capture {
    std::string device;
    const PcapApi* api = nullptr;
    pcap_t_wp* pcap = nullptr;
    HANDLE event = nullptr;      // set while `queue` holds records or an error waits
    HANDLE ready = nullptr;      // the library's read event, where the thread waits on it
    HANDLE wake = nullptr;       // wakes the thread from that wait (auto-reset)
    std::mutex mu;               // the two halves of the queue, and the setting change below
    // A setting change is made by the capture thread between two reads, so that the library
    // never has two calls on one capture at once but sends, and a change never waits behind a
    // stream of reads that would take a lock again at once.
    std::mutex oneChange;
    std::function<void()>* change = nullptr;
    std::condition_variable changeDone;
    uint32_t bytes = kDefaultBuffer;
    // The capture thread appends to `fill`; receives take from `drain`, and swap the two when
    // `drain` is empty: each frame is copied once on its way in and once on its way out.
    std::vector<uint8_t> fill, drain;
    uint32_t fillUsed = 0, drainAt = 0, drainUsed = 0;
    std::string error;    // a capture failure, reported by the next receive that finds nothing
    std::string failing;  // the failure of the last read, so that a lasting one is reported once
    std::atomic<bool> stop{false};
    std::thread thread;
};

namespace {

// Wakes the capture thread from its read or its wait on the library's event.
void Wake(Capture* c) {
    c->api->breakloop(c->pcap);
    SetEvent(c->wake);
}

void CaptureLoop(Capture* c) {
    int empty = 0;  // reads in a row that found nothing
    while (!c->stop.load(std::memory_order_relaxed)) {
        {
            std::unique_lock<std::mutex> lock(c->mu);
            if (c->change) {
                lock.unlock();
                (*c->change)();
                lock.lock();
                c->change = nullptr;
                c->changeDone.notify_all();
            }
        }
        if (c->ready && empty == 1) {
            HANDLE events[] = {c->wake, c->ready};
            WaitForMultipleObjects(2, events, FALSE, INFINITE);
        } else if (c->ready && empty > 1) {
            // Signalled with nothing to read: a library whose event stays set must not make
            // this thread spin, so it waits out one read timeout before trusting it again.
            WaitForSingleObject(c->wake, kIdleWaitMs);
            empty = 0;
            continue;
        }
        pcap_pkthdr_wp* header = nullptr;
        const unsigned char* frame = nullptr;
        const int rc = c->api->next_ex(c->pcap, &header, &frame);
        empty = rc == 0 ? empty + 1 : 0;
        if (rc == 1) {
            std::lock_guard<std::mutex> lock(c->mu);
            c->failing.clear();
            // A full queue drops the frame, as a full driver buffer does.
            if (PutRecord(c->fill.data(), c->bytes, &c->fillUsed, *header, frame)) SetEvent(c->event);
        } else if (rc < 0 && rc != -2 /* PCAP_ERROR_BREAK: woken by the driver */) {
            {
                std::lock_guard<std::mutex> lock(c->mu);
                std::string text = c->api->geterr(c->pcap);
                if (text != c->failing) {
                    c->error = c->failing = std::move(text);
                    SetEvent(c->event);
                }
            }
            Sleep(50);  // a lost adapter fails at once: do not spin on it
        }
    }
}

// Has the capture thread make one setting change (Fail is called there, so the error pair is
// carried back to the caller's thread).
bool Change(Capture* c, const std::function<bool()>& body) {
    std::lock_guard<std::mutex> one(c->oneChange);
    bool ok = false;
    Error error{0, 0};
    std::function<void()> call = [&] {
        ok = body();
        if (!ok) error = {errno, last_error()};
    };
    std::unique_lock<std::mutex> lock(c->mu);
    c->change = &call;
    Wake(c);
    c->changeDone.wait(lock, [&] { return c->change == nullptr; });
    if (!ok) {
        errno = error.err;
        set_last_error(error.win);
    }
    return ok;
}

bool FailPcap(Capture* c, const char* call, const char* text = nullptr) {
    return FailPcap(*c->api, c->pcap, call, c->device, text);
}

}  // namespace

Capture* Open(const std::string& device) {
    const PcapApi* api = Pcap();
    if (!api) return nullptr;
    auto c = std::make_unique<Capture>();
    c->device = device;
    c->api = api;
    c->pcap = StartCapture(*api, device, kDefaultBuffer, api->setmintocopy ? kIdleWaitMs : kBlockWaitMs);
    if (!c->pcap) return nullptr;
    // The first frame is handed over at once. Where the library refuses, its read event would
    // wait for its default minimum, many frames: reads block instead, and the read timeout hands
    // a lone frame over (reported: the link answers slower than it should).
    if (api->setmintocopy && api->setmintocopy(c->pcap, 0) != 0) {
        FailPcap(c.get(), "pcap_setmintocopy");
    } else if (api->setmintocopy && api->getevent) {
        char errbuf[kErrbufSize] = "";
        HANDLE ready = api->getevent(c->pcap);
        if (ready && api->setnonblock(c->pcap, 1, errbuf) == 0) c->ready = ready;
    }
    c->event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    c->wake = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    c->fill.resize(c->bytes);
    c->drain.resize(c->bytes);
    if (!c->event || !c->wake) {
        api->close(c->pcap);
        if (c->event) CloseHandle(c->event);
        if (c->wake) CloseHandle(c->wake);
        return Fail(kNoMemory, "OpenAdapter(%s): no read event", device.c_str()), nullptr;
    }
    c->thread = std::thread(CaptureLoop, c.get());
    return c.release();
}

void Close(Capture* c) {
    c->stop = true;
    if (c->thread.joinable()) {
        Wake(c);
        c->thread.join();
    }
    c->api->close(c->pcap);
    CloseHandle(c->event);
    CloseHandle(c->wake);
    delete c;
}

bool SetBuffer(Capture* c, uint32_t bytes) {
    const bool set = Change(c, [&] {
        return c->api->setbuff(c->pcap, int(bytes)) == 0 || FailPcap(c, "pcap_setbuff");
    });
    if (!set) return false;
    std::lock_guard<std::mutex> lock(c->mu);
    c->bytes = bytes;
    c->fill.resize(std::max(bytes, c->fillUsed));
    c->drain.resize(std::max(bytes, c->drainUsed));
    return true;
}

bool SetFilter(Capture* c, const WP_BPF_PROGRAM* program) {
    bpf_program_wp p{program->bf_len, program->bf_insns};
    return Change(c, [&] { return c->api->setfilter(c->pcap, &p) == 0 || FailPcap(c, "pcap_setfilter"); });
}

WP_EVENT ReadEvent(Capture* c) { return c->event; }

bool Receive(Capture* c, uint8_t* buffer, uint32_t capacity, uint32_t* received) {
    std::lock_guard<std::mutex> lock(c->mu);
    if (c->drainAt == c->drainUsed) {
        std::swap(c->fill, c->drain);
        c->drainUsed = std::exchange(c->fillUsed, 0);
        c->drainAt = 0;
    }
    while (c->drainAt < c->drainUsed) {
        WP_CAPTURE_HEADER h;
        std::memcpy(&h, c->drain.data() + c->drainAt, sizeof h);
        pcap_pkthdr_wp header{{long(h.tv_sec), long(h.tv_usec)}, h.bh_caplen, h.bh_datalen};
        if (!PutRecord(buffer, capacity, received, header, c->drain.data() + c->drainAt + h.bh_hdrlen)) break;
        c->drainAt += h.bh_hdrlen + WP_CAPTURE_ALIGN(h.bh_caplen);
    }
    if (c->drainAt == c->drainUsed && c->fillUsed == 0) ResetEvent(c->event);
    if (*received == 0 && !c->error.empty()) {
        const std::string text = std::exchange(c->error, {});
        return FailPcap(c, "pcap_next_ex", text.c_str());
    }
    return true;
}

bool Send(Capture* c, const uint8_t* frame, uint32_t length) {
    return c->api->sendpacket(c->pcap, frame, int(length)) == 0 || FailPcap(c, "pcap_sendpacket");
}

// One transmission through the library's send queue where it has one; frame by frame where it
// has not (Wine). A queue stops at the first frame the adapter refuses and reports the bytes
// sent before it, which tell how many frames went out.
bool SendBatch(Capture* c, const uint8_t* batch, uint32_t length, uint32_t* sent) {
    *sent = 0;
    pcap_send_queue_wp* queue = c->api->sendqueue_alloc ? c->api->sendqueue_alloc(length * 2) : nullptr;
    uint32_t queued = 0;
    const bool each = ForEachBatchFrame(batch, length, [&](const uint8_t* frame, uint32_t n) {
        if (!queue) return Send(c, frame, n) && ++*sent;
        pcap_pkthdr_wp header{{0, 0}, n, n};
        c->api->sendqueue_queue(queue, &header, frame);
        queued += sizeof header + n;
        return true;
    });
    if (!queue) return each;
    const unsigned bytes = c->api->sendqueue_transmit(c->pcap, queue, 0);
    c->api->sendqueue_destroy(queue);
    uint32_t at = 0;
    ForEachBatchFrame(batch, length, [&](const uint8_t*, uint32_t n) {
        at += sizeof(pcap_pkthdr_wp) + n;
        return at <= bytes && ++*sent;
    });
    return bytes == queued || FailPcap(c, "pcap_sendqueue_transmit");
}

}  // namespace wp
