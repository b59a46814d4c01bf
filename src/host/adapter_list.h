// The host's adapters, as the packet driver lists them: read once on first use and kept until
// the library unloads, guarded by a lock of its own while it is built or freed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "wrenpack.h"

// Builds the list if there is none yet; true if a list came from the driver (a stand-by list
// of one "dummy" record stands in when the driver cannot list adapters).
bool InitWPAdaptersList();
// The list (building it first if needed): its first record and, optionally, its record count.
void GetWPAdaptersList(ADAPTER_INFO_LIST_ENTRY** ppFirst, std::uint32_t* pnCount = nullptr);
// Frees the list; the library's process shut-down does this once.
void FreeWPAdaptersList();
// Copies the default adapter's record (the DefaultIFace setting, else the first adapter), with
// pNext cleared.
void GetDefaultWPAdapterInfo(ADAPTER_INFO_LIST_ENTRY* pInfo);
// The first record whose IPAddr (network order) or MACAddr is the one given, or null.
const ADAPTER_INFO_LIST_ENTRY* FindWPAdapterByIP(std::uint32_t ipAddr);
const ADAPTER_INFO_LIST_ENTRY* FindWPAdapterByMAC(const std::uint8_t mac[6]);
// IPMask of the adapter whose IPAddr is ipAddr (both network order), 0 if none.
std::uint32_t GetWPAdapterIPMask(std::uint32_t ipAddr);
// A name field of an adapter record (16-bit characters, at most max of them) as wide text.
std::wstring WPText(const WP_CHAR16* text, std::size_t max);
// Name of an NDIS medium code ("NdisMediumUnknown" beyond the table).
const wchar_t* GetNdisMediumName(std::uint32_t nMedium);
// The default adapter's MAC text, "00-1A-2B-3C-4D-5E", in a process-wide buffer that the next
// call overwrites; clears the error values.
const char* GetDefaultIFace();
