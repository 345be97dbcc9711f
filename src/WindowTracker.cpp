// Hover tracking on the host's own windows (placeholder until its issue lands: a safe no-op).
#include "WindowTracker.h"

namespace korvale {

void installWindowTracker(void*) {}

}  // namespace korvale
