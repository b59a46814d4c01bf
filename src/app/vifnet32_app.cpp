#include "app/vifnet32_app.h"

#include <cwctype>
#include <new>

#include "adapter/vf_adapter.h"
#include "host/adapter_list.h"
#include "trace/trace.h"
#include "wrenlib.h"

// theApp lives in static storage and is constructed by the process start-up hook, not by the
// C++ run time, so that its life is exactly the process attach-to-detach span whatever order
// the run time initialises the library's other objects in.
alignas(CVifnet32App) static unsigned char s_appStorage[sizeof(CVifnet32App)];
CVifnet32App& theApp = *reinterpret_cast<CVifnet32App*>(s_appStorage);

static bool s_bConstructed = false;
static bool s_bStarted = false;

bool VifnetProcessAttach() {
    new (s_appStorage) CVifnet32App;
    s_bConstructed = true;
    s_bStarted = theApp.InitInstance();
    // A failed start-up is shut down at once. The object stays until the detach hook, so that a
    // platform that cannot refuse the load still finds an application without tables (and every
    // call fails cleanly) rather than a destroyed one.
    if (!s_bStarted) theApp.ExitInstance();
    return s_bStarted;
}

void VifnetProcessDetach() {
    if (!s_bConstructed) return;
    if (s_bStarted) theApp.ExitInstance();
    s_bStarted = false;
    s_bConstructed = false;
    theApp.~CVifnet32App();
}

CVifnet32App::CVifnet32App() = default;

CVifnet32App::~CVifnet32App() {
    DestroyAllVifnets();
    plat::CSingleLock lock(m_csApp);
    VF_ASSERT(m_VF2AdapterMap.empty());
    VF_ASSERT(m_AdapterList.empty());
    VF_ASSERT(m_Adapter2PosMap.empty());
    VF_ASSERT(m_P2fdMap.empty());
    VF_ASSERT(m_P2NameMap.empty());
}

bool CVifnet32App::InitInstance() {
    m_strVersion = VIFNET32_VERSION_STRING;
    const DWORD pid = plat::GetCurrentProcessId();
    if (!plat::SocketsStartup()) {
        DebugTrace(L"** CVifnet32App::InitInstance: Windows sockets initialization failed for process %08.8X\n", pid);
        plat::ShowStartupFailure(101);
        return false;
    }
    VF_ASSERT(m_P2fdMap.find(pid) == m_P2fdMap.end());
    VF_ASSERT(m_P2NameMap.find(pid) == m_P2NameMap.end());
    std::unique_ptr<Cfd2VFPtrMap> fdMap;
    std::unique_ptr<CName2VFPtrMap> nameMap;
    if (!plat::StartupFaultRequested("maps")) {
        fdMap.reset(new (std::nothrow) Cfd2VFPtrMap);
        nameMap.reset(new (std::nothrow) CName2VFPtrMap);
    } else {
        plat::SetErrno(VF_ENOMEM);
        plat::SetLastErrorCode(VF_ERROR_NOT_ENOUGH_MEMORY);
    }
    if (fdMap && nameMap) {
        fdMap->reserve(7);
        nameMap->reserve(7);
        plat::CSingleLock lock(m_csApp);
        m_P2fdMap[pid] = std::move(fdMap);
        m_P2NameMap[pid] = std::move(nameMap);
        return true;
    }
    RecordError(plat::GetErrno(), plat::GetLastErrorCode());
    DebugTrace(L"** CVifnet32App::InitInstance: failed to create maps for process %08.8X; rc=%d: %s\n", pid, GetLastErrorCode(),
               FormatLastError(GetLastErrorCode()).c_str());
    plat::ShowStartupFailure(102);
    ::RaiseError(GetErrno(), GetLastErrorCode());
    return false;
}

int CVifnet32App::ExitInstance() {
    const DWORD pid = plat::GetCurrentProcessId();
    {
        plat::CSingleLock lock(m_csApp);
        Cfd2VFPtrMap* fdMap = GetFd2VFPtrMap(pid);
        CName2VFPtrMap* nameMap = GetName2VFPtrMap(pid);
        VF_ASSERT(fdMap != nullptr);
        VF_ASSERT(nameMap != nullptr);
        if (fdMap) {
            // Close removes the entry just taken, so walk from the head each time.
            while (!fdMap->empty()) {
                auto [fd, vf] = *fdMap->begin();
                VF_ASSERT(fd != -1);
                VF_ASSERT(vf != nullptr);
                int rc = Close(fd);
                VF_ASSERT(rc == 0);
                if (rc != 0) fdMap->erase(fd);
            }
        }
        VF_ASSERT(m_P2fdMap.erase(pid) == 1);
        VF_ASSERT(m_P2NameMap.erase(pid) == 1);
        FreeWPAdaptersList();
    }
    plat::SocketsCleanup();
    return 0;
}

