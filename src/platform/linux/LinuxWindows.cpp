// Hover tracking on the host's windows.
#include "platform/linux/LinuxWindows.h"

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

namespace korvale::platform::linuxdesk {

// Host windows. A Linux host names a window by its X11 window id, cast to a pointer:
// addMouseTracker((void*)(uintptr_t)xid). The id is looked up on the server, never dereferenced.

struct LinuxWindows::HostWindow final : platform::Window {
    ::Window xid = 0;
    std::vector<TrackingAreaRef> areas;
};

struct LinuxWindows::Area final : TrackingArea {
    CGRect rect;
    unsigned options = 0;
    std::weak_ptr<Responder> owner;
};

LinuxWindows::LinuxWindows(XConnection& x, Console& console) : x_(x), console_(console) {
    x_.addHandler([this](XEvent& e) { handle(e); });
}

WindowRef LinuxWindows::windowForHandle(void* handle) {
    auto xid = static_cast<::Window>(reinterpret_cast<uintptr_t>(handle));
    if (!xid) return nullptr;
    if (auto it = windows_.find(xid); it != windows_.end()) return it->second;
    if (!x_.windowExists(xid)) return nullptr;
    // Only the host's own windows: hovering another application's window is not hovering the
    // assistant, and leaving it must not pull the followed application forward.
    if (const pid_t owner = x_.processOfWindow(xid); owner != getpid()) {
        char line[160];
        std::snprintf(line, sizeof line,
                      "addMouseTracker: X window 0x%lx is not a window of this process (_NET_WM_PID %s); not tracked",
                      static_cast<unsigned long>(xid), owner ? std::to_string(owner).c_str() : "missing");
        console_.writeLine(line);
        return nullptr;
    }
    auto w = std::make_shared<HostWindow>();
    w->xid = xid;
    // Only to learn when it is destroyed, so that its trackers are let go.
    x_.selectInput(xid, StructureNotifyMask);
    XFlush(x_.display());
    windows_[xid] = w;
    return w;
}

std::optional<CGRect> LinuxWindows::contentViewBounds(const WindowRef& window) {
    auto w = std::dynamic_pointer_cast<HostWindow>(window);
    if (!w) return std::nullopt;
    auto frame = x_.windowFrame(w->xid);
    if (!frame) return std::nullopt;
    return CGRect{{0, 0}, frame->size};
}

TrackingAreaRef LinuxWindows::makeTrackingArea(CGRect rect, unsigned options, std::weak_ptr<Responder> owner) {
    auto a = std::make_shared<Area>();
    a->rect = rect;
    a->options = options;
    a->owner = std::move(owner);
    return a;
}

bool LinuxWindows::addTrackingArea(const WindowRef& window, const TrackingAreaRef& area) {
    auto w = std::dynamic_pointer_cast<HostWindow>(window);
    if (!w || !area) return false;
    w->areas.push_back(area);
    // Enter and leave may be selected by any number of clients, so the host's own selection
    // of the same events is untouched. Clicks are not selected: only one client may.
    x_.selectInput(w->xid, StructureNotifyMask | EnterWindowMask | LeaveWindowMask);
    XFlush(x_.display());
    return true;
}

// There is no shared application object on X11; a host keeps itself out of the task bar with
// its own window hints.
bool LinuxWindows::setActivationPolicy(int) { return false; }

void LinuxWindows::handle(XEvent& e) {
    if (e.type == DestroyNotify) {
        windows_.erase(e.xdestroywindow.window);
        return;
    }
    if (e.type != EnterNotify && e.type != LeaveNotify) return;
    auto it = windows_.find(e.xcrossing.window);
    if (it == windows_.end()) return;
    // Moving onto or off a child window of the host's window is not leaving it.
    if (e.xcrossing.detail == NotifyInferior) return;
    auto window = it->second;  // a message may close the window under us
    for (const auto& a : window->areas) {
        auto owner = std::static_pointer_cast<Area>(a)->owner.lock();
        if (!owner) continue;
        if (e.type == EnterNotify) owner->mouseEntered();
        else owner->mouseExited();
    }
}

}  // namespace korvale::platform::linuxdesk
