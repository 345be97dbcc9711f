// The macOS backend, assembled: the platform services over the accessibility API, Core
// Foundation, AppKit, Core Graphics and libdispatch, made once for the process.
#pragma once

#include "platform/Platform.h"

namespace korvale::macos {

// The backend's services, or none when this process cannot use them (no shared application).
platform::Platform* macPlatform();

}  // namespace korvale::macos
