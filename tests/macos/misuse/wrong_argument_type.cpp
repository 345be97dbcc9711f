// expect: no known conversion from 'const char[7]' to 'CFStringRef'
// A C string where the accessibility API takes a CFString attribute name.
#include <ApplicationServices/ApplicationServices.h>

AXError readRole(AXUIElementRef element, CFTypeRef* value) {
    return AXUIElementCopyAttributeValue(element, "AXRole", value);
}
