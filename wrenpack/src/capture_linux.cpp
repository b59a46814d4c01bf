// Linux: one non-blocking capture in immediate mode per open adapter, read straight from the
// capture library's ring; frames are sent on the capture's own socket, so the capture never
// sees the driver's own frames come back, while it does see every other frame the host sends.
#include "wp_driver.h"

#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <utility>

namespace wp {
namespace {

// The ring has one slot per frame, each as large as the largest frame the link can deliver: on
// a link with segmentation or receive offloads that is 64 KB, and a ring of the library's
// default 1 MB would hold 16 frames. So every ring gets the largest buffer the library ever asks
// for, and a change of size (which a ring cannot take without being made anew, dropping what it
// holds) is never needed.
constexpr uint32_t kRingBytes = 16u << 20;
// Frames per sendmmsg call: the most the kernel takes in one (UIO_MAXIOV).
constexpr unsigned kBatchChunk = 1024;

}  // namespace

struct Capture {
    std::string device;
    const PcapApi* api = nullptr;
    pcap_t_wp* pcap = nullptr;
    int fd = -1;      // the capture's socket, which also sends
    std::mutex mu;    // receives and filter changes
    // The read event: an epoll set of the capture's socket and of `heldEvent`, which is set
    // while a frame that did not fit the last receive buffer waits here.
    int event = -1;
    int heldEvent = -1;
    std::unique_ptr<uint8_t[]> held{new uint8_t[kSnapLength]};
    pcap_pkthdr_wp heldHeader{};
    bool hasHeld = false;
};

namespace {

bool FailPcap(Capture* c, const char* call) { return FailPcap(*c->api, c->pcap, call, c->device); }

// Starts the capture in non-blocking mode; false after Fail.
bool Activate(Capture* c) {
    c->pcap = StartCapture(*c->api, c->device, kRingBytes, 0);
    if (!c->pcap) return false;
    char errbuf[kErrbufSize];
    if (c->api->setnonblock(c->pcap, 1, errbuf) < 0) return FailPcap(c, "pcap_setnonblock");
    c->fd = c->api->get_selectable_fd(c->pcap);
    return true;
}

bool Watch(int epoll, int fd) {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = fd;
    return epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &ev) == 0;
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

// Sends on the capture's socket, waiting a little while the host's send buffer is full. `done`
// counts the messages that went out, also when a later one fails (the kernel stops a call at
// the first message it refuses, a frame longer than the link's MTU say, and reports the ones
// before it as sent): they are on the wire and must not be sent again.
bool SendMessages(Capture* c, mmsghdr* messages, unsigned count, unsigned& done) {
    done = 0;
    for (unsigned waits = 0; done < count;) {
        const int n = sendmmsg(c->fd, messages + done, count - done, 0);
        if (n > 0) {
            done += unsigned(n);
            continue;
        }
        const int e = errno;
        if ((e == EAGAIN || e == ENOBUFS) && waits++ < 20) {
            pollfd pfd{c->fd, POLLOUT, 0};
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
    if (!Activate(c.get())) {
        Close(c.release());
        return nullptr;
    }
    c->event = epoll_create1(EPOLL_CLOEXEC);
    c->heldEvent = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (c->event < 0 || c->heldEvent < 0 || !Watch(c->event, c->heldEvent) || !Watch(c->event, c->fd)) {
        Fail(FromErrno(errno), "OpenAdapter(%s): no read event: %s", device.c_str(), std::strerror(errno));
        Close(c.release());
        return nullptr;
    }
    return c.release();
}

void Close(Capture* c) {
    if (c->pcap) c->api->close(c->pcap);
    if (c->event >= 0) close(c->event);
    if (c->heldEvent >= 0) close(c->heldEvent);
    delete c;
}

// The ring already has the largest size asked for (see kRingBytes).
bool SetBuffer(Capture*, uint32_t) { return true; }

bool SetFilter(Capture* c, const WP_BPF_PROGRAM* program) {
    std::lock_guard<std::mutex> lock(c->mu);
    bpf_program_wp p{program->bf_len, program->bf_insns};
    return c->api->setfilter(c->pcap, &p) == 0 || FailPcap(c, "pcap_setfilter");
}

WP_EVENT ReadEvent(Capture* c) { return c->event; }

bool Receive(Capture* c, uint8_t* buffer, uint32_t capacity, uint32_t* received) {
    std::lock_guard<std::mutex> lock(c->mu);
    Fill fill{c, buffer, capacity, received, false};
    if (c->hasHeld) {
        if (!PutRecord(buffer, capacity, received, c->heldHeader, c->held.get())) return true;
        SetHeld(c, false);
    }
    while (!fill.full) {
        const int n = c->api->dispatch(c->pcap, 1, OnFrame, reinterpret_cast<unsigned char*>(&fill));
        if (n == 0) break;
        // An error comes once (the link went down, say); frames already taken are delivered.
        if (n < 0) return *received != 0 || FailPcap(c, "pcap_dispatch");
    }
    return true;
}

namespace {

// Describes one frame to sendmmsg.
void Describe(mmsghdr& message, iovec& iov, const uint8_t* frame, uint32_t length) {
    iov = {const_cast<uint8_t*>(frame), length};
    message = mmsghdr{};
    message.msg_hdr.msg_iov = &iov;
    message.msg_hdr.msg_iovlen = 1;
}

}  // namespace

bool Send(Capture* c, const uint8_t* frame, uint32_t length) {
    iovec iov;
    mmsghdr message;
    Describe(message, iov, frame, length);
    unsigned done;
    return SendMessages(c, &message, 1, done);
}

// One system call per batch of up to 1024 frames.
bool SendBatch(Capture* c, const uint8_t* batch, uint32_t length, uint32_t* sent) {
    // 80 KB of descriptions per sending thread, made on its first batch: too much for a caller's
    // stack (an emulator's threads may have small ones), and nothing to allocate per batch.
    struct Chunk {
        iovec iov[kBatchChunk];
        mmsghdr messages[kBatchChunk];
    };
    static thread_local std::unique_ptr<Chunk> t_chunk;
    if (!t_chunk) t_chunk.reset(new Chunk);
    Chunk& chunk = *t_chunk;
    unsigned count = 0;
    *sent = 0;
    const auto flush = [&] {
        unsigned done;
        const bool ok = SendMessages(c, chunk.messages, std::exchange(count, 0), done);
        *sent += done;
        return ok;
    };
    return ForEachBatchFrame(batch, length, [&](const uint8_t* frame, uint32_t n) {
        Describe(chunk.messages[count], chunk.iov[count], frame, n);
        return ++count < kBatchChunk || flush();
    }) && (count == 0 || flush());
}

}  // namespace wp
