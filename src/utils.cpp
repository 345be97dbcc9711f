// The accessibility access layer: the library's only road to other applications' accessibility
// elements. Reads with the fixed handling of the platform's error codes and conversion into the
// type the caller asks for, settability and writes, observer registration (each registration
// once), the bounds of a text-marker selection, the tree-enabling walk (bounded), and the
// keystroke, waiting and debouncing utilities. Every platform handle is an RAII owner, so a value
// handed out by a "copy" call is released on every path. Main thread only; nothing is locked.
#include "utils.h"

#include "Diagnostic.h"

#include <string>
#include <variant>
#include <vector>

namespace korvale {

using platform::AXValueType;
using platform::TypeID;

namespace {

platform::AccessibilityService& ax() { return platform::current().accessibility; }

}  // namespace

// ---------------------------------------------------------------------------------------------
// Value conversion.

template <typename T>
std::optional<T> axValueToNative(const ObjectRef& axValue) {
    // The candidate the object yields: its own kind first, then the contents of a value box.
    using Held = std::variant<std::monostate, TextMarkerRangeRef, platform::TextMarkerRef, ElementRef,
                              std::shared_ptr<const platform::StringObject>,
                              std::shared_ptr<const platform::NumberObject>, CGPoint, CGRect, CFRange>;
    Held held;
    switch (platform::CFGetTypeID(axValue)) {
        case TypeID::TextMarkerRange: held = std::static_pointer_cast<const platform::TextMarkerRange>(axValue); break;
        case TypeID::TextMarker: held = std::static_pointer_cast<const platform::TextMarker>(axValue); break;
        case TypeID::UIElement: held = ElementRef(std::static_pointer_cast<const platform::UIElement>(axValue)); break;
        case TypeID::String: held = std::static_pointer_cast<const platform::StringObject>(axValue); break;
        case TypeID::Number: held = std::static_pointer_cast<const platform::NumberObject>(axValue); break;
        default: break;
    }
    switch (platform::AXValueGetType(axValue)) {
        case AXValueType::CGPoint:
            if (CGPoint p; platform::AXValueGetValue(axValue, AXValueType::CGPoint, &p)) held = p;
            break;
        case AXValueType::CGRect:
            if (CGRect r; platform::AXValueGetValue(axValue, AXValueType::CGRect, &r)) held = r;
            break;
        case AXValueType::CFRange:
            if (CFRange r; platform::AXValueGetValue(axValue, AXValueType::CFRange, &r)) held = r;
            break;
        default:  // sizes and error boxes are never converted
            if (std::holds_alternative<std::monostate>(held)) return std::nullopt;
            break;
    }
    if constexpr (std::is_same_v<T, std::string>) {
        if (auto* s = std::get_if<std::shared_ptr<const platform::StringObject>>(&held)) return (*s)->value;
    } else if constexpr (std::is_same_v<T, int64_t>) {
        if (auto* n = std::get_if<std::shared_ptr<const platform::NumberObject>>(&held)) return (*n)->integerValue();
    } else {
        if (auto* v = std::get_if<T>(&held)) return *v;
    }
    return std::nullopt;
}

// ---------------------------------------------------------------------------------------------
// Attribute access.

namespace {

// One line for a failed read: -25212 (no value) is silent.
template <typename T>
std::optional<T> convertOrReport(AXError code, const ObjectRef& value) {
    if (code == platform::kAXErrorNotImplemented) {
        diagnostic(std::to_string(code) + " Attribute not implemented");
        return std::nullopt;
    }
    if (code == platform::kAXErrorNoValue) return std::nullopt;
    if (code != platform::kAXErrorSuccess) {
        diagnostic(std::to_string(code) + " Error retrieving attribute");
        return std::nullopt;
    }
    if (!value) return std::nullopt;
    return axValueToNative<T>(value);
}

}  // namespace

template <typename T>
std::optional<T> getAttributeValue(const ElementRef& ref, const std::string& attr) {
    ObjectRef value;
    AXError code = ax().copyAttributeValue(ref, attr, &value);
    return convertOrReport<T>(code, value);
}

template <typename T>
std::optional<T> getParameterizedAttributeValue(const ElementRef& ref, const std::string& attr,
                                                const ObjectRef& parameter) {
    ObjectRef value;
    AXError code = ax().copyParameterizedAttributeValue(ref, attr, parameter, &value);
    return convertOrReport<T>(code, value);
}

#define KORVALE_INSTANTIATE(T)                                                                    \
    template std::optional<T> axValueToNative<T>(const ObjectRef&);                               \
    template std::optional<T> getAttributeValue<T>(const ElementRef&, const std::string&);        \
    template std::optional<T> getParameterizedAttributeValue<T>(const ElementRef&,                \
                                                                const std::string&, const ObjectRef&);
KORVALE_INSTANTIATE(std::string)
KORVALE_INSTANTIATE(int64_t)
KORVALE_INSTANTIATE(CGPoint)
KORVALE_INSTANTIATE(CGRect)
KORVALE_INSTANTIATE(CFRange)
KORVALE_INSTANTIATE(ElementRef)
KORVALE_INSTANTIATE(TextMarkerRangeRef)
#undef KORVALE_INSTANTIATE

bool isAttributeSettable(const ElementRef& ref, const std::string& attr) {
    bool settable = false;
    ax().isAttributeSettable(ref, attr, &settable);  // the code is ignored: the flag says it all
    return settable;
}

void setAttributeValue(const ElementRef& ref, const std::string& attr, const ObjectRef& value) {
    // Never write what the platform does not report as settable; neither outcome is reported.
    if (isAttributeSettable(ref, attr)) ax().setAttributeValue(ref, attr, value);
}

ElementRef getAppRef(int32_t pid) { return ax().createApplication(pid); }

std::optional<std::vector<std::string>> getAttributes(const ElementRef& ref) {
    ObjectRef names;
    AXError code = ax().copyAttributeNames(ref, &names);
    if (code != platform::kAXErrorSuccess) {
        diagnostic(std::to_string(code) + " Error retrieving attribute list");
        return std::nullopt;
    }
    if (platform::CFGetTypeID(names) != TypeID::Array) return std::nullopt;
    std::vector<std::string> out;
    for (const auto& item : static_cast<const platform::ArrayObject&>(*names).values) {
        if (platform::CFGetTypeID(item) != TypeID::String) return std::nullopt;
        out.push_back(static_cast<const platform::StringObject&>(*item).value);
    }
    return out;
}

RunningApplicationRef getFrontmost() { return workspace().frontmostApplication(); }

std::optional<std::string> getStringAttributeQuietly(const ElementRef& ref, const std::string& attr) {
    ObjectRef value;
    if (ax().copyAttributeValue(ref, attr, &value) != platform::kAXErrorSuccess || !value) return std::nullopt;
    return axValueToNative<std::string>(value);
}

bool isProcessTrusted(bool prompt) { return ax().isProcessTrustedWithOptions(prompt); }

platform::Workspace& workspace() { return platform::current().workspace; }
platform::Pasteboard& pasteboard() { return platform::current().pasteboard; }
platform::MainLoop& mainLoop() { return platform::current().mainLoop; }
platform::WindowServer& windowServer() { return platform::current().windows; }

// ---------------------------------------------------------------------------------------------
// Observer registration.

AXObserverRef observer;

namespace {

// A registration the platform took. It refers to its observer and the observer's run-loop source
// without keeping either alive: the run loop holds the source, and the source its observer.
struct Registration {
    int32_t pid;
    ElementRef element;
    std::string notification;
    AXObserverCallback callback;
    const MacAccessibility* monitor;
    std::weak_ptr<platform::AXObserver> observer;
    std::weak_ptr<platform::RunLoopSource> source;

