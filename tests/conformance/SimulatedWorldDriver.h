// The conformance driver of the backends whose world is the simulated desktop: the simulated
// desktop itself, and the macOS backend over the fake C functions (built over the same desktop).
// It builds each case's starting state as a simulated world and performs the user's actions as
// simulated ones, on the virtual clock.
#pragma once

#include "Conformance.h"

namespace korvale::conformance {

// The driver for the backend `platform` returns (one driver per function).
Driver& simulatedWorldDriver(pl::Platform& (*platform)());

// The simulated desktop's own platform.
pl::Platform& simulatedPlatform();

}  // namespace korvale::conformance