Cfd2VFPtrMap* CVifnet32App::GetFd2VFPtrMap(DWORD pid) {
    auto it = m_P2fdMap.find(pid);
    if (it == m_P2fdMap.end()) return nullptr;
    VF_ASSERT(it->second != nullptr);
    return it->second.get();
}

CName2VFPtrMap* CVifnet32App::GetName2VFPtrMap(DWORD pid) {
    auto it = m_P2NameMap.find(pid);
    if (it == m_P2NameMap.end()) return nullptr;
    VF_ASSERT(it->second != nullptr);
    return it->second.get();
}

CVifnet* CVifnet32App::GetVFPtrFromfd(Cfd2VFPtrMap* map, int fd) {
    if (!map) return nullptr;
    auto it = map->find(fd);
    if (it == map->end()) return nullptr;
    VF_ASSERT(it->second != nullptr);
    return it->second;
}

CVifnet* CVifnet32App::GetVFPtrFromName(CName2VFPtrMap* map, const wchar_t* name) {
    if (!map || !name) return nullptr;
    auto it = map->find(name);
    if (it == map->end()) return nullptr;
    VF_ASSERT(it->second != nullptr);
    return it->second;
}

CVifnetRef CVifnet32App::LookupFd(int fd) {
    plat::CSingleLock lock(m_csApp);
    return CVifnetRef(GetVFPtrFromfd(GetFd2VFPtrMap(plat::GetCurrentProcessId()), fd));
}

CVifnetRef CVifnet32App::LookupName(const wchar_t* name) {
    plat::CSingleLock lock(m_csApp);
    return CVifnetRef(GetVFPtrFromName(GetName2VFPtrMap(plat::GetCurrentProcessId()), name));
}

int CVifnet32App::GetFileDescriptor(DWORD pid, CVifnet* pVF) {
    VF_ASSERT(pVF != nullptr);
    const int fd = pVF ? pVF->GetReadEndSocket() : -1;
    if (fd == -1) {
        VF_ASSERT(false);
        return -1;
    }
    plat::CSingleLock lock(m_csApp);
    Cfd2VFPtrMap* fdMap = GetFd2VFPtrMap(pid);
    if (!fdMap) {
        VF_ASSERT(false);
        return -1;
    }
    VF_ASSERT(fdMap->find(fd) == fdMap->end());
    try {
        (*fdMap)[fd] = pVF;
    } catch (const std::bad_alloc&) {
        return Fail(VF_ENOMEM, VF_ERROR_NOT_ENOUGH_MEMORY, nullptr);
    }
    return fd;
}

int CVifnet32App::CountVifnetNames(int flags) {
    plat::CSingleLock lock(m_csApp);
    CName2VFPtrMap* names = GetName2VFPtrMap(plat::GetCurrentProcessId());
    VF_ASSERT(names != nullptr);
    return names ? names->NamesGiven(flags) : 0;
}

void CVifnet32App::DestroyAllVifnets() {
    plat::CSingleLock lock(m_csApp);
    while (!m_VF2AdapterMap.empty()) {
        auto [vf, adapter] = *m_VF2AdapterMap.begin();
        VF_ASSERT(vf != nullptr);
        VF_ASSERT(adapter != nullptr);
        DetachFromAdapter(vf, adapter);
        delete vf;
    }
    // What is left are adapters whose only Open failed while building its interface: they are
    // kept for reuse while the library runs, and go with it.
    for (CVFAdapter* adapter : m_AdapterList)
        delete adapter;
    m_AdapterList.clear();
    m_Adapter2PosMap.clear();
}

Failure CVifnet32App::FailUnknownDescriptor(const wchar_t* operation, int fd) {
    return FailOpRc(VF_EBADF, VF_ERROR_INVALID_HANDLE, operation, L"GetVFPtrFromfd(%d) failed for process %08.8X", fd,
                    plat::GetCurrentProcessId());
}

Failure CVifnet32App::FailOp(int nErrno, DWORD code, const std::wstring& operation, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    FailOpV(nErrno, code, false, L"** CVifnet32App", operation, format, args);
    va_end(args);
    return {};
}

Failure CVifnet32App::FailOpRc(int nErrno, DWORD code, const std::wstring& operation, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    FailOpV(nErrno, code, true, L"** CVifnet32App", operation, format, args);
    va_end(args);
    return {};
}
