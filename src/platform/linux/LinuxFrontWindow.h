// The application in front, from the window system, which is the source of truth for it: the
// window manager's _NET_ACTIVE_WINDOW when one publishes it, the X input focus otherwise, and the
// process behind the window from _NET_WM_PID. It is watched through events (PropertyNotify on the
// root window, FocusIn on every top-level window), so following it costs nothing while nothing
// changes; an application with no accessibility at all is seen like any other.
//
// Also what identifies an application on this desktop and does not change with its windows: the
// WM_CLASS of its top-level window.
#pragma once

#include <sys/types.h>

#include <functional>
#include <map>
#include <optional>
#include <string>

#include "platform/linux/XConnection.h"

namespace korvale::platform::linuxdesk {

class FrontWindow {
public:
    explicit FrontWindow(XConnection& x);
    FrontWindow(const FrontWindow&) = delete;
    FrontWindow& operator=(const FrontWindow&) = delete;

    // The process in front as last seen through events; 0 while the front window names none.
    pid_t front() const { return front_; }
    // Asks the server now: for decisions that must not rest on events not yet read.
    pid_t queryFront();
    // Called when a window of another process comes to the front.
    std::function<void(pid_t)> onChange;

    struct Identity {
        std::string wmClass;     // the class half of WM_CLASS ("XTerm", "firefox-esr")
        std::string wmInstance;  // the instance half ("xterm", "Navigator")
        bool shown = false;      // read from a window on the screen (else from an unmapped one)
    };
    // The WM_CLASS of a top-level window of `pid`, a window on the screen preferred; none when
    // it has no window or none with WM_CLASS.
    std::optional<Identity> identity(pid_t pid);

private:
    void handle(XEvent& e);
    void watch(XWindow topLevel);
    // The process of a top-level window (a frame of a reparenting window manager is looked into).
    pid_t pidOf(XWindow topLevel);
    void setFront(pid_t pid);

    XConnection& x_;
    XWindow root_ = 0;
    struct TopLevel {
        pid_t pid = 0;
        XWindow client = 0;  // the window that carries _NET_WM_PID (the top-level itself, or inside a frame)
    };
    std::map<XWindow, TopLevel> topLevels_;
    pid_t front_ = 0;
};

}  // namespace korvale::platform::linuxdesk
