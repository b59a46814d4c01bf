// Linux: two non-blocking captures in immediate mode per open adapter, read straight from the
// capture library's rings: one of the frames that came in from the link, one of the frames the
// host sent on it. The packet socket knows each frame's direction (its packet type says
// "outgoing"), but the capture library hands a frame over without it (its packet header has no
// direction); a capture limited to one direction keeps exactly the frames of that direction, so
// each record is marked by the capture it came from. Frames are sent on the outgoing capture's own socket, so neither capture sees
// the driver's own frames come back, while the outgoing one sees every other frame the host sends.
#include "wp_driver.h"

#include <linux/filter.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
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
// The outgoing capture holds only the host's own frames (see AttachFilter): the host's bursts to
// a guest are a share of the link's traffic.
constexpr uint32_t kSentRingBytes = kRingBytes / 2;
// Frames per sendmmsg call: the most the kernel takes in one (UIO_MAXIOV).
constexpr unsigned kBatchChunk = 1024;

}  // namespace

struct Capture {
    std::string device;
    const PcapApi* api = nullptr;
    pcap_t_wp* pcap = nullptr;  // frames that came in
    pcap_t_wp* sent = nullptr;  // frames the host sent
    int inFd = -1;    // the socket of `pcap`
    int fd = -1;      // the socket of `sent`, which also sends
    std::mutex mu;    // receives and filter changes
    // The read event: an epoll set of both captures' sockets and of `heldEvent`, which is set
    // while a frame that did not fit the last receive buffer waits here.
    int event = -1;
    int heldEvent = -1;
    std::unique_ptr<uint8_t[]> held{new uint8_t[kSnapLength]};
    pcap_pkthdr_wp heldHeader{};
    uint16_t heldFlags = 0;
    bool hasHeld = false;
    // The link was found down (see LinkStillThere) and has not delivered a frame since.
    bool wentDown = false;
    bool sentFirst = false;  // which capture the next receive reads first
};

namespace {

bool FailPcap(Capture* c, pcap_t_wp* pcap, const char* call) { return FailPcap(*c->api, pcap, call, c->device); }

// Each capture's program runs only on the frames of its direction: the others never reach its
// ring (where they would take the slots of the frames it wants while nobody reads). The packet
// type is loaded from the kernel's ancillary data, which only a filter in the kernel has, so the
// program is attached to each socket directly; placed after the test, `program` keeps its
// relative jumps as they were.
bool AttachFilter(Capture* c, int fd, bool outgoing, const WP_BPF_PROGRAM* program) {
    constexpr uint32_t kTest = 3;
    if (program->bf_len > BPF_MAXINSNS - kTest) return Fail(kGeneral, "SetBpf(%s): program too long", c->device.c_str());
    sock_filter insns[BPF_MAXINSNS];
    insns[0] = BPF_STMT(BPF_LD | BPF_B | BPF_ABS, uint32_t(SKF_AD_OFF + SKF_AD_PKTTYPE));
    insns[1] = BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, PACKET_OUTGOING, uint8_t(outgoing), uint8_t(!outgoing));
    insns[2] = BPF_STMT(BPF_RET | BPF_K, 0);
    std::memcpy(insns + kTest, program->bf_insns, program->bf_len * sizeof(sock_filter));
    const sock_fprog fprog{uint16_t(program->bf_len + kTest), insns};
    if (setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &fprog, sizeof fprog) == 0) return true;
    return Fail(FromErrno(errno), "SetBpf(%s): %s", c->device.c_str(), std::strerror(errno));
}

bool AttachFilters(Capture* c, const WP_BPF_PROGRAM* program) {
    return AttachFilter(c, c->inFd, false, program) && AttachFilter(c, c->fd, true, program);
}

// Starts both captures in non-blocking mode, each limited to its direction; false after Fail.
bool Activate(Capture* c) {
    for (pcap_t_wp** pcap : {&c->pcap, &c->sent}) {
        const bool out = pcap == &c->sent;
        *pcap = StartCapture(*c->api, c->device, out ? kSentRingBytes : kRingBytes, 0);
        if (!*pcap) return false;
        char errbuf[kErrbufSize];
        if (c->api->setnonblock(*pcap, 1, errbuf) < 0) return FailPcap(c, *pcap, "pcap_setnonblock");
        // Also for what reached the ring before the filters below.
        if (c->api->setdirection(*pcap, out ? kDirectionOut : kDirectionIn) < 0) return FailPcap(c, *pcap, "pcap_setdirection");
    }
    c->inFd = c->api->get_selectable_fd(c->pcap);
    c->fd = c->api->get_selectable_fd(c->sent);
    // The kernel copies every frame the host sends for each packet socket that might want it
    // before any filter runs; the incoming capture never does, so it is left out of that. A
    // kernel without the option (before 4.20) copies, and the filter drops.
    const int one = 1;
    setsockopt(c->inFd, SOL_PACKET, PACKET_IGNORE_OUTGOING, &one, sizeof one);
    static const WP_BPF_INSN kAcceptAll = {BPF_RET | BPF_K, 0, 0, 0xFFFFFFFFu};
    const WP_BPF_PROGRAM acceptAll{1, &kAcceptAll};
    return AttachFilters(c, &acceptAll);
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
    pcap_t_wp* pcap;  // the capture being read
    uint8_t* buffer;
    uint32_t capacity;
    uint32_t* used;
    bool full;
    uint16_t flags;  // direction bits of the capture being read
};

