// The X11 half of the Linux backend: the connection serviced by a GLib source, the CLIPBOARD
// selection (read, and owned with an answer for every target a toolkit asks for), XTest
// keystrokes mapped by key position, and hover tracking on the host's windows.
#include "platform/linux/LinuxX11.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>

#include <algorithm>
#include <cstring>

namespace korvale::platform::linuxdesk {

namespace {

// Errors on our own connection are expected (a window closes while we look at it) and never
// fatal; errors on someone else's connection go to the handler that was there before us, so a
// GTK or Qt host keeps its own error handling.
XErrorHandler previousHandler = nullptr;
Display* ourDisplay = nullptr;
int trappedErrors = 0;

int onXError(Display* dpy, XErrorEvent* e) {
    if (dpy == ourDisplay) {
        ++trappedErrors;
        return 0;
    }
    return previousHandler ? previousHandler(dpy, e) : 0;
}

// A GLib source that dispatches the connection's events. Xlib reads ahead into its own queue,
// so readiness of the socket alone is not enough: prepare and check also look at that queue.
struct XSource {
    GSource base;
    XConnection* connection;
};

gboolean xPrepare(GSource* s, gint* timeout) {
    *timeout = -1;
    return XEventsQueued(reinterpret_cast<XSource*>(s)->connection->display(), QueuedAlready) > 0;
}
gboolean xCheck(GSource* s) {
    return XPending(reinterpret_cast<XSource*>(s)->connection->display()) > 0;
}
gboolean xDispatch(GSource* s, GSourceFunc, gpointer) {
    reinterpret_cast<XSource*>(s)->connection->dispatchPending();
    return G_SOURCE_CONTINUE;
}
GSourceFuncs xSourceFuncs = {xPrepare, xCheck, xDispatch, nullptr, nullptr, nullptr};

bool isSelectionEvent(const XEvent& e) {
    return e.type == SelectionRequest || e.type == SelectionClear || e.type == SelectionNotify;
}

Bool selectionPredicate(Display*, XEvent* e, XPointer) { return isSelectionEvent(*e) ? True : False; }

}  // namespace

std::unique_ptr<XConnection> XConnection::open() {
    Display* dpy = XOpenDisplay(nullptr);
    if (!dpy) return nullptr;
    std::unique_ptr<XConnection> c(new XConnection());
    c->dpy_ = dpy;
    ourDisplay = dpy;
    previousHandler = XSetErrorHandler(onXError);
    // An unmapped window of our own: the owner of the selections we hold and the target of
    // the answers to our reads.
    c->helper_ = XCreateSimpleWindow(dpy, DefaultRootWindow(dpy), -10, -10, 1, 1, 0, 0, 0);
    c->selectInput(c->helper_, PropertyChangeMask);
    auto* src = reinterpret_cast<XSource*>(g_source_new(&xSourceFuncs, sizeof(XSource)));
    src->connection = c.get();
    g_source_add_unix_fd(&src->base, ConnectionNumber(dpy), G_IO_IN);
    g_source_attach(&src->base, nullptr);
    c->source_ = &src->base;
    XFlush(dpy);
    return c;
}

XConnection::~XConnection() {
    if (source_) {
        g_source_destroy(source_);
        g_source_unref(source_);
    }
    if (dpy_) {
        if (helper_) XDestroyWindow(dpy_, helper_);
        XCloseDisplay(dpy_);
        if (ourDisplay == dpy_) ourDisplay = nullptr;
    }
}

Atom XConnection::atom(const char* name) {
    auto it = atoms_.find(name);
    if (it != atoms_.end()) return it->second;
    Atom a = XInternAtom(dpy_, name, False);
    atoms_[name] = a;
    return a;
}

void XConnection::dispatchPending() {
    while (XPending(dpy_) > 0) {
        XEvent e;
        XNextEvent(dpy_, &e);
        deliver(e);
    }
}

void XConnection::selectInput(XWindow w, long mask) {
    long& selected = masks_[w];
    if ((selected | mask) == selected && selected) return;
    selected |= mask;
    XSelectInput(dpy_, w, selected);
}

void XConnection::deliver(XEvent& e) {
    // A destroyed window's id may be handed out again: what we selected on it is gone.
    if (e.type == DestroyNotify) masks_.erase(e.xdestroywindow.window);
    // Handlers run the library's code (hover messages): nothing may be thrown into GLib.
    for (auto& h : handlers_) {
        try {
            h(e);
        } catch (...) {
        }
    }
}

void XConnection::serveSelectionsUntil(gint64 deadlineUs, const std::function<bool()>& done) {
    XFlush(dpy_);
    while (!(done && done())) {
        XEvent e;
        if (XCheckIfEvent(dpy_, &e, selectionPredicate, nullptr)) {
            deliver(e);
            continue;
        }
        gint64 left = deadlineUs - g_get_monotonic_time();
        if (left <= 0) return;
        // Wait for the socket, at most 10 ms at a time, without running the GLib loop.
        GPollFD fd = {ConnectionNumber(dpy_), G_IO_IN, 0};
        g_poll(&fd, 1, static_cast<gint>(std::min<gint64>(left / 1000 + 1, 10)));
        XEventsQueued(dpy_, QueuedAfterReading);
    }
}

bool XConnection::windowExists(XWindow w) {
    XWindowAttributes attrs;
    int before = trappedErrors;
    Status ok = XGetWindowAttributes(dpy_, w, &attrs);
    XSync(dpy_, False);
    return ok && trappedErrors == before;
}

pid_t XConnection::windowPid(XWindow w) {
    Atom type;
    int format;
    unsigned long count, after;
    unsigned char* data = nullptr;
    pid_t pid = 0;
    if (XGetWindowProperty(dpy_, w, atom("_NET_WM_PID"), 0, 1, False, XA_CARDINAL, &type, &format,
                           &count, &after, &data) == Success &&
        data && count == 1 && format == 32)
        pid = static_cast<pid_t>(*reinterpret_cast<unsigned long*>(data));
    if (data) XFree(data);
    return pid;
}

std::vector<XWindow> XConnection::windowsOfProcess(pid_t pid) {
    // Without a window manager clients are children of the root; with a reparenting one they
    // are one or two levels further down. Three levels cover both.
    std::vector<XWindow> found, level{DefaultRootWindow(dpy_)};
    for (int depth = 0; depth < 3 && !level.empty(); ++depth) {
        std::vector<XWindow> next;
        for (XWindow parent : level) {
            XWindow root, up, *children = nullptr;
            unsigned int n = 0;
            if (!XQueryTree(dpy_, parent, &root, &up, &children, &n)) continue;
            for (unsigned i = 0; i < n; ++i) {
                if (windowPid(children[i]) == pid) found.push_back(children[i]);
                else next.push_back(children[i]);
            }
            if (children) XFree(children);
        }
        level = std::move(next);
    }
    return found;
}

XWindow XConnection::focusedClientWindow() {
    XWindow focus = 0;
    int revert;
    XGetInputFocus(dpy_, &focus, &revert);
    // The focus may sit on a child of the client window: climb to the one that names a process.
    for (int i = 0; i < 8 && focus > PointerRoot; ++i) {
        if (windowPid(focus)) return focus;
        XWindow root, parent, *children = nullptr;
        unsigned int n = 0;
        if (!XQueryTree(dpy_, focus, &root, &parent, &children, &n)) break;
        if (children) XFree(children);
        if (parent == root) break;
        focus = parent;
    }
    return 0;
}

std::optional<CGRect> XConnection::windowFrame(XWindow w) {
    XWindowAttributes attrs;
    int before = trappedErrors;
    if (!XGetWindowAttributes(dpy_, w, &attrs) || trappedErrors != before) return std::nullopt;
    int x = 0, y = 0;
    XWindow child;
    XTranslateCoordinates(dpy_, w, attrs.root, 0, 0, &x, &y, &child);
    return CGRect{{double(x), double(y)}, {double(attrs.width), double(attrs.height)}};
}

// ---------------------------------------------------------------------------------------------
// The general pasteboard over CLIPBOARD. While we own it we answer every request for as long
// as the process lives; toolkits ask for TARGETS first and then one of the text targets.

LinuxPasteboard::LinuxPasteboard(XConnection& x) : x_(x) {
    x_.addHandler([this](XEvent& e) { handle(e); });
}

std::optional<std::string> LinuxPasteboard::ownText() const {
    for (const auto& item : items_)
        for (const auto& [type, data] : item.representations)
            if (type == NSPasteboardTypeString) return data;
    return std::nullopt;
}

void LinuxPasteboard::handle(XEvent& e) {
    Display* dpy = x_.display();
    Atom clipboard = x_.atom("CLIPBOARD");
    if (e.type == SelectionClear && e.xselectionclear.selection == clipboard) {
        // Someone else took the clipboard. Whether that is a write is settled when the count is
        // next asked for (see changeCount).
        owning_ = false;
        lostText_ = ownText();
        items_.clear();
        clearPending_ = true;
        return;
    }
    if (e.type == SelectionNotify && e.xselection.requestor == x_.helperWindow()) {
        answered_ = true;
        answerProperty_ = e.xselection.property;
        return;
    }
    if (e.type != SelectionRequest) return;
    const XSelectionRequestEvent& req = e.xselectionrequest;
    XSelectionEvent reply{};
    reply.type = SelectionNotify;
    reply.display = dpy;
    reply.requestor = req.requestor;
    reply.selection = req.selection;
    reply.target = req.target;
    reply.time = req.time;
    reply.property = None;
    // Old clients leave the property out; the target's name then serves as the property.
    Atom property = req.property ? req.property : req.target;
    auto text = ownText();
    const Atom utf8 = x_.atom("UTF8_STRING");
    const Atom textTargets[] = {utf8, x_.atom("text/plain;charset=utf-8"), x_.atom("text/plain"),
                                XA_STRING, x_.atom("TEXT")};
    if (owning_ && req.selection == clipboard) {
        if (req.target == x_.atom("TARGETS")) {
            std::vector<Atom> offered{x_.atom("TARGETS"), x_.atom("TIMESTAMP")};
            if (text) offered.insert(offered.end(), std::begin(textTargets), std::end(textTargets));
            XChangeProperty(dpy, req.requestor, property, XA_ATOM, 32, PropModeReplace,
                            reinterpret_cast<unsigned char*>(offered.data()), int(offered.size()));
            reply.property = property;
        } else if (req.target == x_.atom("TIMESTAMP")) {
            long t = CurrentTime;
            XChangeProperty(dpy, req.requestor, property, XA_INTEGER, 32, PropModeReplace,
                            reinterpret_cast<unsigned char*>(&t), 1);
            reply.property = property;
        } else if (text && std::find(std::begin(textTargets), std::end(textTargets), req.target) !=
                               std::end(textTargets)) {
            // STRING is Latin-1 by definition; our text is UTF-8, which ASCII text matches.
            Atom type = req.target == XA_STRING ? XA_STRING : (req.target == x_.atom("TEXT") ? utf8 : req.target);
            XChangeProperty(dpy, req.requestor, property, type, 8, PropModeReplace,
                            reinterpret_cast<const unsigned char*>(text->data()), int(text->size()));
            reply.property = property;
        }
    }
    XSendEvent(dpy, req.requestor, False, 0, reinterpret_cast<XEvent*>(&reply));
    XFlush(dpy);
}

void LinuxPasteboard::own() {
    // CurrentTime rather than a server timestamp: simpler, and every toolkit accepts it.
    XSetSelectionOwner(x_.display(), x_.atom("CLIPBOARD"), x_.helperWindow(), CurrentTime);
    owning_ = XGetSelectionOwner(x_.display(), x_.atom("CLIPBOARD")) == x_.helperWindow();
    XFlush(x_.display());
}

long LinuxPasteboard::changeCount() {
    // Pick up a SelectionClear that is already waiting, without running anything else.
    x_.serveSelectionsUntil(0, nullptr);
    if (clearPending_) {
        clearPending_ = false;
        // Platform quirk: some GTK3 editors (l3afpad) take the clipboard over right after pasting
        // from it, offering the very text they pasted. That is not a new write by anyone; any
        // other change of owner is, as on a pasteboard that counts writes.
        auto now = readClipboardText();
        if (!(now && lostText_ && *now == *lostText_)) ++changeCount_;
    }
    return changeCount_;
}

void LinuxPasteboard::settlePendingClear() {
    if (clearPending_) ++changeCount_;
    clearPending_ = false;
}

long LinuxPasteboard::clearContents() {
    settlePendingClear();
    items_.clear();
    own();
    return ++changeCount_;
}

bool LinuxPasteboard::setString(const std::string& text, const std::string& type) {
    settlePendingClear();
    if (!owning_) {
        items_.clear();
        own();
    }
    if (items_.empty()) items_.push_back({});
    items_.front().representations.push_back({type, text});
    ++changeCount_;
    return owning_;
}

bool LinuxPasteboard::writeObjects(const std::vector<PasteboardItem>& items) {
    settlePendingClear();
    items_ = items;
    own();
    ++changeCount_;
    return owning_;
}

std::optional<std::string> LinuxPasteboard::readClipboardText() {
    Display* dpy = x_.display();
    if (XGetSelectionOwner(dpy, x_.atom("CLIPBOARD")) == None) return std::nullopt;
    Atom property = x_.atom("KORVALE_CLIPBOARD");
    answered_ = false;
    XConvertSelection(dpy, x_.atom("CLIPBOARD"), x_.atom("UTF8_STRING"), property, x_.helperWindow(),
                      CurrentTime);
    // An owner that does not answer within a second is taken to have nothing.
    x_.serveSelectionsUntil(g_get_monotonic_time() + 1000000, [this] { return answered_; });
    if (!answered_ || answerProperty_ == None) return std::nullopt;
    Atom type;
    int format;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    std::optional<std::string> text;
    if (XGetWindowProperty(dpy, x_.helperWindow(), property, 0, 1 << 24, True, AnyPropertyType, &type,
                           &format, &count, &after, &data) == Success &&
        data && format == 8 && type != x_.atom("INCR"))
        text = std::string(reinterpret_cast<char*>(data), count);
    if (data) XFree(data);
    return text;
}

std::optional<std::string> LinuxPasteboard::stringForType(const std::string& type) {
    if (type != NSPasteboardTypeString) return std::nullopt;
    if (owning_) return ownText();
    return readClipboardText();
}

std::optional<std::vector<PasteboardItem>> LinuxPasteboard::pasteboardItems() {
    if (owning_) return items_;
    if (XGetSelectionOwner(x_.display(), x_.atom("CLIPBOARD")) == None) return std::vector<PasteboardItem>{};
    auto text = readClipboardText();
    if (!text) return std::nullopt;
    return std::vector<PasteboardItem>{PasteboardItem{{{NSPasteboardTypeString, *text}}}};
}

// ---------------------------------------------------------------------------------------------
// Keystrokes through XTest, by key position: a macOS virtual key code names a place on the
// keyboard, which is the same place on an evdev keyboard whatever the layout. Command becomes
// Control, so Command-V is the paste shortcut of X11 toolkits.

namespace {

KeyCode positionKeycode(Display* dpy, uint16_t mac) {
    switch (mac) {
        case 55: return XKeysymToKeycode(dpy, XK_Control_L);  // Command
        case 56: return XKeysymToKeycode(dpy, XK_Shift_L);
        case 58: return XKeysymToKeycode(dpy, XK_Alt_L);      // Option
        case 59: return XKeysymToKeycode(dpy, XK_Control_L);
        case 36: return XKeysymToKeycode(dpy, XK_Return);
        default: break;
    }
    // ANSI letter positions: macOS code -> Linux evdev code; X keycodes are evdev codes + 8.
    static const std::map<uint16_t, int> evdev = {
        {0, 30}, {1, 31}, {2, 32}, {3, 33}, {4, 35}, {5, 34}, {6, 44}, {7, 45}, {8, 46},
        {9, 47}, {11, 48}, {12, 16}, {13, 17}, {14, 18}, {15, 19}, {16, 21}, {17, 20}};
    auto it = evdev.find(mac);
    return it == evdev.end() ? 0 : KeyCode(it->second + 8);
}

}  // namespace

LinuxKeyboard::LinuxKeyboard(XConnection& x) : x_(x) {
    int event, error, major, minor;
    xtest_ = XTestQueryExtension(x_.display(), &event, &error, &major, &minor);
}

std::unique_ptr<CGEventSource> LinuxKeyboard::createSource(int stateID) {
    if (!xtest_) return nullptr;
    auto s = std::make_unique<CGEventSource>();
    s->stateID = stateID;
    return s;
}

std::unique_ptr<CGEvent> LinuxKeyboard::createKeyboardEvent(const CGEventSource*, uint16_t virtualKey,
                                                            bool keyDown) {
    if (!xtest_ || !positionKeycode(x_.display(), virtualKey)) return nullptr;
    auto e = std::make_unique<CGEvent>();
    e->keyCode = virtualKey;
    e->keyDown = keyDown;
    return e;
}

void LinuxKeyboard::post(int, const CGEvent& event) {
    // The flags are not turned into extra key presses: the library posts the modifier itself.
    KeyCode code = positionKeycode(x_.display(), event.keyCode);
    if (!xtest_ || !code) return;
    constexpr uint16_t kCommand = 55;
    const KeyCode shift = XKeysymToKeycode(x_.display(), XK_Shift_L);
    if (event.keyCode == kCommand && !event.keyDown && shiftAdded_) {
        XTestFakeKeyEvent(x_.display(), shift, False, CurrentTime);
        shiftAdded_ = false;
    }
    XTestFakeKeyEvent(x_.display(), code, event.keyDown ? True : False, CurrentTime);
    // Command-V is the paste shortcut everywhere but in terminals.
    if (event.keyCode == kCommand && event.keyDown && !shiftAdded_ && targetIsTerminal && targetIsTerminal()) {
        XTestFakeKeyEvent(x_.display(), shift, True, CurrentTime);
        shiftAdded_ = true;
    }
    XFlush(x_.display());
}

// ---------------------------------------------------------------------------------------------
// Host windows. A Linux host names a window by its X11 window id, cast to a pointer:
// addMouseTracker((void*)(uintptr_t)xid). The id is looked up on the server, never dereferenced.

struct LinuxWindows::HostWindow final : platform::Window {
    ::Window xid = 0;
    std::shared_ptr<Responder> delegate;
    std::vector<TrackingAreaRef> areas;
};

struct LinuxWindows::Area final : TrackingArea {
    CGRect rect;
    unsigned options = 0;
    std::weak_ptr<Responder> owner;
};

LinuxWindows::LinuxWindows(XConnection& x) : x_(x) {
    x_.addHandler([this](XEvent& e) { handle(e); });
}

WindowRef LinuxWindows::windowForHandle(void* handle) {
    auto xid = static_cast<::Window>(reinterpret_cast<uintptr_t>(handle));
    if (!xid) return nullptr;
    if (auto it = windows_.find(xid); it != windows_.end()) return it->second;
    if (!x_.windowExists(xid)) return nullptr;
    auto w = std::make_shared<HostWindow>();
    w->xid = xid;
    // Only to learn when it is destroyed, so that its trackers are let go.
    x_.selectInput(xid, StructureNotifyMask);
    XFlush(x_.display());
    windows_[xid] = w;
    return w;
}

void LinuxWindows::setDelegate(const WindowRef& window, std::shared_ptr<Responder> delegate) {
    if (auto w = std::dynamic_pointer_cast<HostWindow>(window)) w->delegate = std::move(delegate);
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
