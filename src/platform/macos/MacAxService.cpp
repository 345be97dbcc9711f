// The accessibility service over AXUIElement, AXObserver and AXValue. Every reference a Create or
// Copy call hands out goes straight into a CFOwner; values are converted before the owner drops.
#include "platform/macos/MacAxService.h"

#include "platform/macos/MacValues.h"

namespace korvale::macos {

namespace pl = korvale::platform;

namespace {

AXUIElementRef elementRef(const pl::ElementRef& element) {
    auto* mac = dynamic_cast<const MacElement*>(element.get());
    return mac ? mac->ref() : nullptr;
}

MacObserver* macObserver(const pl::AXObserverRef& observer) {
    return dynamic_cast<MacObserver*>(observer.get());
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Observers.

MacObserver::Registration* MacObserver::addRegistration(void* refcon) {
    registrations_.push_back({this, refcon});
    return &registrations_.back();
}

void MacObserver::dropRegistration(Registration* registration) {
    registrations_.remove_if([&](const Registration& r) { return &r == registration; });
}

void MacObserver::entry(AXObserverRef, AXUIElementRef element, CFStringRef notification, void* refcon) {
    auto* registration = static_cast<Registration*>(refcon);
    if (!registration || !registration->observer) return;
    MacObserver& self = *registration->observer;
    // Nothing may be thrown back into the platform's run loop.
    try {
        auto keepAlive = self.shared_from_this();
        pl::ElementRef changed = wrapElement(CFOwner<AXUIElementRef>::retain(element));
        if (self.callback_) self.callback_(keepAlive, changed, stringFrom(notification), registration->refcon);
    } catch (...) {
    }
}

// ---------------------------------------------------------------------------------------------
// The service.

bool MacAxService::isProcessTrustedWithOptions(bool prompt) {
    const void* keys[] = {kAXTrustedCheckOptionPrompt};
    const void* values[] = {prompt ? kCFBooleanTrue : kCFBooleanFalse};
    auto options = CFOwner<CFDictionaryRef>::adopt(CFDictionaryCreate(
        kCFAllocatorDefault, keys, values, 1, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
    return AXIsProcessTrustedWithOptions(options.get()) != 0;
}

pl::ElementRef MacAxService::createApplication(pl::pid_t pid) {
    return wrapElement(CFOwner<AXUIElementRef>::adopt(AXUIElementCreateApplication(static_cast<pid_t>(pid))));
}

pl::AXError MacAxService::copyAttributeValue(const pl::ElementRef& element, const std::string& attribute,
                                             pl::ObjectRef* value) {
    AXUIElementRef ref = elementRef(element);
    if (!ref || !value) return kAXErrorIllegalArgument;
    auto name = makeCFString(attribute);
    CFOwner<CFTypeRef> result;
    AXError code = AXUIElementCopyAttributeValue(ref, name.get(), result.out());
    // A value left behind with a failure code is released by its owner, never converted.
    if (code == kAXErrorSuccess) *value = toPlatform(result.get());
    return code;
}

pl::AXError MacAxService::copyParameterizedAttributeValue(const pl::ElementRef& element,
                                                          const std::string& attribute,
                                                          const pl::ObjectRef& parameter, pl::ObjectRef* value) {
    AXUIElementRef ref = elementRef(element);
    auto cfParameter = toCF(parameter);
    if (!ref || !value || !cfParameter) return kAXErrorIllegalArgument;
    auto name = makeCFString(attribute);
    CFOwner<CFTypeRef> result;
    AXError code = AXUIElementCopyParameterizedAttributeValue(ref, name.get(), cfParameter.get(), result.out());
    if (code == kAXErrorSuccess) *value = toPlatform(result.get());
    return code;
}

pl::AXError MacAxService::isAttributeSettable(const pl::ElementRef& element, const std::string& attribute,
                                              bool* settable) {
    AXUIElementRef ref = elementRef(element);
    if (!ref || !settable) return kAXErrorIllegalArgument;
    auto name = makeCFString(attribute);
    Boolean flag = false;
    AXError code = AXUIElementIsAttributeSettable(ref, name.get(), &flag);
    if (code == kAXErrorSuccess) *settable = flag != 0;
    return code;
}

pl::AXError MacAxService::setAttributeValue(const pl::ElementRef& element, const std::string& attribute,
                                            const pl::ObjectRef& value) {
    AXUIElementRef ref = elementRef(element);
    auto cfValue = toCF(value);
    if (!ref || !cfValue) return kAXErrorIllegalArgument;
    auto name = makeCFString(attribute);
    return AXUIElementSetAttributeValue(ref, name.get(), cfValue.get());
}

pl::AXError MacAxService::copyAttributeNames(const pl::ElementRef& element, pl::ObjectRef* names) {
    AXUIElementRef ref = elementRef(element);
    if (!ref || !names) return kAXErrorIllegalArgument;
    CFOwner<CFArrayRef> result;
    AXError code = AXUIElementCopyAttributeNames(ref, result.out());
    if (code == kAXErrorSuccess) *names = toPlatform(result.get());
    return code;
}

pl::AXError MacAxService::observerCreate(pl::pid_t pid, pl::AXObserverCallback callback,
                                         pl::AXObserverRef* observer) {
    if (!observer) return kAXErrorIllegalArgument;
    CFOwner<AXObserverRef> created;
    AXError code = AXObserverCreate(static_cast<pid_t>(pid), &MacObserver::entry, created.out());
    *observer = created ? std::make_shared<MacObserver>(std::move(created), callback) : nullptr;
    return code;
}

pl::AXError MacAxService::observerAddNotification(const pl::AXObserverRef& observer, const pl::ElementRef& element,
                                                  const std::string& notification, void* refcon) {
    MacObserver* mac = macObserver(observer);
    AXUIElementRef ref = elementRef(element);
    if (!mac || !ref) return kAXErrorIllegalArgument;
    auto name = makeCFString(notification);
    MacObserver::Registration* registration = mac->addRegistration(refcon);
    AXError code = AXObserverAddNotification(mac->ref(), ref, name.get(), registration);
    if (code != kAXErrorSuccess) mac->dropRegistration(registration);  // nothing will arrive for it
    return code;
}

pl::AXError MacAxService::observerRemoveNotification(const pl::AXObserverRef& observer, const pl::ElementRef& element,
                                                     const std::string& notification) {
    MacObserver* mac = macObserver(observer);
    AXUIElementRef ref = elementRef(element);
    if (!mac || !ref) return kAXErrorIllegalArgument;
    auto name = makeCFString(notification);
    // The registration's record stays with the observer (it is small): the platform is handed
    // its address, and the record must outlive anything still on its way.
    return AXObserverRemoveNotification(mac->ref(), ref, name.get());
}

pl::RunLoopSourceRef MacAxService::observerGetRunLoopSource(const pl::AXObserverRef& observer) {
    MacObserver* mac = macObserver(observer);
    if (!mac) return nullptr;
    // A Get function: the source stays the observer's, so a reference of our own is taken.
    auto source = CFOwner<CFRunLoopSourceRef>::retain(AXObserverGetRunLoopSource(mac->ref()));
    if (!source) return nullptr;
    return std::make_shared<MacRunLoopSource>(std::move(source), mac->shared_from_this());
}

}  // namespace korvale::macos
