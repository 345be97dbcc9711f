// The X11 half of the Linux backend: the connection serviced by a GLib source, the CLIPBOARD
// selection (read, and owned with an answer for every target a toolkit asks for), XTest
// keystrokes mapped by key position, and hover tracking on the host's windows.
#include "platform/linux/LinuxX11.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/extensions/Xfixes.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
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

// ---------------------------------------------------------------------------------------------
// The general pasteboard over CLIPBOARD. While we own it we answer every request for as long
// as the process lives, pieces of large data through INCR transfers; toolkits ask for TARGETS
// first and then one of the targets. Reads take every target the owner offers, byte for byte.

namespace {

// Targets that name no data of their own: answered by whoever owns the clipboard, never copied.
bool isMetaTarget(const std::string& name) {
    return name == "TARGETS" || name == "MULTIPLE" || name == "TIMESTAMP" || name == "DELETE" ||
           name == "INSERT_SELECTION" || name == "INSERT_PROPERTY" || name == "SAVE_TARGETS";
}

std::size_t unitSize(int format) { return format == 32 ? sizeof(long) : format == 16 ? sizeof(short) : 1; }

// What the library's plain text is offered as, in this order.
const char* const kTextTargets[] = {"UTF8_STRING", "text/plain;charset=utf-8", "text/plain", "STRING", "TEXT"};

constexpr char kDetail = '\x1f';

}  // namespace

LinuxPasteboard::LinuxPasteboard(XConnection& x) : x_(x) {
    x_.addHandler([this](XEvent& e) { handle(e); });
    // Room for the request's own header; larger data goes in pieces (INCR).
    chunk_ = std::min<std::size_t>(256 * 1024, static_cast<std::size_t>(XMaxRequestSize(x_.display())) * 4 - 1024);
}

std::optional<std::string> LinuxPasteboard::ownText() const {
    for (const auto& item : items_)
        for (const auto& [type, data] : item.representations)
            if (type == NSPasteboardTypeString || type == "UTF8_STRING" || type == "text/plain;charset=utf-8")
                return data;
    return std::nullopt;
}

// The data we hand out for `target`: a representation of that name (with its recorded type and
// format), or the library's plain text under any text target.
std::optional<LinuxPasteboard::Data> LinuxPasteboard::offered(Atom target) const {
    char* raw = XGetAtomName(x_.display(), target);
    if (!raw) return std::nullopt;
    const std::string name = raw;
    XFree(raw);
    Display* dpy = x_.display();
    for (const auto& item : items_)
        for (const auto& [type, data] : item.representations) {
            if (type == NSPasteboardTypeString) {
                if (std::find(std::begin(kTextTargets), std::end(kTextTargets), name) == std::end(kTextTargets))
                    continue;
                // STRING is Latin-1 by definition; our text is UTF-8, which ASCII text matches.
                Atom t = name == "TEXT" ? XInternAtom(dpy, "UTF8_STRING", False) : target;
                return Data{t, 8, data};
            }
            auto cut = type.find(kDetail);
            if (type.substr(0, cut) != name || name == "TARGETS") continue;
            if (cut == std::string::npos) return Data{target, 8, data};
            // "target\x1fTYPE/FORMAT"
            const std::string detail = type.substr(cut + 1);
            auto slash = detail.rfind('/');
            int format = std::atoi(detail.c_str() + slash + 1);
            if (format != 8 && format != 16 && format != 32) format = 8;
            return Data{XInternAtom(dpy, detail.substr(0, slash).c_str(), False), format, data};
        }
    return std::nullopt;
}

