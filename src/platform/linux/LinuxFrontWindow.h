// The application in front, from the window system, which is the source of truth for it: the
// X input focus (FocusIn on every top-level window), or a window manager's _NET_ACTIVE_WINDOW
// when the focus sits on none of the clients' windows, and the process behind the window from
// _NET_WM_PID. It is watched through events, so following it costs nothing while nothing
// changes; an application with no accessibility at all is seen like any other.
//
// The top-level windows and the client windows inside them (with their process, asked once per
// window each time it is mapped) are kept current from the root's substructure events, so the
// windows of a process are known without listing the window tree again.
//
// Also what identifies an application on this desktop and does not change with its windows: the
// WM_CLASS of its top-level window.
#pragma once

#include <sys/types.h>

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/linux/XConnection.h"

namespace korvale::platform::linuxdesk {

class FrontWindow {
public:
    explicit FrontWindow(XConnection& x);
    FrontWindow(const FrontWindow&) = delete;
    FrontWindow& operator=(const FrontWindow&) = delete;

    // The process in front as last seen through events; 0 while the front window names none.
    pid_t front() const { return front_; }
    // Reads the X events the server has already sent (no request) and hands them out, so that
    // front() says what the window system has said so far. Another connection (the
    // accessibility bus) may bring news of a switch before X's own events are read.
    void catchUp() { x_.dispatchReceived(); }
    // Asks the server now: for decisions that must not rest on events not yet read.
    pid_t queryFront();
    // Called when a window of another process comes to the front.
    std::function<void(pid_t)> onChange;
    // Called when a client window of a process is mapped (or its process becomes known).
    std::function<void(pid_t, XWindow client)> onMapped;

    // The client windows (those that carry _NET_WM_PID) of `pid` that are on the screen, as
    // known from events.
    std::vector<XWindow> windowsOf(pid_t pid) const;
    // The client window the X focus is in, as known from events; 0 when none.
    XWindow focusedClient() const;

    struct Identity {
        std::string wmClass;     // the class half of WM_CLASS ("XTerm", "firefox-esr")
        std::string wmInstance;  // the instance half ("xterm", "Navigator")
        bool shown = false;      // read from a window on the screen (else from an unmapped one)
    };
    // The WM_CLASS of a top-level window of `pid`, a window on the screen preferred; none when
    // it has no window or none with WM_CLASS.
    std::optional<Identity> identity(pid_t pid);

private:
    struct TopLevel {
        pid_t pid = 0;
        XWindow client = 0;     // the window that carries _NET_WM_PID (the top-level itself, or inside a frame)
        bool mapped = false;
        bool overrideRedirect = false;  // menus, tooltips: not the application's windows
    };
    void handle(XEvent& e);
    // Selects the focus events of a top-level window and gives its entry (none for our own).
    TopLevel* watch(XWindow topLevel);
    // Asks the process of a top-level window (a frame of a reparenting window manager is
    // looked into); tells onMapped when a mapped window's process becomes known.
    void learn(XWindow topLevel, TopLevel& known);
    // The process of a window known as a top-level or a client; 0 when unknown.
    pid_t knownPid(XWindow w) const;
    void setFront(pid_t pid);

    XConnection& x_;
    XWindow root_ = 0;
    std::map<XWindow, TopLevel> topLevels_;
    XWindow focusTop_ = 0;  // the top-level the X focus is in, from FocusIn and FocusOut
    pid_t front_ = 0;
};

}  // namespace korvale::platform::linuxdesk
