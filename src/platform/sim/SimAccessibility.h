// The simulated accessibility service: applications with element trees, attributes of every
// kind, parameterized attributes computed from a text model and a simple layout, scripted
// answers and injected errors, observers whose notifications reach the main run loop through
// run-loop sources. Every request is written to the desktop's request log.
#pragma once

#include "platform/sim/SimDesktop.h"

namespace korvale::sim {

class SimAccessibility final : public AccessibilityService {
public:
    explicit SimAccessibility(Desktop& desktop);
    ~SimAccessibility() override;
    void reset();

    bool isProcessTrustedWithOptions(bool prompt) override;
    ElementRef createApplication(pid_t pid) override;
    AXError copyAttributeValue(const ElementRef& element, const std::string& attribute,
                               ObjectRef* value) override;
    AXError copyParameterizedAttributeValue(const ElementRef& element, const std::string& attribute,
                                            const ObjectRef& parameter, ObjectRef* value) override;
    AXError isAttributeSettable(const ElementRef& element, const std::string& attribute,
                                bool* settable) override;
    AXError setAttributeValue(const ElementRef& element, const std::string& attribute,
                              const ObjectRef& value) override;
    AXError copyAttributeNames(const ElementRef& element, ObjectRef* names) override;
    AXError observerCreate(pid_t pid, AXObserverCallback callback, AXObserverRef* observer) override;
    AXError observerAddNotification(const AXObserverRef& observer, const ElementRef& element,
                                    const std::string& notification, void* refcon) override;
    RunLoopSourceRef observerGetRunLoopSource(const AXObserverRef& observer) override;

private:
    Desktop& desktop_;
};

}  // namespace korvale::sim