// What we answer to TARGETS: the saved owner's list as it was, or ours.
std::vector<Atom> LinuxPasteboard::offeredTargets() const {
    Display* dpy = x_.display();
    std::vector<Atom> out;
    for (const auto& item : items_)
        for (const auto& [type, data] : item.representations)
            if (type == "TARGETS") {
                std::size_t start = 0;
                while (start < data.size()) {
                    auto end = data.find('\n', start);
                    if (end == std::string::npos) end = data.size();
                    if (end > start) out.push_back(XInternAtom(dpy, data.substr(start, end - start).c_str(), False));
                    start = end + 1;
                }
                return out;
            }
    out = {XInternAtom(dpy, "TARGETS", False), XInternAtom(dpy, "TIMESTAMP", False)};
    for (const auto& item : items_)
        for (const auto& [type, data] : item.representations) {
            if (type == NSPasteboardTypeString) {
                for (const char* t : kTextTargets) out.push_back(XInternAtom(dpy, t, False));
                continue;
            }
            Atom a = XInternAtom(dpy, type.substr(0, type.find(kDetail)).c_str(), False);
            if (std::find(out.begin(), out.end(), a) == out.end()) out.push_back(a);
        }
    return out;
}

// The process behind a requestor's window.
pid_t LinuxPasteboard::processOfWindow(XWindow w) { return x_.processOfWindow(w); }

void LinuxPasteboard::handle(XEvent& e) {
    Atom clipboard = x_.atom("CLIPBOARD");
    if (e.type == x_.selectionNotifyEvent()) {
        auto& n = reinterpret_cast<XFixesSelectionNotifyEvent&>(e);
        if (n.selection != clipboard || n.owner == x_.helperWindow()) return;
        if (n.owner == None && ownClears_ > 0) {
            --ownClears_;  // our own clearContents coming back
            return;
        }
        ++changeCount_;
        return;
    }
    if (e.type == SelectionClear && e.xselectionclear.selection == clipboard) {
        // A clear that comes after we took the clipboard again (our own clearContents, then a
        // write) is stale.
        if (XGetSelectionOwner(x_.display(), clipboard) == x_.helperWindow()) return;
        // Someone else took the clipboard; transfers already begun keep their own copy.
        owning_ = false;
        items_.clear();
        if (x_.selectionNotifyEvent() < 0) ++changeCount_;
        return;
    }
    if (e.type == SelectionNotify && e.xselection.requestor == x_.helperWindow()) {
        answered_ = true;
        answerProperty_ = e.xselection.property;
        return;
    }
    if (e.type == PropertyNotify) {
        const XPropertyEvent& p = e.xproperty;
        if (p.window == x_.helperWindow() && p.atom == x_.atom("KORVALE_CLIPBOARD") && p.state == PropertyNewValue)
            newPiece_ = true;
        if (p.state == PropertyDelete)
            for (auto& t : transfers_)
                if (t.requestor == p.window && t.property == p.atom) {
                    continueTransfer(t);
                    break;
                }
        dropStaleTransfers();
        return;
    }
    if (e.type == SelectionRequest) serveRequest(e.xselectionrequest);
}

void LinuxPasteboard::serveRequest(const XSelectionRequestEvent& req) {
    Display* dpy = x_.display();
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
    if (owning_ && req.selection == x_.atom("CLIPBOARD")) {
        if (req.target == x_.atom("MULTIPLE")) {
            // A list of (target, property) pairs on the requestor; a pair we cannot fill gets None.
            Atom type = 0;
            int format = 0;
            unsigned long count = 0, after = 0;
            unsigned char* raw = nullptr;
            if (req.property &&
                XGetWindowProperty(dpy, req.requestor, req.property, 0, 1 << 16, False, AnyPropertyType, &type,
                                   &format, &count, &after, &raw) == Success &&
                raw && format == 32) {
                auto* pairs = reinterpret_cast<long*>(raw);
                pid_t pid = processOfWindow(req.requestor);
                for (unsigned long i = 0; i + 1 < count; i += 2)
                    if (!convertInto(req.requestor, pairs[i + 1], pairs[i], pid)) pairs[i + 1] = None;
                XChangeProperty(dpy, req.requestor, req.property, type, 32, PropModeReplace, raw, int(count));
                reply.property = req.property;
            }
            if (raw) XFree(raw);
        } else if (convertInto(req.requestor, property, req.target,
                               req.target == x_.atom("TARGETS") || req.target == x_.atom("TIMESTAMP")
                                   ? 0
                                   : processOfWindow(req.requestor))) {
            reply.property = property;
        }
    }
    XSendEvent(dpy, req.requestor, False, 0, reinterpret_cast<XEvent*>(&reply));
    XFlush(dpy);
}

