// The front application and the top-level windows from X, read from events. The focus moves
// between top-level windows (FocusIn on each, selected by us as one more client; under a
// reparenting window manager the top-level is the frame and the focus is on the client inside
// it). A window manager that follows the EWMH publishes the active client in the root's
// _NET_ACTIVE_WINDOW: the focus events already name it whenever the focus is in a client's
// window, so the property is read only when the focus sits where no process is named (the
// manager's own window). The process comes from the client window's _NET_WM_PID, asked once per
// top-level window each time it is mapped, so a switch between known windows costs no request.
#include "platform/linux/LinuxFrontWindow.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>

namespace korvale::platform::linuxdesk {

namespace {

// A keyboard grab (an open menu) does not move the focus to another application.
bool grabbing(const XFocusChangeEvent& e) { return e.mode == NotifyGrab || e.mode == NotifyUngrab; }

}  // namespace

FrontWindow::FrontWindow(XConnection& x) : x_(x) {
    Display* dpy = x_.display();
    root_ = DefaultRootWindow(dpy);
    // Substructure events tell of top-level windows mapped, unmapped, reparented and destroyed
    // (any number of clients may select them); selected before the tree is listed, so that no
    // window is missed in between. A window is watched from its MapNotify on (it cannot have the
    // focus before): a client that a window manager puts into a frame is never mapped at the top
    // level, and what we would select on it could not be forgotten when it is destroyed there.
    x_.selectInput(root_, PropertyChangeMask | SubstructureNotifyMask);
    XWindow r, parent, *children = nullptr;
    unsigned int n = 0;
    std::vector<XWindow> existing;
    if (XQueryTree(dpy, root_, &r, &parent, &children, &n)) existing.assign(children, children + n);
    if (children) XFree(children);
    for (XWindow w : existing) {
        XWindowAttributes attrs;
        // Gone meanwhile, or not on the screen: its MapNotify will come.
        if (!XGetWindowAttributes(dpy, w, &attrs) || attrs.map_state == IsUnmapped) continue;
        TopLevel* known = watch(w);
        if (!known) continue;
        known->mapped = true;
        known->overrideRedirect = attrs.override_redirect;
        if (!known->overrideRedirect) learn(w, *known);
    }
    // The top-level the focus is in now; from here on, focus events say it.
    XWindow focus = 0;
    int revert = 0;
    XGetInputFocus(dpy, &focus, &revert);
    for (int i = 0; i < 8 && focus > PointerRoot && focus != root_; ++i) {
        if (topLevels_.count(focus)) {
            focusTop_ = focus;
            break;
        }
        XWindow up = 0;
        children = nullptr;
        if (!XQueryTree(dpy, focus, &r, &up, &children, &n)) break;
        if (children) XFree(children);
        focus = up;
    }
    x_.addHandler([this](XEvent& e) { handle(e); });
    front_ = queryFront();
    XFlush(dpy);
}

FrontWindow::TopLevel* FrontWindow::watch(XWindow topLevel) {
    if (topLevel == x_.helperWindow()) return nullptr;
    x_.selectInput(topLevel, FocusChangeMask);
    return &topLevels_[topLevel];
}

void FrontWindow::learn(XWindow topLevel, TopLevel& known) {
    known.pid = 0;
    known.client = 0;
    if (pid_t pid = x_.windowPid(topLevel)) {
        known.pid = pid;
        known.client = topLevel;
    } else {
        // A reparenting window manager puts the client one or two levels inside its frame.
        std::vector<XWindow> level{topLevel};
        for (int depth = 0; depth < 2 && !level.empty() && !known.pid; ++depth) {
            std::vector<XWindow> next;
            for (XWindow w : level) {
                XWindow r, parent, *children = nullptr;
                unsigned int n = 0;
                if (!XQueryTree(x_.display(), w, &r, &parent, &children, &n)) continue;
                std::vector<XWindow> inside(children, children + n);  // copied before the list is freed
                if (children) XFree(children);
                for (XWindow c : inside) {
                    if (pid_t pid = x_.windowPid(c)) {
                        known.pid = pid;
                        known.client = c;
                        break;
                    }
                    next.push_back(c);
                }
                if (known.pid) break;
            }
            level = std::move(next);
        }
    }
    if (known.pid && known.mapped && !known.overrideRedirect && onMapped) onMapped(known.pid, known.client);
}

pid_t FrontWindow::knownPid(XWindow w) const {
    if (auto it = topLevels_.find(w); it != topLevels_.end()) return it->second.pid;
    for (const auto& [topLevel, known] : topLevels_)
        if (known.client == w) return known.pid;
    return 0;
}

std::vector<XWindow> FrontWindow::windowsOf(pid_t pid) const {
    std::vector<XWindow> found;
    if (!pid) return found;
    for (const auto& [topLevel, known] : topLevels_)
        if (known.pid == pid && known.client && known.mapped && !known.overrideRedirect) found.push_back(known.client);
    return found;
}

XWindow FrontWindow::focusedClient() const {
    auto it = topLevels_.find(focusTop_);
    return it != topLevels_.end() && it->second.pid ? it->second.client : 0;
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
            if (TopLevel* known = watch(e.xmap.window)) {
                // Mapped again, perhaps inside a new frame: its process is asked afresh.
                known->mapped = true;
                known->overrideRedirect = e.xmap.override_redirect;
                known->pid = 0;
                known->client = 0;
                if (!known->overrideRedirect) learn(e.xmap.window, *known);
            }
            return;
        case UnmapNotify:
            if (e.xunmap.event != root_) return;
            if (auto it = topLevels_.find(e.xunmap.window); it != topLevels_.end()) it->second.mapped = false;
            return;
        case ReparentNotify:
            // Into a frame, it is no longer a top-level; back at the top level (its window
            // manager let it go), it is one again from its MapNotify, which follows when it is on
            // the screen.
            if (e.xreparent.event != root_) return;
            topLevels_.erase(e.xreparent.window);
            if (focusTop_ == e.xreparent.window) focusTop_ = 0;
            return;
        case DestroyNotify: {
            const XWindow w = e.xdestroywindow.window;
            topLevels_.erase(w);
            if (focusTop_ == w) focusTop_ = 0;
            // A client destroyed inside its frame, which goes soon after.
            for (auto& [topLevel, known] : topLevels_)
                if (known.client == w) known.client = 0, known.pid = 0;
            return;
        }
        case PropertyNotify: {
            if (e.xproperty.window != root_ || e.xproperty.atom != x_.atom("_NET_ACTIVE_WINDOW")) return;
            // An EWMH window manager makes active the client the focus is in: when the focus
            // events name that client, the property says the same and is not read.
            if (auto it = topLevels_.find(focusTop_); it != topLevels_.end() && it->second.pid) return;
            setFront(queryFront());
            return;
        }
        case FocusIn: {
            auto it = topLevels_.find(e.xfocus.window);
            if (it == topLevels_.end() || grabbing(e.xfocus)) return;
            // The pointer root is no window's.
            if (e.xfocus.detail == NotifyPointer || e.xfocus.detail == NotifyPointerRoot ||
                e.xfocus.detail == NotifyDetailNone)
                return;
            focusTop_ = it->first;
            // Not known yet: its property may have been set after it was mapped, or it is a
            // window whose process was never asked (a menu).
            if (!it->second.pid) learn(it->first, it->second);
            setFront(it->second.pid);
            return;
        }
        case FocusOut:
            if (e.xfocus.window != focusTop_ || grabbing(e.xfocus)) return;
            // Into one of its own inner windows, the focus is still in it.
            if (e.xfocus.detail == NotifyInferior || e.xfocus.detail == NotifyPointer) return;
            focusTop_ = 0;
            return;
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
        if (pid_t pid = knownPid(active)) return pid;
        if (pid_t pid = x_.windowPid(active)) return pid;
        auto it = topLevels_.find(active);
        if (it == topLevels_.end()) return 0;
        learn(it->first, it->second);
        return it->second.pid;
    }
    XWindow focused = x_.focusedClientWindow();
    if (!focused) return 0;
    if (pid_t pid = knownPid(focused)) return pid;
    return x_.windowPid(focused);
}

std::optional<FrontWindow::Identity> FrontWindow::identity(pid_t pid) {
    std::vector<XWindow> candidates = windowsOf(pid);
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
