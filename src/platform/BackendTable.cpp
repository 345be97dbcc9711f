// The backends built into this library, in order of preference. This unit is compiled once per
// library: libKorvale-Project lists the real desktops only; libKorvale-Sim (KORVALE_SIM_BACKEND)
// lists the simulated desktop too, chosen only when asked for. A new backend adds one entry here
// with its {name, connect} and, where its host runs a loop of its own, the loop to wait on.
#include "platform/Backend.h"

#ifdef KORVALE_SIM_BACKEND
#include "platform/sim/SimDesktop.h"
#endif
#ifdef KORVALE_HAVE_LINUX_BACKEND
#include "platform/linux/LinuxBackend.h"
#endif
#ifdef KORVALE_HAVE_MACOS_BACKEND
#include "platform/macos/MacBackend.h"
#endif

namespace korvale::platform {

namespace {

#ifdef KORVALE_SIM_BACKEND
Platform* connectSimulated() { return &sim::Desktop::instance().platform(); }
#endif

const BackendEntry kBackends[] = {
#ifdef KORVALE_SIM_BACKEND
    {"sim", &connectSimulated, true, nullptr},
#endif
#ifdef KORVALE_HAVE_LINUX_BACKEND
    {"linux", &linuxdesk::connect, false, &linuxdesk::waitingLoop},
#endif
#ifdef KORVALE_HAVE_MACOS_BACKEND
    {"macos", &macos::macPlatform, false, nullptr},
#endif
    {nullptr, nullptr, false, nullptr},  // keeps the array non-empty in a build with no backend
};

}  // namespace

std::span<const BackendEntry> backendTable() {
    return std::span<const BackendEntry>(kBackends, std::size(kBackends) - 1);
}

}  // namespace korvale::platform
