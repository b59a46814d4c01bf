// The write path as a caller reaches it: CVifnet::Write on interfaces of the simulated driver,
// given bytes of any length. Each write must be refused, or sent once and whole, framed as its
// mode frames it, and no byte past the caller's read. Input: one byte of settings, then the
// packet (TUN) or frame (TAP). Settings bit 0: TAP (else TUN); bit 1: inside a batch; bits 2-3:
// which MTU.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "adapter/vf_adapter.h"
#include "fuzz_support.h"
#include "iface/frames.h"
#include "iface/vifnet.h"
#include "wrensim.h"

using fuzz::Check;

namespace {

const char16_t kLan[] = u"fuzz0";
const std::uint32_t kMTUs[4] = {1500, 60, 576, 1499};

// One adapter (10.0.0.1/24, frames of up to 1514 bytes) and an interface with the guest address
// 10.0.0.5/32, up, for each mode and MTU; built once, as the driver and the adapter's reader are.
// The guest's subnet is its own address alone, so every other destination goes to the host
// adapter at once: a neighbour on the guest's subnet would be asked for on the link and its
// packets held for the answer, which depends on time and on earlier inputs (the neighbour
// table's own tests cover that).
struct Interfaces {
    ADAPTER_INFO_LIST_ENTRY entry{};
    std::unique_ptr<CVFAdapter> adapter;
    std::unique_ptr<CVifnet> vf[2][4];
    std::uint8_t tarnMAC[6];

    Interfaces() {
        const std::uint8_t mac[6] = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
        std::u16string(kLan).copy(entry.szAdapterName, WP_ADAPTER_NAME_CHARS - 1);
        std::memcpy(entry.MACAddr, mac, 6);
        entry.IPAddr = 0x0100000A;
        entry.IPMask = 0x00FFFFFF;
        entry.nMaxFrameSize = 1514;
        Check(WrenSimAddAdapter(&entry));
        adapter = std::make_unique<CVFAdapter>(WrenPackOpenAdapter(kLan), &entry);
        for (int tap = 0; tap < 2; ++tap) {
            for (int m = 0; m < 4; ++m) {
                vf[tap][m] = std::make_unique<CVifnet>(VIFNET32_O_RDWR, adapter.get(), nullptr);
                const std::uint8_t guest[4] = {10, 0, 0, 5};
                vifnet32_sockaddr_in mask{};
                mask.sin_family = VIFNET32_AF_INET;
                std::memset(mask.sin_addr, 0xFF, 4);
                Check(vf[tap][m]->SetVifnetFlags(tap ? VIFNET32_IFF_TAP : VIFNET32_IFF_TUN) &&
                      vf[tap][m]->AddTarnVirtIPAddr(guest) && vf[tap][m]->SetIFaceNetMask(&mask) &&
                      vf[tap][m]->SetIFaceMTU(static_cast<int>(kMTUs[m])) && vf[tap][m]->SetIFaceFlags(VIFNET32_IFF_UP));
            }
        }
        vifnet32_sockaddr sa{};
        Check(vf[0][0]->GetTarnVirtMACAddr(&sa));
        std::memcpy(tarnMAC, sa.sa_data, 6);
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1 || size > 4000) return 0;  // past every length the interfaces take
    static Interfaces ifaces;
    const bool tap = data[0] & 1, batch = data[0] & 2;
    const std::uint32_t mtu = kMTUs[(data[0] >> 2) & 3], length = static_cast<std::uint32_t>(size - 1);
    CVifnet& vf = *ifaces.vf[tap][(data[0] >> 2) & 3];
    auto bytes = fuzz::ExactCopy(data + 1, length);

    WrenSimClearSent(kLan);
    if (batch) Check(vf.BegMultiWrite(65536));
    const int n = vf.Write(bytes.get(), length);
    if (batch) Check(vf.EndMultiWrite());
    // TUN: a packet of 1 to MTU bytes; TAP: a whole Ethernet header up to MTU + 14 bytes, or a
    // frame with its 4-byte trailer, which is dropped.
    const bool taken =
        tap ? (length >= frames::kEthHeaderSize && length <= mtu + 14) || length == mtu + 18 : length >= 1 && length <= mtu;
    Check(n == (taken ? static_cast<int>(length) : -1));
    Check(WrenSimSentCount(kLan) == (taken ? 1u : 0u));
    if (!taken) return 0;

    static std::uint8_t sent[65536];
    std::uint32_t got = 0;
    Check(WrenSimGetSent(kLan, 0, sent, sizeof sent, &got) == (batch ? WRENSIM_SENT_BATCH : WRENSIM_SENT_FRAME));
    const std::uint8_t* frame = sent + (batch ? frames::kBatchHeaderSize : 0);
    const std::uint32_t frameLength = tap ? (length == mtu + 18 ? mtu + 14 : length) : length + frames::kEthHeaderSize;
    // The batch record header, fixed but for the frame length: checked whole by the multi-write tests.
    Check(got == frameLength + (batch ? frames::kBatchHeaderSize : 0));
    if (tap) {
        Check(std::memcmp(frame, data + 1, frameLength) == 0);
    } else {
        // To the host adapter or, for the subnet's broadcast address (the guest's own, on a /32),
        // to everyone; from the interface.
        Check(std::memcmp(frame + frames::kEthHeaderSize, data + 1, length) == 0);
        Check(std::memcmp(frame + 6, ifaces.tarnMAC, 6) == 0 && frames::Get16(frame + 12) == frames::kEtherTypeIPv4);
        const bool broadcast = length >= 20 && std::memcmp(data + 1 + 16, "\x0A\x00\x00\x05", 4) == 0;
        Check(std::memcmp(frame, broadcast ? "\xFF\xFF\xFF\xFF\xFF\xFF" : "\x00\x1A\x2B\x3C\x4D\x5E", 6) == 0);
    }
    return 0;
}
