/* Compiled, never run: the public headers must stand alone in C, beside a host's own main. */
#include "Korvale.h"
#include "KorvaleSim.h"

static void on_event(const char *name, const char *json) { (void)name; (void)json; }

int main(int argc, char **argv) {
    (void)argc;
    (void)argv;
    initMacAccessibility(on_event);
    return isAccessibiltyEnabled() ? 0 : 1;
}
