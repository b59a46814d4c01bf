// A receive buffer as the adapter hands it to an interface, walked the way the read path walks
// it, and each frame through the shared-MAC translation. Input: one byte of settings, then the
// buffer.
//   settings bit 0: promiscuous; bits 2-3: which interface MAC (bit 1, TUN in the seeds, is unread).
#include <cstddef>
#include <cstdint>

#include "fuzz_support.h"
#include "iface/frames.h"

namespace {

const std::uint8_t kIfaceMACs[4][6] = {
    {0x02, 0x00, 0x5E, 0x80, 0x00, 0x05},  // the interface MAC of 10.0.0.5, used by the seeds
    {0x02, 0x00, 0x5E, 0xA8, 0x01, 0x0A},
    {0x00, 0x00, 0x00, 0x00, 0x00, 0x00},  // not yet configured
    {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E},
};
const std::uint8_t kHWBroadcast[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const bool promiscuous = (data[0] & 1) != 0;
    const std::uint8_t* mac = kIfaceMACs[(data[0] >> 2) & 3];

    const std::size_t bufferSize = size - 1;
    auto buffer = fuzz::ExactCopy(data + 1, bufferSize);
    std::uint8_t* const begin = buffer.get();
    std::uint8_t* const end = begin + bufferSize;

    std::uint8_t* pos = begin;
    frames::Record rec;
    for (;;) {
        std::uint8_t* const at = pos;
        if (!frames::NextRecord(pos, end, rec)) {
            fuzz::Check(pos == end);
            break;
        }
        // Every record moves the walk forward, and its frame lies behind its header, inside the
        // buffer.
        fuzz::Check(pos > at && pos <= end);
        fuzz::Check(rec.frame > at && rec.frame <= end);
        fuzz::Check(rec.length <= static_cast<std::size_t>(end - rec.frame));
        fuzz::TouchAll(rec.frame, rec.length);

        if (rec.length <= frames::kEthHeaderSize) continue;  // discarded: no header to select by
        {
            // Shared MAC mode: a TAP frame translated both ways, and a DHCP request's flag set,
            // on an exact copy; the translation keeps the frame's length and its addresses.
            auto copy = fuzz::ExactCopy(rec.frame, rec.length);
            std::uint32_t to = 0, from = 0;
            const bool hasTo = frames::SharedDestination(copy.get(), rec.length, to);
            fuzz::Check(frames::SharedSource(copy.get(), rec.length, from) == hasTo);
            if (hasTo) frames::ToGuestMAC(copy.get(), rec.length, kIfaceMACs[3], mac);
            frames::ToHostMAC(copy.get(), rec.length, kIfaceMACs[3]);
            frames::SetDHCPBroadcastFlag(copy.get(), rec.length);
            std::uint32_t after = 0;
            fuzz::Check(!hasTo || (frames::SharedDestination(copy.get(), rec.length, after) && after == to));
        }
        // What a kept frame goes through next has targets of its own: fuzz_fix_checksums, fuzz_arp.
        (void)frames::Select(rec.frame, promiscuous, mac, kHWBroadcast);
    }
    return 0;
}
