// One virtual TUN/TAP interface: the object behind one descriptor. It holds every setting, the
// address tables, the statistics, the read and write buffers and the loopback socket pair, and
// joins its adapter's traffic while it is up.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "adapter/adapter_client.h"
#include "host/neighbour_table.h"
#include "platform/platform.h"
#include "trace/failure.h"
#include "vifnet32.h"

class CNeighbours;
class CVFAdapter;

// Tarn virtual IP addresses, network order, in list order.
using CInAddrList = std::vector<std::uint32_t>;
// Multicast MAC addresses, each kept as the whole record the caller passed.
using CSockAddrList = std::vector<vifnet32_sockaddr>;

class CVifnet : public CErrorPair, public CVFAdapterClient {
public:
    static constexpr std::uint32_t kRunningFlags = VIFNET32_IFF_RUNNING | VIFNET32_IFF_MULTICAST;
    // The flags a caller may set; the library adds kRunningFlags itself.
    static constexpr std::uint32_t kSettableFlags =
        VIFNET32_IFF_UP | VIFNET32_IFF_BROADCAST | VIFNET32_IFF_DEBUG | VIFNET32_IFF_PROMISC | VIFNET32_IFF_ALLMULTI;
    // Debug mask bit that enables the change reports of every setter.
    static constexpr std::uint32_t kReportChanges = 0x80000000u;
    static constexpr std::uint32_t kDefaultDebugFlags = 0x80008080u;
    static constexpr std::uint32_t kMaxTableEntries = 32;
    static constexpr std::uint32_t kStatsSize = sizeof(VIFNET32_STATS);

    // The interface answers TUN destinations through the neighbour services given (null: it
    // knows none, and sends to the host adapter).
    CVifnet(std::uint32_t nOpenFlags, CVFAdapter* pAdapter, CNeighbours* pNeighbours);
    virtual ~CVifnet();
    CVifnet(const CVifnet&) = delete;
    CVifnet& operator=(const CVifnet&) = delete;

    // ---- Flags, type, traces ----
    bool SetIFaceFlags(int nFlags);
    bool SetVifnetFlags(int nFlags);
    static std::wstring FormatIFaceFlags(std::uint32_t nFlags);
    void BeginTrace();
    void EndTrace();
    bool IFaceUp();
    bool IFaceDown();
    // The host's way to this guest (host_link.cpp): made once the interface is up, undone when
    // it goes down or is destroyed. Called without the interface lock.
    void OpenHostLink();
    void CloseHostLink();
    bool SendGratuitousARPs();
    bool SendGratuitousARP(std::uint32_t ipAddr);

    // ---- Accessors ----
    std::uint32_t GetIFaceMTU();
    std::uint32_t GetReadTimeout();
    std::uint32_t GetReadBufferSize() const override { return m_nReadBufferSize.load(std::memory_order_relaxed); }
    std::uint32_t GetIFaceFlags() const { return m_nIFaceFlags.load(std::memory_order_relaxed); }
    std::uint32_t GetDebugFlags() const { return m_dwDebugFlags.load(std::memory_order_relaxed); }
    void SetDebugFlags(std::uint32_t dwFlags) { m_dwDebugFlags.store(dwFlags, std::memory_order_relaxed); }
    int GetReadEndSocket() const { return static_cast<int>(m_hSockPair[READ_END]); }
    CVFAdapter* GetAdapter() const { return m_pAdapter; }
    // The interface name (empty until the naming request).
    std::wstring GetIFaceName() const;
    // True while setters report their changes: IFF_DEBUG with the report bit of the debug mask.
    bool ReportsChanges() const override;

