// expect: cannot implicitly convert argument of type 'NSString *__strong' to 'CFStringRef'
// Under ARC an Objective-C object may not become a Core Foundation reference without saying who
// owns it.
#import <Foundation/Foundation.h>
#include <ApplicationServices/ApplicationServices.h>

AXError readRole(AXUIElementRef element, CFTypeRef* value) {
    NSString* attribute = @"AXRole";
    return AXUIElementCopyAttributeValue(element, attribute, value);
}
