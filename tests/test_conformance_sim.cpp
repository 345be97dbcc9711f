// The conformance suite (tests/conformance) on the simulated desktop, in every build (a Mac's
// too, where the fake macOS stack is not built).
#include "Conformance.h"
#include "SimulatedWorldDriver.h"

namespace korvale::conformance {

namespace {

Driver& simulatedDriver() { return simulatedWorldDriver(&simulatedPlatform); }

}  // namespace

INSTANTIATE_TEST_SUITE_P(Backends, Conformance, ::testing::Values(Backend{"sim", &simulatedDriver}), backendName);

}  // namespace korvale::conformance