// Writes what we hold for `target` into the requestor's property, or begins an INCR transfer of
// it; false when we hold nothing for it.
bool LinuxPasteboard::convertInto(XWindow requestor, Atom property, Atom target, pid_t requestorPid) {
    Display* dpy = x_.display();
    if (target == x_.atom("TARGETS")) {
        std::vector<Atom> list = offeredTargets();
        std::vector<long> wide(list.begin(), list.end());
        XChangeProperty(dpy, requestor, property, XA_ATOM, 32, PropModeReplace,
                        reinterpret_cast<unsigned char*>(wide.data()), int(wide.size()));
        return true;
    }
    if (target == x_.atom("TIMESTAMP")) {
        long t = CurrentTime;
        XChangeProperty(dpy, requestor, property, XA_INTEGER, 32, PropModeReplace,
                        reinterpret_cast<unsigned char*>(&t), 1);
        return true;
    }
    auto data = offered(target);
    if (!data) return false;
    const std::size_t unit = unitSize(data->format);
    if (data->bytes.size() <= chunk_) {
        XChangeProperty(dpy, requestor, property, data->type, data->format, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(data->bytes.data()), int(data->bytes.size() / unit));
        fetchedBy_.push_back(requestorPid);
        return true;
    }
    // Too large for one request: announce the size, then a piece each time the requestor has
    // read (deleted) the property, and an empty piece at the end.
    x_.selectInput(requestor, PropertyChangeMask);
    x_.watchTransfer(requestor);
    long size = static_cast<long>(data->bytes.size());
    XChangeProperty(dpy, requestor, property, x_.atom("INCR"), 32, PropModeReplace,
                    reinterpret_cast<unsigned char*>(&size), 1);
    transfers_.push_back({requestor, property, std::move(*data), 0, requestorPid, writes_, g_get_monotonic_time()});
    return true;
}

void LinuxPasteboard::continueTransfer(Transfer& t) {
    Display* dpy = x_.display();
    const std::size_t unit = unitSize(t.data.format);
    const std::size_t left = t.data.bytes.size() - t.offset;
    const std::size_t piece = std::min(left, chunk_ / unit * unit);
    XChangeProperty(dpy, t.requestor, t.property, t.data.type, t.data.format, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(t.data.bytes.data() + t.offset), int(piece / unit));
    XFlush(dpy);
    t.lastUs = g_get_monotonic_time();
    if (piece > 0) {
        t.offset += piece;
        return;
    }
    // The empty piece ends it: the requestor has it all.
    if (t.write == writes_) fetchedBy_.push_back(t.requestorPid);
    XWindow requestor = t.requestor;
    std::erase_if(transfers_, [&](const Transfer& x) { return &x == &t; });
    if (std::none_of(transfers_.begin(), transfers_.end(), [&](const Transfer& x) { return x.requestor == requestor; }))
        x_.unwatchTransfer(requestor);
}

// A requestor that stopped reading (or went away) is not waited for forever.
void LinuxPasteboard::dropStaleTransfers() {
    const gint64 now = g_get_monotonic_time();
    std::erase_if(transfers_, [&](const Transfer& t) { return now - t.lastUs > kReadLimitUs; });
}

void LinuxPasteboard::own() {
    // CurrentTime rather than a server timestamp: simpler, and every toolkit accepts it.
    XSetSelectionOwner(x_.display(), x_.atom("CLIPBOARD"), x_.helperWindow(), CurrentTime);
    owning_ = XGetSelectionOwner(x_.display(), x_.atom("CLIPBOARD")) == x_.helperWindow();
    XFlush(x_.display());
}

