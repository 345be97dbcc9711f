// The X connection serviced by a GLib source, with X errors on it trapped, and the window
// lookups the services share.
#include "platform/linux/XConnection.h"

#include <X11/Xatom.h>
#include <X11/extensions/Xfixes.h>

#include <algorithm>

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
    // Every change of the clipboard's owner, whoever makes it, moves the pasteboard's count.
    int fixesEvent = 0, fixesError = 0;
    if (XFixesQueryExtension(dpy, &fixesEvent, &fixesError)) {
        XFixesSelectSelectionInput(dpy, c->helper_, c->atom("CLIPBOARD"),
                                   XFixesSetSelectionOwnerNotifyMask | XFixesSelectionWindowDestroyNotifyMask |
                                       XFixesSelectionClientCloseNotifyMask);
        c->selectionNotify_ = fixesEvent + XFixesSelectionNotify;
    }
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

unsigned long XConnection::requestsSent() { return ourDisplay ? XNextRequest(ourDisplay) - 1 : 0; }

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

void XConnection::dispatchReceived() {
    // Xlib reads more from the socket only once its queue is empty, without flushing.
    while (XEventsQueued(dpy_, QueuedAfterReading) > 0) {
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

// Selection requests, clears and answers, owner changes, and the property changes of transfers.
bool XConnection::isSelectionTraffic(const XEvent& e) const {
    if (e.type == SelectionRequest || e.type == SelectionClear || e.type == SelectionNotify) return true;
    if (selectionNotify_ >= 0 && e.type == selectionNotify_) return true;
    return e.type == PropertyNotify &&
           (e.xproperty.window == helper_ || transferWindows_.count(e.xproperty.window) > 0);
}

Bool XConnection::trafficPredicate(Display*, XEvent* e, XPointer self) {
    return reinterpret_cast<XConnection*>(self)->isSelectionTraffic(*e) ? True : False;
}

void XConnection::serveSelectionsUntil(gint64 deadlineUs, const std::function<bool()>& done) {
    XFlush(dpy_);
    while (!(done && done())) {
        XEvent e;
        if (XCheckIfEvent(dpy_, &e, trafficPredicate, reinterpret_cast<XPointer>(this))) {
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

pid_t XConnection::processOfWindow(XWindow w) {
    for (int i = 0; i < 4 && w; ++i) {
        if (pid_t pid = windowPid(w)) return pid;
        XWindow root = 0, parent = 0, *children = nullptr;
        unsigned int n = 0;
        if (!XQueryTree(dpy_, w, &root, &parent, &children, &n)) return 0;
        if (children) XFree(children);
        if (parent == root) return 0;
        w = parent;
    }
    return 0;
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

}  // namespace korvale::platform::linuxdesk
