// WrenLib: parsing and formatting of network addresses, error codes and hex dumps for the
// library's messages. Every function may be called from several threads at once.
#pragma once

#include <cstdint>
#include <string>

// Value of an ASCII hexadecimal digit (either case), -1 for any other character.
int HexDigitValue(wchar_t c);

// True when text is a MAC address: six groups of two hexadecimal digits (either case) joined by
// ':' or '-', the same separator throughout, or twelve hexadecimal digits with no separator.
// The six bytes are filled only on success.
bool ParseMACAddress(const std::wstring& text, std::uint8_t mac[6]);

// True when text is a dotted-decimal IPv4 address a.b.c.d (each part 0-255, decimal digits
// only); the address is stored in host byte order. The flag is reserved and must be false.
bool ParseIPAddress(const std::wstring& text, std::uint32_t& address, bool reserved);

// Display text of a MAC address: "00-1A-2B-3C-4D-5E" (upper-case, '-'). Also stored in out.
std::wstring FormatMACAddr(const std::uint8_t mac[6], std::wstring& out);

// count bytes as two upper-case hexadecimal digits each, joined by separator: with 6 bytes and
// '-' the 17-character MAC text that an open request accepts. Also stored in out.
std::wstring FormatPhysAddr(std::wstring& out, const std::uint8_t* bytes, std::uint32_t count, wchar_t separator);

// Dotted-decimal text of the 4 address bytes (network order). Also stored in out.
std::wstring FormatIPAddr(const void* address, std::wstring& out);

// Hex dump, 16 bytes a line: "0000: 45 00 ... 00  E......." with lines joined by '\n' and one
// '\n' at the end. The options are reserved (false, 0, false).
std::wstring FormatHexDump(const void* data, std::uint64_t length, bool reserved1, int reserved2, bool reserved3);

// The system's text for a Windows error code, without a line end ("Unknown error N" where the
// system has none).
std::wstring FormatLastError(std::uint32_t code);
