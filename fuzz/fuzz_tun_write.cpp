// The TUN write path's framing of a caller's packet. Input: the destination MAC (6 bytes), the
// interface MAC (6 bytes), then the packet.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "fuzz_support.h"
#include "iface/frames.h"

using fuzz::Check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 12 || size - 12 > 0xFFFF) return 0;
    const std::uint8_t* dest = data;
    const std::uint8_t* source = data + 6;
    const auto length = static_cast<std::uint32_t>(size - 12);
    auto packet = fuzz::ExactCopy(data + 12, length);

    // Any length, 0 included, comes from the caller: a packet too short to name a destination
    // has none, and its bytes are the only ones that may be read.
    std::uint32_t ip = 0;
    const bool known = frames::TunDestination(packet.get(), length, ip);
    Check(known == (length >= 20));
    if (known) Check(std::memcmp(&ip, data + 12 + 16, 4) == 0);

    const std::uint32_t frameLength = length + frames::kEthHeaderSize;
    std::unique_ptr<std::uint8_t[]> frame(new std::uint8_t[frameLength]);
    frames::PutTunHeader(frame.get(), dest, source);
    std::memcpy(frame.get() + frames::kEthHeaderSize, packet.get(), length);
    Check(std::memcmp(frame.get(), dest, 6) == 0 && std::memcmp(frame.get() + 6, source, 6) == 0);
    Check(frames::Get16(frame.get() + 12) == frames::kEtherTypeIPv4);

    // The batch gets exactly one record's room; stale bytes must not survive in its header.
    const std::uint32_t recordSize = frames::kBatchHeaderSize + frameLength;
    std::unique_ptr<std::uint8_t[]> batch(new std::uint8_t[recordSize]);
    std::memset(batch.get(), 0xA5, recordSize);
    Check(frames::PutBatchRecord(batch.get(), frame.get(), frameLength) == recordSize);
    std::uint32_t header[4];
    std::memcpy(header, batch.get(), sizeof header);
    Check(header[0] == 0 && header[1] == 0 && header[2] == frameLength && header[3] == 0);
    Check(std::memcmp(batch.get() + frames::kBatchHeaderSize, frame.get(), frameLength) == 0);
    return 0;
}
