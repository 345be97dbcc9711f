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
    std::set<XWindow> transferWindows_;
    int selectionNotify_ = -1;
    bool isSelectionTraffic(const XEvent& e) const;
    static Bool trafficPredicate(Display*, XEvent* e, XPointer self);
};

// The general pasteboard over the CLIPBOARD selection. A representation's type is the X target's
// name ("UTF8_STRING", "image/png", "text/html"); when the owner answered a target with another
// property type or a format other than 8 bits, the name carries them: "TEXT\x1fCOMPOUND_TEXT/8".
// The representation "TARGETS" holds the owner's list of targets, one name a line, in its order:
// written back, it is what we answer to TARGETS. The library's plain text (NSPasteboardTypeString)
// is offered under every text target a toolkit asks for.
class LinuxPasteboard final : public Pasteboard {
public:
    // An owner that does not answer one request (or one piece of a transfer) within this is
    // taken to be stopped: the read fails.
    static constexpr gint64 kAnswerLimitUs = 500000;
    // A whole read of the clipboard, every target, ends by this at the latest.
    static constexpr gint64 kReadLimitUs = 5000000;

    explicit LinuxPasteboard(XConnection& x);
    long changeCount() override;
    std::optional<std::string> stringForType(const std::string& type) override;
    long clearContents() override;
    bool setString(const std::string& text, const std::string& type) override;
    std::optional<std::vector<PasteboardItem>> pasteboardItems() override;
    bool writeObjects(const std::vector<PasteboardItem>& items) override;
    PasteboardFetch waitForFetch(pid_t by, double deadline) override;

    // One target's data as the owner answered it.
    struct Data {
        Atom type = 0;
        int format = 8;
        std::string bytes;  // as Xlib holds it: format 32 as longs, format 16 as shorts
    };

private:
    // An INCR transfer we are serving: the requestor deletes the property, we write the next piece.
    struct Transfer {
        XWindow requestor = 0;
        Atom property = 0;
        Data data;
        std::size_t offset = 0;
        pid_t requestorPid = 0;
        long write = 0;  // which of the library's writes it hands out
        gint64 lastUs = 0;
    };
    enum class Answer { Data, Refused, NoAnswer };

    void handle(XEvent& e);
    void serveRequest(const XSelectionRequestEvent& req);
    bool convertInto(XWindow requestor, Atom property, Atom target, pid_t requestorPid);
    void continueTransfer(Transfer& t);
    void dropStaleTransfers();
    void libraryWrote();
    void own();
    bool stillOwning();
    Answer convert(Atom target, gint64 readDeadlineUs, Data* out);
    std::optional<std::string> readText();
    std::optional<std::string> ownText() const;
    std::optional<Data> offered(Atom target) const;
    std::vector<Atom> offeredTargets() const;
    pid_t processOfWindow(XWindow w);
    bool fetched(pid_t by) const;

    XConnection& x_;
    std::vector<PasteboardItem> items_;  // what we offer while we own CLIPBOARD
    bool owning_ = false;
    long changeCount_ = 0;
    int ownClears_ = 0;  // owner changes to None that we made and have not seen come back
    // Who took the library's latest write (0: a requestor whose process is unknown).
    std::vector<pid_t> fetchedBy_;
    std::vector<Transfer> transfers_;
    long writes_ = 0;  // the library's writes so far
    std::size_t chunk_ = 0;  // the largest piece written in one request
    // The answer to our pending read, once it came; new pieces of an INCR transfer.
    bool answered_ = false;
    Atom answerProperty_ = 0;
    bool newPiece_ = false;
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
