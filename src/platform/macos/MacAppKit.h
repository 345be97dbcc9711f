// The AppKit services of the macOS backend: the workspace and running applications, the general
// pasteboard, and the host's windows with their tracking areas. Implemented in Objective-C++
// (ARC); this header is plain C++ so that the backend's assembly can include it anywhere.
#pragma once

#include <memory>

#include "platform/Platform.h"

namespace korvale::macos {

std::unique_ptr<platform::Workspace> makeWorkspace();
std::unique_ptr<platform::WindowServer> makeWindowServer();

std::unique_ptr<platform::Pasteboard> makePasteboard();

}  // namespace korvale::macos
