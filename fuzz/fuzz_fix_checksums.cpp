// Checksum repair of a captured frame whose every length field comes from the wire. Input: the
// frame.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "fuzz_support.h"
#include "host/checksum.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 0xFFFF) return 0;  // more than any frame
    const auto length = static_cast<std::uint32_t>(size);
    auto frame = fuzz::ExactCopy(data, size);
    FixIPChecksums(frame.get(), length);

    // The repair writes only checksum fields, each computed from bytes it does not cover or after
    // zeroing itself, so a second pass finds nothing to change.
    auto again = fuzz::ExactCopy(frame.get(), size);
    FixIPChecksums(again.get(), length);
    fuzz::Check(size == 0 || std::memcmp(frame.get(), again.get(), size) == 0);

    // A first IPv4 header that lies whole inside the frame, with a total length that covers it,
    // now carries a valid checksum.
    if (length > 34 && data[12] == 0x08 && data[13] == 0x00) {
        const std::uint8_t* ip = frame.get() + 14;
        const std::uint32_t header = (ip[0] & 0x0Fu) * 4;
        const std::uint32_t total = static_cast<std::uint32_t>(ip[2] << 8 | ip[3]);
        if (header >= 20 && header <= length - 14 && total >= header) fuzz::Check(CalcChecksum(ip, header) == 0xFFFF);
    }
    return 0;
}
