/* Loads the library and reports what a caller sees, for the start-up failure tests. */
#include <errno.h>
#include <stdio.h>

#if defined(_WIN32)
#include <windows.h>

/* Windows refuses to load a library whose start-up failed. */
int main(void) {
    HMODULE library = LoadLibraryA("Vifnet64U.dll");
    if (!library) {
        printf("load failed: %lu\n", GetLastError());
        return 0;
    }
    printf("loaded\n");
    return 0;
}
#else
#include "vifnet32.h"

/* Linux cannot refuse the load: the library stays, without tables, and every call fails. */
int main(void) {
    int rc = vifnet32_close(12345);
    /* Standard error, like the library's own start-up message, so the two stay in order. */
    fprintf(stderr, "close=%d errno=%d\n", rc, errno);
    return 0;
}
#endif
