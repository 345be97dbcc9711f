// The simulated workspace: running applications, the application in front, and the workspace's
// notification centre. User actions ("launch", "finish_launching", "activate", "quit") change the
// applications and post the notifications a real workspace would, synchronously on the main
// thread; "post_workspace_notification" posts malformed ones for fault tests.
//
// Choices, where the real platform leaves room:
// - Activating the application already in front changes nothing and posts nothing.
// - A foreground launch activates the application at once (posting the activation while it may
//   still be launching) and posts the launch notification when it has finished launching.
// - When the application in front quits, the one active before it comes to the front.
// - Reading an application's name, bundle identifier or launch state is local to the process on
//   the real platform, so it is not logged as a request; activation, subscriptions and the
//   frontmost-application query are.
#include "platform/sim/SimWorkspace.h"

#include <algorithm>

#include "platform/sim/SimAccessibility.h"

namespace korvale::sim {

namespace {

using Process = SimWorkspace::Process;

class SimRunningApplication final : public RunningApplication {
public:
    SimRunningApplication(std::shared_ptr<Process> process, SimWorkspace& workspace)
        : process_(std::move(process)), workspace_(workspace) {}
    std::optional<std::string> localizedName() const override { return process_->localizedName; }
    std::optional<std::string> bundleIdentifier() const override {
        return process_->bundleIdentifier;
    }
    pid_t processIdentifier() const override { return process_->pid; }
    bool isFinishedLaunching() const override { return process_->finishedLaunching; }
    bool isTerminated() const override { return process_->terminated; }
    bool activateWithOptions(unsigned options) const override {
        Desktop::instance().logRequest(
            {{"call", "activateWithOptions"}, {"pid", process_->pid}, {"options", options}});
        if (process_->terminated) return false;
        return workspace_.activateFromLibrary(process_->pid);
    }

private:
    std::shared_ptr<Process> process_;
    SimWorkspace& workspace_;
};

std::optional<std::string> optionalString(const json& entry, const char* key) {
    if (!entry.contains(key) || entry[key].is_null()) return std::nullopt;
    if (!entry[key].is_string()) throw SimError{std::string("\"") + key + "\" must be a string or null"};
    return entry[key].get<std::string>();
}

json orNull(const std::optional<std::string>& s) { return s ? json(*s) : json(nullptr); }

pid_t requiredPid(const json& j) {
    if (!j.contains("pid") || !j["pid"].is_number_integer())
        throw SimError{"a process id \"pid\" (integer) is needed: " + j.dump()};
    return j["pid"].get<pid_t>();
}

// SimAccessibility may or may not keep per-process state to drop when a process quits.
template <typename A>
void forgetInAccessibility(A& accessibility, pid_t pid) {
    if constexpr (requires { accessibility.forgetApplication(pid); }) accessibility.forgetApplication(pid);
}

}  // namespace

SimWorkspace::SimWorkspace(Desktop& desktop) : desktop_(desktop) {
    desktop_.registerWorldLoader([this](const json& world) { loadWorld(world); });
    desktop_.registerStateReporter([this](json& state) { report(state); });
    desktop_.registerAction("launch", [this](const json& a) { launch(a); });
    desktop_.registerAction("finish_launching", [this](const json& a) {
        auto p = find(requiredPid(a));
        if (!p) throw SimError{"no running application with pid " + std::to_string(requiredPid(a))};
        if (!p->finishedLaunching) finishLaunching(p);
    });
    desktop_.registerAction("activate", [this](const json& a) {
        auto p = find(requiredPid(a));
        if (!p) throw SimError{"no running application with pid " + std::to_string(requiredPid(a))};
        if (bringToFront(p)) deliver(NSWorkspaceDidActivateApplicationNotification, p);
    });
    desktop_.registerAction("quit", [this](const json& a) { quit(requiredPid(a)); });
    desktop_.registerAction("post_workspace_notification", [this](const json& a) { postFault(a); });
}

void SimWorkspace::reset() {
    // Handles the library still holds from the previous world refuse activation from now on.
    for (auto& p : running_) p->terminated = true;
    running_.clear();
    activationOrder_.clear();
    frontmost_ = 0;
    for (auto& o : observers_) o->removed = true;
    observers_.clear();
}

NotificationObserverRef SimWorkspace::addObserverForName(const std::string& name,
                                                         std::function<void(const Notification&)> block) {
    desktop_.logRequest({{"call", "addObserverForName"}, {"name", name}});
    auto subscription = std::make_shared<Subscription>();
    subscription->name = name;
    subscription->block = std::move(block);
    observers_.push_back(subscription);
    return subscription;
}

void SimWorkspace::removeObserver(const NotificationObserverRef& observer) {
    // One made on a desktop since replaced is not this desktop's business: no request.
    auto it = std::find(observers_.begin(), observers_.end(), observer);
    if (it == observers_.end()) return;
    desktop_.logRequest({{"call", "removeObserver"}, {"name", (*it)->name}});
    (*it)->removed = true;
    observers_.erase(it);
}

RunningApplicationRef SimWorkspace::frontmostApplication() {
    desktop_.logRequest({{"call", "frontmostApplication"}, {"pid", frontmost_}});
    return application(frontmost_);
}

std::shared_ptr<Process> SimWorkspace::find(pid_t pid) const {
    for (const auto& p : running_)
        if (p->pid == pid) return p;
    return nullptr;
}

RunningApplicationRef SimWorkspace::handle(const std::shared_ptr<Process>& process) const {
    if (!process) return nullptr;
    return std::make_shared<SimRunningApplication>(process, const_cast<SimWorkspace&>(*this));
}

RunningApplicationRef SimWorkspace::application(pid_t pid) const { return handle(find(pid)); }

void SimWorkspace::post(const Notification& notification) {
    // Blocks subscribed while this notification is being posted see only later ones.
    // One removed meanwhile (a block may retire a monitor) is not called.
    std::vector<std::shared_ptr<Subscription>> subscribed;
    for (const auto& o : observers_)
        if (o->name == notification.name) subscribed.push_back(o);
    for (const auto& o : subscribed) {
        if (o->removed) continue;
        desktop_.countCallback();
        o->block(notification);
    }
}

void SimWorkspace::postAbout(const std::string& name, const std::shared_ptr<Process>& process) {
    auto info = std::make_shared<const DictionaryObject>(
        std::map<std::string, ObjectRef>{{NSWorkspaceApplicationKey, handle(process)}});
    post(Notification{name, nullptr, info});
}

// A user action taken between steps reaches the library at once. One taken while the main loop
// runs (a timed action, perhaps while the library holds the main thread) is queued on the main
// thread, since the workspace posts only there.
void SimWorkspace::deliver(std::function<void()> post) {
    if (!desktop_.mainThreadBusy()) post();
    else desktop_.scheduleMain(desktop_.nowNs(), Desktop::Lane::MainQueue, std::move(post));
}

void SimWorkspace::deliver(const std::string& name, const std::shared_ptr<Process>& process) {
    deliver([this, name, process] { postAbout(name, process); });
}

bool SimWorkspace::bringToFront(const std::shared_ptr<Process>& process) {
    if (frontmost_ == process->pid) return false;
    frontmost_ = process->pid;
    std::erase(activationOrder_, process->pid);
    activationOrder_.push_back(process->pid);
    return true;
}

// The library's activation changes the front at once, but the notification is queued on the
// main loop: the library asks from the main thread, which may stay busy (a paste waits there),
// and the workspace posts only when that thread is free again.
bool SimWorkspace::activateFromLibrary(pid_t pid) {
    auto p = find(pid);
    if (!p) return false;
    if (bringToFront(p))
        desktop_.scheduleMain(desktop_.nowNs(), Desktop::Lane::MainQueue, [this, p] {
            postAbout(NSWorkspaceDidActivateApplicationNotification, p);
        });
    return true;
}

void SimWorkspace::loadWorld(const json& world) {
    bool hostApp = true;
    json host = {{"pid", 900}, {"bundle_id", "com.example.quillforge"}, {"name", kHostApplicationName}};
    if (world.contains("host_app")) {
        const json& h = world["host_app"];
        if (h.is_boolean()) hostApp = h.get<bool>();
        else if (h.is_object()) host.update(h);
        else throw SimError{"\"host_app\" is false, true or an application object"};
    }
    pid_t front = 0;
    std::vector<json> entries;
    if (world.contains("apps")) {
        if (!world["apps"].is_array()) throw SimError{"\"apps\" must be an array"};
        for (const auto& e : world["apps"]) entries.push_back(e);
    }
    // The host is running like any application, unless the world names it already.
    bool named = std::any_of(entries.begin(), entries.end(), [](const json& e) {
        return e.is_object() && e.value("name", json()) == kHostApplicationName;
    });
    if (hostApp && !named) entries.insert(entries.begin(), host);
    pid_t hostPid = 0;
    for (const auto& e : entries) {
        if (!e.is_object()) throw SimError{"each application is a JSON object"};
        if (!e.value("running", true)) continue;  // described, but launched later by an action
        auto p = std::make_shared<Process>();
        p->pid = requiredPid(e);
        if (find(p->pid)) throw SimError{"two applications with pid " + std::to_string(p->pid)};
        p->bundleIdentifier = optionalString(e, "bundle_id");
        p->localizedName = optionalString(e, "name");
        p->finishedLaunching = e.value("finished_launching", true);
        if (p->localizedName == kHostApplicationName) hostPid = p->pid;
        running_.push_back(p);
        activationOrder_.push_back(p->pid);
        if (e.value("frontmost", false)) {
            if (front) throw SimError{"two applications are frontmost"};
            front = p->pid;
        }
    }
    // With no application marked, the host's own is in front, so the first switch is a change.
    if (!front) front = hostPid;
    if (front) bringToFront(find(front));
    worldApps_ = world.contains("apps") ? world["apps"] : json::array();
}

void SimWorkspace::launch(const json& a) {
    pid_t pid = requiredPid(a);
    if (find(pid)) throw SimError{"pid " + std::to_string(pid) + " is already running"};
    // Identity not given in the action comes from the world's description of that pid.
    json described = json::object();
    for (const auto& e : worldApps_)
        if (e.is_object() && e.value("pid", json()) == pid) described = e;
    auto p = std::make_shared<Process>();
    p->pid = pid;
    p->bundleIdentifier = optionalString(a.contains("bundle_id") ? a : described, "bundle_id");
    p->localizedName = optionalString(a.contains("name") ? a : described, "name");
    const bool delayed = a.contains("finish_after") && !a["finish_after"].is_null();
    p->finishedLaunching = !delayed;
    running_.push_back(p);
    if (!a.value("background", false) && bringToFront(p))
        deliver(NSWorkspaceDidActivateApplicationNotification, p);
    if (!delayed) {
        deliver(NSWorkspaceDidLaunchApplicationNotification, p);
        return;
    }
    double after = a["finish_after"].get<double>();
    // The process finishes on its own time; the notification waits for the main thread.
    desktop_.scheduleExternal(desktop_.nowNs() + Desktop::toNs(after), [this, p] {
        if (p->finishedLaunching || p->terminated) return;
        finishLaunching(p);
    });
}

void SimWorkspace::finishLaunching(const std::shared_ptr<Process>& process) {
    process->finishedLaunching = true;
    deliver(NSWorkspaceDidLaunchApplicationNotification, process);
}

void SimWorkspace::quit(pid_t pid) {
    auto p = find(pid);
    if (!p) throw SimError{"no running application with pid " + std::to_string(pid)};
    p->terminated = true;
    std::erase(running_, p);
    std::erase(activationOrder_, pid);
    deliver(NSWorkspaceDidTerminateApplicationNotification, p);
    forgetInAccessibility(desktop_.accessibility(), pid);
    if (frontmost_ != pid) return;
    frontmost_ = 0;
    if (activationOrder_.empty()) return;
    auto next = find(activationOrder_.back());
    bringToFront(next);
    deliver(NSWorkspaceDidActivateApplicationNotification, next);
}

void SimWorkspace::postFault(const json& a) {
    Notification n;
    n.name = a.value("name", NSWorkspaceDidActivateApplicationNotification);
    std::string kind = a.value("user_info", std::string("app"));
    if (kind == "none") {
        n.userInfo = nullptr;
    } else if (kind == "no_app") {
        n.userInfo = std::make_shared<const DictionaryObject>(
            std::map<std::string, ObjectRef>{{"NSWorkspaceVolumeLocalizedNameKey", makeString("Disk")}});
    } else if (kind == "wrong_object") {
        n.userInfo = std::make_shared<const DictionaryObject>(std::map<std::string, ObjectRef>{
            {NSWorkspaceApplicationKey, makeString("com.example.not-an-application")}});
    } else if (kind == "app") {
        auto p = find(requiredPid(a));
        if (!p) throw SimError{"no running application with pid " + std::to_string(requiredPid(a))};
        n.userInfo = std::make_shared<const DictionaryObject>(
            std::map<std::string, ObjectRef>{{NSWorkspaceApplicationKey, handle(p)}});
    } else {
        throw SimError{"\"user_info\" is \"app\", \"none\", \"no_app\" or \"wrong_object\""};
    }
    deliver([this, n] { post(n); });
}

void SimWorkspace::report(json& state) const {
    state["frontmost"] = frontmost_;
    state["workspace_observers"] = observers_.size();
    json apps = json::array();
    for (const auto& p : running_)
        apps.push_back({{"pid", p->pid},
                        {"bundle_id", orNull(p->bundleIdentifier)},
                        {"name", orNull(p->localizedName)},
                        {"finished_launching", p->finishedLaunching},
                        {"frontmost", p->pid == frontmost_}});
    state["apps"] = std::move(apps);
}

}  // namespace korvale::sim
