// The AppKit services of the macOS backend: the workspace and running applications, the general
// pasteboard, and the host's windows with their tracking areas. Implemented in Objective-C++
// (ARC); this header is plain C++ so that the backend's assembly can include it anywhere.
#pragma once

#include <functional>
#include <memory>

#include "platform/Platform.h"

namespace korvale::macos {

std::unique_ptr<platform::Workspace> makeWorkspace();
std::unique_ptr<platform::WindowServer> makeWindowServer();

class MacPasteboard : public platform::Pasteboard {
public:
    // Puts `text` on the pasteboard as a promise: the data is made when an application asks
    // for it, and `fetched` runs then (on the main thread), so the caller knows the paste was
    // taken. Returns the new change count, or -1 when the pasteboard refused the item.
    virtual long writePromisedString(const std::string& text, std::function<void()> fetched) = 0;
};
std::unique_ptr<MacPasteboard> makePasteboard();

}  // namespace korvale::macos