    // ---- Settings ----
    bool SetDeviceBufferSize(int nBytes);
    bool SetIOBufferSize(int nBytes);
    bool SetReadTimeout(int nMillisecs);
    bool SetTarnVirtMACAddr(const vifnet32_sockaddr* sa);
    bool GetTarnVirtMACAddr(vifnet32_sockaddr* sa);
    bool SetIFaceHWBroadcast(const vifnet32_sockaddr* sa);
    bool GetIFaceHWBroadcast(vifnet32_sockaddr* sa);
    bool SetHostPhysByIPAddr(const vifnet32_sockaddr_in* sin);
    bool GetHostPhysIPAddr(vifnet32_sockaddr_in* sin);
    bool SetIFaceNetMask(const vifnet32_sockaddr_in* sin);
    bool GetIFaceNetMask(vifnet32_sockaddr_in* sin);
    bool SetIFaceBroadcast(const vifnet32_sockaddr_in* sin);
    bool GetIFaceBroadcast(vifnet32_sockaddr_in* sin);
    bool SetIFaceMTU(int nMTU);
    bool SetIFaceName(const wchar_t* name);
    bool GetStats(VIFNET32_STATS* pStats);
    // The MAC mode (VIFNET32_MACMODE_*), and the configured one with the VIFNET32_MACMODE_F_*
    // bits of the moment.
    bool SetMacMode(int nMode);
    int GetMacMode();

    // ---- Address tables ----
    bool AddTarnVirtIPAddr(const std::uint8_t* addr);
    bool DelTarnVirtIPAddr(const std::uint8_t* addr);
    bool SetTarnVirtIPAddr(const vifnet32_sockaddr_in* sin);
    bool GetTarnVirtIPAddr(vifnet32_sockaddr_in* sin);
    bool QueryTarnVirtIPAddrs(std::uint8_t* addrs);
    bool AddMulticastAddr(const vifnet32_sockaddr* sa);
    bool DelMulticastAddr(const vifnet32_sockaddr* sa);
    std::uint32_t GetFirstTarnVirtIPAddr();
    std::wstring FormatIPAddrList();
    std::wstring FormatMulticastList();
    bool IsInHostSubnet(std::uint32_t ipAddr);

    // ---- Dump ----
    void DumpIFace();

    // ---- Frames in (read.cpp) ----
    // One packet into the caller's buffer: bytes copied, 0 on timeout (errno 60), -1 on error.
    int Read(void* buffer, std::uint32_t size);
    // The adapter filled a receive buffer (its count of buffers so far): one readiness message
    // on the descriptor in notify mode. Runs on the reader thread under the adapter's lock.
    void PacketNotify(std::uint64_t nBuffersRead) override;

    // ---- Frames out (write.cpp) ----
    // One packet (TUN) or frame (TAP) onto the wire or into the open batch: the caller's length,
    // or -1.
    int Write(const void* packet, std::uint32_t length);
    bool BegMultiWrite(std::uint32_t size);
    bool EndMultiWrite();
    // Subnet tests of a TUN destination (network order) against the Tarn addresses and netmask;
    // the caller holds m_csIFace.
    bool IsOnTarnSubnet(std::uint32_t ipAddr) const;
    bool IsSubnetBroadcast(std::uint32_t ipAddr) const;

    // ---- Closing ----
    // Close has begun: reads end at once (those waiting are woken by the adapter's WakeReaders)
    // and new ones are refused, so that the interface can go.
    void BeginClose() { m_bClosing.store(true, std::memory_order_release); }
    // Nothing more is read: the interface is closing or down. Lock-free, so that the adapter can
    // ask under its own lock.
    bool ReadsEnded() const override { return m_bClosing.load(std::memory_order_acquire) || !IsUp(); }

    // ---- Calls in progress ----
    // The registry counts the calls that found the interface, so that closing it can wait for
    // them before the object goes.
    void AddCall() { m_nCallsInProgress.fetch_add(1, std::memory_order_acq_rel); }
    void ReleaseCall() { m_nCallsInProgress.fetch_sub(1, std::memory_order_acq_rel); }
    int CallsInProgress() const { return m_nCallsInProgress.load(std::memory_order_acquire); }

private:
    enum { WRITE_END = 0, READ_END = 1 };

