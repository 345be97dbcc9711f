// A fake of exactly the Core Foundation and accessibility C functions the plain-C++ half of the
// macOS backend calls, implemented over the simulated desktop: CF objects with retain counts
// (strings, numbers, booleans, arrays, dictionaries, AXValue boxes, text markers), AXUIElement
// and AXObserver over the simulated accessibility service, and a CFRunLoop with modes over the
// simulated main loop. It checks ownership as it goes: releasing a released object, or NULL,
// stops the process with a message; every object still alive can be listed at any time.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace korvale::macfake {

// Objects alive now (constants that are never released not counted), and what they are.
long liveObjects();
std::vector<std::string> describeLiveObjects();
// Objects made since the start.
long objectsCreated();
// The messaging timeout last set on an element of each process (seconds), for tests.
float messagingTimeoutFor(int32_t pid);
// Called when an ownership fault is found; the default prints and aborts. Tests may replace it.
using FaultHandler = void (*)(const std::string& message);
void setFaultHandler(FaultHandler handler);
// Lists leftover objects on standard error and exits non-zero when any is still alive (run at
// the very end of a process, after its static objects were destroyed).
void exitIfObjectsLeft(const char* context);

}  // namespace korvale::macfake
