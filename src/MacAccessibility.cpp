// The monitor: construction, the two blocked lists, the followed application's identity and its
// re-activation. Tracking, the handlers and the native text-field reading follow below.
#include "MacAccessibility.h"

#include <algorithm>
#include <cmath>

#include "Diagnostic.h"
#include "utils.h"

namespace korvale {

using nlohmann::json;

MacAccessibility::MacAccessibility(Callback cb) : callback(std::move(cb)) {}

void MacAccessibility::setBlockedApps(std::vector<std::string> apps) {
    blockedApps = std::move(apps);
    blockedAppKeys.clear();
    for (const auto& entry : blockedApps) blockedAppKeys.insert(canonicalKey(entry));
}

void MacAccessibility::setBlockedFiledList(std::map<std::string, json> list) {
    blockedFiledsList = std::move(list);
    fieldRulesByBundle.clear();
    fieldRulesByKey.clear();
    for (const auto& [bundle, rule] : blockedFiledsList) {
        // A rule whose "name" is missing or not a string names no attribute: it blocks nothing.
        if (!rule.is_object()) continue;
        auto name = rule.find("name");
        if (name == rule.end() || !name->is_string()) continue;
        FieldRule entry{&rule, std::nullopt};
        if (auto v = rule.find("value"); v != rule.end() && v->is_string())
            entry.valueKey = canonicalKey(v->get<std::string>());
        const FieldRule* kept = &fieldRulesByBundle.emplace(bundle, std::move(entry)).first->second;
        // Among keys equal under canonical equivalence, the first in order answers.
        fieldRulesByKey.emplace(canonicalKey(bundle), kept);
    }
}

bool MacAccessibility::isBlockedApp(const std::optional<std::string>& bundleIdentifier) const {
    return bundleIdentifier && !blockedAppKeys.empty() &&
           blockedAppKeys.count(canonicalKey(*bundleIdentifier)) > 0;
}

bool MacAccessibility::isBlockedApp(const RunningApplicationRef& app) const {
    return app && isBlockedApp(app->bundleIdentifier());
}

RunningApplicationRef MacAccessibility::applicationOf(const ElementRef& element) const {
    if (!element) return nullptr;
    const pid_t pid = element->processIdentifier();
    if (frontmostApp && frontmostApp->processIdentifier() == pid) return frontmostApp;
    auto it = followedApps.find(pid);
    return it == followedApps.end() ? nullptr : it->second;
}

EventData MacAccessibility::appInfo(const RunningApplicationRef& app) {
    if (!app) return EventData::object();
    auto orNull = [](const std::optional<std::string>& s) { return s ? json(*s) : json(nullptr); };
    return {{"bundle_id", orNull(app->bundleIdentifier())}, {"name", orNull(app->localizedName())}};
}

EventData MacAccessibility::getBasicAppInfo() { return appInfo(frontmostApp); }

void MacAccessibility::activateTheFormost() {
    if (frontmostApp) frontmostApp->activateWithOptions(0);
}

// ---------------------------------------------------------------------------------------------
// Tracking: the workspace subscription and the reaction to an application change.

namespace {

constexpr const char* kHostApplicationName = "Quillforge";

json orNull(const std::optional<std::string>& s) { return s ? json(*s) : json(nullptr); }

bool isASCII(const std::string& s) {
    for (unsigned char c : s)
        if (c >= 0x80) return false;
    return true;
}

// Equality under canonical equivalence. Two ASCII strings are their own normal form, so they
// need no normalisation; roles and most identifiers are ASCII.
bool sameText(const std::string& a, const std::string& b) {
    if (a == b) return true;
    if (isASCII(a) && isASCII(b)) return false;
    return canonicallyEqual(a, b);
}

bool sameText(const std::optional<std::string>& a, const char* b) {
    return a && sameText(*a, std::string(b));
}

bool isTextFieldRole(const std::optional<std::string>& role) {
    return sameText(role, "AXTextField") || sameText(role, "AXTextArea");
}

// The line for a followed application whose notifications are not registered.
void reportBlockedApp(const std::string& bundleIdentifier) {
    diagnostic("blocked app " + bundleIdentifier);
}

}  // namespace

void MacAccessibility::retire() {
    retired = true;
    callback = nullptr;
    frontmostApp.reset();
    processID.reset();
    focusedElement.reset();
    observer.reset();
    selectedText.clear();
    setBlockedApps({});
    setBlockedFiledList({});
    // Whatever the platform would still call of it goes: it costs the platform nothing more.
    removeWorkspaceSubscriptions();
    removeRegistrationsOf(this);
}

void MacAccessibility::removeWorkspaceSubscriptions() {
    auto subscriptions = std::move(workspaceSubscriptions);
    workspaceSubscriptions.clear();
    for (const auto& s : subscriptions) s.workspace->removeObserver(s.observer);
}

void MacAccessibility::start() {
    if (isProcessTrusted(false))
        diagnostic("Accessibility is enabled");
    // Started again, the monitor subscribes again, as it always has: each activation is then
    // seen (and printed) once per start, and handled once.
    // The host interface keeps a started monitor (retired ones too); the subscription refers to
    // it without owning it, since the monitor owns the subscription.
    auto self = shared_from_this();
    std::weak_ptr<MacAccessibility> weak = self;
    started = true;
    setAppChangedNotification(
        [weak](const WorkspaceNotification& n) {
            auto monitor = weak.lock();
            if (monitor && !monitor->retired) monitor->appChangedEvent(n);
        },
        self);
}

void setAppChangedNotification(std::function<void(const WorkspaceNotification&)> callBack,
                               const std::shared_ptr<MacAccessibility>& monitor) {
    auto& notifications = workspace();
    // Shared, so that a copy of the block (platforms copy them to post) costs a reference count,
    // not an allocation: a retired monitor's subscriptions stay cheap however many there are.
    auto shared = std::make_shared<const std::function<void(const WorkspaceNotification&)>>(std::move(callBack));
    auto block = [shared](const platform::Notification& n) noexcept {
        // The workspace calls in from the platform: nothing may be thrown back at it.
        try {
            (*shared)(n);
        } catch (...) {
        }
    };
    for (const auto* name : {&platform::NSWorkspaceDidActivateApplicationNotification,
                             &platform::NSWorkspaceDidLaunchApplicationNotification}) {
        auto observer = notifications.addObserverForName(*name, block);
        if (monitor && observer) monitor->workspaceSubscriptions.push_back({&notifications, observer});
    }
}

void MacAccessibility::appChangedEvent(const WorkspaceNotification& notification) {
    diagnostic("appChanged");
    RunningApplicationRef app;
    if (notification.userInfo)
        app = std::dynamic_pointer_cast<const platform::RunningApplication>(
            notification.userInfo->get(platform::NSWorkspaceApplicationKey));
    if (!app) {
        diagnostic("returing");
        return;
    }
    // The host itself is never followed: the monitor stays with the application the user left.
    if (app->localizedName() == std::optional<std::string>(kHostApplicationName)) return;
    // The same application is followed already, unless it quit: a desktop replaced or an
    // application relaunched may hand out its process identifier again.
    if (frontmostApp && frontmostApp->processIdentifier() == app->processIdentifier() &&
        !frontmostApp->isTerminated())
        return;
    if (!app->isFinishedLaunching()) return;

    frontmostApp = app;
    processID = frontmostApp->processIdentifier();
    followedApps[*processID] = frontmostApp;
    ElementRef appRef = getAppRef(*processID);
    auto focused = getAttributeValue<ElementRef>(appRef, "AXFocusedUIElement");
    // Wakes up the accessibility tree of applications that build it only for assistive clients.
    setAttributeValue(appRef, "AXEnhancedUserInterface", platform::makeBoolean(true));

    frontmostAnswers = focused && *focused;
    if (focused && *focused) {
        auto role = getAttributeValue<std::string>(appRef, "AXRole");
        if (!role) enableAccessbiltyByTraversing(*focused);
        auto bundle = frontmostApp->bundleIdentifier();
        emit("app_changed", {{"role", orNull(role)},
                             {"name", orNull(frontmostApp->localizedName())},
                             {"bundle_id", orNull(bundle)}});
        if (isBlockedApp(bundle)) {
            reportBlockedApp(*bundle);
            return;
        }
        setNotification(appRef, *processID, "AXFocusedUIElementChanged", uiFocusedChange(), this);
        setNotification(appRef, *processID, "AXWindowMoved", uiPositionChange(), this);
        setNotification(appRef, *processID, "AXWindowResized", uiPositionChange(), this);
        setNotification(appRef, *processID, "AXSelectedTextChanged", selectedTextChange(), this);
        return;
    }

    // No focused element (an untrusted process, an application that does not answer): the
    // notified application describes itself, and window geometry is not followed.
    auto bundle = app->bundleIdentifier();
    if (!bundle) return;
    emit("app_changed", {{"role", nullptr}, {"name", orNull(app->localizedName())}, {"bundle_id", *bundle}});
    if (isBlockedApp(bundle)) {
        reportBlockedApp(*bundle);
        return;
    }
    setNotification(appRef, app->processIdentifier(), "AXFocusedUIElementChanged", uiFocusedChange(), this);
    setNotification(appRef, app->processIdentifier(), "AXSelectedTextChanged", selectedTextChange(), this);
}

void MacAccessibility::emit(const std::string& name, const EventData& data) {
    if (callback) callback(name, data);
}

// ---------------------------------------------------------------------------------------------
// Entry points: the accessibility service calls these C functions with the monitor as context.

namespace {

template <void (MacAccessibility::*Handler)(const ElementRef&)>
void entryPoint(const AXObserverRef& observer, const ElementRef& element,
                const std::string& notification, void* refcon) noexcept {
    // Every registration passes the monitor; a call without one has nobody to tell. A retired
    // monitor is kept in memory for exactly these calls, and they stop here.
    if (!refcon || !element || static_cast<MacAccessibility*>(refcon)->retired) return;
    try {
        // Held for the whole handler: the handler may replace what the platform passed in.
        AXObserverRef heldObserver = observer;
        ElementRef heldElement = element;
        std::string heldName = notification;
        auto monitor = static_cast<MacAccessibility*>(refcon)->weak_from_this().lock();
        if (!monitor) return;
        ((*monitor).*Handler)(heldElement);
    } catch (...) {
    }
}

}  // namespace

AXObserverCallback MacAccessibility::uiFocusedChange() {
    return &entryPoint<&MacAccessibility::focusedChangeHandler>;
}
AXObserverCallback MacAccessibility::uiPositionChange() {
    return &entryPoint<&MacAccessibility::positionChangeHandler>;
}
AXObserverCallback MacAccessibility::selectedTextChange() {
    return &entryPoint<&MacAccessibility::selectedTextChangeHandler>;
}

// ---------------------------------------------------------------------------------------------
// Handlers.

// Every handler judges an element by its own application: registrations made for an earlier
// application keep delivering after a switch, and an application may be blocked after it was
// followed. A blocked application is announced and nothing more.
void MacAccessibility::focusedChangeHandler(const ElementRef& element) {
    RunningApplicationRef app = applicationOf(element);
    if (isBlockedApp(app)) return;
    auto role = getAttributeValue<std::string>(element, "AXRole");
    enableAccessbiltyByTraversing(element);
    if (!role) return;
    focusedElement = element;
    // Registered for the element's own process: an observer delivers only for its process.
    setNotification(element, element->processIdentifier(), "AXSelectedTextChanged", selectedTextChange(), this);
    emit("focused_changed", appInfo(app));
}

// The field is judged before its selection is read, so a secret field is never read at all.
void MacAccessibility::positionChangeHandler(const ElementRef& element) {
    focusedElement = element;
    RunningApplicationRef app = applicationOf(element);
    if (isBlockedApp(app)) return;
    auto role = getAttributeValue<std::string>(element, "AXRole");
    if (!isTextFieldRole(role)) return;
    if (keepsFieldSilent(element, role, app)) return;
    auto selected = getAttributeValue<std::string>(element, "AXSelectedText");
    if (!selected || selected->empty()) return;
    emit("ui_reized", nativeTextFieldSelectedText());
}

// The field rule for `app`, or none. An application without a bundle identifier has no rule
// (the host keys rules by bundle identifier), and a rule whose "name" is missing or not a string
// names no attribute to read, so it is ignored: the field is not blocked.
const MacAccessibility::FieldRule* MacAccessibility::fieldRuleEntryFor(const RunningApplicationRef& app) const {
    if (!app || fieldRulesByBundle.empty()) return nullptr;
    auto bundle = app->bundleIdentifier();
    if (!bundle) return nullptr;
    if (auto it = fieldRulesByBundle.find(*bundle); it != fieldRulesByBundle.end()) return &it->second;
    auto it = fieldRulesByKey.find(canonicalKey(*bundle));
    return it == fieldRulesByKey.end() ? nullptr : it->second;
}

bool MacAccessibility::isBlockedField(const ElementRef& element, const RunningApplicationRef& app) const {
    const FieldRule* entry = fieldRuleEntryFor(app);
    if (!entry) return false;
    auto actual = getAttributeValue<std::string>(element, (*entry->rule)["name"].get<std::string>());
    // Two absent sides are equal: a rule without a value blocks fields lacking the attribute.
    if (!actual || !entry->valueKey) return !actual && !entry->valueKey;
    return canonicalKey(*actual) == *entry->valueKey;
}

// Secret fields are text fields or areas; asking other elements would cost a request on every
// selection. The read is quiet: most fields have no subrole, and that is no failure to log.
bool MacAccessibility::isSecureField(const ElementRef& element, const std::optional<std::string>& role) {
    if (!isTextFieldRole(role)) return false;
    return sameText(getStringAttributeQuietly(element, "AXSubrole"), "AXSecureTextField");
}

bool MacAccessibility::keepsFieldSilent(const ElementRef& element, const std::optional<std::string>& role,
                                        const RunningApplicationRef& app) const {
    if (!isSecureField(element, role) && !isBlockedField(element, app)) return false;
    diagnostic("blocked");
    return true;
}

// The application and the field are judged before the selection is read.
void MacAccessibility::selectedTextChangeHandler(const ElementRef& element) {
    focusedElement = element;
    RunningApplicationRef app = applicationOf(element);
    if (isBlockedApp(app)) return;
    auto role = getAttributeValue<std::string>(element, "AXRole");
    if (keepsFieldSilent(element, role, app)) return;
    auto selected = getAttributeValue<std::string>(element, "AXSelectedText");
    if (!selected || selected->empty()) {
        emit("caret", EventData::object());
    } else if (isTextFieldRole(role)) {
        emit("text_select", nativeTextFieldSelectedText());
        return;
    }
    if (!sameText(role, "AXStaticText")) return;

    auto markers = getAttributeValue<TextMarkerRangeRef>(element, "AXSelectedTextMarkerRange");
    if (!markers || !*markers) return;
    auto bounds = getSelectedTextBoundingRectCorrect(element);
    auto text = getParameterizedAttributeValue<std::string>(element, "AXStringForTextMarkerRange", *markers);
    if (!bounds) return;
    // Text the application cannot give while it gives the bounds is sent as null: the host still
    // learns where the selection is.
    EventData data = {{"selected_text", orNull(text)},
                      {"is_editable", true},
                      {"position", {{"x", bounds->origin.x}, {"y", bounds->origin.y}}},
                      {"size", {{"width", bounds->size.width}, {"height", bounds->size.height}}}};
    emit("text_select", withAppInfo(std::move(data), app));
}

// ---------------------------------------------------------------------------------------------
// Native text fields: the selection by character ranges, and the text above the caret.

EventData MacAccessibility::withAppInfo(EventData data, const RunningApplicationRef& app) {
    const EventData info = appInfo(app);
    for (auto it = info.begin(); it != info.end(); ++it)
        if (!data.contains(it.key())) data[it.key()] = *it;
    return data;
}

namespace {

EventData selectionForm(const std::optional<std::string>& text, bool editable, double x, double y,
                        double width, double height) {
    return {{"selected_text", orNull(text)},
            {"is_editable", editable},
            {"position", {{"x", x}, {"y", y}}},
            {"size", {{"width", width}, {"height", height}}}};
}

bool isZeroSize(const CGRect& r) { return r.size.width == 0 && r.size.height == 0; }

ObjectRef rangeValue(CFRange range) { return platform::AXValueCreate(platform::AXValueType::CFRange, &range); }

}  // namespace

// An unreadable selected range acts as an empty range at 0 and an unreadable character count as
// 0. An unreadable selected text is sent as "selected_text": null and leaves `selectedText` empty.
EventData MacAccessibility::nativeTextFieldSelectedText() {
    ElementRef element = focusedElement;
    // Labelled with the element's own application; without an element, the followed one.
    const RunningApplicationRef app = element ? applicationOf(element) : frontmostApp;
    auto withAppInfo = [&app](EventData data) { return MacAccessibility::withAppInfo(std::move(data), app); };
    auto somethingWrong = [&] { return withAppInfo({{"message", "something is wrong com"}}); };
    if (!element) return somethingWrong();
    const auto userRange = getAttributeValue<CFRange>(element, "AXSelectedTextRange");
    CFRange range = userRange.value_or(CFRange{});
    auto text = getAttributeValue<std::string>(element, "AXSelectedText");
    const bool editable = isAttributeSettable(element, "AXValue");
    selectedText = text.value_or("");

    // Character-range bounds: only editable fields answer them reliably.
    ObjectRef value = rangeValue(range);
    if (value && editable) {
        auto b = getParameterizedAttributeValue<CGRect>(element, "AXBoundsForRange", value);
        // The origin keeps its sign: a display left of or above the main one has negative
        // coordinates.
        if (b && b->size.height != 0)
            return withAppInfo(selectionForm(text, true, b->origin.x, b->origin.y,
                                             std::fabs(b->size.width), std::fabs(b->size.height)));
    }

    if (!getAttributeValue<TextMarkerRangeRef>(element, "AXSelectedTextMarkerRange"))
        return somethingWrong();
    auto forward = getSelectedTextBoundingRectCorrect(element);
    if (!forward) {
        // Setting the user's own selection again makes some applications measure it for the next
        // notification. No other range is ever written: the next paste replaces whatever is
        // selected, so a range the user did not choose would destroy their text.
        if (userRange) setAttributeValue(element, "AXSelectedTextRange", rangeValue(*userRange));
        return somethingWrong();
    }
    if (forward->size.height != 0)
        return withAppInfo(selectionForm(text, editable, forward->origin.x, forward->origin.y,
                                         forward->size.width, forward->size.height));

    // A zero-height answer: some applications measure the markers only in reverse order.
    auto reversed = getSelectedTextBoundingRect(element);
    if (!reversed) return {{"message", "something wrong rev"}};
    // A zero-size reversed rectangle measured nothing, so the forward one is all there is. Any
    // other origin is a position, negative ones included (displays left of or above the main one).
    const CGRect& used = isZeroSize(*reversed) ? *forward : *reversed;
    return withAppInfo(selectionForm(text, editable, used.origin.x, used.origin.y,
                                     std::fabs(used.size.width), std::fabs(used.size.height)));
}

std::optional<std::string> MacAccessibility::getTextAboveInsertionPoint(const ElementRef& element) {
    CFRange range = getAttributeValue<CFRange>(element, "AXSelectedTextRange").value_or(CFRange{});
    ObjectRef before = rangeValue({0, range.location});
    if (!before) return std::nullopt;
    return getParameterizedAttributeValue<std::string>(element, "AXStringForRange", before);
}

}  // namespace korvale