void OnFrame(unsigned char* user, const pcap_pkthdr_wp* header, const unsigned char* frame) {
    auto* f = reinterpret_cast<Fill*>(user);
    if (PutRecord(f->buffer, f->capacity, f->used, *header, frame, f->flags)) return;
    // Kept for the next receive: the ring gives each frame once.
    Capture* c = f->c;
    c->heldHeader = *header;
    c->heldHeader.caplen = std::min<uint32_t>(header->caplen, kSnapLength);
    c->heldFlags = f->flags;
    std::memcpy(c->held.get(), frame, c->heldHeader.caplen);
    SetHeld(c, true);
    f->full = true;
    // The ring read ends after this frame, which it then gives back to the kernel.
    c->api->breakloop(f->pcap);
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

// Asked when a receive finds nothing; false after Fail. A link taken down wakes the read event,
// but libpcap keeps the socket's error to itself and hands over nothing; after that the sockets
// stay silent, also when the device is then removed. So the host is asked: a link found down is
// reported once (kNetDown; the caller then probes at its own pace, and a later receive learns of
// a removal).
bool LinkStillThere(Capture* c) {
    ifreq request{};
    std::strncpy(request.ifr_name, c->device.c_str(), IFNAMSIZ - 1);
    if (ioctl(c->fd, SIOCGIFFLAGS, &request) < 0)
        return errno != ENODEV || Fail(kNoDevice, "pcap_dispatch(%s) failed: The interface disappeared", c->device.c_str());
    if ((request.ifr_flags & IFF_UP) || std::exchange(c->wentDown, true)) return true;
    return Fail(kNetDown, "pcap_dispatch(%s) failed: The interface went down", c->device.c_str());
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
    if (c->event < 0 || c->heldEvent < 0 || !Watch(c->event, c->heldEvent) || !Watch(c->event, c->fd) ||
        !Watch(c->event, c->inFd)) {
        Fail(FromErrno(errno), "OpenAdapter(%s): no read event: %s", device.c_str(), std::strerror(errno));
        Close(c.release());
        return nullptr;
    }
    return c.release();
}

void Close(Capture* c) {
    if (c->pcap) c->api->close(c->pcap);
    if (c->sent) c->api->close(c->sent);
    if (c->event >= 0) close(c->event);
    if (c->heldEvent >= 0) close(c->heldEvent);
    delete c;
}

// The ring already has the largest size asked for (see kRingBytes).
bool SetBuffer(Capture*, uint32_t) { return true; }

bool SetFilter(Capture* c, const WP_BPF_PROGRAM* program) {
    std::lock_guard<std::mutex> lock(c->mu);
    return AttachFilters(c, program);
}

WP_EVENT ReadEvent(Capture* c) { return c->event; }

bool Receive(Capture* c, uint8_t* buffer, uint32_t capacity, uint32_t* received) {
    std::lock_guard<std::mutex> lock(c->mu);
    Fill fill{c, nullptr, buffer, capacity, received, false, 0};
    if (c->hasHeld) {
        if (!PutRecord(buffer, capacity, received, c->heldHeader, c->held.get(), c->heldFlags)) return true;
        SetHeld(c, false);
    }
    // Each ring is read to its end in one pass: the capture library polls a socket whenever a
    // read finds its ring empty, so a frame at a time would cost a poll per frame and direction.
    // The direction read first changes with every call, so that neither waits behind a burst of
    // the other for more than one buffer.
    c->sentFirst = !c->sentFirst;
    for (pcap_t_wp* pcap : {c->sentFirst ? c->sent : c->pcap, c->sentFirst ? c->pcap : c->sent}) {
        if (fill.full) break;
        fill.pcap = pcap;
        fill.flags = uint16_t(WP_CAPTURE_DIRECTION_KNOWN | (pcap == c->sent ? WP_CAPTURE_SENT_BY_HOST : 0));
        const int n = c->api->dispatch(pcap, -1, OnFrame, reinterpret_cast<unsigned char*>(&fill));
        // A full buffer stops the read (its frame held), which is no error, even when not one
        // record fitted. An error comes once (the link went down, say); frames already taken
        // are delivered.
        if (n < 0 && !fill.full) return *received != 0 || FailPcap(c, pcap, "pcap_dispatch");
    }
    const bool delivered = *received != 0 || fill.full;
    if (delivered) c->wentDown = false;
    return delivered || LinkStillThere(c);
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
