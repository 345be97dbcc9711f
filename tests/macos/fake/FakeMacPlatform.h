// The platform a test process runs on when it runs the macOS backend over the fake C functions:
// the backend's accessibility service and run loop (plain C++ over the fake), with the
// simulated desktop's workspace, pasteboard, keyboard, windows and console. Delayed work and
// timers, which on a Mac come from libdispatch and Foundation, come from the simulated main loop.
#pragma once

#include "platform/Platform.h"

namespace korvale::macfake {

platform::Platform& fakeMacPlatform();
// Lets go of every CF object the backend's own services hold (attached run-loop sources and
// their observers); called at the end of a process before the leak check.
void releaseBackendObjects();

}  // namespace korvale::macfake
