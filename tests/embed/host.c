/* The smallest host of an embedded Korvale: C, the public header, the nine exports. Run with no
   desktop session, the library must answer as an untrusted process and report nothing. */
#include <stdio.h>

#include "Korvale.h"

static int events = 0;

static void onEvent(const char *name, const char *json) {
    (void)name;
    (void)json;
    ++events;
}

int main(void) {
    initMacAccessibility(&onEvent);
    if (isAccessibiltyEnabled()) {
        fprintf(stderr, "FAIL isAccessibiltyEnabled() is true without a desktop session\n");
        return 1;
    }
    start("{}");
    addBlockedApps("[]");
    getDataForVelaAssist();
    if (events != 0) {
        fprintf(stderr, "FAIL %d events without a desktop session\n", events);
        return 1;
    }
    fprintf(stderr, "ok embedded library linked and answered\n");
    return 0;
}
