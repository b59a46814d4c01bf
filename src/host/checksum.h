// Internet checksums and their repair in captured frames.
#pragma once

#include <cstdint>

// Folded 16-bit one's-complement sum of the data read as big-endian words (an odd last byte is
// the high byte of a word), not complemented; any alignment; 0 for no data.
std::uint16_t CalcChecksum(const void* data, std::uint32_t length);
// The Internet checksum: ~CalcChecksum.
std::uint16_t CalcInetChecksum(const void* data, std::uint32_t length);
// CalcChecksum of the TCP/UDP pseudo-header of the IPv4 packet whose header starts at ipHeader.
std::uint16_t CalcPseudoHeaderSum(const std::uint8_t* ipHeader);
// An Internet checksum after one 16-bit word it covers changed from oldWord to newWord, without
// summing the data again (RFC 1624: HC' = ~(~HC + ~m + m')).
std::uint16_t UpdateChecksum(std::uint16_t checksum, std::uint16_t oldWord, std::uint16_t newWord);
// Recomputes the IPv4 header, TCP and UDP checksums of every IPv4 packet of an Ethernet frame,
// in place, never touching a byte outside the frame.
void FixIPChecksums(std::uint8_t* frame, std::uint32_t length);
