// expect: 'release' is unavailable: Not available with automatic reference counting
// Manual reference counting of an Objective-C object in a file compiled with ARC.
#import <AppKit/AppKit.h>

void dropItem(NSPasteboardItem* item) { [item release]; }
