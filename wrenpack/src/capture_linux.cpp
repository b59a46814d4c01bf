// Linux: one non-blocking capture in immediate mode per open adapter, read straight from the
// capture library's ring; frames are sent on the capture's own socket, so the capture never
// sees the driver's own frames come back, while it does see every other frame the host sends.
#include "wp_driver.h"

#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>

namespace wp {
namespace {

constexpr int kSnapLength = 65535;
constexpr uint32_t kDefaultBuffer = 1u << 20;
constexpr unsigned kBatchChunk = 64;  // frames per sendmmsg call

// One activated capture of the device: its ring has a fixed size, so a new buffer size means a
// new capture.
struct Ring {
    pcap_t_wp* pcap = nullptr;
    int fd = -1;
    uint32_t bytes = 0;
};

}  // namespace

struct Capture {
    std::string device;
    const PcapApi* api = nullptr;
    std::mutex mu;                             // receives and setting changes
    std::atomic<Ring*> ring{nullptr};          // the current capture; senders read it unlocked
    std::vector<std::unique_ptr<Ring>> rings;  // every capture made, closed only at close: a
                                               // sender may still be using a replaced one
    std::vector<WP_BPF_INSN> filter;           // re-applied to a new capture
    // The read event: an epoll set of the current capture's socket and of `heldEvent`, which is
    // set while a frame that did not fit the last receive buffer waits here.
    int event = -1;
    int heldEvent = -1;
    std::unique_ptr<uint8_t[]> held{new uint8_t[kSnapLength]};
    pcap_pkthdr_wp heldHeader{};
    bool hasHeld = false;
};

namespace {

int FailPcap(Capture* c, pcap_t_wp* p, const char* call, int rc = -1) {
    const char* text = p ? c->api->geterr(p) : "";
    Error e = FromText(text);
    if (rc == -8 /* PCAP_ERROR_NO_SUCH_DEVICE */) e = kNotFound;
    if (rc == -9 /* PCAP_ERROR_IFACE_NOT_UP */) e = kNetDown;
    if (rc == -8 || rc == -9 || rc == -3 /* permission denied */ || !*text) text = c->api->statustostr(rc);
    return Fail(e, "%s(%s) failed: %s", call, c->device.c_str(), text);
}

// Opens and starts a capture with `bytes` of ring and the adapter's filter; nullptr after Fail.
Ring* Activate(Capture* c, uint32_t bytes) {
    char errbuf[kErrbufSize] = "";
    pcap_t_wp* p = c->api->create(c->device.c_str(), errbuf);
    if (!p) return Fail(FromText(errbuf), "pcap_create(%s) failed: %s", c->device.c_str(), errbuf), nullptr;
    c->api->set_snaplen(p, kSnapLength);
    c->api->set_promisc(p, 1);
    c->api->set_immediate_mode(p, 1);  // a lone frame is delivered at once, not when a block fills
    c->api->set_buffer_size(p, int(bytes));
    const int rc = c->api->activate(p);
    if (rc < 0) {
        FailPcap(c, p, "pcap_activate", rc);
        c->api->close(p);
        return nullptr;
    }
    bpf_program_wp program{unsigned(c->filter.size()), c->filter.data()};
    if (c->api->setnonblock(p, 1, errbuf) < 0 || (!c->filter.empty() && c->api->setfilter(p, &program) < 0)) {
        FailPcap(c, p, "pcap_setnonblock/pcap_setfilter");
        c->api->close(p);
        return nullptr;
    }
    auto ring = std::make_unique<Ring>();
    ring->pcap = p;
    ring->fd = c->api->get_selectable_fd(p);
    ring->bytes = bytes;
    c->rings.push_back(std::move(ring));
    return c->rings.back().get();
}

bool Watch(int epoll, int op, int fd) {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = fd;
    return epoll_ctl(epoll, op, fd, &ev) == 0;
}

void SetHeld(Capture* c, bool held) {
    uint64_t n = 1;
    c->hasHeld = held;
    [[maybe_unused]] ssize_t r = held ? write(c->heldEvent, &n, sizeof n) : read(c->heldEvent, &n, sizeof n);
}

struct Fill {
    Capture* c;
    uint8_t* buffer;
    uint32_t capacity;
    uint32_t* used;
    bool full;
};

void OnFrame(unsigned char* user, const pcap_pkthdr_wp* header, const unsigned char* frame) {
    auto* f = reinterpret_cast<Fill*>(user);
    if (PutRecord(f->buffer, f->capacity, f->used, *header, frame)) return;
    // Kept for the next receive: the ring gives each frame once.
    Capture* c = f->c;
    c->heldHeader = *header;
    c->heldHeader.caplen = std::min<uint32_t>(header->caplen, kSnapLength);
    std::memcpy(c->held.get(), frame, c->heldHeader.caplen);
    SetHeld(c, true);
    f->full = true;
}

// Sends on the capture's socket, waiting a little while the host's send buffer is full.
bool SendMessages(Capture* c, mmsghdr* messages, unsigned count) {
    const Ring* ring = c->ring.load(std::memory_order_acquire);
    for (unsigned done = 0, waits = 0; done < count;) {
        const int n = sendmmsg(ring->fd, messages + done, count - done, 0);
        if (n > 0) {
            done += unsigned(n);
            continue;
        }
        const int e = errno;
        if ((e == EAGAIN || e == ENOBUFS) && waits++ < 20) {
            pollfd pfd{ring->fd, POLLOUT, 0};
            poll(&pfd, 1, 10);
            continue;
        }
        if (e == EINTR) continue;
        return Fail(FromErrno(e), "send(%s) failed after %u of %u frames: %s", c->device.c_str(), done, count, std::strerror(e));
    }
    return true;
}

}  // namespace

Capture* Open(const std::string& device) {
    const PcapApi* api = Pcap();
    if (!api) return nullptr;
    auto c = std::make_unique<Capture>();
    c->device = device;
    c->api = api;
    c->event = epoll_create1(EPOLL_CLOEXEC);
    c->heldEvent = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (c->event < 0 || c->heldEvent < 0 || !Watch(c->event, EPOLL_CTL_ADD, c->heldEvent)) {
        Fail(FromErrno(errno), "OpenAdapter(%s): no read event: %s", device.c_str(), std::strerror(errno));
        Close(c.release());
        return nullptr;
    }
    Ring* ring = Activate(c.get(), kDefaultBuffer);
    if (!ring || !Watch(c->event, EPOLL_CTL_ADD, ring->fd)) {
        if (ring) Fail(FromErrno(errno), "OpenAdapter(%s): no read event: %s", device.c_str(), std::strerror(errno));
        Close(c.release());
        return nullptr;
    }
    c->ring.store(ring, std::memory_order_release);
    return c.release();
}

void Close(Capture* c) {
    for (auto& ring : c->rings)
        c->api->close(ring->pcap);
    if (c->event >= 0) close(c->event);
    if (c->heldEvent >= 0) close(c->heldEvent);
    delete c;
}

// A new size needs a new capture: frames still waiting in the old one are dropped, as frames
// that found the old buffer full would have been. The old one stops capturing but stays open
// until close, since a sender may be using it at this moment.
bool SetBuffer(Capture* c, uint32_t bytes) {
    std::lock_guard<std::mutex> lock(c->mu);
    Ring* old = c->ring.load(std::memory_order_relaxed);
    if (old->bytes == bytes) return true;
    Ring* ring = Activate(c, bytes);
    if (!ring) return false;
    if (!Watch(c->event, EPOLL_CTL_ADD, ring->fd))
        return Fail(FromErrno(errno), "SetBuff(%s): %s", c->device.c_str(), std::strerror(errno));
    Watch(c->event, EPOLL_CTL_DEL, old->fd);
    static const WP_BPF_INSN kRejectAll{0x0006, 0, 0, 0};
    bpf_program_wp none{1, &kRejectAll};
    c->api->setfilter(old->pcap, &none);
    c->ring.store(ring, std::memory_order_release);
    return true;
}

bool SetFilter(Capture* c, const WP_BPF_PROGRAM* program) {
    std::lock_guard<std::mutex> lock(c->mu);
    Ring* ring = c->ring.load(std::memory_order_relaxed);
    bpf_program_wp p{program->bf_len, program->bf_insns};
    if (c->api->setfilter(ring->pcap, &p) < 0) return FailPcap(c, ring->pcap, "pcap_setfilter");
    c->filter.assign(program->bf_insns, program->bf_insns + program->bf_len);
    return true;
}

WP_EVENT ReadEvent(Capture* c) { return c->event; }

bool Receive(Capture* c, uint8_t* buffer, uint32_t capacity, uint32_t* received) {
    std::lock_guard<std::mutex> lock(c->mu);
    Fill fill{c, buffer, capacity, received, false};
    if (c->hasHeld) {
        if (!PutRecord(buffer, capacity, received, c->heldHeader, c->held.get())) return true;
        SetHeld(c, false);
    }
    Ring* ring = c->ring.load(std::memory_order_relaxed);
    while (!fill.full) {
        const int n = c->api->dispatch(ring->pcap, 1, OnFrame, reinterpret_cast<unsigned char*>(&fill));
        if (n == 0) break;
        // An error comes once (the link went down, say); frames already taken are delivered.
        if (n < 0) return *received != 0 || FailPcap(c, ring->pcap, "pcap_dispatch");
    }
    return true;
}

bool Send(Capture* c, const uint8_t* frame, uint32_t length) {
    iovec iov{const_cast<uint8_t*>(frame), length};
    mmsghdr message{};
    message.msg_hdr.msg_iov = &iov;
    message.msg_hdr.msg_iovlen = 1;
    return SendMessages(c, &message, 1);
}

// One system call per chunk of frames; the records were checked by the caller.
bool SendBatch(Capture* c, const uint8_t* batch, uint32_t length) {
    iovec iov[kBatchChunk];
    mmsghdr messages[kBatchChunk];
    unsigned count = 0;
    for (uint32_t at = 0; at < length;) {
        WP_BATCH_HEADER header;
        std::memcpy(&header, batch + at, sizeof header);
        iov[count] = {const_cast<uint8_t*>(batch + at + sizeof header), header.dwFrameLength};
        messages[count] = mmsghdr{};
        messages[count].msg_hdr.msg_iov = &iov[count];
        messages[count].msg_hdr.msg_iovlen = 1;
        at += sizeof header + header.dwFrameLength;
        if (++count == kBatchChunk || at >= length) {
            if (!SendMessages(c, messages, count)) return false;
            count = 0;
        }
    }
    return true;
}

}  // namespace wp
