// The accessibility service over Apple's C API (AXUIElement, AXObserver, AXValue): each call is
// the platform call of the same name, with its arguments and results converted by MacValues.
// Observers call back through one C entry point that turns the platform's arguments back into
// platform values. Plain C++, so that it also runs here over a fake of those C functions.
#pragma once

#include <ApplicationServices/ApplicationServices.h>

#include <list>
#include <memory>

#include "platform/Platform.h"
#include "platform/macos/MacCF.h"

namespace korvale::macos {

// An AXObserver and the registrations made on it. Each registration's context pointer is the
// address of its record here, which stays put for the observer's life.
class MacObserver final : public platform::AXObserver, public std::enable_shared_from_this<MacObserver> {
public:
    MacObserver(CFOwner<AXObserverRef> ref, platform::AXObserverCallback callback)
        : ref_(std::move(ref)), callback_(callback) {}
    AXObserverRef ref() const { return ref_.get(); }

    struct Registration {
        MacObserver* observer;
        void* refcon;
    };
    Registration* addRegistration(void* refcon);
    void dropRegistration(Registration* registration);
    // The C entry point the platform calls.
    static void entry(AXObserverRef observer, AXUIElementRef element, CFStringRef notification, void* refcon);

private:
    CFOwner<AXObserverRef> ref_;
    platform::AXObserverCallback callback_;
    std::list<Registration> registrations_;
};

// An observer's run-loop source. It keeps its observer alive, as the run loop keeps the source.
class MacRunLoopSource final : public platform::RunLoopSource {
public:
    MacRunLoopSource(CFOwner<CFRunLoopSourceRef> ref, std::shared_ptr<MacObserver> observer)
        : ref_(std::move(ref)), observer_(std::move(observer)) {}
    CFRunLoopSourceRef ref() const { return ref_.get(); }
    bool isValid() const override;

private:
    CFOwner<CFRunLoopSourceRef> ref_;
    std::shared_ptr<MacObserver> observer_;
};

class MacAxService final : public platform::AccessibilityService {
public:
    bool isProcessTrustedWithOptions(bool prompt) override;
    platform::ElementRef createApplication(platform::pid_t pid) override;
    platform::AXError copyAttributeValue(const platform::ElementRef& element, const std::string& attribute,
                                         platform::ObjectRef* value) override;
    platform::AXError copyParameterizedAttributeValue(const platform::ElementRef& element,
                                                      const std::string& attribute,
                                                      const platform::ObjectRef& parameter,
                                                      platform::ObjectRef* value) override;
    platform::AXError isAttributeSettable(const platform::ElementRef& element, const std::string& attribute,
                                          bool* settable) override;
    platform::AXError setAttributeValue(const platform::ElementRef& element, const std::string& attribute,
                                        const platform::ObjectRef& value) override;
    platform::AXError copyAttributeNames(const platform::ElementRef& element, platform::ObjectRef* names) override;
    platform::AXError observerCreate(platform::pid_t pid, platform::AXObserverCallback callback,
                                     platform::AXObserverRef* observer) override;
    platform::AXError observerAddNotification(const platform::AXObserverRef& observer,
                                              const platform::ElementRef& element,
                                              const std::string& notification, void* refcon) override;
    platform::AXError observerRemoveNotification(const platform::AXObserverRef& observer,
                                                 const platform::ElementRef& element,
                                                 const std::string& notification) override;
    platform::RunLoopSourceRef observerGetRunLoopSource(const platform::AXObserverRef& observer) override;
};

}  // namespace korvale::macos
