// The workspace: NSWorkspace's frontmost application and its activation and launch
// notifications, with NSRunningApplication as the platform's running application.
#include "platform/macos/MacAppKit.h"

#include "platform/macos/MacAppKitCompat.h"

#include <vector>

namespace korvale::macos {

namespace pl = korvale::platform;

namespace {

std::optional<std::string> text(NSString *string) {
    if (!string) return std::nullopt;
    const char *utf8 = [string UTF8String];
    return utf8 ? std::optional<std::string>(utf8) : std::nullopt;
}

NSString *nsString(const std::string& s) {
    return [[NSString alloc] initWithBytes:s.data() length:s.size() encoding:NSUTF8StringEncoding] ?: @"";
}

class MacRunningApplication final : public pl::RunningApplication {
public:
    explicit MacRunningApplication(NSRunningApplication *app) : app_(app) {}
    std::optional<std::string> localizedName() const override { return text([app_ localizedName]); }
    std::optional<std::string> bundleIdentifier() const override { return text([app_ bundleIdentifier]); }
    pl::pid_t processIdentifier() const override { return static_cast<pl::pid_t>([app_ processIdentifier]); }
    bool isFinishedLaunching() const override { return [app_ isFinishedLaunching]; }
    bool isTerminated() const override { return [app_ isTerminated]; }
    bool activateWithOptions(unsigned options) const override {
        return [app_ activateWithOptions:static_cast<NSApplicationActivationOptions>(options)];
    }

private:
    NSRunningApplication *app_;
};

pl::RunningApplicationRef wrap(NSRunningApplication *app) {
    if (!app) return nullptr;
    return std::make_shared<MacRunningApplication>(app);
}

// The AppKit name for a notification the layers above name by its string.
NSString *notificationName(const std::string& name) {
    if (name == pl::NSWorkspaceDidActivateApplicationNotification) return NSWorkspaceDidActivateApplicationNotification;
    if (name == pl::NSWorkspaceDidLaunchApplicationNotification) return NSWorkspaceDidLaunchApplicationNotification;
    return nsString(name);
}

// The object the notification centre returned for one subscription.
class MacNotificationObserver final : public pl::NotificationObserver {
public:
    explicit MacNotificationObserver(id token) : token(token) {}
    id token;
};

class MacWorkspace final : public pl::Workspace {
public:
    pl::NotificationObserverRef addObserverForName(const std::string& name,
                                                   std::function<void(const pl::Notification&)> block) override {
        auto shared = std::make_shared<std::function<void(const pl::Notification&)>>(std::move(block));
        NSNotificationCenter *center = [[NSWorkspace sharedWorkspace] notificationCenter];
        id token = [center addObserverForName:notificationName(name)
                                       object:nil
                                        queue:nil
                                   usingBlock:^(NSNotification *note) {
                                     deliver(*shared, note);
                                   }];
        // The centre keeps the block until removeObserver: is sent the token.
        return token ? std::make_shared<MacNotificationObserver>(token) : nullptr;
    }
    void removeObserver(const pl::NotificationObserverRef& observer) override {
        auto *mac = dynamic_cast<MacNotificationObserver *>(observer.get());
        if (!mac || !mac->token) return;
        [[[NSWorkspace sharedWorkspace] notificationCenter] removeObserver:mac->token];
        mac->token = nil;
    }
    pl::RunningApplicationRef frontmostApplication() override {
        return wrap([[NSWorkspace sharedWorkspace] frontmostApplication]);
    }

private:
    static void deliver(const std::function<void(const pl::Notification&)>& block, NSNotification *note) {
        try {
            pl::Notification n;
            n.name = text([note name]).value_or("");
            std::map<std::string, pl::ObjectRef> info;
            id app = [[note userInfo] objectForKey:NSWorkspaceApplicationKey];
            if ([app isKindOfClass:[NSRunningApplication class]])
                info[pl::NSWorkspaceApplicationKey] = wrap(static_cast<NSRunningApplication *>(app));
            n.userInfo = std::make_shared<pl::DictionaryObject>(std::move(info));
            block(n);
        } catch (...) {
        }
    }
};

}  // namespace

std::unique_ptr<pl::Workspace> makeWorkspace() { return std::make_unique<MacWorkspace>(); }

}  // namespace korvale::macos
