// The host's windows: a window handle is looked up among NSApp's live windows (never trusted as
// a pointer), delegates and tracking-area owners are small Objective-C objects forwarding to the
// platform's responder, and each is tied to the lifetime of what holds it (window or area).
#include "platform/macos/MacAppKit.h"

#include "platform/macos/MacAppKitCompat.h"

namespace pl = korvale::platform;

// Forwards the window system's mouse messages to a responder that may already be gone.
@interface KorvaleResponderBridge : NSResponder <NSWindowDelegate> {
    std::weak_ptr<pl::Responder> _weak;
    std::shared_ptr<pl::Responder> _strong;  // held only when the bridge is a window's delegate
}
- (instancetype)initWithWeak:(std::weak_ptr<pl::Responder>)weak strong:(std::shared_ptr<pl::Responder>)strong;
@end

@implementation KorvaleResponderBridge
- (instancetype)initWithWeak:(std::weak_ptr<pl::Responder>)weak strong:(std::shared_ptr<pl::Responder>)strong {
    if ((self = [super init])) {
        _weak = std::move(weak);
        _strong = std::move(strong);
    }
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
- (void)mouseDown:(NSEvent *)event {
    (void)event;
    [self forward:&pl::Responder::mouseDown];
}
@end

namespace korvale::macos {

namespace {

char kDelegateKey;
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
    pl::WindowRef windowForHandle(void *handle) override {
        if (!handle) return nullptr;
        for (NSWindow *window in [NSApp windows])
            if ((__bridge void *)window == handle) return std::make_shared<MacWindow>(window);
        return nullptr;
    }
    void setDelegate(const pl::WindowRef& window, std::shared_ptr<pl::Responder> delegate) override {
        NSWindow *w = nsWindow(window);
        if (!w) return;
        std::weak_ptr<pl::Responder> weak = delegate;
        KorvaleResponderBridge *bridge = [[KorvaleResponderBridge alloc] initWithWeak:weak strong:std::move(delegate)];
        // NSWindow does not retain its delegate; the window keeps it through an association.
        objc_setAssociatedObject(w, &kDelegateKey, bridge, OBJC_ASSOCIATION_RETAIN_NONATOMIC);
        [w setDelegate:bridge];
    }
    std::optional<pl::CGRect> contentViewBounds(const pl::WindowRef& window) override {
        NSView *view = [nsWindow(window) contentView];
        if (!view) return std::nullopt;
        NSRect b = [view bounds];
        return pl::CGRect{{b.origin.x, b.origin.y}, {b.size.width, b.size.height}};
    }
    pl::TrackingAreaRef makeTrackingArea(pl::CGRect rect, unsigned options, std::weak_ptr<pl::Responder> owner) override {
        KorvaleResponderBridge *bridge = [[KorvaleResponderBridge alloc] initWithWeak:std::move(owner) strong:nullptr];
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
