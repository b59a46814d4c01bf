// The little the simulated driver needs from the operating system.
#ifndef WP_PLATFORM_H
#define WP_PLATFORM_H

#include "wrenpack.h"

#include <stdint.h>

namespace wp {

// The calling thread's Windows error code as the driver reports it (GetLastError on Windows).
uint32_t last_error();
void set_last_error(uint32_t code);

// A manual-reset read event, initially clear; WP_NO_EVENT when none could be made. Windows: an
// event HANDLE. Linux: a non-blocking eventfd that polls readable while set. These may change
// errno and the thread's error code; the driver restores them.
WP_EVENT event_create();
void event_destroy(WP_EVENT event);
void event_set(WP_EVENT event);
void event_clear(WP_EVENT event);

}  // namespace wp

#endif
