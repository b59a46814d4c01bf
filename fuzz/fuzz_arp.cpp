// The TUN-mode ARP and RARP responder's byte work. Input: the interface MAC (6 bytes), the
// guest's IPv4 address (4 bytes, network order), then a received frame.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "fuzz_support.h"
#include "iface/frames.h"

namespace {

using fuzz::Check;

bool Same(const std::uint8_t* a, const std::uint8_t* b, std::size_t n) { return std::memcmp(a, b, n) == 0; }

// Asks the handler's question for one operation and, when the frame qualifies, builds the reply
// on an exact copy and checks it against the request.
void Answer(const std::uint8_t* request, std::uint32_t length, std::uint16_t operation, const std::uint8_t* mac,
            const std::uint8_t* ip) {
    auto frame = fuzz::ExactCopy(request, length);
    if (!frames::IsARPRequest(frame.get(), length, operation, mac)) return;
    Check(length >= frames::kARPFrameSize);
    Check(frames::Get16(request + 20) == operation);
    Check(frames::IsGroupMAC(request) || frames::SameMAC(request, mac));
    Check(!frames::IsGroupMAC(request + 22) && !frames::IsZeroMAC(request + 22));  // a station asked

    std::uint32_t guest;
    std::memcpy(&guest, ip, 4);
    if (operation == 1)
        frames::MakeARPReply(frame.get(), mac);
    else
        frames::MakeRARPReply(frame.get(), mac, guest);
    const std::uint8_t* reply = frame.get();

    Check(frames::Get16(reply + 20) == operation + 1);
    Check(Same(reply, request + 22, 6));      // back to the asker
    Check(Same(reply + 6, mac, 6));           // from the interface
    Check(Same(reply + 12, request + 12, 8));  // EtherType, hardware and protocol fields kept
    Check(Same(reply + 22, mac, 6));          // the interface is the sender
    if (operation == 1) {
        Check(Same(reply + 28, request + 38, 4));  // at the address asked for
        Check(Same(reply + 32, request + 22, 6));
        Check(Same(reply + 38, request + 28, 4));
    } else {
        Check(Same(reply + 28, ip, 4));
        Check(Same(reply + 32, request + 32, 6));
        Check(Same(reply + 38, ip, 4));
    }
    // A reply is 42 bytes: the padding of the request stays as it came.
    Check(Same(reply + frames::kARPFrameSize, request + frames::kARPFrameSize, length - frames::kARPFrameSize));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 10 || size - 10 > 0xFFFF) return 0;
    const std::uint8_t* mac = data;
    const std::uint8_t* ip = data + 6;
    const std::uint8_t* request = data + 10;
    const auto length = static_cast<std::uint32_t>(size - 10);

    Answer(request, length, 1, mac, ip);
    Answer(request, length, 3, mac, ip);

    // The announcement, in exactly its 42 bytes, is a broadcast ARP request any interface with
    // that MAC would itself take for one (when the MAC is a station's), asking for the address
    // it announces.
    std::uint32_t guest;
    std::memcpy(&guest, ip, 4);
    std::unique_ptr<std::uint8_t[]> announcement(new std::uint8_t[frames::kARPFrameSize]);
    frames::MakeGratuitousARP(announcement.get(), mac, guest);
    const std::uint8_t* g = announcement.get();
    Check(frames::IsARPRequest(g, frames::kARPFrameSize, 1, mac) == !(frames::IsGroupMAC(mac) || frames::IsZeroMAC(mac)));
    Check(frames::Get16(g + 12) == frames::kEtherTypeARP);
    Check(Same(g + 6, mac, 6) && Same(g + 22, mac, 6));
    Check(frames::IsZeroMAC(g + 32));
    Check(Same(g + 28, ip, 4) && frames::ARPTargetIP(g) == guest);
    return 0;
}