    // Frame kinds of the frame trace.
    enum TraceKind : std::uint32_t {
        kTraceTunRead = 0,
        kTraceTunWritten,
        kTraceTapRead,
        kTraceTapWritten,
        kTraceARPRead,
        kTraceARPWritten,
        kTraceRARPRead,
        kTraceRARPWritten,
    };

    // What one Read needs of the settings, copied under m_csIFace when it starts, so that the
    // walk over a receive buffer takes no lock per frame.
    struct ReadView {
        std::uint32_t nVifnetFlags;
        std::uint32_t nIFaceFlags;
        std::uint8_t tarnMAC[6];
        std::uint8_t hwBroadcast[6];
        std::uint32_t nMaxFrame;  // m_nMTU + 14: longer frames are dropped, as a NIC would
        // Shared MAC mode: the host's MAC, and (TUN) the guest's addresses as configured.
        bool bShared;
        std::uint8_t hostMAC[6];
        std::uint32_t nTunAddrs;
        std::uint32_t tunAddrs[kMaxTableEntries];
    };

    // Statistics are counted by the read path, the write path and the responder on different
    // threads, and copied by GetStats: every access is a relaxed atomic one.
    static void Count(std::uint64_t& field, std::uint64_t n = 1) {
        std::atomic_ref<std::uint64_t>(field).fetch_add(n, std::memory_order_relaxed);
    }
    // The same for a field that only the read path changes: m_csRead makes its writers one at
    // a time, so a plain load and store count it without a locked instruction per frame.
    static void CountRead(std::uint64_t& field, std::uint64_t n = 1) {
        std::atomic_ref<std::uint64_t> counter(field);
        counter.store(counter.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
    }

    // ---- read.cpp ----
    int ReadPacket(const ReadView& view);
    // Shared mode: whether `ipAddr` is one of the guest's addresses, with the guest's MAC for
    // it (TAP) in `mac`. Lock-free.
    bool FindSharedGuest(const ReadView& view, std::uint32_t ipAddr, std::uint8_t* mac) const;
    // Shared mode: notes the TAP guest address a frame it writes comes from, with its MAC.
    // m_csWrite held.
    void LearnSharedGuest(const std::uint8_t* frame, std::uint32_t length);
    bool ReadMorePackets(std::uint32_t nTimeout);
    // Takes one readiness message of its kind (`local`: one sent for a frame of the local
    // queue), if one of that kind is outstanding.
    void ConsumeNotification(bool local = false);
    // "Interface not UP": also what a read meets once the interface is closing.
    Failure FailNotUp();
    void FixHostChecksums(std::uint8_t* frame, std::uint32_t length);
    // ---- host_link.cpp ----
    // Undoes what OpenHostLink made; m_csWrite held, or no call running (destruction).
    void ReleaseHostLink();
    // A caller's packet or frame for the host itself goes to the host's stack: the caller's
    // length once delivered, -1 on failure, 0 when the wire is to have it (also after a TAP
    // guest's ARP request for the host was answered). m_csWrite held.
    int WriteToHost(const std::uint8_t* bytes, std::uint32_t length, bool tun);
    // A frame made here for the guest, served by Read before the adapter's; m_csIFace held.
    void QueueLocalFrame(const std::uint8_t* frame, std::uint32_t length);
    // The oldest queued frame into `frame` (kLocalFrameSize bytes); its length, 0 if none.
    // m_csIFace held.
    std::uint32_t TakeLocalFrame(std::uint8_t* frame);
    // ---- arp.cpp ----
    bool HandleARPPacket(std::uint8_t* frame, std::uint32_t length);
    bool HandleReverseARPPacket(std::uint8_t* frame, std::uint32_t length);
    // Sends a 42-byte responder frame (or another frame of `length` bytes made beside the write
    // buffer) through the adapter, counting it; on failure writes "<operation>: WriteAdapter
    // failed" and raises the adapter's pair.
    bool SendARPFrame(const std::uint8_t* frame, const wchar_t* operation, std::uint32_t length = 42);
    // Learns the sender of an ARP request or reply the read path kept, and sends the frames that
    // waited for it. m_csRead held; takes m_csIFace, then m_csWrite.
    void LearnFromARP(const std::uint8_t* frame, std::uint32_t length);
    // Asks the link for an address, from the guest's MAC and its address on that subnet (else
    // its first). m_csWrite held.
    void AskLink(std::uint32_t ipAddr);
    // ---- frame_trace.cpp ----
    void TraceFrame(std::uint32_t kind, const std::uint8_t* frame, int length);
    // ---- write.cpp ----
    int WritePacket(std::uint32_t nFrameLength);
    // Sends the open batch's frames and empties it; false when the adapter did not send them all
    // (those it sent are counted, the rest dropped).
    bool FlushMultiWrite();
    // The MAC the neighbour services give for a TUN destination or gateway (network order),
    // through the destination cache; false when they know none. m_csWrite held.
    bool LookupDestMAC(std::uint32_t ipAddr, std::uint8_t* mac);
    // What the interface's own neighbour table says of a next hop nothing else knows, sending
    // the ARP requests that are due. m_csWrite held.
    CNeighbourTable::Verdict ResolveOnLink(std::uint32_t ipAddr, std::uint8_t* mac);

    // "Interface is busy (already IFF_UP)" for the operation named, written after the interface
    // lock held by `lock` is left.
    Failure FailBusy(plat::CSingleLock& lock, const wchar_t* operation);
    // "** CVifnet(<name>)::<operation>", the start of every failure line of the operation.
    std::wstring MessagePrefix(const wchar_t* operation) const;
    // Writes "** CVifnet(<name>)::<operation>: <text>\n" as the failure of the operation; FailOpRc
    // writes the system's text of the code before the line end ("; rc=<code>: <text>").
    Failure FailOp(int nErrno, DWORD code, const std::wstring& operation, const wchar_t* format, ...);
    Failure FailOpRc(int nErrno, DWORD code, const std::wstring& operation, const wchar_t* format, ...);
    // "Invalid NULL argument" for the operation named.
    Failure FailNull(const wchar_t* operation);
    void UpdateTarnVirtMACAddr(std::uint32_t ipAddr);
    void UpdateIFaceNetMask(std::uint32_t ipAddr);
    void UpdateIFaceBroadcast(std::uint32_t ipAddr);
    bool IsUp() const { return (GetIFaceFlags() & VIFNET32_IFF_UP) != 0; }
    bool OnWirelessAdapter() const;
    // Shared mode applies: configured so, or auto on a wireless adapter. m_csIFace held.
    bool SharedMAC() const;
    // The MAC the guest's frames carry on the wire: the host adapter's in shared mode, else the
    // interface's own. m_csIFace held.
    const std::uint8_t* WireMAC() const { return SharedMAC() ? m_HostPhysMACAddr : m_TarnVirtMACAddr; }
    // Whether the host forwards IPv4 on the adapter; false when it does not say, or when the
    // adapter is none of the host's.
    bool HostForwards() const;
    static const wchar_t* MacModeName(int nMode);
    const wchar_t* TypeName() const;

    // Lock order, for every thread: m_csRead, then m_csWrite, then the application lock (only
    // the write path's brief search of the other guests), then m_csIFace, then the adapter's
    // lock, then the output lock. Naming takes m_csIFace inside the application lock. The read
    // path takes m_csWrite only for an ARP frame, to learn its sender and send what waited for
    // it; nothing that holds m_csWrite takes m_csRead.
    mutable plat::CCriticalSection m_csIFace{4000};
    plat::CCriticalSection m_csRead{4000};
    plat::CCriticalSection m_csWrite{4000};
    std::uint8_t m_HostPhysMACAddr[6] = {};
    std::uint32_t m_HostPhysIPAddr = 0;
    std::uint8_t m_TarnVirtMACAddr[6] = {};
    int m_nMacMode = VIFNET32_MACMODE_AUTO;
    bool m_bTarnVirtMACAddrSet = false;
    bool m_bIFaceNetMaskSet = false;
    bool m_bIFaceBroadcastSet = false;
    std::uint32_t m_IFaceNetMask = 0;
    std::uint32_t m_IFaceBroadcast = 0xFFFFFFFFu;
    std::uint8_t m_IFaceHWBroadcast[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    CSockAddrList m_MulticastList;
    CInAddrList m_TarnVirtIPAddrList;
    std::uint8_t* m_pReadBuffer = nullptr;
    std::atomic<std::uint32_t> m_nReadBufferSize{0};
    std::uint32_t m_nReadTimeout = 5000;
    std::uint8_t* m_pPacket = nullptr;
    std::uint16_t m_nPacketFlags = 0;  // the direction bits of m_pPacket's capture record
    std::uint8_t* m_pNextPacket = nullptr;
    std::uint8_t* m_pEndOfPackets = nullptr;
    std::uint8_t* m_pWriteBuffer = nullptr;
    std::uint32_t m_nWriteBufferSize = 0;
    std::uint32_t m_nMTU = 0;
    std::uint32_t m_nOpenFlags = 0;
    std::uint32_t m_nVifnetFlags = 0;
    std::atomic<std::uint32_t> m_nIFaceFlags{0};
    VIFNET32_STATS m_Stats{};
    std::wstring m_strIFaceName;
    CVFAdapter* m_pAdapter = nullptr;
    CNeighbours* m_pNeighbours = nullptr;
    std::uint32_t m_nReadSeqNum = 0;
    std::atomic<std::uint32_t> m_dwDebugFlags{kDefaultDebugFlags};
    plat::Socket m_hSockPair[2] = {plat::kInvalidSocket, plat::kInvalidSocket};
    // Notification counters: Tried and Sent are written on the reader thread, Read on the
    // caller's; the read side compares Read with Sent.
    std::atomic<std::uint64_t> nLastNotifyTried{0};
    std::atomic<std::uint64_t> nLastNotifySent{0};
    std::atomic<std::uint64_t> nLastNotifyRead{0};
    std::uint8_t* m_pMultiWriteBuffer = nullptr;
    std::uint32_t m_nMultiWriteBufferSize = 0;
    std::uint32_t m_nMultiWriteBytes = 0;
    std::uint32_t m_nMultiWritePackets = 0;
    bool m_bMultiWrite = false;
    // TUN destinations resolved lately, so that a stream of packets to one peer does not copy
    // the host's ARP table per packet. An answer is trusted for less than kDestFoundAge ms from
    // the moment the table was read, a failed look-up for less than kDestMissAge ms: a changed,
    // removed or new neighbour is seen
    // within a second. Guarded by m_csWrite, which every TUN write holds while it frames. The
    // cache is the interface's rather than the neighbour module's: a hit then costs no lock
    // beyond the write lock already held, and the module answers only the misses.
    struct DestCacheEntry {
        std::uint32_t ipAddr;
        DWORD dwTick;
        bool bUsed;
        bool bFound;
        std::uint8_t mac[6];
    };
    static constexpr unsigned kDestCacheSize = 8;
    static constexpr DWORD kDestFoundAge = 1000;
    static constexpr DWORD kDestMissAge = 500;
    DestCacheEntry m_DestCache[kDestCacheSize] = {};
    // Next hops asked of the link by this interface, from the guest's own MAC and address (the
    // host may have no address on the guest's subnet, or may not ask for it), with the frames
    // that wait for an answer. Guarded by m_csWrite.
    CNeighbourTable m_LinkNeighbours;
    // The host adapter's netmask, looked up once: the host adapter list never changes while the
    // library is loaded.
    std::uint32_t m_HostSubnetMask = 0;
    // The host's way to the guest: the socket that hands packets to the host's stack, the host
    // adapter's address, MAC and interface index as they were at up, and the guest addresses
    // the host was given a neighbour entry for. Guarded by m_csWrite.
    std::intptr_t m_hHostSocket = -1;
    std::uint32_t m_HostLinkIPAddr = 0;
    std::uint8_t m_HostLinkMACAddr[6] = {};
    std::uint32_t m_nHostLinkIfIndex = 0;
    CInAddrList m_HostLinkEntries;
    // Frames made here for the guest (a TAP guest's ARP answer for the host), a small ring that
    // Read serves first. Guarded by m_csIFace; m_nLocalFrames lets Read look without it.
    static constexpr unsigned kLocalFrameCount = 4;
    static constexpr std::uint32_t kLocalFrameSize = 60;
    std::uint8_t m_LocalFrames[kLocalFrameCount][kLocalFrameSize] = {};
    std::uint32_t m_LocalFrameLength[kLocalFrameCount] = {};
    unsigned m_nLocalHead = 0;
    std::atomic<unsigned> m_nLocalFrames{0};
    // Readiness messages for local frames carry kLocalNote instead of a buffer count; each kind
    // is counted apart, so that neither side waits for a message that the other took.
    static constexpr std::uint64_t kLocalNote = ~std::uint64_t{0};
    std::atomic<std::uint64_t> m_nLocalNotesSent{0};
    std::atomic<std::uint64_t> m_nLocalNotesRead{0};
    // A frame longer than the link carries (the host's segmentation offload) being handed out
    // as segments: it stays in m_pReadBuffer, which is not refilled meanwhile. m_csRead.
    const std::uint8_t* m_pSegFrame = nullptr;
    std::uint32_t m_nSegLength = 0;
    std::uint32_t m_nSegOffset = 0;
    // Shared mode, TAP: the guest addresses learnt from what the guest writes (its ARP and IPv4
    // sources), each with the MAC it came from, so that frames the LAN sends the host's MAC for
    // them can be given back the guest's. Written under m_csWrite, read by the read path without
    // a lock: an entry's MAC is re-checked against its address, so a read never pairs an address
    // with another's MAC for long. A full table forgets its oldest learnt entry.
    struct SharedGuest {
        std::atomic<std::uint32_t> ipAddr{0};
        std::atomic<std::uint64_t> mac{0};
    };
    static constexpr unsigned kSharedGuestCount = 16;
    SharedGuest m_SharedGuests[kSharedGuestCount];
    unsigned m_nNextSharedGuest = 0;
    std::atomic<int> m_nCallsInProgress{0};
    std::atomic<bool> m_bClosing{false};
};

// A call's hold on an interface found in the registry: the interface stays alive until the
// hold ends, even if another thread closes its descriptor meanwhile.
class CVifnetRef {
public:
    CVifnetRef() = default;
    // Takes a hold on pVF (null: no interface); the registry does this under its lock.
    explicit CVifnetRef(CVifnet* pVF) : m_pVF(pVF) {
        if (m_pVF) m_pVF->AddCall();
    }
    ~CVifnetRef() {
        if (m_pVF) m_pVF->ReleaseCall();
    }
    CVifnetRef(CVifnetRef&& other) noexcept : m_pVF(other.m_pVF) { other.m_pVF = nullptr; }
    CVifnetRef(const CVifnetRef&) = delete;
    CVifnetRef& operator=(const CVifnetRef&) = delete;
    CVifnetRef& operator=(CVifnetRef&&) = delete;
    explicit operator bool() const { return m_pVF != nullptr; }
    CVifnet* operator->() const { return m_pVF; }
    CVifnet* get() const { return m_pVF; }

private:
    CVifnet* m_pVF = nullptr;
};
