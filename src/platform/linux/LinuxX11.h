// The X11 half of the Linux backend: one connection to the X server serviced from the GLib main
// loop, and over it the general pasteboard (the CLIPBOARD selection, read and owned), synthesized
// keystrokes (XTest), host windows with hover tracking, the geometry of other applications'
// top-level windows (ConfigureNotify) and their activation. X11 only: Wayland offers none of it.
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
    XWindow helperWindow() const { return helper_; }
    Atom atom(const char* name);

    // Every event read from the server goes to each handler in turn.
    using Handler = std::function<void(XEvent&)>;
    void addHandler(Handler h) { handlers_.push_back(std::move(h)); }
    // Reads and dispatches what the server has sent (the GLib source calls this).
    void dispatchPending();
    // Serves only selection traffic (requests for what we own, answers to our reads) until
    // `deadlineUs` (monotonic) or until `done` says so; the other events stay queued.
    void serveSelectionsUntil(gint64 deadlineUs, const std::function<bool()>& done);
    // Adds `mask` to the events this connection selects on `w`. XSelectInput replaces what a
    // client selected before, so every selection of ours on a window goes through here.
    void selectInput(XWindow w, long mask);
    // Whether the X window still exists (errors trapped, never fatal).
    bool windowExists(XWindow w);
    // The process that owns a top-level window (_NET_WM_PID), or 0.
    pid_t windowPid(XWindow w);
    // The client windows (with _NET_WM_PID) of process `pid` below the root, shallow first.
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
};

class LinuxPasteboard final : public Pasteboard {
public:
    explicit LinuxPasteboard(XConnection& x);
    long changeCount() override;
    std::optional<std::string> stringForType(const std::string& type) override;
    long clearContents() override;
    bool setString(const std::string& text, const std::string& type) override;
    std::optional<std::vector<PasteboardItem>> pasteboardItems() override;
    bool writeObjects(const std::vector<PasteboardItem>& items) override;

private:
    void handle(XEvent& e);
    void own();
    std::optional<std::string> readClipboardText();
    std::optional<std::string> ownText() const;
    void settlePendingClear();
    XConnection& x_;
    std::vector<PasteboardItem> items_;  // what we offer while we own CLIPBOARD
    bool owning_ = false;
    long changeCount_ = 0;
    // We lost the clipboard and have not yet decided whether that was a write.
    bool clearPending_ = false;
    std::optional<std::string> lostText_;
    // The answer to our pending read, once it came.
    bool answered_ = false;
    Atom answerProperty_ = 0;
};

class LinuxKeyboard final : public KeyboardEvents {
public:
    explicit LinuxKeyboard(XConnection& x);
    std::unique_ptr<CGEventSource> createSource(int stateID) override;
    std::unique_ptr<CGEvent> createKeyboardEvent(const CGEventSource* source, uint16_t virtualKey,
                                                 bool keyDown) override;
    void post(int tap, const CGEvent& event) override;

    // Whether the keystroke's target is a terminal, where Control+V is a character of its own
    // and the paste shortcut is Shift+Control+V.
    std::function<bool()> targetIsTerminal;

private:
    XConnection& x_;
    bool xtest_ = false;
    bool shiftAdded_ = false;  // Shift pressed with Command, released with it
};

class LinuxWindows final : public WindowServer {
public:
    explicit LinuxWindows(XConnection& x);
    WindowRef windowForHandle(void* handle) override;
    void setDelegate(const WindowRef& window, std::shared_ptr<Responder> delegate) override;
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
    std::map<XWindow, std::shared_ptr<HostWindow>> windows_;  // live windows the host named
};

}  // namespace korvale::platform::linuxdesk
