/* Loads the library and reports what a call sees, for the start-up failure tests. */
#include <errno.h>
#include <stdio.h>

#include "vifnet32.h"

int main(void) {
    int rc = vifnet32_close(12345);
    /* Standard error, like the library's own start-up message, so the two stay in order. */
    fprintf(stderr, "close=%d errno=%d\n", rc, errno);
    return 0;
}