void LinuxPasteboard::libraryWrote() {
    ++writes_;
    fetchedBy_.clear();
    ++changeCount_;
}

long LinuxPasteboard::changeCount() {
    // Pick up owner changes that are already waiting, without running anything else.
    x_.serveSelectionsUntil(0, nullptr);
    return changeCount_;
}

long LinuxPasteboard::clearContents() {
    x_.serveSelectionsUntil(0, nullptr);
    items_.clear();
    // An empty clipboard has no owner: whoever held it lets go.
    Display* dpy = x_.display();
    if (XGetSelectionOwner(dpy, x_.atom("CLIPBOARD")) != None) {
        XSetSelectionOwner(dpy, x_.atom("CLIPBOARD"), None, CurrentTime);
        if (x_.selectionNotifyEvent() >= 0) ++ownClears_;
        XFlush(dpy);
    }
    owning_ = false;
    libraryWrote();
    return changeCount_;
}

bool LinuxPasteboard::setString(const std::string& text, const std::string& type) {
    if (!owning_) {
        items_.clear();
        own();
    }
    if (items_.empty()) items_.push_back({});
    items_.front().representations.push_back({type, text});
    libraryWrote();
    return owning_;
}

bool LinuxPasteboard::writeObjects(const std::vector<PasteboardItem>& items) {
    if (!owning_) items_.clear();
    // One X selection holds one item: later items add the types the first lacks.
    for (const auto& item : items) {
        if (items_.empty()) items_.push_back({});
        for (const auto& rep : item.representations) {
            auto& reps = items_.front().representations;
            if (std::none_of(reps.begin(), reps.end(), [&](const auto& r) { return r.first == rep.first; }))
                reps.push_back(rep);
        }
    }
    if (!items_.empty()) own();
    libraryWrote();
    return owning_ || items_.empty();
}

bool LinuxPasteboard::fetched(pid_t by) const {
    return std::any_of(fetchedBy_.begin(), fetchedBy_.end(), [by](pid_t p) { return by == 0 || p == 0 || p == by; });
}

PasteboardFetch LinuxPasteboard::waitForFetch(pid_t by, double deadline) {
    x_.serveSelectionsUntil(static_cast<gint64>(deadline * 1e6), [&] { return fetched(by); });
    return fetched(by) ? PasteboardFetch::Taken : PasteboardFetch::NotTaken;
}

// Asks the owner for `target` and reads the answer whole, INCR pieces included.
LinuxPasteboard::Answer LinuxPasteboard::convert(Atom target, gint64 readDeadlineUs, Data* out) {
    Display* dpy = x_.display();
    const Atom property = x_.atom("KORVALE_CLIPBOARD");
    const XWindow helper = x_.helperWindow();
    auto step = [&](const std::function<bool()>& done) {
        gint64 until = std::min(g_get_monotonic_time() + kAnswerLimitUs, readDeadlineUs);
        x_.serveSelectionsUntil(until, done);
        return done();
    };
    // Reads the whole property and deletes it (a deletion asks an INCR owner for the next piece).
    auto take = [&](Atom* type, int* format, std::string* bytes) {
        unsigned long count = 0, after = 0;
        unsigned char* raw = nullptr;
        bool ok = XGetWindowProperty(dpy, helper, property, 0, 0x1fffffff, True, AnyPropertyType, type, format,
                                     &count, &after, &raw) == Success;
        if (ok && raw) bytes->assign(reinterpret_cast<char*>(raw), count * unitSize(*format));
        if (raw) XFree(raw);
        return ok;
    };
    XDeleteProperty(dpy, helper, property);
    answered_ = false;
    XConvertSelection(dpy, x_.atom("CLIPBOARD"), target, property, helper, CurrentTime);
    if (!step([this] { return answered_; })) return Answer::NoAnswer;
    if (answerProperty_ == None) return Answer::Refused;
    Atom type = 0;
    int format = 0;
    std::string bytes;
    if (!take(&type, &format, &bytes)) return Answer::NoAnswer;
    if (type != x_.atom("INCR")) {
        *out = Data{type, format ? format : 8, std::move(bytes)};
        return Answer::Data;
    }
    out->bytes.clear();
    for (;;) {
        newPiece_ = false;
        XFlush(dpy);
        if (!step([this] { return newPiece_; })) return Answer::NoAnswer;
        std::string piece;
        if (!take(&type, &format, &piece)) return Answer::NoAnswer;
        if (piece.empty()) break;
        out->type = type;
        out->format = format ? format : 8;
        out->bytes += piece;
    }
    return Answer::Data;
}

