// The Linux backend as a whole: AT-SPI for accessibility, X11 for the pasteboard, keystrokes and
// windows, GLib for the main loop. Backend.cpp asks whether a desktop session is here and, if
// so, takes its Platform.
#pragma once

#include "platform/Platform.h"

namespace korvale::platform::linuxdesk {

// The backend, made on first call; nullptr when there is no X display or no accessibility bus.
Platform* linuxPlatform();

}  // namespace korvale::platform::linuxdesk
