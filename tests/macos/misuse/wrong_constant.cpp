// expect: no known conversion from 'CGEventSourceStateID' to 'CGEventTapLocation'
// The event source's state where the tap is expected (both are 1-or-0 style constants in C).
#include <CoreGraphics/CoreGraphics.h>

void postAtHidTap(CGEventRef event) { CGEventPost(kCGEventSourceStateHIDSystemState, event); }
