// The monitor: the one object that knows which application the library follows, the element
// that last had the focus, the two blocked lists, and the callback through which every event
// leaves. Its handlers are entered from accessibility observers and workspace notifications,
// all on the host's main thread, so its fields need no lock.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "HostText.h"
#include "platform/Platform.h"

namespace korvale {

using platform::AXObserverCallback;
using platform::AXObserverRef;
using platform::ElementRef;
using platform::RunningApplicationRef;

// A workspace notification as the monitor sees it.
using WorkspaceNotification = platform::Notification;

class MacAccessibility : public std::enable_shared_from_this<MacAccessibility> {
public:
    using Callback = std::function<void(const std::string& notification, const EventData& data)>;

    explicit MacAccessibility(Callback callback);  // init(callback:)
    virtual ~MacAccessibility() = default;
    MacAccessibility(const MacAccessibility&) = delete;
    MacAccessibility& operator=(const MacAccessibility&) = delete;

    // Fields, in declaration order.
    Callback callback;
    RunningApplicationRef frontmostApp;
    std::optional<int32_t> processID;
    std::string selectedText;
    ElementRef focusedElement;
    AXObserverRef observer;  // declared state; the live observer is the access layer's global
    std::map<std::string, nlohmann::json> blockedFiledsList;  // bundle id -> field rule
    std::vector<std::string> blockedApps;
    // Every application the monitor has followed, by process. Registrations made for earlier
    // applications keep delivering after a switch, so a handler judges and labels an element by
    // the application it belongs to, which need not be the one followed now.
    std::map<int32_t, RunningApplicationRef> followedApps;
    // Whether the followed application answered for its focused element when it was announced:
    // one that did not (no accessibility, untrusted) cannot be pasted into knowingly.
    bool frontmostAnswers = true;

    // Whether start() has run (the platform then holds the monitor), and whether the host let go
    // of it: a retired monitor follows nothing and holds nothing, and whatever the platform
    // still calls of it returns at once.
    bool started = false;
    bool retired = false;
    void retire();

    // The workspace subscriptions start() made, with the workspace that took each (the platform
    // may change from a stand-in to the desktop that answered later).
    struct WorkspaceSubscription {
        platform::Workspace* workspace;
        platform::NotificationObserverRef observer;
    };
    std::vector<WorkspaceSubscription> workspaceSubscriptions;
    void removeWorkspaceSubscriptions();

    // Operations, in declaration order.
    virtual void setBlockedApps(std::vector<std::string> apps);
    virtual EventData getBasicAppInfo();
    virtual EventData nativeTextFieldSelectedText();
    virtual void setSelectedText(const std::string& text);
    virtual std::optional<std::string> pasteRefusal();
    virtual AXObserverCallback uiFocusedChange();
    virtual AXObserverCallback uiPositionChange();
    virtual AXObserverCallback selectedTextChange();
    virtual void appChangedEvent(const WorkspaceNotification& notification);
    virtual std::optional<std::string> getTextAboveInsertionPoint(const ElementRef& focusedElement);
    virtual void getDataForVelaAssist();
    virtual void start();
    virtual void activateTheFormost();
    virtual void setBlockedFiledList(std::map<std::string, nlohmann::json> list);

    // Handler bodies behind the three entry points.
    virtual void focusedChangeHandler(const ElementRef& element);
    virtual void positionChangeHandler(const ElementRef& element);
    virtual void selectedTextChangeHandler(const ElementRef& element);

    // Whether an application's bundle identifier is on the blocked-application list.
    bool isBlockedApp(const std::optional<std::string>& bundleIdentifier) const;
    bool isBlockedApp(const RunningApplicationRef& app) const;
    // The application `element` belongs to (its process), as the monitor followed it, or none.
    RunningApplicationRef applicationOf(const ElementRef& element) const;

    // Hands an event to `callback`, when there is one.
    void emit(const std::string& name, const EventData& data);
    // "bundle_id" and "name" of `app`; an empty dictionary for none.
    static EventData appInfo(const RunningApplicationRef& app);
    // `data` with `app`'s "bundle_id" and "name" added where missing.
    static EventData withAppInfo(EventData data, const RunningApplicationRef& app);
    // Whether `app`'s field rule matches `element`.
    bool isBlockedField(const ElementRef& element, const RunningApplicationRef& app) const;
    // Whether the platform marks `element` (of role `role`) as a secret field.
    static bool isSecureField(const ElementRef& element, const std::optional<std::string>& role);
    // Whether nothing of `element`'s content may reach the host: a secret field, or one that its
    // application's field rule names. Prints "blocked" when it says so.
    bool keepsFieldSilent(const ElementRef& element, const std::optional<std::string>& role,
                          const RunningApplicationRef& app) const;

    // The two lists as they are compared, made once when each is set, so that a check costs one
    // lookup whatever the lists hold: the canonical key of every blocked bundle identifier, and
    // every usable field rule by its bundle identifier and by that identifier's canonical key.
    struct FieldRule {
        const nlohmann::json* rule;           // in blockedFiledsList
        std::optional<std::string> valueKey;  // the canonical key of its "value", when a string
    };
    std::unordered_set<std::string> blockedAppKeys;
    std::map<std::string, FieldRule> fieldRulesByBundle;
    std::unordered_map<std::string, const FieldRule*> fieldRulesByKey;
    const FieldRule* fieldRuleEntryFor(const RunningApplicationRef& app) const;
};

// Subscribes `callBack` to application activation and launch on the workspace's notification
// centre; the monitor keeps the subscriptions, and removes them when it is retired.
void setAppChangedNotification(std::function<void(const WorkspaceNotification&)> callBack,
                               const std::shared_ptr<MacAccessibility>& monitor);

}  // namespace korvale
