// Value conversion between the accessibility service's Core Foundation objects and the platform
// layer's values: strings (UTF-16 inside CF, UTF-8 above), numbers, booleans, arrays,
// dictionaries, elements, AXValue boxes and text markers (opaque bytes). Conversion never
// consumes the caller's reference; a CF object it makes comes back in an owner.
#pragma once

#include <ApplicationServices/ApplicationServices.h>

#include "platform/Platform.h"
#include "platform/macos/MacCF.h"

namespace korvale::macos {

// One accessibility element. Two handles are the same element when CFEqual says so.
class MacElement final : public platform::UIElement {
public:
    explicit MacElement(CFOwner<AXUIElementRef> ref);
    bool equals(const platform::UIElement& other) const override;
    std::size_t hash() const override;
    platform::pid_t processIdentifier() const override;
    std::string describe() const override;
    AXUIElementRef ref() const { return ref_.get(); }

private:
    CFOwner<AXUIElementRef> ref_;
};

// Every element handed out gets this messaging timeout, so that an application that does not
// answer holds the main thread for at most this long per request (0 keeps the system's).
inline constexpr float kMessagingTimeoutSeconds = 1.0f;
platform::ElementRef wrapElement(CFOwner<AXUIElementRef> ref);

// The platform value for a CF object (none for NULL). `value` stays the caller's.
platform::ObjectRef toPlatform(CFTypeRef value);
// A CF object for a platform value, owned by the result; empty when it has no CF form.
CFOwner<CFTypeRef> toCF(const platform::ObjectRef& value);

}  // namespace korvale::macos
