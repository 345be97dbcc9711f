// The conformance suite (tests/conformance) on the macOS backend over the fake C functions. The
// fake shares the simulated desktop as its world, so the simulated desktop's driver serves it;
// the simulated desktop's own run is in korvale_tests (test_conformance_sim.cpp).
#include "Conformance.h"
#include "FakeMacPlatform.h"
#include "SimulatedWorldDriver.h"

namespace korvale::conformance {

namespace {

Driver& fakeMacDriver() { return simulatedWorldDriver(&macfake::fakeMacPlatform); }

}  // namespace

INSTANTIATE_TEST_SUITE_P(Backends, Conformance, ::testing::Values(Backend{"macos_fake", &fakeMacDriver}),
                         backendName);

}  // namespace korvale::conformance
