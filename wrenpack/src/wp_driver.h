// The capture-library driver: what its shared part (pcap_driver.cpp) and its platform files
// (capture_*.cpp, adapters_*.cpp, pcap_api_*.cpp) give each other.
#ifndef WP_DRIVER_H
#define WP_DRIVER_H

#include "pcap_api.h"
#include "wrenpack.h"

#include <stdint.h>

#include <cstring>
#include <string>
#include <vector>

namespace wp {

// A failure as the driver reports it: errno and Windows error code. Both are the same numbers
// on every platform (network conditions use the Windows Sockets codes in both), so a caller's
// message reads the same everywhere.
struct Error {
    int err;
    uint32_t win;
};
constexpr Error kInvalid{22, 87};          // bad handle or argument
constexpr Error kNotFound{2, 1168};        // no such adapter
constexpr Error kNoMemory{12, 8};
constexpr Error kNoDevice{19, 55};         // the adapter is gone
constexpr Error kNetDown{10050, 10050};    // the adapter is down
constexpr Error kAccess{13, 5};            // not allowed to capture or send
constexpr Error kTooBig{10040, 10040};     // frame longer than the link carries
constexpr Error kNoBuffers{10055, 10055};  // the host's send buffers stayed full
constexpr Error kGeneral{5, 31};           // anything else
constexpr Error kNoLibrary{126, 126};      // no capture library installed (ERROR_MOD_NOT_FOUND)

// The driver error for an errno value of the platform the driver runs on.
Error FromErrno(int platformErrno);
// The driver error for a capture library's error text (which is all some libraries give).
Error FromText(const char* text);
// The driver error for a failed capture-library call's status code and text.
Error FromStatus(int status, const char* text);

// Fails the current driver call: writes "WrenPack: " + the text through the caller's debug
// output function, then sets errno and the thread's Windows error. Returns false.
bool Fail(Error error, const char* format, ...) __attribute__((format(printf, 2, 3)));

// The capture library, loaded once; nullptr (after Fail) when none is installed.
const PcapApi* Pcap();

// Opens and activates a capture of the device that takes whole frames (up to 65535 bytes) in
// promiscuous mode, in immediate mode where the library has it; nullptr after Fail.
constexpr int kSnapLength = 65535;
pcap_t_wp* StartCapture(const PcapApi& api, const std::string& device, uint32_t bufferBytes, int timeoutMs);
// Fails a capture-library call, showing the library's text: `text` if given, else its text for
// the capture (or for `status`, a failed activation's code).
bool FailPcap(const PcapApi& api, pcap_t_wp* pcap, const char* call, const std::string& device, const char* text = nullptr,
              int status = -1);

// Appends one capture record (header, frame, padding to 4 bytes) at buffer + *used when it fits
// in capacity. A frame larger than an empty buffer is cut to fit (its wire length stays), so a
// giant frame can never block the adapter. `flags` are the record's WP_CAPTURE_* direction bits.
bool PutRecord(uint8_t* buffer, uint32_t capacity, uint32_t* used, const pcap_pkthdr_wp& header, const uint8_t* frame,
               uint16_t flags = 0);

// Calls frame(bytes, length) for each frame of a batch, in order, until one call returns false
// (then false). The batch's records must have been checked (the exports do).
template <class Frame>
bool ForEachBatchFrame(const uint8_t* batch, uint32_t length, Frame&& frame) {
    for (uint32_t at = 0; at < length;) {
        WP_BATCH_HEADER header;
        std::memcpy(&header, batch + at, sizeof header);
        if (!frame(batch + at + sizeof header, header.dwFrameLength)) return false;
        at += sizeof header + header.dwFrameLength;
    }
    return true;
}

// UTF-16 adapter names to and from the capture library's narrow names.
std::string Narrow(const WP_CHAR16* text);
void Widen(const std::string& text, WP_CHAR16* out, size_t chars);

// Whether the network device `device` under a sysfs class directory (/sys/class/net) is an
// 802.11 one: the kernel gives such devices a `wireless` node (wireless extensions) or a
// `phy80211` link (cfg80211 drivers), whichever the driver has.
bool IsWirelessDevice(const std::string& classDir, const std::string& device);

// ---- What each platform provides ----

// The host's Ethernet adapters, the default one first. False after Fail().
bool ListAdapters(std::vector<ADAPTER_INFO_LIST_ENTRY>& out);

// One open adapter. Every call may come from any thread; receives come from one thread at a
// time, sends from many at once.
struct Capture;
Capture* Open(const std::string& device);  // nullptr after Fail()
void Close(Capture* capture);
bool SetBuffer(Capture* capture, uint32_t bytes);
bool SetFilter(Capture* capture, const WP_BPF_PROGRAM* program);
WP_EVENT ReadEvent(Capture* capture);
bool Receive(Capture* capture, uint8_t* buffer, uint32_t capacity, uint32_t* received);
bool Send(Capture* capture, const uint8_t* frame, uint32_t length);
// Stores in *sent how many frames of the batch, from its first, went out, failure or not.
bool SendBatch(Capture* capture, const uint8_t* batch, uint32_t length, uint32_t* sent);

}  // namespace wp

#endif
