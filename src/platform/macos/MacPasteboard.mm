// The general pasteboard: change count, plain text, every item with every type, clearing and
// writing items, and text promised through a data provider so that the library learns when the
// target application fetched it.
#include "platform/macos/MacAppKit.h"

#include "platform/macos/MacAppKitCompat.h"

#include <CoreFoundation/CoreFoundation.h>

namespace pl = korvale::platform;

// Makes the promised text when an application asks for it, and says so once.
@interface KorvalePromisedText : NSObject <NSPasteboardItemDataProvider> {
    std::string _text;
    std::function<void()> _fetched;
}
- (instancetype)initWithText:(const std::string &)text fetched:(std::function<void()>)fetched;
@end

@implementation KorvalePromisedText
- (instancetype)initWithText:(const std::string &)text fetched:(std::function<void()>)fetched {
    if ((self = [super init])) {
        _text = text;
        _fetched = std::move(fetched);
    }
    return self;
}
- (void)pasteboard:(NSPasteboard *)pasteboard item:(NSPasteboardItem *)item provideDataForType:(NSString *)type {
    (void)pasteboard;
    NSData *data = [NSData dataWithBytes:_text.data() length:_text.size()];
    [item setData:data forType:type];
    auto fetched = std::move(_fetched);
    _fetched = nullptr;
    try {
        if (fetched) fetched();
    } catch (...) {
    }
}
- (void)pasteboardFinishedWithDataProvider:(NSPasteboard *)pasteboard {
    (void)pasteboard;
}
@end

namespace korvale::macos {

namespace {

NSString *nsString(const std::string& s) {
    return [[NSString alloc] initWithBytes:s.data() length:s.size() encoding:NSUTF8StringEncoding] ?: @"";
}

class MacGeneralPasteboard final : public pl::Pasteboard {
public:
    long changeCount() override { return static_cast<long>([board() changeCount]); }
    std::optional<std::string> stringForType(const std::string& type) override {
        NSString *s = [board() stringForType:nsString(type)];
        if (!s) return std::nullopt;
        const char *utf8 = [s UTF8String];
        return utf8 ? std::optional<std::string>(utf8) : std::nullopt;
    }
    std::optional<std::vector<pl::PasteboardItem>> pasteboardItems() override {
        std::vector<pl::PasteboardItem> items;
        for (NSPasteboardItem *item in [board() pasteboardItems]) {
            pl::PasteboardItem copy;
            for (NSString *type in [item types]) {
                NSData *data = [item dataForType:type];
                // A promise its owner does not keep: the contents cannot be saved in full.
                if (!data) return std::nullopt;
                copy.representations.emplace_back(
                    [type UTF8String] ?: "",
                    std::string(static_cast<const char *>([data bytes]), static_cast<std::size_t>([data length])));
            }
            items.push_back(std::move(copy));
        }
        return items;
    }
    bool writeObjects(const std::vector<pl::PasteboardItem>& items) override {
        NSMutableArray *objects = [NSMutableArray array];
        for (const auto& item : items) {
            NSPasteboardItem *pbItem = [[NSPasteboardItem alloc] init];
            for (const auto& [type, bytes] : item.representations)
                [pbItem setData:[NSData dataWithBytes:bytes.data() length:bytes.size()] forType:nsString(type)];
            [objects addObject:pbItem];
        }
        return [board() writeObjects:objects];
    }
    // The library's text goes out as a promise: the provider is asked when an application
    // pastes, which is how the wait below learns that the paste took it.
    bool setString(const std::string& text, const std::string& type) override {
        fetched_ = std::make_shared<bool>(false);
        std::weak_ptr<bool> flag = fetched_;
        provider_ = [[KorvalePromisedText alloc] initWithText:text
                                                      fetched:[flag] {
                                                        if (auto f = flag.lock()) *f = true;
                                                      }];
        NSPasteboardItem *item = [[NSPasteboardItem alloc] init];
        if (![item setDataProvider:provider_ forTypes:@[ nsString(type) ]]) return false;
        return [board() writeObjects:@[ item ]];
    }
    pl::PasteboardFetch waitForFetch(pl::pid_t by, double deadline) override {
        (void)by;  // the provider is not told who asks
        if (!fetched_) return pl::PasteboardFetch::Unknown;
        // Platform quirk: AppKit asks the provider from the main run loop, so the wait runs it —
        // in the modal-panel mode, which holds none of the library's sources or timers (main-queue
        // blocks that run meanwhile only schedule timers of the default mode).
        while (!*fetched_ && CFAbsoluteTimeGetCurrent() < deadline) {
            NSDate *until = [NSDate dateWithTimeIntervalSinceReferenceDate:deadline];
            [[NSRunLoop currentRunLoop] runMode:NSModalPanelRunLoopMode beforeDate:until];
        }
        return *fetched_ ? pl::PasteboardFetch::Taken : pl::PasteboardFetch::NotTaken;
    }
    long clearContents() override {
        fetched_.reset();  // a wait after this is about nothing of ours
        return static_cast<long>([board() clearContents]);
    }

private:
    static NSPasteboard *board() { return [NSPasteboard generalPasteboard]; }
    KorvalePromisedText *provider_ = nil;  // the pasteboard does not keep its providers
    std::shared_ptr<bool> fetched_;         // whether the latest promise was asked for
};

}  // namespace

std::unique_ptr<pl::Pasteboard> makePasteboard() { return std::make_unique<MacGeneralPasteboard>(); }

}  // namespace korvale::macos
