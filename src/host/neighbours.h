// The host's neighbours: static entries of the host's ARP table set and deleted for the caller,
// and the lookups between IPv4 and MAC addresses that the ARP requests and the TUN write path
// use. Interfaces are given the module when they are made, rather than reaching for the
// registry; what only the registry knows (the other guests of this process) it asks through
// CGuestDirectory.
#pragma once

#include <cstdint>

#include "platform/iphelper.h"
#include "platform/platform.h"
#include "trace/failure.h"

// The guests of the calling process, as the registry knows them. IPv4 addresses are in network
// order. A lookup may take the registry's lock briefly; it never waits for the network.
class CGuestDirectory {
public:
    // The MAC of the guest that owns the address; false if no guest of this process does.
    virtual bool FindGuestMAC(std::uint32_t ip, std::uint8_t mac[6]) = 0;
    // The first address of the guest whose MAC this is; false if no guest of this process has it.
    virtual bool FindGuestIP(const std::uint8_t mac[6], std::uint32_t* ip) = 0;

protected:
    ~CGuestDirectory() = default;
};

class CNeighbours : public CErrorPair {
public:
    explicit CNeighbours(CGuestDirectory& guests) : m_Guests(guests) {}
    CNeighbours(const CNeighbours&) = delete;
    CNeighbours& operator=(const CNeighbours&) = delete;

    // IPv4 addresses are 4 bytes in network order, MAC addresses 6 bytes. On failure the pair is
    // recorded and raised; an address nothing knows is ENOENT / ERROR_NOT_FOUND without a
    // message.
    bool SetARPTableEntry(const std::uint8_t* ipAddr, const std::uint8_t* macAddr);
    bool DelARPTableEntry(const std::uint8_t* ipAddr);
    // Asks, in order, the host's adapters, the host's ARP table and the guests of this process
    // (so that a guest's addresses resolve without traffic), and only then the network, with no
    // lock held: it may wait for an ARP exchange. Zeroes the output first.
    bool GetMACAddrForIP(const std::uint8_t* ipAddr, std::uint8_t* macAddr);
    // The same order without the network, for a path that must not wait: the TUN write path,
    // which asks the link itself when nothing here knows the address (network order).
    bool FindMACAddrForIP(std::uint32_t ipAddr, std::uint8_t* macAddr);
    // The same order without the network. Sets the output to 0 first.
    bool GetIPAddrForMAC(std::uint8_t* ipAddr, const std::uint8_t* macAddr);
    bool DelRARPTableEntry(const std::uint8_t* macAddr);

private:
    // The adapters, the host's table and the guests: 1 with the MAC, 0 when none knows the
    // address, -1 when the host's table could not be read (pair recorded and raised).
    int FindKnownMAC(std::uint32_t ip, std::uint8_t* macAddr);
    // The host's ARP table, copied into a new buffer that the caller frees with
    // ::operator delete; null on failure (pair recorded and raised).
    plat::IpNetTable* GetCopyOfWinIpNetTable();
    // The host interface that reaches the address (network order), for the entries set and
    // deleted on its behalf.
    DWORD GetBestIfIndex(std::uint32_t ipAddr);
    bool IsLoopbackIfIndex(DWORD ifIndex);
    DWORD EditTableRow(const std::uint8_t* ipAddr, const std::uint8_t* macAddr, DWORD (*edit)(const plat::IpNetRow*));
    // "Invalid parameters from process <pid>" for the operation named.
    Failure FailParameters(const wchar_t* operation);
    // The services answer for the application object, so their failures name it.
    // Writes "** CVifnet32App::<operation>: <text>\n" as the failure of the operation; FailOpRc
    // writes the system's text of the code before the line end ("; rc=<code>: <text>").
    Failure FailOp(int nErrno, DWORD code, const std::wstring& operation, const wchar_t* format, ...);
    Failure FailOpRc(int nErrno, DWORD code, const std::wstring& operation, const wchar_t* format, ...);

    CGuestDirectory& m_Guests;
    // One change of the host's table at a time, with the interface it is made on chosen under
    // the same hold.
    plat::CCriticalSection m_csTable{4000};
};
