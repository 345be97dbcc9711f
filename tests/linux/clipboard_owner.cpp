// A clipboard owner for the Linux clipboard tests, standing in for the application the user copied
// from: it owns CLIPBOARD and serves several targets, each from a file, byte for byte, large ones
// through INCR transfers, and answers TARGETS with them in the order given.
//   korvale-clipboard-owner TARGET=FILE...      own the clipboard with these targets
//   korvale-clipboard-owner --manager [MS]      a clipboard manager: MS milliseconds (default 300)
//                                               after another client takes the clipboard, copy
//                                               every target and take the clipboard over
// It prints "ready" once it owns the clipboard (or, as a manager, watches it), "lost" when another
// client takes it, and "retook N" after a manager's copy of N targets. Its window carries
// _NET_WM_PID, as toolkit windows do. It runs until killed.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/Xfixes.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

Display* dpy;
Window win;
Atom clipboard, targetsAtom, timestampAtom, incrAtom, property;
const std::size_t kChunk = 64 * 1024;

struct Target {
    Atom atom;
    std::string bytes;
};
std::vector<Target> offered;

struct Transfer {
    Window requestor;
    Atom property, type;
    std::string bytes;
    std::size_t offset;
};
std::vector<Transfer> transfers;

void say(const std::string& line) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

void own() {
    XSetSelectionOwner(dpy, clipboard, win, CurrentTime);
    XFlush(dpy);
}

void serve(const XSelectionRequestEvent& req) {
    XSelectionEvent reply{};
    reply.type = SelectionNotify;
    reply.requestor = req.requestor;
    reply.selection = req.selection;
    reply.target = req.target;
    reply.time = req.time;
    reply.property = None;
    Atom prop = req.property ? req.property : req.target;
    if (req.target == targetsAtom) {
        std::vector<long> list{static_cast<long>(targetsAtom), static_cast<long>(timestampAtom)};
        for (const auto& t : offered) list.push_back(static_cast<long>(t.atom));
        XChangeProperty(dpy, req.requestor, prop, XA_ATOM, 32, PropModeReplace,
                        reinterpret_cast<unsigned char*>(list.data()), int(list.size()));
        reply.property = prop;
    } else if (req.target == timestampAtom) {
        long t = CurrentTime;
        XChangeProperty(dpy, req.requestor, prop, XA_INTEGER, 32, PropModeReplace, reinterpret_cast<unsigned char*>(&t), 1);
        reply.property = prop;
    } else {
        for (const auto& t : offered) {
            if (t.atom != req.target) continue;
            if (t.bytes.size() > kChunk) {
                XSelectInput(dpy, req.requestor, PropertyChangeMask);
                long size = static_cast<long>(t.bytes.size());
                XChangeProperty(dpy, req.requestor, prop, incrAtom, 32, PropModeReplace,
                                reinterpret_cast<unsigned char*>(&size), 1);
                transfers.push_back({req.requestor, prop, t.atom, t.bytes, 0});
            } else {
                XChangeProperty(dpy, req.requestor, prop, t.atom, 8, PropModeReplace,
                                reinterpret_cast<const unsigned char*>(t.bytes.data()), int(t.bytes.size()));
            }
            reply.property = prop;
            break;
        }
    }
    XSendEvent(dpy, req.requestor, False, 0, reinterpret_cast<XEvent*>(&reply));
    XFlush(dpy);
}

void nextPiece(const XPropertyEvent& p) {
    for (auto it = transfers.begin(); it != transfers.end(); ++it) {
        if (it->requestor != p.window || it->property != p.atom) continue;
        std::size_t n = std::min(kChunk, it->bytes.size() - it->offset);
        XChangeProperty(dpy, it->requestor, it->property, it->type, 8, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(it->bytes.data() + it->offset), int(n));
        XFlush(dpy);
        it->offset += n;
        if (n == 0) transfers.erase(it);
        return;
    }
}

// Waits for the next event, at most `ms`; false when none came.
bool nextEvent(XEvent* e, int ms) {
    if (XPending(dpy)) {
        XNextEvent(dpy, e);
        return true;
    }
    pollfd fd{ConnectionNumber(dpy), POLLIN, 0};
    if (poll(&fd, 1, ms) <= 0 || !XPending(dpy)) return false;
    XNextEvent(dpy, e);
    return true;
}

