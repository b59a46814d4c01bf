// The application object: the one per-process registry of the library. It turns descriptors and
// interface names into interfaces, keeps the opened host adapters, and carries every export.
#pragma once

#include <list>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>

#include "host/neighbours.h"
#include "iface/vifnet.h"
#include "platform/platform.h"
#include "platform/process.h"
#include "trace/failure.h"
#include "vifnet32.h"

class CVFAdapter;

// Descriptor -> interface, and interface name -> interface, of one process. Neither owns the
// interfaces: they are owned through the interface-to-adapter map.
using Cfd2VFPtrMap = std::unordered_map<int, CVifnet*>;
// Names are numbered per prefix by how many names that prefix has had in the process, closed
// interfaces' names included, so a name is never given twice. An interface is named at most once
// (its mode is chosen once), so the names of a prefix are always its first n numbers, and a
// count per prefix is all that naming needs of the closed ones: they leave the table.
struct CName2VFPtrMap : std::unordered_map<std::wstring, CVifnet*> {
    int nTunNames = 0;
    int nTapNames = 0;
    int& NamesGiven(int flags) { return (flags & 3) == 1 ? nTunNames : nTapNames; }
};
// Process id -> that process's tables (owned).
using CP2Cfd2VFPtrMapMap = std::unordered_map<DWORD, std::unique_ptr<Cfd2VFPtrMap>>;
using CP2Name2VFPtrMapMap = std::unordered_map<DWORD, std::unique_ptr<CName2VFPtrMap>>;

class CVifnet32App : public CErrorPair, public CGuestDirectory {
public:
    CVifnet32App();
    virtual ~CVifnet32App();
    CVifnet32App(const CVifnet32App&) = delete;
    CVifnet32App& operator=(const CVifnet32App&) = delete;

    // Per-process start-up and shut-down.
    bool InitInstance();
    int ExitInstance();

    const char* GetVersionString() const { return m_strVersion.c_str(); }

    // Plain lookups; the caller holds the application lock.
    Cfd2VFPtrMap* GetFd2VFPtrMap(DWORD pid);
    CName2VFPtrMap* GetName2VFPtrMap(DWORD pid);
    CVifnet* GetVFPtrFromfd(Cfd2VFPtrMap* map, int fd);
    CVifnet* GetVFPtrFromName(CName2VFPtrMap* map, const wchar_t* name);
    // The same for the calling process, holding the lock only while they search. The result
    // holds the interface for the call: closing it meanwhile waits for the call to end.
    CVifnetRef LookupFd(int fd);
    CVifnetRef LookupName(const wchar_t* name);
    // Registers the interface's descriptor in the process's descriptor table; the descriptor or
    // -1.
    int GetFileDescriptor(DWORD pid, CVifnet* pVF);

    // Names the calling process has given beginning with "tun" ((flags & 3) == 1) or "tap"
    // (otherwise), those of closed interfaces included.
    int CountVifnetNames(int flags);

    // Open and close.
    int Open(const char* gateway, int flags);
    int Close(int fd);
    CVFAdapter* CreateAdapter(const char* gateway);
    // Ends an interface's association with its adapter; destroys the adapter with its last one.
    void DetachFromAdapter(CVifnet* pVF, CVFAdapter* pAdapter);

    // Descriptor-based calls.
    int Read(int fd, void* buffer, int size);
    int Write(int fd, const void* packet, int length);
    int BegMultiWrite(int fd, int size);
    int EndMultiWrite(int fd);
    int GetVifnetStats(int fd, VIFNET32_STATS* pStats);
    int IOCtl(int fd, int request, void* record);

    // The host ARP and RARP table services, which every interface is given.
    CNeighbours& GetNeighbours() { return m_Neighbours; }
    // The guests of the calling process (guests.cpp): the addresses of its interfaces, searched
    // under the application lock, which is held for nothing else meanwhile.
    bool FindGuestMAC(std::uint32_t ip, std::uint8_t mac[6]) override;
    bool FindGuestIP(const std::uint8_t mac[6], std::uint32_t* ip) override;

    // A connected pair of stream sockets (the descriptor of every interface is one end of one).
    int socketpair(int domain, int type, int protocol, int sv[2]);

    // TUNSETIFF: chooses the interface's mode and names it.
    int SetIFF(CVifnet* pVF, vifnet32_ifreq* req);

private:
    // Waits until no call holds the interface, letting go of the application lock meanwhile;
    // false if calls still hold it after the longest wait.
    bool WaitForCalls(CVifnet* pVF, plat::CSingleLock& lock);
    // Removes the interface's names from the name table; they keep counting for naming.
    void RetireNames(DWORD pid, CVifnet* pVF);
    // Detaches and deletes every interface still associated, and destroys every adapter.
    void DestroyAllVifnets();
    // Reports a descriptor that the calling process has not open, for the operation named.
    Failure FailUnknownDescriptor(const wchar_t* operation, int fd);
    // Writes "** CVifnet32App::<operation>: <text>\n" as the failure of the operation; FailOpRc
    // writes the system's text of the code before the line end ("; rc=<code>: <text>").
    Failure FailOp(int nErrno, DWORD code, const std::wstring& operation, const wchar_t* format, ...);
    Failure FailOpRc(int nErrno, DWORD code, const std::wstring& operation, const wchar_t* format, ...);

    std::string m_strVersion;
    plat::CCriticalSection m_csApp{4000};
    CP2Cfd2VFPtrMapMap m_P2fdMap;
    CP2Name2VFPtrMapMap m_P2NameMap;
    std::list<CVFAdapter*> m_AdapterList;
    std::map<CVFAdapter*, std::list<CVFAdapter*>::iterator> m_Adapter2PosMap;
    std::map<CVifnet*, CVFAdapter*> m_VF2AdapterMap;
    CNeighbours m_Neighbours{*this};
};

// The library's application object, alive from the process's start-up hook to its shut-down
// hook.
extern CVifnet32App& theApp;
