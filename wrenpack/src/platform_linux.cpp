#include "wp_platform.h"

#include <sys/eventfd.h>
#include <unistd.h>

namespace wp {

// Linux has no thread error code of its own: keep the Windows-style one here.
static thread_local uint32_t t_lastError = 0;

uint32_t last_error() { return t_lastError; }
void set_last_error(uint32_t code) { t_lastError = code; }

WP_EVENT event_create() {
    int fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    return fd < 0 ? WP_NO_EVENT : fd;
}

void event_destroy(WP_EVENT event) {
    if (event != WP_NO_EVENT) close(event);
}

void event_set(WP_EVENT event) {
    uint64_t one = 1;
    [[maybe_unused]] ssize_t n = write(event, &one, sizeof one);
}

void event_clear(WP_EVENT event) {
    uint64_t count;
    [[maybe_unused]] ssize_t n = read(event, &count, sizeof count);  // drains the whole counter
}

}  // namespace wp