std::optional<std::string> LinuxPasteboard::readText() {
    if (XGetSelectionOwner(x_.display(), x_.atom("CLIPBOARD")) == None) return std::nullopt;
    Data data;
    if (convert(x_.atom("UTF8_STRING"), g_get_monotonic_time() + kReadLimitUs, &data) != Answer::Data ||
        data.format != 8)
        return std::nullopt;
    return data.bytes;
}

// Whether we still own CLIPBOARD: another client may have taken it a moment ago, before its
// SelectionClear reached us; the server's answer settles it.
bool LinuxPasteboard::stillOwning() {
    x_.serveSelectionsUntil(0, nullptr);
    if (owning_ && XGetSelectionOwner(x_.display(), x_.atom("CLIPBOARD")) != x_.helperWindow()) {
        owning_ = false;
        items_.clear();
    }
    return owning_;
}

std::optional<std::string> LinuxPasteboard::stringForType(const std::string& type) {
    if (type != NSPasteboardTypeString) return std::nullopt;
    if (stillOwning()) return ownText();
    return readText();
}

std::optional<std::vector<PasteboardItem>> LinuxPasteboard::pasteboardItems() {
    if (stillOwning()) return items_;
    Display* dpy = x_.display();
    if (XGetSelectionOwner(dpy, x_.atom("CLIPBOARD")) == None) return std::vector<PasteboardItem>{};
    const gint64 deadline = g_get_monotonic_time() + kReadLimitUs;
    Data list;
    std::vector<Atom> targets;
    Answer a = convert(x_.atom("TARGETS"), deadline, &list);
    if (a == Answer::NoAnswer) return std::nullopt;
    const bool listed = a == Answer::Data && list.format == 32;
    if (listed) {
        const long* atoms = reinterpret_cast<const long*>(list.bytes.data());
        targets.assign(atoms, atoms + list.bytes.size() / sizeof(long));
    } else {
        // An owner without TARGETS: the text targets every owner knows.
        targets = {x_.atom("UTF8_STRING"), XA_STRING};
    }
    PasteboardItem item;
    std::string names;
    for (Atom target : targets) {
        char* raw = XGetAtomName(dpy, target);
        if (!raw) continue;
        const std::string name = raw;
        XFree(raw);
        names += name + "\n";
        if (isMetaTarget(name)) continue;
        Data data;
        a = convert(target, deadline, &data);
        if (a == Answer::NoAnswer) return std::nullopt;
        if (a == Answer::Refused) continue;  // offered but not given: a paste could not get it either
        std::string key = name;
        if (data.type != target || data.format != 8) {
            raw = XGetAtomName(dpy, data.type);
            key += kDetail + std::string(raw ? raw : "") + "/" + std::to_string(data.format);
            if (raw) XFree(raw);
        }
        item.representations.emplace_back(std::move(key), std::move(data.bytes));
    }
    if (item.representations.empty()) return std::nullopt;  // nothing readable: nothing to save
    if (listed) item.representations.insert(item.representations.begin(), {"TARGETS", names});
    return std::vector<PasteboardItem>{std::move(item)};
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
