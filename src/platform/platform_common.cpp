// The parts of the platform layer that read the same on every platform.
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"

namespace plat {

bool StartupFaultRequested(const char* step) {
    const char* fault = std::getenv("VIFNET_STARTUP_FAULT");
    return fault && std::strcmp(fault, step) == 0;
}

}  // namespace plat
