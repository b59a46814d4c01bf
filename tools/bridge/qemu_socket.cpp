// The guest side as QEMU's stream socket (`-netdev stream`): every Ethernet frame preceded by
// its length, 4 bytes, big-endian. The bridge listens and QEMU connects; when QEMU goes (the VM
// stops or reboots) the interface stays and the next connection takes over. A length the
// interface could never carry ends that connection, never the bridge: after it the stream has
// no frame boundaries left to trust.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bridge.h"

namespace bridge {
namespace {

constexpr long kLengthPrefix = 4;
// Both directions' bytes wait in fixed buffers, each made once: from QEMU, room for a partial
// frame and many whole ones, so that one receive brings a batch; to QEMU, a whole turn of
// frames from the LAN (256 full-sized ones) that the socket may take only in part.
constexpr long kFromQemuRoom = 256 * 1024;
constexpr long kToQemuRoom = 1024 * 1024;

std::string MacText(const std::uint8_t mac[6]) {
    char text[18];
    std::snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
    return text;
}

class QemuSocket final : public GuestSide {
public:
    QemuSocket(const Options& o, const Interface& vf) : where_(o.qemu), maxFrame_(vf.mtu + kEthHeader) {
        const std::string device = " -device virtio-net-pci,netdev=n0,mac=" + MacText(vf.mac);
        std::string netdev;
        if (where_.rfind("unix:", 0) == 0) {
            netdev = "-netdev stream,id=n0,server=off,addr.type=unix,addr.path=" + where_.substr(5);
        } else if (where_.rfind("tcp:", 0) == 0) {
            const std::string host = where_.substr(4, where_.rfind(':') - 4);
            netdev = "-netdev stream,id=n0,server=off,addr.type=inet,addr.host=" + host + ",addr.port=" + where_.substr(where_.rfind(':') + 1);
        } else {
            netdev = "-netdev stream,id=n0,addr.type=fd,addr.str=(QEMU's end)";
        }
        describe_ = "QEMU at " + where_ + ", options: " + netdev + device;
    }

    ~QemuSocket() override {
        if (connection_ >= 0) CloseSocket(connection_);
        if (listener_ >= 0) {
            CloseSocket(listener_);
            ForgetListener(where_);
        }
    }

    // unix: and tcp: listen; fd:N is the one connection there will be.
    bool Open() {
        if (maxFrame_ + kLengthPrefix > kFromQemuRoom) {
            std::fprintf(stderr, "%s: the interface's MTU %d is too large for QEMU's frames\n", kProgram, maxFrame_ - kEthHeader);
            return false;
        }
        if (where_.rfind("fd:", 0) == 0) {
            connection_ = AdoptDescriptor(std::atoi(where_.c_str() + 3));
            return connection_ >= 0;
        }
        listener_ = ListenOn(where_);
        return listener_ >= 0;
    }

    Wait WaitFor() const override {
        if (connection_ >= 0) return {connection_, kReadable | (outEnd_ > outStart_ ? kWritable : 0u), 0};
        return {listener_, kReadable, 0};
    }

    bool Service(unsigned ready) override {
        if (connection_ < 0) {
            if (!(ready & kReadable)) return true;
            connection_ = AcceptOne(listener_);
            if (connection_ >= 0) {
                inStart_ = inEnd_ = outStart_ = outEnd_ = 0;
                std::fprintf(stderr, "%s: QEMU connected\n", kProgram);
            }
            return true;
        }
        if (ready & kWritable) Flush();
        // Hung up with nothing left to read: no receive will say so.
        if (connection_ >= 0 && (ready & kBroken) && !(ready & kReadable)) Close("the connection to QEMU failed");
        return true;
    }

