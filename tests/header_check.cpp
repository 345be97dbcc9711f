// Compiled, never run: the public headers must stand alone in C++, beside a host's own main.
#include "Korvale.h"
#include "KorvaleSim.h"

int main() {
    initMacAccessibility([](const char*, const char*) {});
    return showAccessibiltyPermisionPopup() ? 0 : 1;
}
