// Link-level neighbours and their waiting frames (see neighbour_table.h).
#include "host/neighbour_table.h"

#include <cstring>
#include <new>

static_assert(CNeighbourTable::kQueueSlots <= 32, "one bit per slot");

bool CNeighbourTable::Reserve(std::uint32_t nFrameBytes) {
    if (m_pSlots && m_nSlotBytes == nFrameBytes) return true;
    auto* slots = new (std::nothrow) std::uint8_t[std::size_t{nFrameBytes} * kQueueSlots];
    if (!slots) return false;
    for (Entry& e : m_Entries) DropQueue(e);
    delete[] m_pSlots;
    m_pSlots = slots;
    m_nSlotBytes = nFrameBytes;
    m_nFreeSlots = kQueueSlots == 32 ? 0xFFFFFFFFu : (1u << kQueueSlots) - 1;
    return true;
}

CNeighbourTable::Entry* CNeighbourTable::Lookup(std::uint32_t ipAddr) {
    for (Entry& e : m_Entries) {
        if (e.state != State::Free && e.ipAddr == ipAddr) return &e;
    }
    return nullptr;
}

// A free entry, else the one that matters least: a given-up or known address before one being
// asked (whose frames go with it), the longest unconfirmed first.
CNeighbourTable::Entry* CNeighbourTable::Take(std::uint32_t ipAddr, DWORD now) {
    Entry* victim = nullptr;
    for (Entry& e : m_Entries) {
        if (e.state == State::Free) {
            victim = &e;
            break;
        }
        if (!victim || (victim->state == State::Unresolved && e.state != State::Unresolved) ||
            ((victim->state == State::Unresolved) == (e.state == State::Unresolved) && now - e.dwSince > now - victim->dwSince)) {
            victim = &e;
        }
    }
    DropQueue(*victim);
    if (IsAsking(victim->state)) --m_nAsking;
    *victim = Entry{};
    victim->ipAddr = ipAddr;
    victim->dwSince = now;
    return victim;
}

void CNeighbourTable::Ask(Entry& e, DWORD now, State state) {
    if (!IsAsking(e.state)) ++m_nAsking;
    e.state = state;
    e.nAsked = 1;
    e.dwAsked = now;
    Bump(m_nRequests);
}

bool CNeighbourTable::Step(Entry& e, DWORD now) {
    if (now - e.dwAsked < m_Timing.dwRetry) return false;
    if (e.nAsked < m_Timing.nRequests) {
        ++e.nAsked;
        e.dwAsked = now;
        Bump(m_nRequests);
        return true;
    }
    // Unanswered: the address is given up, and so are the frames that waited for it.
    --m_nAsking;
    DropQueue(e);
    Bump(m_nGivenUp);
    e.state = State::Failed;
    e.dwSince = now;
    return false;
}

CNeighbourTable::Answer CNeighbourTable::Resolve(std::uint32_t ipAddr, DWORD now, std::uint8_t mac[6]) {
    Entry* e = Lookup(ipAddr);
    if (!e) {
        e = Take(ipAddr, now);
        Ask(*e, now, State::Unresolved);
        return {Verdict::Queue, true};
    }
    switch (e->state) {
    case State::Reachable:
        std::memcpy(mac, e->mac, 6);
        if (now - e->dwSince < m_Timing.dwReachable) return {Verdict::Send, false};
        // Time to confirm it; until the answer, or until it is given up, the MAC still serves.
        Ask(*e, now, State::Confirming);
        return {Verdict::Send, true};
    case State::Confirming: {
        const bool ask = Step(*e, now);
        if (e->state == State::Failed) break;
        std::memcpy(mac, e->mac, 6);
        return {Verdict::Send, ask};
    }
    case State::Unresolved: {
        const bool ask = Step(*e, now);
        if (e->state == State::Failed) break;
        return {Verdict::Queue, ask};
    }
    case State::Reasking:
        return {Verdict::Fallback, Step(*e, now)};
    case State::Failed:
        if (now - e->dwSince < m_Timing.dwFailedHold) break;
        Ask(*e, now, State::Reasking);
        return {Verdict::Fallback, true};
    case State::Free:
        break;
    }
    return {Verdict::Fallback, false};
}

bool CNeighbourTable::Enqueue(std::uint32_t ipAddr, const std::uint8_t* frame, std::uint32_t length) {
    Entry* e = Lookup(ipAddr);
    if (!e || e->state != State::Unresolved || !m_pSlots || length > m_nSlotBytes) {
        Bump(m_nDropped);
        return false;
    }
    std::uint8_t slot;
    if (e->nQueued == kQueuePerDest) {
        slot = e->queue[0];
        std::memmove(e->queue, e->queue + 1, kQueuePerDest - 1);
        --e->nQueued;
        Bump(m_nDropped);
    } else if (m_nFreeSlots != 0) {
        slot = 0;
        while (!(m_nFreeSlots & (1u << slot))) ++slot;
        m_nFreeSlots &= ~(1u << slot);
    } else {
        Bump(m_nDropped);
        return false;
    }
    std::memcpy(m_pSlots + std::size_t{slot} * m_nSlotBytes, frame, length);
    m_nSlotLength[slot] = length;
    e->queue[e->nQueued++] = slot;
    Bump(m_nQueued);
    return true;
}

bool CNeighbourTable::Dequeue(std::uint32_t ipAddr, std::uint8_t** frame, std::uint32_t* length) {
    Entry* e = Lookup(ipAddr);
    if (!e || e->nQueued == 0) return false;
    const std::uint8_t slot = e->queue[0];
    std::memmove(e->queue, e->queue + 1, kQueuePerDest - 1);
    --e->nQueued;
    m_nFreeSlots |= 1u << slot;
    *frame = m_pSlots + std::size_t{slot} * m_nSlotBytes;
    *length = m_nSlotLength[slot];
    return true;
}

void CNeighbourTable::DropQueue(Entry& e) {
    for (unsigned i = 0; i < e.nQueued; ++i) m_nFreeSlots |= 1u << e.queue[i];
    Bump(m_nDropped, e.nQueued);
    e.nQueued = 0;
}

bool CNeighbourTable::Learn(std::uint32_t ipAddr, const std::uint8_t mac[6], DWORD now, bool bCreate) {
    Entry* e = Lookup(ipAddr);
    if (!e) {
        if (!bCreate) return false;
        e = Take(ipAddr, now);
    }
    if (IsAsking(e->state)) --m_nAsking;
    e->state = State::Reachable;
    std::memcpy(e->mac, mac, 6);
    e->dwSince = now;
    return e->nQueued != 0;
}

unsigned CNeighbourTable::Tick(DWORD now, std::uint32_t* due, unsigned max) {
    unsigned n = 0;
    for (Entry& e : m_Entries) {
        if (m_nAsking == 0) break;
        if (IsAsking(e.state) && n < max && Step(e, now)) due[n++] = e.ipAddr;
    }
    return n;
}
