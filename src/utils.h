// The accessibility access layer: free functions over the platform's accessibility service —
// attribute reads and writes with fixed error handling, value conversion, observer registration,
// selection geometry, tree enabling — and the timing and keystroke utilities. Main thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "platform/Platform.h"

namespace korvale {

class MacAccessibility;

using platform::AXError;
using platform::AXObserverCallback;
using platform::AXObserverRef;
using platform::CFRange;
using platform::CGPoint;
using platform::CGRect;
using platform::ElementRef;
using platform::ObjectRef;
using platform::RunningApplicationRef;
using platform::TextMarkerRangeRef;

// Converts a platform value into the requested type, or none. T is one of std::string, int64_t,
// CGPoint, CGRect, CFRange, ElementRef, TextMarkerRangeRef.
template <typename T>
std::optional<T> axValueToNative(const ObjectRef& axValue);

template <typename T>
std::optional<T> getAttributeValue(const ElementRef& ref, const std::string& attr);
template <typename T>
std::optional<T> getParameterizedAttributeValue(const ElementRef& ref, const std::string& attr,
                                                const ObjectRef& parameter);

bool isAttributeSettable(const ElementRef& ref, const std::string& attr);
void setAttributeValue(const ElementRef& ref, const std::string& attr, const ObjectRef& value);
ElementRef getAppRef(int32_t pid);
std::optional<std::vector<std::string>> getAttributes(const ElementRef& ref);
RunningApplicationRef getFrontmost();

// The newest observer made by setNotification.
extern AXObserverRef observer;

// Registers `notification` on `element` of process `pid` with `callback` and the monitor as
// context. A (process, element, notification, callback) the platform still holds for the monitor
// is not registered again; one it no longer holds (its application quit, its service went away,
// the desktop was replaced) is made again.
void setNotification(const ElementRef& element, int32_t pid, const std::string& notification,
                     AXObserverCallback callback, MacAccessibility* monitor);
// Removes what `monitor` registered (it was retired) from the platform: the notifications from
// their observers, and the observers' sources from the run loop, which then lets go of them.
void removeRegistrationsOf(const MacAccessibility* monitor);

std::optional<CGRect> getSelectedTextBoundingRectCorrect(const ElementRef& element);
std::optional<CGRect> getSelectedTextBoundingRect(const ElementRef& element);

// "AXChildren" requests a walk may make before it stops, so that a huge tree cannot hold the
// main thread for seconds.
inline constexpr int kTraversalRequestBudget = 1000;
void enableAccessbiltyByTraversing(const ElementRef& element, int depth = 0);

// The attribute's value as text, or none, without a diagnostic line for a failed read (for an
// attribute most elements lack, where a failure is no news).
std::optional<std::string> getStringAttributeQuietly(const ElementRef& ref, const std::string& attr);
// Whether the process is trusted with the accessibility service (asking the user when `prompt`).
bool isProcessTrusted(bool prompt);

// The platform's other services, for the monitor, delivery and hover code. These and the
// functions above are the only places that ask which backend serves the process
// (platform::current()), apart from the diagnostic lines (Diagnostic.h).
platform::Workspace& workspace();
platform::Pasteboard& pasteboard();
platform::MainLoop& mainLoop();
platform::WindowServer& windowServer();

// Posts Command-V: Command down, V down, V up, Command up, each with the Command flag. False
// when a keystroke could not be made (it was then not posted).
bool pasteCommand();
// Holds the calling thread for `seconds` without servicing its run loop.
void delay(double seconds);

}  // namespace korvale