// A manager's copy of one target (no INCR: the manager tests use small data); empty when refused.
bool fetch(Atom target, std::string* out, Atom* type) {
    XDeleteProperty(dpy, win, property);
    XConvertSelection(dpy, clipboard, target, property, win, CurrentTime);
    XFlush(dpy);
    XEvent e;
    for (int i = 0; i < 100; ++i) {
        if (!nextEvent(&e, 10)) continue;
        if (e.type == SelectionRequest) serve(e.xselectionrequest);
        if (e.type != SelectionNotify) continue;
        if (e.xselection.property == None) return false;
        int format;
        unsigned long count, after;
        unsigned char* data = nullptr;
        XGetWindowProperty(dpy, win, property, 0, 1 << 24, True, AnyPropertyType, type, &format, &count, &after, &data);
        if (data) out->assign(reinterpret_cast<char*>(data), count * (format == 32 ? sizeof(long) : format == 16 ? 2 : 1));
        if (data) XFree(data);
        return *type != incrAtom;
    }
    return false;
}

void manage() {
    std::string list;
    Atom type;
    if (!fetch(targetsAtom, &list, &type)) return;
    std::vector<Target> copy;
    const long* atoms = reinterpret_cast<const long*>(list.data());
    for (std::size_t i = 0; i < list.size() / sizeof(long); ++i) {
        Atom a = static_cast<Atom>(atoms[i]);
        if (a == targetsAtom || a == timestampAtom) continue;
        std::string bytes;
        if (fetch(a, &bytes, &type)) copy.push_back({a, bytes});
    }
    if (copy.empty()) return;
    offered = copy;
    own();
    say("retook " + std::to_string(copy.size()));
}

}  // namespace

int main(int argc, char** argv) {
    dpy = XOpenDisplay(nullptr);
    if (!dpy) return 2;
    win = XCreateSimpleWindow(dpy, DefaultRootWindow(dpy), 0, 0, 1, 1, 0, 0, 0);
    long pid = getpid();
    XChangeProperty(dpy, win, XInternAtom(dpy, "_NET_WM_PID", False), XA_CARDINAL, 32, PropModeReplace,
                    reinterpret_cast<unsigned char*>(&pid), 1);
    XSelectInput(dpy, win, PropertyChangeMask);
    clipboard = XInternAtom(dpy, "CLIPBOARD", False);
    targetsAtom = XInternAtom(dpy, "TARGETS", False);
    timestampAtom = XInternAtom(dpy, "TIMESTAMP", False);
    incrAtom = XInternAtom(dpy, "INCR", False);
    property = XInternAtom(dpy, "OWNER_COPY", False);
    const bool manager = argc > 1 && std::string(argv[1]) == "--manager";
    const int managerDelayMs = manager && argc > 2 ? std::atoi(argv[2]) : 300;
    int fixesEvent = 0, fixesError = 0;
    if (manager) {
        if (!XFixesQueryExtension(dpy, &fixesEvent, &fixesError)) return 2;
        XFixesSelectSelectionInput(dpy, win, clipboard, XFixesSetSelectionOwnerNotifyMask);
    } else {
        for (int i = 1; i < argc; ++i) {
            std::string arg = argv[i];
            auto eq = arg.find('=');
            std::ifstream in(arg.substr(eq + 1), std::ios::binary);
            offered.push_back({XInternAtom(dpy, arg.substr(0, eq).c_str(), False),
                               std::string(std::istreambuf_iterator<char>(in), {})});
        }
        own();
    }
    XSync(dpy, False);
    say("ready");
    for (;;) {
        XEvent e;
        XNextEvent(dpy, &e);
        if (e.type == SelectionRequest) serve(e.xselectionrequest);
        else if (e.type == SelectionClear) say("lost");
        else if (e.type == PropertyNotify && e.xproperty.state == PropertyDelete) nextPiece(e.xproperty);
        else if (manager && e.type == fixesEvent + XFixesSelectionNotify) {
            auto& n = reinterpret_cast<XFixesSelectionNotifyEvent&>(e);
            if (n.owner != win && n.owner != None) {
                usleep(managerDelayMs * 1000);  // managers look a little after the change
                manage();
            }
        }
    }
}