    // Whether the platform still holds it: a desktop reset, a quit application or a service
    // gone for good invalidates the source (or lets the run loop drop it).
    bool held() const {
        auto s = source.lock();
        return s && s->isValid();
    }
};

// What has been registered and is still held. The monitor is part of the key: a new monitor
// (after `main`) must get registrations of its own, since the old ones carry the old monitor as
// context. Entries the platform let go of are dropped when met, so the same registration is
// made again once it is needed.
std::vector<Registration>& registrations() {
    static std::vector<Registration> list;
    return list;
}

bool alreadyRegistered(const ElementRef& element, int32_t pid, const std::string& notification,
                       AXObserverCallback callback, const MacAccessibility* monitor) {
    auto& list = registrations();
    std::erase_if(list, [](const Registration& r) { return !r.held(); });
    for (const auto& r : list)
        if (r.pid == pid && r.callback == callback && r.monitor == monitor &&
            r.notification == notification && platform::CFEqual(r.element, element))
            return true;
    return false;
}

}  // namespace

void setNotification(const ElementRef& element, int32_t pid, const std::string& notification,
                     AXObserverCallback callback, MacAccessibility* monitor) {
    // A repeat would only add an observer delivering the same notification a second time.
    if (alreadyRegistered(element, pid, notification, callback, monitor)) return;
    auto& service = ax();
    service.observerCreate(pid, callback, &observer);
    if (!observer) {
        // No observer (the process has gone, or the platform refused): nothing can be added or
        // attached. The line is the one a failed registration prints, so the log shows it
        // whichever step failed; nothing is remembered, so a later call tries again.
        diagnostic("error");
        return;
    }
    AXError code = service.observerAddNotification(observer, element, notification, monitor);
    if (code != platform::kAXErrorSuccess) diagnostic("error");
    // Attached even after a failed add, so the observer lives as long as the platform's loop.
    auto& loop = mainLoop();
    auto source = service.observerGetRunLoopSource(observer);
    loop.addSource(source, platform::kCFRunLoopDefaultMode);
    // Only a registration that took hold is remembered: a failed one may succeed later.
    if (code == platform::kAXErrorSuccess && source)
        registrations().push_back({pid, element, notification, callback, monitor, observer, source});
}

void removeRegistrationsOf(const MacAccessibility* monitor) {
    // Taken out of the list first: removing may call back into the platform's loop.
    std::vector<Registration> mine;
    std::erase_if(registrations(), [&](Registration& r) {
        if (r.monitor != monitor) return false;
        mine.push_back(std::move(r));
        return true;
    });
    auto& service = ax();
    auto& loop = platform::current().mainLoop;
    for (const auto& r : mine) {
        if (!r.held()) continue;  // the platform let go of it already
        auto heldObserver = r.observer.lock();
        auto heldSource = r.source.lock();
        if (heldObserver) service.observerRemoveNotification(heldObserver, r.element, r.notification);
        // Each registration has an observer of its own: with its one notification gone, the
        // observer has nothing left to deliver, and the loop lets go of it.
        loop.removeSource(heldSource, platform::kCFRunLoopDefaultMode);
    }
}

// ---------------------------------------------------------------------------------------------
// Selection geometry and tree enabling.

namespace {

std::optional<CGRect> selectionBounds(const ElementRef& element, bool reversed) {
    auto selected = getAttributeValue<TextMarkerRangeRef>(element, "AXSelectedTextMarkerRange");
    // The selection may have gone between the caller's check and this read: no rectangle.
    if (!selected || !*selected) return std::nullopt;
    auto start = platform::AXTextMarkerRangeCopyStartMarker(*selected);
    auto end = platform::AXTextMarkerRangeCopyEndMarker(*selected);
    auto rebuilt = reversed ? platform::AXTextMarkerRangeCreate(end, start)
                            : platform::AXTextMarkerRangeCreate(start, end);
    if (!rebuilt) return std::nullopt;
    return getParameterizedAttributeValue<CGRect>(element, "AXBoundsForTextMarkerRange", rebuilt);
}

// Depth-first over the first four levels; `budget` counts the "AXChildren" requests left.
void traverse(const ElementRef& element, int depth, int& budget) {
    if (budget <= 0) return;
    --budget;
    ObjectRef children;
    ax().copyAttributeValue(element, "AXChildren", &children);  // direct: no line is ever printed
    if (platform::CFGetTypeID(children) != TypeID::Array) return;
    const auto& items = static_cast<const platform::ArrayObject&>(*children).values;
    for (const auto& item : items)
        if (platform::CFGetTypeID(item) != TypeID::UIElement) return;
    if (depth >= 3) return;  // children of the fourth level are read, never visited
    for (const auto& item : items) {
        if (budget <= 0) return;
        traverse(std::static_pointer_cast<const platform::UIElement>(item), depth + 1, budget);
    }
}

}  // namespace

std::optional<CGRect> getSelectedTextBoundingRectCorrect(const ElementRef& element) {
    return selectionBounds(element, false);
}

std::optional<CGRect> getSelectedTextBoundingRect(const ElementRef& element) {
    return selectionBounds(element, true);
}

void enableAccessbiltyByTraversing(const ElementRef& element, int depth) {
    int budget = kTraversalRequestBudget;
    traverse(element, depth, budget);
}

// ---------------------------------------------------------------------------------------------
// Timing and input.

namespace {
constexpr int kHIDSystemState = 1;
constexpr int kHIDEventTap = 0;
constexpr uint16_t kVKCommand = 55;
constexpr uint16_t kVKANSI_V = 9;  // the key in the V position, whatever the layout puts there
constexpr uint64_t kCommandFlag = 0x100000;
}  // namespace

bool pasteCommand() {
    auto& keyboard = platform::current().keyboard;
    auto source = keyboard.createSource(kHIDSystemState);  // may be absent: events go out sourceless
    bool posted = true;
    auto postPair = [&](uint16_t firstKey, uint16_t secondKey, bool keyDown) {
        auto first = keyboard.createKeyboardEvent(source.get(), firstKey, keyDown);
        auto second = keyboard.createKeyboardEvent(source.get(), secondKey, keyDown);
        if (first) platform::CGEventSetFlags(*first, kCommandFlag);
        if (second) platform::CGEventSetFlags(*second, kCommandFlag);
        if (first) keyboard.post(kHIDEventTap, *first);
        if (second) keyboard.post(kHIDEventTap, *second);
        posted = posted && first && second;
    };
    postPair(kVKCommand, kVKANSI_V, true);
    postPair(kVKANSI_V, kVKCommand, false);
    return posted;
}

void delay(double seconds) {
    // The wait blocks like the busy loop it replaces (nothing of this thread is serviced), but
    // leaves the processor alone; on a virtual clock it simply moves time on.
    auto& loop = mainLoop();
    loop.blockUntil(loop.now() + seconds);
}

}  // namespace korvale
