// Address texts as every message and dump of the library writes them.
#pragma once

#include <cstdint>
#include <string>

#include "wrenlib.h"

// "02-00-5E-A8-01-4D".
inline std::wstring MACText(const std::uint8_t* mac) {
    std::wstring text;
    return FormatPhysAddr(text, mac, 6, L'-');
}

// "192.168.1.77", from an address in network order.
inline std::wstring IPText(std::uint32_t ipAddr) {
    std::wstring text;
    return FormatIPAddr(&ipAddr, text);
}
