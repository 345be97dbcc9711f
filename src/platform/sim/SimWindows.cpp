// The simulated window server. Windows are owned here: closing one tells its delegate (the
// host's) and releases its tracking areas. Tracking areas refer to their owners weakly, and each message is checked again
// when the main loop delivers it, so nothing reaches an owner that is gone or an area whose
// window has closed. Handles are tokens from a range no allocation uses, never reused.
#include "platform/sim/SimWindows.h"

#include <algorithm>

namespace korvale::sim {

struct SimWindows::SimTrackingArea final : TrackingArea {
    CGRect rect;
    unsigned options = 0;
    std::weak_ptr<Responder> owner;
    bool inside = false;
};

struct SimWindows::SimWindow final : Window {
    std::string id;
    bool hasContentView = true;
    CGRect frame;  // screen points, origin at the top left of the main display
    // The host's own delegate object, by the name the world gives it ("" for none). It receives
    // the window's delegate messages; the library must leave it in place.
    std::string delegateName;
    std::vector<std::shared_ptr<SimTrackingArea>> areas;  // held by the content view
};

namespace {

constexpr uintptr_t kHandleBase = 0x7a110000c000;
constexpr uintptr_t kHandleStep = 0x40;

CGRect rectFrom(const json& j) {
    if (!j.is_array() || j.size() != 4) throw SimError{"a frame is [x, y, width, height]"};
    return CGRect{{j[0].get<double>(), j[1].get<double>()}, {j[2].get<double>(), j[3].get<double>()}};
}

CGPoint pointFrom(const json& j) {
    if (!j.is_array() || j.size() != 2) throw SimError{"a point is [x, y]"};
    return CGPoint{j[0].get<double>(), j[1].get<double>()};
}

CGRect shifted(CGRect r, CGPoint origin) {
    r.origin.x += origin.x;
    r.origin.y += origin.y;
    return r;
}

CGPoint shifted(CGPoint p, CGPoint origin) { return CGPoint{p.x + origin.x, p.y + origin.y}; }

json rectJson(const CGRect& r) { return {r.origin.x, r.origin.y, r.size.width, r.size.height}; }

bool contains(const CGRect& r, CGPoint p) {
    return p.x >= r.origin.x && p.x < r.origin.x + r.size.width && p.y >= r.origin.y &&
           p.y < r.origin.y + r.size.height;
}

// The screen rectangle an area tracks: the content view's visible rectangle when it follows it,
// else the rectangle it was made with, in the view's coordinates. The content view fills the
// window.
CGRect trackedRect(const SimWindows::SimWindow& w, const SimWindows::SimTrackingArea& a) {
    CGRect local = (a.options & NSTrackingInVisibleRect)
                       ? CGRect{{0, 0}, w.frame.size}
                       : a.rect;
    return CGRect{{w.frame.origin.x + local.origin.x, w.frame.origin.y + local.origin.y}, local.size};
}

}  // namespace

SimWindows::SimWindows(Desktop& desktop) : desktop_(desktop), nextHandle_(kHandleBase) {
    desktop_.registerWorldLoader([this](const json& world) { loadWorld(world); });
    desktop_.registerAction("move_pointer", [this](const json& a) {
        movePointer(shifted(pointFrom(a.at("to")), desktop_.placement(a)));
    });
    desktop_.registerAction("mouse_down", [this](const json&) { mouseDown(); });
    desktop_.registerAction("open_host_window", [this](const json& a) { addWindow(a); });
    desktop_.registerAction("close_host_window", [this](const json& a) {
        closeWindow(a.at("window").get<std::string>());
    });
    desktop_.registerAction("resize_host_window", [this](const json& a) {
        auto w = find(a.at("window").get<std::string>());
        if (!w) throw SimError{"no host window \"" + a.at("window").get<std::string>() + "\""};
        const CGRect before = w->frame;
        if (a.contains("frame")) w->frame = shifted(rectFrom(a["frame"]), desktop_.placement(a));
        else if (a.contains("size")) w->frame.size = CGSize{a["size"].at(0).get<double>(), a["size"].at(1).get<double>()};
        else throw SimError{"resize_host_window needs \"frame\" or \"size\""};
        if (w->frame.origin.x != before.origin.x || w->frame.origin.y != before.origin.y)
            tellDelegate(*w, "windowDidMove:");
        if (w->frame.size.width != before.size.width || w->frame.size.height != before.size.height)
            tellDelegate(*w, "windowDidResize:");
        updateHover();
    });
    desktop_.registerAction("set_host_active", [this](const json& a) { hostActive_ = a.at("active").get<bool>(); });
    desktop_.registerStateReporter([this](json& s) {
        s["windows"] = report();
        s["pointer"] = {pointer_.x, pointer_.y};
        s["shared_application"] = sharedApplication_;
        s["activation_policy"] = sharedApplication_ ? json(activationPolicy_) : json(nullptr);
        s["mouse_messages"] = messages_;
        s["delegate_messages"] = delegateMessages_;
    });
}

SimWindows::~SimWindows() = default;

void SimWindows::reset() {
    windows_.clear();
    handles_.clear();
    pointer_ = CGPoint{-1e9, -1e9};
    sharedApplication_ = true;
    hostActive_ = false;
    activationPolicy_ = 0;
    messages_ = json::array();
    delegateMessages_ = json::array();
}

void SimWindows::loadWorld(const json& world) {
    sharedApplication_ = world.value("shared_application", true);
    hostActive_ = world.value("host_active", false);
    if (world.contains("pointer")) pointer_ = pointFrom(world["pointer"]);
    if (world.contains("windows"))
        for (const auto& w : world["windows"]) addWindow(w);
}

void SimWindows::addWindow(const json& d) {
    const std::string id = d.at(d.contains("window") ? "window" : "id").get<std::string>();
    if (windows_.count(id)) throw SimError{"host window \"" + id + "\" exists already"};
    auto w = std::make_shared<SimWindow>();
    w->id = id;
    w->hasContentView = d.value("content_view", true);
    if (d.contains("delegate") && !d["delegate"].is_null()) {
        if (!d["delegate"].is_string()) throw SimError{"a host window's \"delegate\" names the host's delegate"};
        w->delegateName = d["delegate"].get<std::string>();
    }
    w->frame = shifted(d.contains("frame") ? rectFrom(d["frame"]) : CGRect{{0, 0}, {400, 300}},
                       desktop_.placement(d));
    windows_[id] = w;
    // A window opened again under the same name is another window: a handle to the old one
    // must not reach it.
    handles_[id] = nextHandle_;
    nextHandle_ += kHandleStep;
}

void SimWindows::closeWindow(const std::string& id) {
    auto it = windows_.find(id);
    if (it == windows_.end()) throw SimError{"no host window \"" + id + "\""};
    tellDelegate(*it->second, "windowWillClose:");
    // The window goes with its view's tracking areas.
    it->second->areas.clear();
    windows_.erase(it);
}

void* SimWindows::handleFor(const std::string& id) {
    auto it = handles_.find(id);
    return it == handles_.end() ? nullptr : reinterpret_cast<void*>(it->second);
}

std::shared_ptr<SimWindows::SimWindow> SimWindows::find(const std::string& id) const {
    auto it = windows_.find(id);
    return it == windows_.end() ? nullptr : it->second;
}

std::string SimWindows::nameOf(const WindowRef& window) const {
    auto w = std::dynamic_pointer_cast<SimWindow>(window);
    return w ? w->id : std::string();
}

// Compares the handle's value with the live windows' handles; the pointer is never followed.
WindowRef SimWindows::windowForHandle(void* handle) {
    const auto value = reinterpret_cast<uintptr_t>(handle);
    WindowRef found;
    for (const auto& [id, h] : handles_)
        if (h == value && handle) found = find(id);
    desktop_.logRequest({{"call", "isKindOfClass:"}, {"class", "NSWindow"},
                         {"result", found != nullptr},
                         {"window", found ? json(nameOf(found)) : json(nullptr)}});
    return found;
}

std::optional<CGRect> SimWindows::contentViewBounds(const WindowRef& window) {
    auto w = std::dynamic_pointer_cast<SimWindow>(window);
    std::optional<CGRect> bounds;
    if (w && w->hasContentView) bounds = CGRect{{0, 0}, w->frame.size};
    desktop_.logRequest({{"call", "contentView.bounds"}, {"window", nameOf(window)},
                         {"result", bounds ? rectJson(*bounds) : json(nullptr)}});
    return bounds;
}

TrackingAreaRef SimWindows::makeTrackingArea(CGRect rect, unsigned options,
                                             std::weak_ptr<Responder> owner) {
    desktop_.logRequest({{"call", "initWithRect:options:owner:userInfo:"}, {"rect", rectJson(rect)},
                         {"options", options}, {"owner", !owner.expired()}});
    auto area = std::make_shared<SimTrackingArea>();
    area->rect = rect;
    area->options = options;
    area->owner = std::move(owner);
    return area;
}

bool SimWindows::addTrackingArea(const WindowRef& window, const TrackingAreaRef& area) {
    auto w = std::dynamic_pointer_cast<SimWindow>(window);
    auto a = std::dynamic_pointer_cast<SimTrackingArea>(area);
    const bool added = w && a && w->hasContentView && windows_.count(w->id);
    desktop_.logRequest({{"call", "addTrackingArea:"}, {"window", nameOf(window)}, {"result", added}});
    if (!added) return false;
    // Where the pointer is now only sets the starting state: the first message comes when it
    // crosses the edge.
    a->inside = contains(trackedRect(*w, *a), pointer_);
    w->areas.push_back(a);
    return true;
}

bool SimWindows::setActivationPolicy(int policy) {
    desktop_.logRequest({{"call", "setActivationPolicy:"}, {"policy", policy},
                         {"result", sharedApplication_}});
    if (!sharedApplication_) return false;
    activationPolicy_ = policy;
    return true;
}

void SimWindows::movePointer(CGPoint to) {
    pointer_ = to;
    updateHover();
}

void SimWindows::updateHover() {
    struct Crossing {
        std::weak_ptr<SimWindow> window;
        std::weak_ptr<SimTrackingArea> area;
        bool entered;
    };
    std::vector<Crossing> crossings;
    for (const auto& [id, w] : windows_)
        for (const auto& a : w->areas) {
            bool inside = contains(trackedRect(*w, *a), pointer_);
            if (inside == a->inside) continue;
            a->inside = inside;
            bool active = (a->options & NSTrackingActiveAlways) || hostActive_;
            if ((a->options & NSTrackingMouseEnteredAndExited) && active)
                crossings.push_back({w, a, inside});
        }
    // The window system reports leaving one area before entering the next.
    std::stable_partition(crossings.begin(), crossings.end(), [](const Crossing& c) { return !c.entered; });
    for (auto& c : crossings) {
        desktop_.scheduleMain(desktop_.nowNs(), Desktop::Lane::Mouse, [this, c] {
            auto w = c.window.lock();
            auto a = c.area.lock();
            if (!w || !a || find(w->id) != w) return;  // the window closed meanwhile
            if (std::find(w->areas.begin(), w->areas.end(), a) == w->areas.end()) return;
            auto owner = a->owner.lock();
            if (!owner) return;
            messages_.push_back({{"window", w->id}, {"message", c.entered ? "mouseEntered" : "mouseExited"},
                                 {"t", desktop_.nowSeconds()}});
            if (c.entered) owner->mouseEntered();
            else owner->mouseExited();
        });
    }
}

// A click in a window: the content view does not handle it, so it goes on to the window's
// delegate.
void SimWindows::mouseDown() {
    for (const auto& [id, w] : windows_) {
        if (!contains(w->frame, pointer_)) continue;
        std::weak_ptr<SimWindow> weakWindow = w;
        desktop_.scheduleMain(desktop_.nowNs(), Desktop::Lane::Mouse, [this, weakWindow] {
            auto win = weakWindow.lock();
            if (win && find(win->id) == win) tellDelegate(*win, "mouseDown:");
        });
        return;
    }
}

// What the host's delegate hears: recorded, since it is the host's object, not the library's.
void SimWindows::tellDelegate(const SimWindow& w, const std::string& message) {
    if (w.delegateName.empty()) return;
    delegateMessages_.push_back({{"window", w.id}, {"delegate", w.delegateName}, {"message", message},
                                 {"t", desktop_.nowSeconds()}});
}

json SimWindows::report() const {
    json out = json::array();
    for (const auto& [id, w] : windows_) {
        json areas = json::array();
        for (const auto& a : w->areas)
            areas.push_back({{"rect", rectJson(a->rect)}, {"tracked", rectJson(trackedRect(*w, *a))},
                             {"options", a->options}, {"owner_alive", !a->owner.expired()},
                             {"inside", a->inside}});
        out.push_back({{"id", id}, {"content_view", w->hasContentView}, {"frame", rectJson(w->frame)},
                       {"delegate", w->delegateName.empty() ? json(nullptr) : json(w->delegateName)},
                       {"tracking_areas", std::move(areas)}});
    }
    return out;
}

}  // namespace korvale::sim
