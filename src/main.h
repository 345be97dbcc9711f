// The host interface: the three process-wide variables and the delivery of events to the host
// callback. Everything here runs on the host's main thread; nothing is locked.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "HostText.h"
#include "Korvale.h"
#include "MacAccessibility.h"

namespace korvale {

// One event waiting for delivery.
struct EventParams {
    std::string notification;
    EventData data;
};

extern std::shared_ptr<MacAccessibility> macAccessibility;
extern KorvaleHostCallback observer_callback;
extern std::optional<EventParams> eventParams;

// Delivery intervals: each event is delivered after two successive waits of its interval.
inline constexpr double kTextSelectDeliveryInterval = 0.25;
inline constexpr double kDefaultDeliveryInterval = 0.09;

// Stores the event as the latest one and sets up one delivery.
void callbackWraper(const std::string& notification, const EventData& data);
// Runs `action` on the main thread after `interval` on the main queue, then a one-shot timer of
// the same interval. Nothing pending is cancelled.
void debounce(double interval, std::function<void()> action);
// The body of the export `main`, callable from C++ (which may not call ::main by name).
int mainExport() noexcept;

// Hands the latest stored event, if any, to the host callback.
void deliverLatestEvent();

}  // namespace korvale
