// The workspace over AT-SPI and X11: each application's identity, its activation through the
// window manager, and the launch and activation notifications.
#include "platform/linux/LinuxWorkspace.h"

#include <algorithm>

#include "platform/linux/AtspiCalls.h"
#include "platform/linux/LinuxHandles.h"

namespace korvale::platform::linuxdesk {

namespace {

class LinuxRunningApplication final : public RunningApplication {
public:
    LinuxRunningApplication(pid_t pid, std::optional<std::string> name, std::optional<std::string> bundle,
                            bool launched, XConnection& x, const FrontWindow& front)
        : pid_(pid), name_(std::move(name)), bundle_(std::move(bundle)), launched_(launched), x_(x), front_(front) {}
    std::optional<std::string> localizedName() const override { return name_; }
    std::optional<std::string> bundleIdentifier() const override { return bundle_; }
    pid_t processIdentifier() const override { return pid_; }
    bool isFinishedLaunching() const override { return launched_; }
    bool isTerminated() const override { return !processExists(pid_); }
    bool activateWithOptions(unsigned) const override {
        Display* dpy = x_.display();
        for (XWindow w : front_.windowsOf(pid_)) {
            XWindowAttributes attrs;
            if (!XGetWindowAttributes(dpy, w, &attrs) || attrs.map_state != IsViewable) continue;
            // A window manager honours _NET_ACTIVE_WINDOW; without one, focus is set directly.
            XEvent ev{};
            ev.xclient.type = ClientMessage;
            ev.xclient.window = w;
            ev.xclient.message_type = x_.atom("_NET_ACTIVE_WINDOW");
            ev.xclient.format = 32;
            ev.xclient.data.l[0] = 2;
            ev.xclient.data.l[1] = CurrentTime;
            XSendEvent(dpy, DefaultRootWindow(dpy), False, SubstructureRedirectMask | SubstructureNotifyMask, &ev);
            XRaiseWindow(dpy, w);
            XSetInputFocus(dpy, w, RevertToParent, CurrentTime);
            XFlush(dpy);
            return true;
        }
        return false;
    }

private:
    pid_t pid_;
    std::optional<std::string> name_, bundle_;
    bool launched_;
    XConnection& x_;
    const FrontWindow& front_;
};

}  // namespace

// The name of the program a process runs: the file its executable link names, or its command
// name (which the kernel cuts to 15 bytes) when that link cannot be read.
static std::optional<std::string> executableName(pid_t pid) {
    std::string proc = "/proc/" + std::to_string(pid);
    GCharOwner target(g_file_read_link((proc + "/exe").c_str(), nullptr));
    if (target) {
        GCharOwner base(g_path_get_basename(target.get()));
        std::string name = base.get();
        // A replaced executable reads "name (deleted)".
        if (auto cut = name.find(" (deleted)"); cut != std::string::npos) name.erase(cut);
        if (!name.empty()) return name;
    }
    gchar* comm = nullptr;
    if (!g_file_get_contents((proc + "/comm").c_str(), &comm, nullptr, nullptr)) return std::nullopt;
    GCharOwner owned(comm);
    std::string s = owned.get();
    while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
    return s.empty() ? std::nullopt : std::optional<std::string>(s);
}

LinuxWorkspace::LinuxWorkspace(DesktopState& state, XConnection& x, FrontWindow& front)
    : state_(state), x_(x), front_(front) {}

NotificationObserverRef LinuxWorkspace::addObserverForName(const std::string& name,
                                                           std::function<void(const Notification&)> block) {
    auto subscription = std::make_shared<Subscription>();
    subscription->name = name;
    subscription->block = std::move(block);
    observers_.push_back(subscription);
    return subscription;
}

void LinuxWorkspace::removeObserver(const NotificationObserverRef& observer) {
    auto it = std::find(observers_.begin(), observers_.end(), observer);
    if (it == observers_.end()) return;
    (*it)->removed = true;
    observers_.erase(it);
}

// Identity that stays put: the bundle identifier is the class of the application's WM_CLASS,
// which names the application (desktop entries match it with StartupWMClass) and does not change
// with its windows or documents, unlike the name some toolkits give on the accessibility bus
// (LibreOffice's follows the window title). Without WM_CLASS, the executable's name stands in.
// The name is the application's name on the accessibility bus, or else the same as the bundle
// identifier. Both are kept for the life of the process once the window system has named it.
RunningApplicationRef LinuxWorkspace::application(pid_t pid) {
    auto known = identities_.find(pid);
    Identity id;
    if (known != identities_.end()) {
        id = known->second;
    } else {
        auto windowIdentity = front_.identity(pid);
        if (windowIdentity) id.bundle = windowIdentity->wmClass;
        else id.bundle = executableName(pid);
        if (auto app = state_.application(pid)) {
            AtspiCall call(app.get());
            if (call) {
                GCharOwner n(atspi_accessible_get_name(app.get(), call.err()));
                if (call.ok() && n && *n.get()) id.name = n.get();
            }
        }
        if (!id.name) id.name = id.bundle;
        // Kept once read from a window on the screen: before that, only a hidden leader may exist.
        if (windowIdentity && windowIdentity->shown) identities_[pid] = id;
    }
    // An application counts as launched once one of its windows has been activated or is in
    // front: it appears on the bus earlier, before anything of it can have the focus, and a
    // launch reported then would leave it followed without its focused element.
    bool launched = state_.activeWindows.count(pid) > 0 || state_.activePid == pid;
    return std::make_shared<LinuxRunningApplication>(pid, id.name, id.bundle, launched, x_, front_);
}

// Asked of the window system each time (one round trip or a few), not taken from the events
// read so far: the answer decides where a keystroke of setText goes, which must be the
// application in front now. A switch does not ask it: the front application is followed from
// events (FrontWindow).
RunningApplicationRef LinuxWorkspace::frontmostApplication() {
    pid_t pid = front_.queryFront();
    return pid ? application(pid) : nullptr;
}

void LinuxWorkspace::post(const std::string& name, pid_t pid) {
    Notification n;
    n.name = name;
    auto app = application(pid);
    n.userInfo = std::make_shared<DictionaryObject>(std::map<std::string, ObjectRef>{{NSWorkspaceApplicationKey, app}});
    // Copied: a block may subscribe more, or remove some (those are not called).
    auto observers = observers_;
    for (auto& o : observers)
        if (o->name == name && !o->removed) o->block(n);
}

}  // namespace korvale::platform::linuxdesk
