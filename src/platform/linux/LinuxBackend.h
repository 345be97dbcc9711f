// The Linux backend as a whole: AT-SPI for accessibility, X11 for the pasteboard, keystrokes and
// windows, GLib for the main loop. The backend table (BackendTable.cpp) lists it as "linux".
#pragma once

#include "platform/Platform.h"

namespace korvale::platform::linuxdesk {

// The backend, made once both answer; nullptr while there is no X display or no accessibility
// bus (each call tries again).
Platform* connect();
// The host's GLib main loop, usable before the backend connects.
MainLoop* waitingLoop();

}  // namespace korvale::platform::linuxdesk
