// The monitor: construction, the two blocked lists, the followed application's identity and its
// re-activation. Tracking, the handlers and the native text-field reading follow below.
#include "MacAccessibility.h"

#include "utils.h"

namespace korvale {

using nlohmann::json;

MacAccessibility::MacAccessibility(Callback cb) : callback(std::move(cb)) {}

void MacAccessibility::setBlockedApps(std::vector<std::string> apps) { blockedApps = std::move(apps); }

void MacAccessibility::setBlockedFiledList(std::map<std::string, json> list) {
    blockedFiledsList = std::move(list);
}

bool MacAccessibility::isBlockedApp(const std::optional<std::string>& bundleIdentifier) const {
    if (!bundleIdentifier) return false;
    for (const auto& entry : blockedApps)
        if (canonicallyEqual(entry, *bundleIdentifier)) return true;
    return false;
}

EventData MacAccessibility::getBasicAppInfo() {
    if (!frontmostApp) return EventData::object();
    auto orNull = [](const std::optional<std::string>& s) { return s ? json(*s) : json(nullptr); };
    return {{"bundle_id", orNull(frontmostApp->bundleIdentifier())},
            {"name", orNull(frontmostApp->localizedName())}};
}

void MacAccessibility::activateTheFormost() {
    if (frontmostApp) frontmostApp->activateWithOptions(0);
}

// ---- placeholders until the tracking-loop issue lands ----
void MacAccessibility::start() {}
void MacAccessibility::appChangedEvent(const WorkspaceNotification&) {}
AXObserverCallback MacAccessibility::uiFocusedChange() { return nullptr; }
AXObserverCallback MacAccessibility::uiPositionChange() { return nullptr; }
AXObserverCallback MacAccessibility::selectedTextChange() { return nullptr; }
void MacAccessibility::focusedChangeHandler(const ElementRef&) {}
void MacAccessibility::positionChangeHandler(const ElementRef&) {}
void MacAccessibility::selectedTextChangeHandler(const ElementRef&) {}
EventData MacAccessibility::nativeTextFieldSelectedText() { return EventData::object(); }
std::optional<std::string> MacAccessibility::getTextAboveInsertionPoint(const ElementRef&) {
    return std::nullopt;
}
void setAppChangedNotification(std::function<void(const WorkspaceNotification&)>,
                               const std::shared_ptr<MacAccessibility>&) {}

}  // namespace korvale
