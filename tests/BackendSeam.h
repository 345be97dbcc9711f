// A seam for the tests of the backend choice, outside the library: the process's choice made
// again from a table of the test's own, as if the process had just started. The library itself
// chooses once (platform::current()); this is built from the same parts, in the test support.
#pragma once

#include <span>

#include "platform/Backend.h"

namespace korvale::testing {

// Replaces the process's choice with a new one over `table`, the control API called first or
// not. The previous choice stays alive: its platform objects may still be referred to.
void chooseBackendAgain(std::span<const platform::BackendEntry> table, bool simulatedAsked);

}  // namespace korvale::testing
