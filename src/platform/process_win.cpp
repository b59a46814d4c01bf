// The library's process hooks on Windows.
#include <windows.h>

#include "platform/process.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID /*reserved*/) {
    switch (reason) {
        case DLL_PROCESS_ATTACH:
            DisableThreadLibraryCalls(instance);
            return VifnetProcessAttach() ? TRUE : FALSE;
        case DLL_PROCESS_DETACH:
            VifnetProcessDetach();
            break;
        default:
            break;
    }
    return TRUE;
}
