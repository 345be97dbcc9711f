// The simulated workspace: the running applications (process id, bundle identifier and name,
// each of the last two possibly missing, launch state), which one is in front, and the
// workspace's notification centre, which posts activation and launch notifications
// synchronously on the main thread with the application under "NSWorkspaceApplicationKey".
// The host's own application, "Quillforge", runs here too unless the world leaves it out.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/sim/SimDesktop.h"

namespace korvale::sim {

inline const std::string kHostApplicationName = "Quillforge";
inline const std::string NSWorkspaceDidTerminateApplicationNotification =
    "NSWorkspaceDidTerminateApplicationNotification";

class SimWorkspace final : public Workspace {
public:
    // What the desktop knows of one process. Handles share it, so a handle the library keeps sees
    // the process finish launching or quit, as an NSRunningApplication does.
    struct Process {
        pid_t pid = 0;
        std::optional<std::string> bundleIdentifier;
        std::optional<std::string> localizedName;
        bool finishedLaunching = true;
        bool terminated = false;
    };

    explicit SimWorkspace(Desktop& desktop);
    void reset();

    NotificationObserverRef addObserverForName(const std::string& name,
                                               std::function<void(const Notification&)> block) override;
    void removeObserver(const NotificationObserverRef& observer) override;
    RunningApplicationRef frontmostApplication() override;

    // For the other simulated services: the process in front, 0 when none.
    pid_t frontmostPid() const { return frontmost_; }
    // The running application with this process id, or none.
    RunningApplicationRef application(pid_t pid) const;
    // Posts a notification to every block subscribed to its name, synchronously, in the order
    // they subscribed.
    void post(const Notification& notification);
    // activateWithOptions: from the library (see SimWorkspace.cpp).
    bool activateFromLibrary(pid_t pid);

private:
    std::shared_ptr<Process> find(pid_t pid) const;
    RunningApplicationRef handle(const std::shared_ptr<Process>& process) const;
    void postAbout(const std::string& name, const std::shared_ptr<Process>& process);
    void deliver(std::function<void()> post);
    void deliver(const std::string& name, const std::shared_ptr<Process>& process);
    // Brings a process to the front; false when it already was.
    bool bringToFront(const std::shared_ptr<Process>& process);
    void loadWorld(const json& world);
    void launch(const json& action);
    void finishLaunching(const std::shared_ptr<Process>& process);
    void quit(pid_t pid);
    void postFault(const json& action);
    void report(json& state) const;

    Desktop& desktop_;
    std::vector<std::shared_ptr<Process>> running_;  // in launch order
    std::vector<pid_t> activationOrder_;             // most recent last
    pid_t frontmost_ = 0;
    json worldApps_ = json::array();  // the world's descriptions, for later launches
    struct Subscription final : NotificationObserver {
        std::string name;
        std::function<void(const Notification&)> block;
        bool removed = false;
    };
    std::vector<std::shared_ptr<Subscription>> observers_;  // in the order subscribed
};

}  // namespace korvale::sim
