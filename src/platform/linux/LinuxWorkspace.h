// The workspace of the Linux backend: running applications over the accessibility bus and X11.
#pragma once

#include <sys/types.h>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Platform.h"
#include "platform/linux/LinuxAccessibility.h"
#include "platform/linux/LinuxFrontWindow.h"
#include "platform/linux/XConnection.h"

namespace korvale::platform::linuxdesk {

// The workspace: running applications are the applications on the accessibility bus, the
// frontmost one owns the X input focus, activation arrives as AT-SPI window:activate and launch
// as a new application registering on the bus.
class LinuxWorkspace final : public Workspace {
public:
    LinuxWorkspace(DesktopState& state, XConnection& x, FrontWindow& front);
    NotificationObserverRef addObserverForName(const std::string& name,
                                               std::function<void(const Notification&)> block) override;
    void removeObserver(const NotificationObserverRef& observer) override;
    RunningApplicationRef frontmostApplication() override;

    RunningApplicationRef application(pid_t pid);
    void post(const std::string& name, pid_t pid);

private:
    DesktopState& state_;
    XConnection& x_;
    FrontWindow& front_;
    struct Subscription final : NotificationObserver {
        std::string name;
        std::function<void(const Notification&)> block;
        bool removed = false;
    };
    std::vector<std::shared_ptr<Subscription>> observers_;
    struct Identity {
        std::optional<std::string> bundle, name;
    };
    std::map<pid_t, Identity> identities_;  // kept once the window system named the application
};

}  // namespace korvale::platform::linuxdesk
