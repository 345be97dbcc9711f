// Chooses the platform backend once per process. Which backends exist is fixed when the library
// is built; which one runs is chosen at first use:
//   - KORVALE_BACKEND=sim, or a call of the simulated desktop's control API (ksim_*) before the
//     first use, chooses the simulated desktop;
//   - otherwise the Linux backend (when built) where a desktop session is present: DISPLAY set
//     and the accessibility bus answering (KORVALE_BACKEND=linux waits up to 10 s for a session
//     that is still starting);
//   - otherwise the simulated desktop, the only backend that always exists.
#include <cstdlib>
#include <cstring>

#include "platform/Platform.h"
#include "platform/sim/SimDesktop.h"
#ifdef KORVALE_HAVE_LINUX_BACKEND
#include "platform/linux/LinuxBackend.h"
#endif

namespace korvale::platform {

namespace {

bool& simulatedRequested() {
    static bool requested = false;
    return requested;
}

Platform* chooseBackend() {
    const char* wanted = std::getenv("KORVALE_BACKEND");
    const bool wantsSim = simulatedRequested() || (wanted && std::strcmp(wanted, "sim") == 0);
#ifdef KORVALE_HAVE_LINUX_BACKEND
    if (!wantsSim)
        if (Platform* real = linuxdesk::linuxPlatform()) return real;
#else
    (void)wantsSim;
#endif
    return &sim::Desktop::instance().platform();
}

}  // namespace

// Called by the control API: once a backend is chosen, the choice stands.
void requestSimulatedBackend() { simulatedRequested() = true; }

Platform& current() {
    static Platform* chosen = chooseBackend();
    return *chosen;
}

}  // namespace korvale::platform