    int Take(const std::uint8_t*& frame) override {
        if (connection_ < 0) return 0;
        for (bool received = false;; received = true) {
            const long have = inEnd_ - inStart_;
            if (have >= kLengthPrefix) {
                const std::uint8_t* p = in_ + inStart_;
                const std::uint32_t length = std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
                if (length < static_cast<std::uint32_t>(kEthHeader) || length > static_cast<std::uint32_t>(maxFrame_)) {
                    char why[128];
                    std::snprintf(why, sizeof why, "a frame length of %lu bytes, outside 14 to %d (the MTU + 14): connection closed",
                                  static_cast<unsigned long>(length), maxFrame_);
                    Close(why);
                    return 0;
                }
                if (have >= kLengthPrefix + static_cast<long>(length)) {
                    frame = p + kLengthPrefix;
                    inStart_ += kLengthPrefix + static_cast<long>(length);
                    return static_cast<int>(length);
                }
            }
            if (received) return 0;  // one receive per frame asked for: the rest comes announced
            // The partial frame to the front, so a whole one always fits behind it.
            std::memmove(in_, in_ + inStart_, static_cast<std::size_t>(have));
            inStart_ = 0;
            inEnd_ = have;
            const long n = ReceiveSome(connection_, in_ + inEnd_, kFromQemuRoom - inEnd_);
            if (n == -1) return 0;
            if (n <= 0) {
                Close(n == 0 ? "QEMU closed the connection" : ("the connection to QEMU failed: " + SocketErrorText()).c_str());
                return 0;
            }
            inEnd_ += n;
        }
    }

    bool Give(const std::uint8_t* frame, int length) override {
        if (connection_ < 0) return false;
        const long need = kLengthPrefix + length;
        if (outEnd_ + need > kToQemuRoom) {
            Flush();
            if (connection_ < 0) return false;
            std::memmove(out_, out_ + outStart_, static_cast<std::size_t>(outEnd_ - outStart_));
            outEnd_ -= outStart_;
            outStart_ = 0;
            if (outEnd_ + need > kToQemuRoom) return false;  // QEMU is not reading: the frame is lost
        }
        std::uint8_t* p = out_ + outEnd_;
        const auto n = static_cast<std::uint32_t>(length);
        p[0] = static_cast<std::uint8_t>(n >> 24);
        p[1] = static_cast<std::uint8_t>(n >> 16);
        p[2] = static_cast<std::uint8_t>(n >> 8);
        p[3] = static_cast<std::uint8_t>(n);
        std::memcpy(p + kLengthPrefix, frame, static_cast<std::size_t>(length));
        outEnd_ += need;
        return true;
    }

    void Flush() override {
        if (connection_ < 0 || outEnd_ == outStart_) return;
        const long n = SendSome(connection_, out_ + outStart_, outEnd_ - outStart_);
        if (n < 0) {
            Close(("the connection to QEMU failed: " + SocketErrorText()).c_str());
            return;
        }
        outStart_ += n;
        if (outStart_ == outEnd_) outStart_ = outEnd_ = 0;
    }

    bool Pending() const override {
        if (connection_ < 0 || inEnd_ - inStart_ < kLengthPrefix) return false;
        const std::uint8_t* p = in_ + inStart_;
        const long length = long{p[0]} << 24 | long{p[1]} << 16 | long{p[2]} << 8 | p[3];
        return inEnd_ - inStart_ >= kLengthPrefix + length || length > maxFrame_ || length < kEthHeader;
    }

    bool Finished() const override { return connection_ < 0 && listener_ < 0; }

    std::string Describe() const override { return describe_; }

private:
    void Close(const char* why) {
        CloseSocket(connection_);
        connection_ = -1;
        inStart_ = inEnd_ = outStart_ = outEnd_ = 0;
        std::fprintf(stderr, "%s: %s; %s\n", kProgram, why, listener_ >= 0 ? "waiting for the next connection" : "stopping");
    }

    std::string where_, describe_;
    int maxFrame_;
    Socket listener_ = -1, connection_ = -1;
    long inStart_ = 0, inEnd_ = 0, outStart_ = 0, outEnd_ = 0;
    std::uint8_t in_[kFromQemuRoom];
    std::uint8_t out_[kToQemuRoom];
};

}  // namespace

int OpenQemuSocket(const Options& o, const Interface& vf, std::unique_ptr<GuestSide>& guest) {
    auto side = std::make_unique<QemuSocket>(o, vf);
    if (!side->Open()) return 1;
    guest = std::move(side);
    return 0;
}

}  // namespace bridge
