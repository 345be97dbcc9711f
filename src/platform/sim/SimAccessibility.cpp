// The simulated accessibility service (placeholder: trust only, until the access-layer issue).
#include "platform/sim/SimAccessibility.h"

namespace korvale::sim {

SimAccessibility::SimAccessibility(Desktop& desktop) : desktop_(desktop) {}
SimAccessibility::~SimAccessibility() = default;
void SimAccessibility::reset() {}

bool SimAccessibility::isProcessTrustedWithOptions(bool prompt) {
    if (prompt && !desktop_.trusted) ++desktop_.promptRequests;
    desktop_.logRequest({{"call", "AXIsProcessTrustedWithOptions"}, {"prompt", prompt},
                         {"result", desktop_.trusted}});
    return desktop_.trusted;
}
ElementRef SimAccessibility::createApplication(pid_t) { return nullptr; }
AXError SimAccessibility::copyAttributeValue(const ElementRef&, const std::string&, ObjectRef*) {
    return kAXErrorCannotComplete;
}
AXError SimAccessibility::copyParameterizedAttributeValue(const ElementRef&, const std::string&,
                                                          const ObjectRef&, ObjectRef*) {
    return kAXErrorCannotComplete;
}
AXError SimAccessibility::isAttributeSettable(const ElementRef&, const std::string&, bool*) {
    return kAXErrorCannotComplete;
}
AXError SimAccessibility::setAttributeValue(const ElementRef&, const std::string&, const ObjectRef&) {
    return kAXErrorCannotComplete;
}
AXError SimAccessibility::copyAttributeNames(const ElementRef&, ObjectRef*) {
    return kAXErrorCannotComplete;
}
AXError SimAccessibility::observerCreate(pid_t, AXObserverCallback, AXObserverRef*) {
    return kAXErrorCannotComplete;
}
AXError SimAccessibility::observerAddNotification(const AXObserverRef&, const ElementRef&,
                                                  const std::string&, void*) {
    return kAXErrorCannotComplete;
}
RunLoopSourceRef SimAccessibility::observerGetRunLoopSource(const AXObserverRef&) { return nullptr; }

}  // namespace korvale::sim
