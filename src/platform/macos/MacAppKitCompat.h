// AppKit names the backend uses that GNUstep's headers spell differently or lack. On a Mac this
// header adds nothing; it only lets the Objective-C++ files be compile-checked against GNUstep,
// with the declarations Apple's reference gives.
#pragma once

#import <AppKit/AppKit.h>

#ifdef GNUSTEP

APPKIT_EXPORT NSString *const NSWorkspaceDidActivateApplicationNotification;
APPKIT_EXPORT NSString *const NSWorkspaceApplicationKey;

@interface NSApplication (KorvaleAppKitCompat)
- (BOOL)setActivationPolicy:(NSApplicationActivationPolicy)activationPolicy;
@end

@interface NSPasteboard (KorvaleAppKitCompat)
- (NSInteger)clearContents;
- (NSArray *)pasteboardItems;
- (BOOL)writeObjects:(NSArray *)objects;
@end

@interface NSView (KorvaleAppKitCompat)
- (void)addTrackingArea:(NSTrackingArea *)trackingArea;
@end

// The associated-object calls of Apple's runtime (GCC's objc headers, which GNUstep uses on
// Debian, do not declare them).
typedef uintptr_t objc_AssociationPolicy;
enum { OBJC_ASSOCIATION_RETAIN_NONATOMIC = 1 };
#ifdef __cplusplus
extern "C" {
#endif
void objc_setAssociatedObject(id object, const void *key, id value, objc_AssociationPolicy policy);
id objc_getAssociatedObject(id object, const void *key);
#ifdef __cplusplus
}
#endif

#else
#import <objc/runtime.h>
#endif
