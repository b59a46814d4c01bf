// Guest MAC construction and MAC text parsing.
#pragma once

#include <cstdint>
#include <string>

// The Tarn interface MAC for an IPv4 address a.b.c.d (network order): 02-00-5E-(b|0x80)-c-d.
void BuildTarnIfaceMAC(std::uint8_t mac[6], const std::uint8_t ip[4]);

// Exactly 17 characters: six pairs of hexadecimal digits separated by ':' or '-', all five
// separators the same as the third character. On failure the bytes converted so far stay.
bool ParseMACString(const std::wstring& text, std::uint8_t mac[6]);
