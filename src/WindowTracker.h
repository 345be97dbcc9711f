// Hover tracking on the host's own windows: a WindowTracker owns a tracking area on a window's
// content view, tells the host when the pointer enters the window ("mouse_hoverd") and brings
// the followed application back to the front when it leaves.
#pragma once

#include <cstddef>
#include <memory>

#include "platform/Platform.h"

namespace korvale {

// Enter and exit messages, whether or not the host is active, over the view's visible rectangle
// whatever its size later becomes.
inline constexpr unsigned kWindowTrackingOptions = platform::NSTrackingMouseEnteredAndExited |
                                                   platform::NSTrackingActiveAlways |
                                                   platform::NSTrackingInVisibleRect;  // 0x281

class WindowTracker : public platform::Responder,
                      public std::enable_shared_from_this<WindowTracker> {
public:
    WindowTracker() = default;  // no tracking area yet
    ~WindowTracker() override = default;
    WindowTracker(const WindowTracker&) = delete;
    WindowTracker& operator=(const WindowTracker&) = delete;

    void mouseEntered() override;
    void mouseExited() override;
    void mouseDown() override;

    // Makes a tracking area over the window's content view, keeps it and adds it to the view.
    virtual void setupTrackingArea(const platform::WindowRef& window);

    platform::TrackingAreaRef trackingArea;
};

// The export addMouseTracker: installs a tracker on the window `handle` denotes, if any.
void installWindowTracker(void* handle);

// Trackers kept alive because their window still exists (forgets those whose window closed).
std::size_t liveWindowTrackers();

}  // namespace korvale
