// The neighbours a guest's interface learns on the link itself, and the frames that wait for one:
// what the host's table cannot tell (its adapter has no address on the guest's subnet, or the
// system will not ask the link for it) is asked of the link by the interface, and nothing that
// sends ever waits for the answer. A destination goes through the states a kernel's neighbour
// cache uses: unresolved (asked, frames queued), reachable (confirmed lately), confirming (the
// old MAC still used while asked again) and failed. A failed address is not a dead end, as the
// host's own MAC has always been the last resort of a guest's frame: its frames take the
// owner's fallback, and after a while it is asked again without holding them back. Time is
// passed in, so that the table needs no clock and no thread of its own: the next use of an entry
// moves it on. No lock of its own either: its owner guards it.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/platform.h"

class CNeighbourTable {
public:
    struct Timing {
        DWORD dwReachable = 30000;  // an answer is trusted this long before it is confirmed again
        DWORD dwRetry = 1000;       // between two requests for the same address
        unsigned nRequests = 3;     // requests unanswered before the address is given up
        DWORD dwFailedHold = 10000;  // how long a given-up address is left unasked
    };
    static constexpr unsigned kEntries = 32;
    // Frames kept per unresolved address, as a kernel keeps them; the oldest goes first.
    static constexpr unsigned kQueuePerDest = 3;
    static constexpr unsigned kQueueSlots = 32;

    enum class Verdict { Send, Queue, Fallback };
    struct Answer {
        Verdict verdict;
        bool bAsk;  // an ARP request for the address is due now
    };

    CNeighbourTable() = default;
    explicit CNeighbourTable(const Timing& timing) : m_Timing(timing) {}
    ~CNeighbourTable() { delete[] m_pSlots; }
    CNeighbourTable(const CNeighbourTable&) = delete;
    CNeighbourTable& operator=(const CNeighbourTable&) = delete;

    // Room for queued frames of up to `nFrameBytes` each, made once (again only when the size
    // changes, which drops what was queued); false when it cannot be had.
    bool Reserve(std::uint32_t nFrameBytes);
    // What to do with a frame for `ipAddr` (network order) at `now`: send it to `mac`, queue it
    // (Enqueue) until the address is answered, or send it to the owner's fallback.
    Answer Resolve(std::uint32_t ipAddr, DWORD now, std::uint8_t mac[6]);
    // Keeps a frame for an address Resolve said to queue, dropping that address's oldest beyond
    // kQueuePerDest; false (the frame dropped) when it has no room.
    bool Enqueue(std::uint32_t ipAddr, const std::uint8_t* frame, std::uint32_t length);
    // `ipAddr` is at `mac` as of `now`: an entry is confirmed or follows a changed MAC, and is
    // made if `bCreate`. True when frames wait for it (Dequeue them).
    bool Learn(std::uint32_t ipAddr, const std::uint8_t mac[6], DWORD now, bool bCreate);
    // The oldest frame queued for `ipAddr`, taken off its queue; the bytes stay valid until the
    // next Enqueue.
    bool Dequeue(std::uint32_t ipAddr, std::uint8_t** frame, std::uint32_t* length);
    // Moves on every address still being asked: fills `due` with up to `max` addresses whose
    // next request is due, and gives up (dropping their frames) those asked enough. The count.
    unsigned Tick(DWORD now, std::uint32_t* due, unsigned max);
    // Whether any address is being asked, so that a caller calls Tick only then.
    bool Asking() const { return m_nAsking != 0; }

    // Frames queued, frames dropped (unanswered, or no room), requests asked and addresses
    // given up, since made.
    std::uint64_t Queued() const { return m_nQueued.load(std::memory_order_relaxed); }
    std::uint64_t GivenUp() const { return m_nGivenUp.load(std::memory_order_relaxed); }
    std::uint64_t Dropped() const { return m_nDropped.load(std::memory_order_relaxed); }
    std::uint64_t Requests() const { return m_nRequests.load(std::memory_order_relaxed); }

private:
    enum class State : std::uint8_t { Free, Unresolved, Reachable, Confirming, Failed, Reasking };
    static bool IsAsking(State s) { return s == State::Unresolved || s == State::Confirming || s == State::Reasking; }
    struct Entry {
        std::uint32_t ipAddr;
        State state;
        std::uint8_t mac[6];
        std::uint8_t nAsked;  // requests sent in this round of asking
        std::uint8_t nQueued;
        std::uint8_t queue[kQueuePerDest];  // slot numbers, oldest first
        DWORD dwSince;                      // confirmed, or given up
        DWORD dwAsked;                      // last request
    };

    Entry* Lookup(std::uint32_t ipAddr);
    Entry* Take(std::uint32_t ipAddr, DWORD now);
    // Starts a round of asking for the entry.
    void Ask(Entry& e, DWORD now, State state);
    // The retry and give-up timing of an entry being asked: true when a request is due now.
    bool Step(Entry& e, DWORD now);
    void DropQueue(Entry& e);
    static void Bump(std::atomic<std::uint64_t>& counter, std::uint64_t n = 1) {
        counter.store(counter.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
    }

    Timing m_Timing;
    Entry m_Entries[kEntries] = {};
    unsigned m_nAsking = 0;
    std::uint8_t* m_pSlots = nullptr;
    std::uint32_t m_nSlotBytes = 0;
    std::uint32_t m_nSlotLength[kQueueSlots] = {};
    std::uint32_t m_nFreeSlots = 0;  // one bit per free slot
    // Written under the owner's lock; read without it.
    std::atomic<std::uint64_t> m_nQueued{0};
    std::atomic<std::uint64_t> m_nDropped{0};
    std::atomic<std::uint64_t> m_nRequests{0};
    std::atomic<std::uint64_t> m_nGivenUp{0};
};
