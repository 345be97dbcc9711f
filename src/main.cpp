// The host interface: the nine exported C functions, the three process-wide variables, and the
// road of an event from `callbackWraper` to the host callback. Every export is one line into
// `boundary`, which catches anything thrown so that no exception ever reaches the host.
#include "main.h"

#include <algorithm>
#include <cstdio>
#include <exception>

#include "Diagnostic.h"
#include "WindowTracker.h"
#include "utils.h"
#include "platform/Platform.h"

namespace korvale {

std::shared_ptr<MacAccessibility> macAccessibility;
KorvaleHostCallback observer_callback = nullptr;
std::optional<EventParams> eventParams;

namespace {

// `main` overwrites the monitor without releasing it: a monitor may still be referred to by the
// platform (its subscription, its registrations), so it is kept, never destroyed under them.
std::vector<std::shared_ptr<MacAccessibility>> retiredMonitors;

// Distinguishes the stored event from a newer one stored while the host callback runs.
uint64_t storedEventGeneration = 0;

// The library runs on the thread that made the first call of an export; a call from any other
// thread is refused at the boundary before it touches anything, with one line.
bool onLibraryThread(const char* exportName) noexcept {
    if (claimLibraryThread()) return true;
    char line[160];
    std::snprintf(line, sizeof line, "refused: %s called from a thread other than the library's", exportName);
    diagnostic(line);
    return false;
}

template <typename F>
auto boundary(const char* exportName, F&& body, decltype(body()) fallback) noexcept -> decltype(body()) {
    if (!onLibraryThread(exportName)) return fallback;
    try {
        return body();
    } catch (...) {
        return fallback;
    }
}

template <typename F>
void boundary(const char* exportName, F&& body) noexcept {
    if (!onLibraryThread(exportName)) return;
    try {
        body();
    } catch (...) {
    }
}

// A monitor the host let go of stops following for good. One that was started stays in memory,
// since the platform may still call its subscriptions and registrations (they return at once);
// one never started is released.
void retire(const std::shared_ptr<MacAccessibility>& monitor) {
    if (!monitor || monitor->retired) return;
    monitor->retire();
    if (monitor->started) retiredMonitors.push_back(monitor);
}

// The monitor started last, kept while it follows even when `initMacAccessibility` replaced it:
// starting another one retires it, so that repeated init and start leave one monitor following,
// not one more each time.
std::shared_ptr<MacAccessibility> startedMonitor;

int resetGlobals() {
    retire(macAccessibility);
    if (startedMonitor && startedMonitor->retired) startedMonitor = nullptr;
    macAccessibility = nullptr;
    observer_callback = nullptr;
    eventParams.reset();
    return 0;
}

// The permission check shared by both exports.
bool accessibilityTrusted(bool prompt) {
    return isProcessTrusted(prompt);
}

void initMonitor(KorvaleHostCallback callback) {
    observer_callback = callback;
    macAccessibility = std::make_shared<MacAccessibility>(&callbackWraper);
}

void blockApps(const char* text) {
    auto parsed = readHostJSON(text);
    if (!parsed || !parsed->is_array()) return;
    std::vector<std::string> apps;
    for (const auto& entry : *parsed) {
        if (!entry.is_string()) return;
        apps.push_back(entry.get<std::string>());
    }
    if (macAccessibility) macAccessibility->setBlockedApps(std::move(apps));
}

void startTracking(const char* text) {
    if (!macAccessibility) return;  // before initMacAccessibility: ignored
    auto monitor = macAccessibility;
    if (startedMonitor && startedMonitor != monitor) retire(startedMonitor);
    startedMonitor = monitor;
    monitor->start();
    auto parsed = readHostJSON(text);
    if (!parsed || !parsed->is_object()) return;
    std::map<std::string, nlohmann::json> list;
    for (auto& [key, rule] : parsed->get_ref<nlohmann::json::object_t&>()) {
        if (!rule.is_object()) return;
        list.emplace(key, std::move(rule));
    }
    monitor->setBlockedFiledList(std::move(list));
}

void replaceText(const char* text) {
    if (!macAccessibility) return;
    if (text && longerThan(text, kMaxSetTextBytes)) {
        diagnostic("setText failed: the text is longer than " + std::to_string(kMaxSetTextBytes) + " bytes");
        return;
    }
    auto decoded = decodeHostString(text);
    if (!decoded) return;  // a null pointer from the host: nothing to paste
    auto monitor = macAccessibility;
    monitor->setSelectedText(*decoded);
}

void snapshot() {
    if (!macAccessibility) return;
    auto monitor = macAccessibility;
    monitor->getDataForVelaAssist();
}

}  // namespace

void callbackWraper(const std::string& notification, const EventData& data) {
    eventParams = EventParams{notification, data};
    ++storedEventGeneration;
    double interval =
        notification == "text_select" ? kTextSelectDeliveryInterval : kDefaultDeliveryInterval;
    debounce(interval, &deliverLatestEvent);
}

void debounce(double interval, std::function<void()> action) {
    auto& loop = mainLoop();
    loop.asyncAfterOnMain(loop.now() + interval, [interval, action = std::move(action)] {
        mainLoop().scheduledTimer(interval, action);
    });
}

void deliverLatestEvent() {
    if (!eventParams) return;
    auto json = encodeEventData(eventParams->data);
    if (!json) return;
    KorvaleHostCallback callback = observer_callback;
    if (!callback) return;
    // Copies: the host may replace or clear the slot from inside its callback.
    const std::string name = eventParams->notification;
    const uint64_t delivered = storedEventGeneration;
    callback(name.c_str(), json->c_str());
    // An event stored while the callback ran is newer than the one just delivered: it stays and
    // goes out with a later delivery instead of being thrown away.
    if (storedEventGeneration == delivered) eventParams.reset();
}

int mainExport() noexcept {
    return boundary("main", [] { return resetGlobals(); }, 0);
}

}  // namespace korvale

using namespace korvale;

extern "C" {

KORVALE_API void initMacAccessibility(KorvaleHostCallback callback) {
    boundary("initMacAccessibility", [&] { initMonitor(callback); });
}

KORVALE_API bool isAccessibiltyEnabled(void) {
    return boundary("isAccessibiltyEnabled", [] { return accessibilityTrusted(false); }, false);
}

KORVALE_API bool showAccessibiltyPermisionPopup(void) {
    return boundary("showAccessibiltyPermisionPopup", [] { return accessibilityTrusted(true); }, false);
}

KORVALE_API void addBlockedApps(const char* json_array) {
    boundary("addBlockedApps", [&] { blockApps(json_array); });
}

KORVALE_API void start(const char* json_object) {
    boundary("start", [&] { startTracking(json_object); });
}

KORVALE_API void setText(const char* text) { boundary("setText", [&] { replaceText(text); }); }

KORVALE_API void getDataForVelaAssist(void) { boundary("getDataForVelaAssist", [] { snapshot(); }); }

KORVALE_API void addMouseTracker(void* window) {
    boundary("addMouseTracker", [&] {
        if (!macAccessibility) return;  // before initMacAccessibility: ignored, like start
        installWindowTracker(window);
    });
}

}  // extern "C"
