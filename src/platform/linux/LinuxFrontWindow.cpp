// The front application from X. Two sources, both read from events: a window manager that
// follows the EWMH publishes the active client in the root's _NET_ACTIVE_WINDOW (PropertyNotify);
// without one, the focus moves between top-level windows (FocusIn on each, selected by us as one
// more client). Either way the process comes from the client window's _NET_WM_PID, remembered per
// top-level window, so a switch between known windows costs no round trip.
#include "platform/linux/LinuxFrontWindow.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>

namespace korvale::platform::linuxdesk {

FrontWindow::FrontWindow(XConnection& x) : x_(x) {
    Display* dpy = x_.display();
    root_ = DefaultRootWindow(dpy);
    // Substructure events tell of new top-level windows; any number of clients may select them.
    x_.selectInput(root_, PropertyChangeMask | SubstructureNotifyMask);
    XWindow r, parent, *children = nullptr;
    unsigned int n = 0;
    if (XQueryTree(dpy, root_, &r, &parent, &children, &n)) {
        for (unsigned i = 0; i < n; ++i) watch(children[i]);
        if (children) XFree(children);
    }
    x_.addHandler([this](XEvent& e) { handle(e); });
    front_ = queryFront();
    XFlush(dpy);
}

void FrontWindow::watch(XWindow topLevel) {
    if (topLevel == x_.helperWindow()) return;
    topLevels_.try_emplace(topLevel);
    x_.selectInput(topLevel, FocusChangeMask);
}

pid_t FrontWindow::pidOf(XWindow topLevel) {
    auto& known = topLevels_[topLevel];
    if (known.pid) return known.pid;
    if (pid_t pid = x_.windowPid(topLevel)) {
        known = {pid, topLevel};
        return pid;
    }
    // A reparenting window manager puts the client one or two levels inside its frame.
    std::vector<XWindow> level{topLevel};
    for (int depth = 0; depth < 2 && !level.empty(); ++depth) {
        std::vector<XWindow> next;
        for (XWindow w : level) {
            XWindow r, parent, *children = nullptr;
            unsigned int n = 0;
            if (!XQueryTree(x_.display(), w, &r, &parent, &children, &n)) continue;
            for (unsigned i = 0; i < n; ++i) {
                if (pid_t pid = x_.windowPid(children[i])) {
                    const XWindow client = children[i];  // read before the list is freed
                    XFree(children);
                    topLevels_[topLevel] = {pid, client};
                    return pid;
                }
                next.push_back(children[i]);
            }
            if (children) XFree(children);
        }
        level = std::move(next);
    }
    return 0;  // not remembered: the property may be set later
}

void FrontWindow::setFront(pid_t pid) {
    if (pid == front_) return;
    front_ = pid;
    if (pid && onChange) onChange(pid);
}

void FrontWindow::handle(XEvent& e) {
    switch (e.type) {
        case MapNotify:
            if (e.xmap.event != root_) return;
            // Mapped again, perhaps inside a new frame: its process is looked up afresh.
            topLevels_.erase(e.xmap.window);
            watch(e.xmap.window);
            return;
        case ReparentNotify:
            if (e.xreparent.event != root_) return;
            if (e.xreparent.parent == root_) watch(e.xreparent.window);
            else topLevels_.erase(e.xreparent.window);
            return;
        case DestroyNotify:
            topLevels_.erase(e.xdestroywindow.window);
            return;
        case PropertyNotify: {
            if (e.xproperty.window != root_ || e.xproperty.atom != x_.atom("_NET_ACTIVE_WINDOW")) return;
            setFront(queryFront());
            return;
        }
        case FocusIn: {
            auto it = topLevels_.find(e.xfocus.window);
            if (it == topLevels_.end()) return;
            // A keyboard grab (an open menu) does not move the focus to another application;
            // the pointer root is no window's.
            if (e.xfocus.mode == NotifyGrab || e.xfocus.mode == NotifyUngrab) return;
            if (e.xfocus.detail == NotifyPointer || e.xfocus.detail == NotifyPointerRoot ||
                e.xfocus.detail == NotifyDetailNone)
                return;
            setFront(pidOf(e.xfocus.window));
            return;
        }
        default:
            return;
    }
}

pid_t FrontWindow::queryFront() {
    Display* dpy = x_.display();
    // A window manager that publishes the active window is asked first: the focus may sit on
    // one of its own windows while a client is active.
    Atom type = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    bool published = false;
    XWindow active = 0;
    if (XGetWindowProperty(dpy, root_, x_.atom("_NET_ACTIVE_WINDOW"), 0, 1, False, XA_WINDOW, &type, &format,
                           &count, &after, &data) == Success &&
        type == XA_WINDOW) {
        published = true;
        if (data && count == 1 && format == 32) active = static_cast<XWindow>(*reinterpret_cast<unsigned long*>(data));
    }
    if (data) XFree(data);
    if (published) {
        if (!active) return 0;
        if (pid_t pid = x_.windowPid(active)) return pid;
        return topLevels_.count(active) ? pidOf(active) : 0;
    }
    XWindow focused = x_.focusedClientWindow();
    return focused ? x_.windowPid(focused) : 0;
}

std::optional<FrontWindow::Identity> FrontWindow::identity(pid_t pid) {
    std::vector<XWindow> candidates;
    for (auto& [topLevel, known] : topLevels_)
        if (known.pid == pid && known.client) candidates.push_back(known.client);
    if (candidates.empty()) candidates = x_.windowsOfProcess(pid);
    // A window on the screen first: some applications keep an unmapped leader window of another
    // class (Firefox's says "Firefox-esr", its browser windows and desktop entry "firefox-esr"),
    // and it comes first in the stacking order.
    std::optional<Identity> hidden;
    for (XWindow w : candidates) {
        XClassHint hint{};
        if (!XGetClassHint(x_.display(), w, &hint)) continue;
        Identity id;
        if (hint.res_class) id.wmClass = hint.res_class;
        if (hint.res_name) id.wmInstance = hint.res_name;
        if (hint.res_class) XFree(hint.res_class);
        if (hint.res_name) XFree(hint.res_name);
        if (id.wmClass.empty()) continue;
        XWindowAttributes attrs;
        id.shown = XGetWindowAttributes(x_.display(), w, &attrs) && attrs.map_state == IsViewable;
        if (id.shown) return id;
        if (!hidden) hidden = id;
    }
    return hidden;
}

}  // namespace korvale::platform::linuxdesk
