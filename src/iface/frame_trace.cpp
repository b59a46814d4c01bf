// The frame trace: one block per chosen frame on the debug output while IFF_DEBUG is set.
#include <cstring>

#include "host/address_text.h"
#include "iface/frames.h"
#include "iface/vifnet.h"
#include "trace/trace.h"
#include "wrenlib.h"

namespace {

constexpr std::uint32_t kAnyFrameBit = 0x0000C0C0u;
constexpr std::uint32_t kARPSummaryBits = 0x00008080u;
constexpr std::uint32_t kHexDumpBit = 0x40000000u;

struct TraceKindInfo {
    const wchar_t* title;
    std::uint32_t bit;
};

const TraceKindInfo kKinds[] = {
    {L"Ethernet Frame READ from TUN interface", 0x00004000u},
    {L"Ethernet Frame WRITTEN to TUN interface", 0x00000040u},
    {L"Ethernet Frame READ from TAP interface", 0x00004000u},
    {L"Ethernet Frame WRITTEN to TAP interface", 0x00000040u},
    {L"Ethernet ARP Frame READ from TUN interface", 0x00008000u},
    {L"Ethernet ARP Frame WRITTEN to TUN interface", 0x00000080u},
    {L"Ethernet RARP Frame READ from TUN interface", 0x00008000u},
    {L"Ethernet RARP Frame WRITTEN to TUN interface", 0x00000080u},
};

std::uint32_t IPAt(const std::uint8_t* p) {
    std::uint32_t ip;
    std::memcpy(&ip, p, 4);
    return ip;
}

// The question or answer of an ARP or RARP frame (at least 42 bytes).
std::wstring ARPSummary(const std::uint8_t* frame) {
    switch (frames::Get16(frame + 20)) {
    case 1:
        return trace::Format(L":\n(Where is: %s, Tell: %s)", IPText(IPAt(frame + 38)).c_str(), IPText(IPAt(frame + 28)).c_str());
    case 2:
        return trace::Format(L":\n(%s is at: %s)", IPText(IPAt(frame + 28)).c_str(), MACText(frame + 22).c_str());
    case 3:
        return trace::Format(L":\n(Who is: %s, Tell: %s)", MACText(frame + 32).c_str(), IPText(IPAt(frame + 28)).c_str());
    case 4:
        return trace::Format(L":\n(%s is: %s)", MACText(frame + 22).c_str(), IPText(IPAt(frame + 28)).c_str());
    default:
        return {};
    }
}

}  // namespace

// The flags are atomics, so the common case (no IFF_DEBUG) costs two loads and no lock; the
// block itself is written under the output lock, which keeps it whole against every other
// block.
void CVifnet::TraceFrame(std::uint32_t kind, const std::uint8_t* frame, int length) {
    if (!(GetIFaceFlags() & VIFNET32_IFF_DEBUG) || !trace::Enabled()) return;
    const std::uint32_t debugFlags = GetDebugFlags();
    if (!(debugFlags & kAnyFrameBit) || kind >= std::size(kKinds) || !(debugFlags & kKinds[kind].bit)) return;
    std::wstring summary;
    // Only the responder passes ARP kinds, with frames it checked to hold 42 bytes.
    if (kind >= kTraceARPRead && (debugFlags & kARPSummaryBits) && length >= static_cast<int>(frames::kARPFrameSize)) {
        summary = ARPSummary(frame);
    }
    std::wstring dump;
    if (debugFlags & kHexDumpBit) {
        dump = FormatHexDump(frame, static_cast<std::uint64_t>(length), false, 0, false);
        if (!dump.empty()) dump.pop_back();
    }
    trace::CBlock block;
    DebugTrace(L"\n%s %p%s\n%s", kKinds[kind].title, static_cast<const void*>(this), summary.c_str(), dump.c_str());
}
