// Chooses the platform backend once per process. Which backends exist is fixed when the library
// is built; which one runs is chosen at first use, from KORVALE_BACKEND when it names one. This
// build has only the simulated desktop, so it is the default.
#include <cstdlib>
#include <cstring>

#include "platform/Platform.h"
#include "platform/sim/SimDesktop.h"

namespace korvale::platform {

Platform& current() {
    static Platform* chosen = [] {
        const char* wanted = std::getenv("KORVALE_BACKEND");
        (void)wanted;  // "sim" is the only backend of this build
        return &sim::Desktop::instance().platform();
    }();
    return *chosen;
}

}  // namespace korvale::platform
