// The library's process hooks on Linux: start-up when the shared object is loaded, shut-down when
// it is unloaded or the process exits.
#include "platform/platform.h"
#include "platform/process.h"
#include "vifnet32.h"

namespace {

// Linux cannot refuse to load a shared object: after a failed start-up (reported on standard
// error) the library stays loaded, without tables, and every descriptor call fails.
__attribute__((constructor)) void VifnetLoad() { VifnetProcessAttach(); }

__attribute__((destructor)) void VifnetUnload() { VifnetProcessDetach(); }

}  // namespace

extern "C" VIFNET32_API unsigned int vifnet32_get_last_error(void) { return plat::GetLastErrorCode(); }
