#include "wp_platform.h"

#include <windows.h>

namespace wp {

uint32_t last_error() { return GetLastError(); }
void set_last_error(uint32_t code) { SetLastError(code); }

WP_EVENT event_create() {
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    return event ? event : WP_NO_EVENT;
}

void event_destroy(WP_EVENT event) {
    if (event != WP_NO_EVENT) CloseHandle(event);
}

void event_set(WP_EVENT event) { SetEvent(event); }
void event_clear(WP_EVENT event) { ResetEvent(event); }

}  // namespace wp
