// The CLIPBOARD selection: read, and owned with an answer for every target a toolkit asks for.
#include "platform/linux/LinuxPasteboard.h"

#include <X11/Xatom.h>
#include <X11/extensions/Xfixes.h>

#include <algorithm>
#include <cstdlib>

namespace korvale::platform::linuxdesk {

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

}  // namespace korvale::platform::linuxdesk
