// The host's windows: a window handle is looked up among NSApp's live windows (never trusted as
// a pointer); tracking-area owners are small Objective-C objects of our own forwarding to the
// platform's responder, tied to the lifetime of their area. The window's delegate is the host's
// and is never touched: its callbacks keep working. The library's object for a window lives as
// long as the NSWindow does, so what refers to it weakly learns when the window is gone.
#include "platform/macos/MacAppKit.h"

#include "platform/macos/MacAppKitCompat.h"

namespace pl = korvale::platform;

// Forwards a tracking area's mouse messages to a responder that may already be gone.
@interface KorvaleResponderBridge : NSResponder {
    std::weak_ptr<pl::Responder> _weak;
}
- (instancetype)initWithWeak:(std::weak_ptr<pl::Responder>)weak;
@end

@implementation KorvaleResponderBridge
- (instancetype)initWithWeak:(std::weak_ptr<pl::Responder>)weak {
    if ((self = [super init])) _weak = std::move(weak);
    return self;
}
- (void)forward:(void (pl::Responder::*)())message {
    try {
        if (auto responder = _weak.lock()) ((*responder).*message)();
    } catch (...) {
    }
}
- (void)mouseEntered:(NSEvent *)event {
    (void)event;
    [self forward:&pl::Responder::mouseEntered];
}
- (void)mouseExited:(NSEvent *)event {
    (void)event;
    [self forward:&pl::Responder::mouseExited];
}
@end

// Keeps the library's object for one NSWindow, as an association of the window: it goes when the
// window is deallocated.
@interface KorvaleWindowToken : NSObject {
    std::shared_ptr<pl::Window> _window;
}
- (instancetype)initWithWindow:(std::shared_ptr<pl::Window>)window;
- (std::shared_ptr<pl::Window>)window;
@end

@implementation KorvaleWindowToken
- (instancetype)initWithWindow:(std::shared_ptr<pl::Window>)window {
    if ((self = [super init])) _window = std::move(window);
    return self;
}
- (std::shared_ptr<pl::Window>)window {
    return _window;
}
@end

namespace korvale::macos {

namespace {

char kWindowKey;
char kOwnerKey;

class MacWindow final : public pl::Window {
public:
    explicit MacWindow(NSWindow *window) : window_(window) {}
    NSWindow *window() const { return window_; }

private:
    __weak NSWindow *window_;  // a window the host closes is not kept alive by the library
};

class MacTrackingArea final : public pl::TrackingArea {
public:
    explicit MacTrackingArea(NSTrackingArea *area) : area_(area) {}
    NSTrackingArea *area() const { return area_; }

private:
    NSTrackingArea *area_;
};

NSWindow *nsWindow(const pl::WindowRef& window) {
    auto *mac = dynamic_cast<MacWindow *>(window.get());
    return mac ? mac->window() : nil;
}

class MacWindowServer final : public pl::WindowServer {
public:
    // Only NSApp's windows, so only the host process's own.
    pl::WindowRef windowForHandle(void *handle) override {
        if (!handle) return nullptr;
        for (NSWindow *window in [NSApp windows]) {
            if ((__bridge void *)window != handle) continue;
            KorvaleWindowToken *token = objc_getAssociatedObject(window, &kWindowKey);
            if (token) return [token window];
            auto made = std::make_shared<MacWindow>(window);
            token = [[KorvaleWindowToken alloc] initWithWindow:made];
            objc_setAssociatedObject(window, &kWindowKey, token, OBJC_ASSOCIATION_RETAIN_NONATOMIC);
            return made;
        }
        return nullptr;
    }
    std::optional<pl::CGRect> contentViewBounds(const pl::WindowRef& window) override {
        NSView *view = [nsWindow(window) contentView];
        if (!view) return std::nullopt;
        NSRect b = [view bounds];
        return pl::CGRect{{b.origin.x, b.origin.y}, {b.size.width, b.size.height}};
    }
    pl::TrackingAreaRef makeTrackingArea(pl::CGRect rect, unsigned options, std::weak_ptr<pl::Responder> owner) override {
        KorvaleResponderBridge *bridge = [[KorvaleResponderBridge alloc] initWithWeak:std::move(owner)];
        NSRect r = NSMakeRect(rect.origin.x, rect.origin.y, rect.size.width, rect.size.height);
        NSTrackingArea *area = [[NSTrackingArea alloc] initWithRect:r
                                                            options:static_cast<NSTrackingAreaOptions>(options)
                                                              owner:bridge
                                                           userInfo:nil];
        // The area does not retain its owner; the area (kept by its view) keeps the bridge.
        objc_setAssociatedObject(area, &kOwnerKey, bridge, OBJC_ASSOCIATION_RETAIN_NONATOMIC);
        return std::make_shared<MacTrackingArea>(area);
    }
    bool addTrackingArea(const pl::WindowRef& window, const pl::TrackingAreaRef& area) override {
        NSView *view = [nsWindow(window) contentView];
        auto *mac = dynamic_cast<MacTrackingArea *>(area.get());
        if (!view || !mac) return false;
        [view addTrackingArea:mac->area()];
        return true;
    }
    bool setActivationPolicy(int policy) override {
        if (!NSApp) return false;
        return [NSApp setActivationPolicy:static_cast<NSApplicationActivationPolicy>(policy)];
    }
};

}  // namespace

std::unique_ptr<pl::WindowServer> makeWindowServer() { return std::make_unique<MacWindowServer>(); }

}  // namespace korvale::macos
