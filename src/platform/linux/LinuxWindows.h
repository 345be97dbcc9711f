// The host's windows on the Linux backend, with hover tracking (X11 enter and leave events).
#pragma once

#include <map>
#include <memory>
#include <optional>

#include "platform/Platform.h"
#include "platform/linux/XConnection.h"

namespace korvale::platform::linuxdesk {

class LinuxWindows final : public WindowServer {
public:
    // Refusals of windows that are not the host's own are written to `console`.
    LinuxWindows(XConnection& x, Console& console);
    WindowRef windowForHandle(void* handle) override;
    std::optional<CGRect> contentViewBounds(const WindowRef& window) override;
    TrackingAreaRef makeTrackingArea(CGRect rect, unsigned options,
                                     std::weak_ptr<Responder> owner) override;
    bool addTrackingArea(const WindowRef& window, const TrackingAreaRef& area) override;
    bool setActivationPolicy(int policy) override;

    struct HostWindow;
    struct Area;

private:
    void handle(XEvent& e);
    XConnection& x_;
    Console& console_;
    std::map<XWindow, std::shared_ptr<HostWindow>> windows_;  // live windows the host named
};

}  // namespace korvale::platform::linuxdesk
