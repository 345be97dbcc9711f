// Hover tracking on the host's own windows. A tracker is only the owner of its tracking area: the
// window's delegate stays the host's, so the host keeps hearing its window. The window system
// holds the area's owner only weakly, so the library keeps each tracker for as long as its window
// exists; once the window has closed, and its areas went with it, the tracker is let go, so no
// message can reach a destroyed tracker.
#include "WindowTracker.h"

#include <utility>
#include <vector>

#include "main.h"
#include "utils.h"

namespace korvale {

namespace {

struct KeptTracker {
    std::weak_ptr<platform::Window> window;
    std::shared_ptr<WindowTracker> tracker;
};

std::vector<KeptTracker>& keptTrackers() {
    static std::vector<KeptTracker> kept;
    return kept;
}

void forgetClosedWindows() {
    auto& kept = keptTrackers();
    std::erase_if(kept, [](const KeptTracker& k) { return k.window.expired(); });
}

}  // namespace

void WindowTracker::mouseEntered() {
    if (!observer_callback) return;
    callbackWraper("mouse_hoverd", EventData::object());
}

// Without a monitor there is no followed application to bring back: nothing to do.
void WindowTracker::mouseExited() {
    if (auto monitor = macAccessibility) monitor->activateTheFormost();
}

// A tracker is no window's delegate, so no click is meant for it; one that comes is not passed on.
void WindowTracker::mouseDown() {}

void WindowTracker::setupTrackingArea(const platform::WindowRef& window) {
    auto& windows = windowServer();
    platform::CGRect bounds = windows.contentViewBounds(window).value_or(platform::CGRect{});
    trackingArea = windows.makeTrackingArea(bounds, kWindowTrackingOptions, weak_from_this());
    windows.addTrackingArea(window, trackingArea);
}

void installWindowTracker(void* handle) {
    auto& windows = windowServer();
    platform::WindowRef window = windows.windowForHandle(handle);
    if (!window) return;
    forgetClosedWindows();
    auto tracker = std::make_shared<WindowTracker>();
    tracker->setupTrackingArea(window);
    // Without a shared application object there is no policy to set; the tracker still works.
    windows.setActivationPolicy(platform::NSApplicationActivationPolicyAccessory);
    keptTrackers().push_back({window, std::move(tracker)});
}

std::size_t liveWindowTrackers() {
    forgetClosedWindows();
    return keptTrackers().size();
}

}  // namespace korvale
