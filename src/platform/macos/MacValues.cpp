// Conversion between Core Foundation objects and platform values. Every CF object made here is
// held by a CFOwner from the moment it exists, so an early return releases it.
#include "platform/macos/MacValues.h"

#include <utf8.h>

#include <map>
#include <vector>

#include "platform/macos/MacTextMarker.h"

namespace korvale::macos {

namespace pl = korvale::platform;

CFOwner<CFStringRef> makeCFString(const std::string& utf8) {
    std::string valid = utf8::replace_invalid(utf8);
    std::u16string units = utf8::utf8to16(valid);
    return CFOwner<CFStringRef>::adopt(CFStringCreateWithCharacters(
        kCFAllocatorDefault, reinterpret_cast<const UniChar*>(units.data()),
        static_cast<CFIndex>(units.size())));
}

std::string stringFrom(CFStringRef string) {
    if (!string) return {};
    CFIndex length = CFStringGetLength(string);
    std::vector<UniChar> units(static_cast<std::size_t>(length > 0 ? length : 0));
    if (length > 0) CFStringGetCharacters(string, CFRangeMake(0, length), units.data());
    // A CFString may hold an unpaired surrogate; it becomes U+FFFD rather than failing the text.
    std::string out;
    for (std::size_t i = 0; i < units.size(); ++i) {
        uint32_t cp = units[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
            units[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (units[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = 0xFFFD;
        }
        utf8::append(cp, std::back_inserter(out));
    }
    return out;
}

// ---------------------------------------------------------------------------------------------
// Elements.

MacElement::MacElement(CFOwner<AXUIElementRef> ref) : ref_(std::move(ref)) {}

bool MacElement::equals(const pl::UIElement& other) const {
    auto* o = dynamic_cast<const MacElement*>(&other);
    return o && CFEqual(ref_.get(), o->ref_.get());
}

std::size_t MacElement::hash() const { return static_cast<std::size_t>(CFHash(ref_.get())); }

pl::pid_t MacElement::processIdentifier() const {
    pid_t pid = 0;
    if (AXUIElementGetPid(ref_.get(), &pid) != kAXErrorSuccess) return 0;
    return static_cast<pl::pid_t>(pid);
}

std::string MacElement::describe() const {
    auto description = CFOwner<CFStringRef>::adopt(CFCopyDescription(ref_.get()));
    return description ? stringFrom(description.get()) : "AXUIElement";
}

pl::ElementRef wrapElement(CFOwner<AXUIElementRef> ref) {
    if (!ref) return nullptr;
    if (kMessagingTimeoutSeconds > 0) AXUIElementSetMessagingTimeout(ref.get(), kMessagingTimeoutSeconds);
    return std::make_shared<MacElement>(std::move(ref));
}

// ---------------------------------------------------------------------------------------------
// CF -> platform.

namespace {

std::string markerBytes(AXTextMarkerRef marker) {
    if (!marker) return {};
    CFIndex length = AXTextMarkerGetLength(marker);
    const UInt8* bytes = AXTextMarkerGetBytePtr(marker);
    if (!bytes || length <= 0) return {};
    return std::string(reinterpret_cast<const char*>(bytes), static_cast<std::size_t>(length));
}

pl::ObjectRef numberFrom(CFNumberRef number) {
    if (CFNumberIsFloatType(number)) {
        double real = 0;
        CFNumberGetValue(number, kCFNumberFloat64Type, &real);
        return pl::makeReal(real);
    }
    int64_t integer = 0;
    CFNumberGetValue(number, kCFNumberSInt64Type, &integer);
    return pl::makeInteger(integer);
}

pl::ObjectRef axValueFrom(AXValueRef value) {
    switch (AXValueGetType(value)) {
        case kAXValueTypeCGPoint: {
            CGPoint p;
            if (!AXValueGetValue(value, kAXValueTypeCGPoint, &p)) return nullptr;
            return pl::makePoint({p.x, p.y});
        }
        case kAXValueTypeCGSize: {
            CGSize s;
            if (!AXValueGetValue(value, kAXValueTypeCGSize, &s)) return nullptr;
            return pl::makeSize({s.width, s.height});
        }
        case kAXValueTypeCGRect: {
            CGRect r;
            if (!AXValueGetValue(value, kAXValueTypeCGRect, &r)) return nullptr;
            return pl::makeRect({{r.origin.x, r.origin.y}, {r.size.width, r.size.height}});
        }
        case kAXValueTypeCFRange: {
            CFRange r;
            if (!AXValueGetValue(value, kAXValueTypeCFRange, &r)) return nullptr;
            return pl::makeRange({static_cast<int64_t>(r.location), static_cast<int64_t>(r.length)});
        }
        case kAXValueTypeAXError: {
            AXError e = kAXErrorSuccess;
            if (!AXValueGetValue(value, kAXValueTypeAXError, &e)) return nullptr;
            pl::AXError code = e;
            return pl::AXValueCreate(pl::AXValueType::AXError, &code);
        }
        default: return std::make_shared<pl::AXValue>();  // an illegal box: never converted
    }
}

}  // namespace

pl::ObjectRef toPlatform(CFTypeRef value) {
    if (!value) return nullptr;
    const CFTypeID type = CFGetTypeID(value);
    if (type == CFStringGetTypeID()) return pl::makeString(stringFrom(static_cast<CFStringRef>(value)));
    if (type == CFNumberGetTypeID()) return numberFrom(static_cast<CFNumberRef>(value));
    if (type == CFBooleanGetTypeID())
        return pl::makeBoolean(CFBooleanGetValue(static_cast<CFBooleanRef>(value)) != 0);
    if (type == AXUIElementGetTypeID())
        return wrapElement(CFOwner<AXUIElementRef>::retain(static_cast<AXUIElementRef>(value)));
    if (type == AXValueGetTypeID()) return axValueFrom(static_cast<AXValueRef>(value));
    if (type == AXTextMarkerGetTypeID())
        return std::make_shared<pl::TextMarker>(markerBytes(static_cast<AXTextMarkerRef>(value)));
    if (type == AXTextMarkerRangeGetTypeID()) {
        auto range = static_cast<AXTextMarkerRangeRef>(value);
        auto start = CFOwner<AXTextMarkerRef>::adopt(AXTextMarkerRangeCopyStartMarker(range));
        auto end = CFOwner<AXTextMarkerRef>::adopt(AXTextMarkerRangeCopyEndMarker(range));
        if (!start || !end) return nullptr;
        return std::make_shared<pl::TextMarkerRange>(std::make_shared<pl::TextMarker>(markerBytes(start.get())),
                                                     std::make_shared<pl::TextMarker>(markerBytes(end.get())));
    }
    if (type == CFArrayGetTypeID()) {
        auto array = static_cast<CFArrayRef>(value);
        std::vector<pl::ObjectRef> values;
        const CFIndex count = CFArrayGetCount(array);
        for (CFIndex i = 0; i < count; ++i) values.push_back(toPlatform(CFArrayGetValueAtIndex(array, i)));
        return std::make_shared<pl::ArrayObject>(std::move(values));
    }
    if (type == CFDictionaryGetTypeID()) {
        auto dict = static_cast<CFDictionaryRef>(value);
        const CFIndex count = CFDictionaryGetCount(dict);
        std::vector<const void*> keys(static_cast<std::size_t>(count)), values(static_cast<std::size_t>(count));
        if (count > 0) CFDictionaryGetKeysAndValues(dict, keys.data(), values.data());
        std::map<std::string, pl::ObjectRef> entries;
        for (std::size_t i = 0; i < keys.size(); ++i)
            if (keys[i] && CFGetTypeID(keys[i]) == CFStringGetTypeID())
                entries[stringFrom(static_cast<CFStringRef>(keys[i]))] = toPlatform(values[i]);
        return std::make_shared<pl::DictionaryObject>(std::move(entries));
    }
    return std::make_shared<pl::OpaqueObject>(pl::TypeID::Other, "CFType " + std::to_string(type));
}

// ---------------------------------------------------------------------------------------------
// platform -> CF.

namespace {

CFOwner<AXTextMarkerRef> markerFrom(const pl::TextMarkerRef& marker) {
    if (!marker) return {};
    return CFOwner<AXTextMarkerRef>::adopt(AXTextMarkerCreate(
        kCFAllocatorDefault, reinterpret_cast<const UInt8*>(marker->data.data()),
        static_cast<CFIndex>(marker->data.size())));
}

template <typename Ref>
CFOwner<CFTypeRef> generic(CFOwner<Ref> owner) {
    // One reference moves from the typed owner to the untyped one.
    CFTypeRef ref = owner.get();
    if (!ref) return {};
    CFRetain(ref);
    return CFOwner<CFTypeRef>::adopt(ref);
}

CFOwner<CFTypeRef> axValue(const pl::AXValue& box) {
    switch (box.kind) {
        case pl::AXValueType::CGPoint: {
            CGPoint p{box.point.x, box.point.y};
            return CFOwner<CFTypeRef>::adopt(AXValueCreate(kAXValueTypeCGPoint, &p));
        }
        case pl::AXValueType::CGSize: {
            CGSize s{box.size.width, box.size.height};
            return CFOwner<CFTypeRef>::adopt(AXValueCreate(kAXValueTypeCGSize, &s));
        }
        case pl::AXValueType::CGRect: {
            CGRect r{{box.rect.origin.x, box.rect.origin.y}, {box.rect.size.width, box.rect.size.height}};
            return CFOwner<CFTypeRef>::adopt(AXValueCreate(kAXValueTypeCGRect, &r));
        }
        case pl::AXValueType::CFRange: {
            CFRange r{static_cast<CFIndex>(box.range.location), static_cast<CFIndex>(box.range.length)};
            return CFOwner<CFTypeRef>::adopt(AXValueCreate(kAXValueTypeCFRange, &r));
        }
        case pl::AXValueType::AXError: {
            AXError e = static_cast<AXError>(box.error);
            return CFOwner<CFTypeRef>::adopt(AXValueCreate(kAXValueTypeAXError, &e));
        }
        default: return {};
    }
}

}  // namespace

CFOwner<CFTypeRef> toCF(const pl::ObjectRef& value) {
    if (!value) return {};
    switch (value->typeID()) {
        case pl::TypeID::String:
            return generic(makeCFString(static_cast<const pl::StringObject&>(*value).value));
        case pl::TypeID::Number: {
            const auto& n = static_cast<const pl::NumberObject&>(*value);
            if (n.isInteger) {
                int64_t v = n.integer;
                return CFOwner<CFTypeRef>::adopt(CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt64Type, &v));
            }
            double v = n.real;
            return CFOwner<CFTypeRef>::adopt(CFNumberCreate(kCFAllocatorDefault, kCFNumberFloat64Type, &v));
        }
        case pl::TypeID::Boolean:
            return CFOwner<CFTypeRef>::retain(static_cast<const pl::BooleanObject&>(*value).value ? kCFBooleanTrue
                                                                                                : kCFBooleanFalse);
        case pl::TypeID::UIElement: {
            auto* element = dynamic_cast<const MacElement*>(value.get());
            if (!element) return {};
            return CFOwner<CFTypeRef>::retain(element->ref());
        }
        case pl::TypeID::AXValue: {
            auto* box = dynamic_cast<const pl::AXValue*>(value.get());
            return box ? axValue(*box) : CFOwner<CFTypeRef>();
        }
        case pl::TypeID::TextMarker:
            return generic(markerFrom(std::static_pointer_cast<const pl::TextMarker>(value)));
        case pl::TypeID::TextMarkerRange: {
            const auto& range = static_cast<const pl::TextMarkerRange&>(*value);
            auto start = markerFrom(range.start);
            auto end = markerFrom(range.end);
            if (!start || !end) return {};
            return CFOwner<CFTypeRef>::adopt(AXTextMarkerRangeCreate(kCFAllocatorDefault, start.get(), end.get()));
        }
        case pl::TypeID::Array: {
            std::vector<CFOwner<CFTypeRef>> owned;
            std::vector<const void*> raw;
            for (const auto& v : static_cast<const pl::ArrayObject&>(*value).values) {
                owned.push_back(toCF(v));
                if (!owned.back()) return {};
                raw.push_back(owned.back().get());
            }
            // The array retains its elements; the owners here release this function's references.
            return CFOwner<CFTypeRef>::adopt(CFArrayCreate(kCFAllocatorDefault, raw.data(),
                                                           static_cast<CFIndex>(raw.size()), &kCFTypeArrayCallBacks));
        }
        case pl::TypeID::Dictionary: {
            std::vector<CFOwner<CFTypeRef>> owned;
            std::vector<const void*> keys, values;
            for (const auto& [k, v] : static_cast<const pl::DictionaryObject&>(*value).values) {
                owned.push_back(generic(makeCFString(k)));
                owned.push_back(toCF(v));
                if (!owned.back()) return {};
                keys.push_back(owned[owned.size() - 2].get());
                values.push_back(owned.back().get());
            }
            return CFOwner<CFTypeRef>::adopt(CFDictionaryCreate(kCFAllocatorDefault, keys.data(), values.data(),
                                                                static_cast<CFIndex>(keys.size()),
                                                                &kCFTypeDictionaryKeyCallBacks,
                                                                &kCFTypeDictionaryValueCallBacks));
        }
        default: return {};
    }
}

}  // namespace korvale::macos
