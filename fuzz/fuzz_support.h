// Helpers shared by the fuzz targets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "host/checksum.h"

namespace fuzz {

// A heap copy of exactly `size` bytes, so that the address sanitizer reports the first byte read
// or written past the end (a larger buffer, or the fuzzer's own input, would hide it).
inline std::unique_ptr<std::uint8_t[]> ExactCopy(const std::uint8_t* data, std::size_t size) {
    std::unique_ptr<std::uint8_t[]> copy(new std::uint8_t[size]);
    if (size != 0) std::memcpy(copy.get(), data, size);
    return copy;
}

// Reads every byte of a range, so a range that strays outside its buffer is reported even when
// the code under test would only have looked at part of it.
inline void TouchAll(const std::uint8_t* data, std::uint32_t length) {
    volatile std::uint16_t sink = CalcChecksum(data, length);
    (void)sink;
}

inline void Check(bool condition) {
    if (!condition) __builtin_trap();
}

}  // namespace fuzz
