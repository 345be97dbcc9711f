// Hover tracking on the host's own windows (placeholder until its issue lands).
#pragma once

namespace korvale {

// The export addMouseTracker: installs a tracker on the window `handle` denotes, if any.
void installWindowTracker(void* handle);

}  // namespace korvale
