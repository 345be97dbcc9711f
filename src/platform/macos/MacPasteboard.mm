// The general pasteboard: change count, plain text, every item with every type, clearing and
// writing items, and text promised through a data provider so that the library learns when the
// target application fetched it.
#include "platform/macos/MacAppKit.h"

#include "platform/macos/MacAppKitCompat.h"

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

class MacGeneralPasteboard final : public MacPasteboard {
public:
    long changeCount() override { return static_cast<long>([board() changeCount]); }
    std::optional<std::string> stringForType(const std::string& type) override {
        NSString *s = [board() stringForType:nsString(type)];
        if (!s) return std::nullopt;
        const char *utf8 = [s UTF8String];
        return utf8 ? std::optional<std::string>(utf8) : std::nullopt;
    }
    long clearContents() override { return static_cast<long>([board() clearContents]); }
    bool setString(const std::string& text, const std::string& type) override {
        return [board() setString:nsString(text) forType:nsString(type)];
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
    long writePromisedString(const std::string& text, std::function<void()> fetched) override {
        // The pasteboard does not keep the provider; it lives here until the next promise.
        provider_ = [[KorvalePromisedText alloc] initWithText:text fetched:std::move(fetched)];
        NSPasteboardItem *item = [[NSPasteboardItem alloc] init];
        if (![item setDataProvider:provider_ forTypes:@[ NSPasteboardTypeString ]]) return -1;
        long count = static_cast<long>([board() clearContents]);
        if (![board() writeObjects:@[ item ]]) return -1;
        return count;
    }

private:
    static NSPasteboard *board() { return [NSPasteboard generalPasteboard]; }
    KorvalePromisedText *provider_ = nil;
};

}  // namespace

std::unique_ptr<MacPasteboard> makePasteboard() { return std::make_unique<MacGeneralPasteboard>(); }

}  // namespace korvale::macos
