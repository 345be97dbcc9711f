// Which backend serves this process: a table of {name, connect} entries, one per backend built
// into the library, and the choice among them, made once. The layers above see only
// platform::current(); this header is for the chooser, the backend tables and their tests.
#pragma once

#include <span>
#include <string>

#include "platform/Platform.h"

namespace korvale::platform {

struct BackendEntry {
    const char* name;
    // The backend's platform, or nullptr while its service does not answer (no display, no
    // accessibility bus). Called again later until it answers.
    Platform* (*connect)();
    // Chosen only when asked for by name or through the control API (the simulated desktop).
    bool onlyWhenAsked = false;
    // The loop the host runs for this backend, usable before the backend connects: it carries the
    // retries and the deliveries made meanwhile. May be null.
    MainLoop* (*waitingLoop)() = nullptr;
};

// The backends built into this library, in order of preference (BackendTable.cpp).
std::span<const BackendEntry> backendTable();

// Seconds between two attempts to connect while no backend answers.
inline constexpr double kBackendRetryInterval = 2.0;

// The name of the backend in use: an entry's name, or "none" while no service answers.
const char* currentBackendName();

// A choice among the entries of `table`, made as at a process's start (`simulatedAsked`: the
// control API was called first), trying to connect at once and then on the loop. The process
// makes one, from backendTable(), at the first use of current(); choices are never destroyed.
class BackendChoice;
BackendChoice* chooseBackend(std::span<const BackendEntry> table, bool simulatedAsked);
// The choice that serves the process (none before the first use of current()).
BackendChoice*& processChoice();

}  // namespace korvale::platform
