// The X11 connection of the Linux backend: one connection to the X server serviced from the
// GLib main loop, the events it reads handed to each service in turn, and the window lookups the
// services share (existence, owning process, frame, input focus). X11 only: Wayland offers none
// of it. The services over it: LinuxPasteboard, LinuxKeyboard, LinuxWindows, and the window
// geometry and activation in LinuxAccessibility.
#pragma once

#include <X11/Xlib.h>
#include <glib.h>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/Platform.h"

namespace korvale::platform::linuxdesk {

using XWindow = ::Window;  // an X11 window id; platform::Window is the host-window object

// The connection and its dispatch. Everything runs on the main thread.
class XConnection {
public:
    // Opens $DISPLAY; nullptr when there is no X server.
    static std::unique_ptr<XConnection> open();
    ~XConnection();
    XConnection(const XConnection&) = delete;
    XConnection& operator=(const XConnection&) = delete;

    Display* display() const { return dpy_; }
    // Requests the backend's connection has made so far (Xlib's request sequence: every
    // request, with or without a reply); 0 without a connection. Read by the request-count tests.
    static unsigned long requestsSent();
    XWindow helperWindow() const { return helper_; }
    Atom atom(const char* name);

    // Every event read from the server goes to each handler in turn.
    using Handler = std::function<void(XEvent&)>;
    void addHandler(Handler h) { handlers_.push_back(std::move(h)); }
    // Reads and dispatches what the server has sent (the GLib source calls this).
    void dispatchPending();
    // Dispatches only what the server has already sent: reads the socket without flushing or
    // sending a request, so it costs no round trip.
    void dispatchReceived();
    // Serves only selection traffic (requests for what we own, answers to our reads) until
    // `deadlineUs` (monotonic) or until `done` says so; the other events stay queued.
    void serveSelectionsUntil(gint64 deadlineUs, const std::function<bool()>& done);
    // Property changes on `w` count as selection traffic (an INCR transfer to or from it).
    void watchTransfer(XWindow w) { transferWindows_.insert(w); }
    void unwatchTransfer(XWindow w) { transferWindows_.erase(w); }
    // The XFixes event code of a selection-owner change, or -1 without the extension.
    int selectionNotifyEvent() const { return selectionNotify_; }
    // Adds `mask` to the events this connection selects on `w`. XSelectInput replaces what a
    // client selected before, so every selection of ours on a window goes through here.
    void selectInput(XWindow w, long mask);
    // Whether the X window still exists (errors trapped, never fatal).
    bool windowExists(XWindow w);
    // The process that owns a top-level window (_NET_WM_PID), or 0.
    pid_t windowPid(XWindow w);
    // The process behind any window: its own _NET_WM_PID or that of a parent; 0 unknown.
    pid_t processOfWindow(XWindow w);
    // The client windows (with _NET_WM_PID) of process `pid` below the root, shallow first: a
    // walk of the window tree, a request per window. FrontWindow::windowsOf knows those on the
    // screen from events, without a request.
    std::vector<XWindow> windowsOfProcess(pid_t pid);
    // The client window holding the X input focus, or None.
    XWindow focusedClientWindow();
    // Screen position of a window's top-left corner and its size.
    std::optional<CGRect> windowFrame(XWindow w);

private:
    XConnection() = default;
    void deliver(XEvent& e);
    Display* dpy_ = nullptr;
    XWindow helper_ = 0;
    GSource* source_ = nullptr;
    std::vector<Handler> handlers_;
    std::map<std::string, Atom> atoms_;
    std::map<XWindow, long> masks_;  // what we selected on each window
    std::set<XWindow> transferWindows_;
    int selectionNotify_ = -1;
    bool isSelectionTraffic(const XEvent& e) const;
    static Bool trafficPredicate(Display*, XEvent* e, XPointer self);
};

}  // namespace korvale::platform::linuxdesk
