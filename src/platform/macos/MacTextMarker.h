// Text markers and marker ranges of the accessibility service. Apple exports these functions
// from HIServices but its public headers do not declare them, so the backend declares them
// itself, with the signatures the frameworks export.
#pragma once

#include <ApplicationServices/ApplicationServices.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef const struct __AXTextMarker *AXTextMarkerRef;
typedef const struct __AXTextMarkerRange *AXTextMarkerRangeRef;

CFTypeID AXTextMarkerGetTypeID(void);
CFTypeID AXTextMarkerRangeGetTypeID(void);
AXTextMarkerRef AXTextMarkerCreate(CFAllocatorRef allocator, const UInt8 *bytes, CFIndex length);
CFIndex AXTextMarkerGetLength(AXTextMarkerRef marker);
const UInt8 *AXTextMarkerGetBytePtr(AXTextMarkerRef marker);
AXTextMarkerRangeRef AXTextMarkerRangeCreate(CFAllocatorRef allocator, AXTextMarkerRef startMarker,
                                             AXTextMarkerRef endMarker);
AXTextMarkerRef AXTextMarkerRangeCopyStartMarker(AXTextMarkerRangeRef range);
AXTextMarkerRef AXTextMarkerRangeCopyEndMarker(AXTextMarkerRangeRef range);

#ifdef __cplusplus
}
#endif
