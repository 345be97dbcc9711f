// Boxing, unboxing and marker-range helpers of the platform's value vocabulary. They are pure:
// every backend hands out the same kinds of values.
#include "platform/Values.h"

#include <cmath>
#include <limits>

namespace korvale::platform {

std::optional<int64_t> NumberObject::integerValue() const {
    if (isInteger) return integer;
    if (!std::isfinite(real) || std::trunc(real) != real) return std::nullopt;
    // 2^63 is exactly representable; anything at or above it does not fit.
    if (real < -9223372036854775808.0 || real >= 9223372036854775808.0) return std::nullopt;
    return static_cast<int64_t>(real);
}

ObjectRef AXValueCreate(AXValueType kind, const void* value) {
    if (!value) return nullptr;
    auto box = std::make_shared<AXValue>();
    box->kind = kind;
    switch (kind) {
        case AXValueType::CGPoint: box->point = *static_cast<const CGPoint*>(value); break;
        case AXValueType::CGSize: box->size = *static_cast<const CGSize*>(value); break;
        case AXValueType::CGRect: box->rect = *static_cast<const CGRect*>(value); break;
        case AXValueType::CFRange: box->range = *static_cast<const CFRange*>(value); break;
        case AXValueType::AXError: box->error = *static_cast<const AXError*>(value); break;
        default: return nullptr;
    }
    return box;
}

AXValueType AXValueGetType(const ObjectRef& value) {
    if (CFGetTypeID(value) != TypeID::AXValue) return AXValueType::Illegal;
    return static_cast<const AXValue&>(*value).kind;
}

bool AXValueGetValue(const ObjectRef& value, AXValueType kind, void* out) {
    if (!out || AXValueGetType(value) != kind) return false;
    const auto& box = static_cast<const AXValue&>(*value);
    switch (kind) {
        case AXValueType::CGPoint: *static_cast<CGPoint*>(out) = box.point; return true;
        case AXValueType::CGSize: *static_cast<CGSize*>(out) = box.size; return true;
        case AXValueType::CGRect: *static_cast<CGRect*>(out) = box.rect; return true;
        case AXValueType::CFRange: *static_cast<CFRange*>(out) = box.range; return true;
        case AXValueType::AXError: *static_cast<AXError*>(out) = box.error; return true;
        default: return false;
    }
}

TextMarkerRef AXTextMarkerRangeCopyStartMarker(const TextMarkerRangeRef& range) {
    return range ? range->start : nullptr;
}
TextMarkerRef AXTextMarkerRangeCopyEndMarker(const TextMarkerRangeRef& range) {
    return range ? range->end : nullptr;
}
TextMarkerRangeRef AXTextMarkerRangeCreate(const TextMarkerRef& start, const TextMarkerRef& end) {
    if (!start || !end) return nullptr;
    return std::make_shared<TextMarkerRange>(start, end);
}

ObjectRef makeString(std::string s) { return std::make_shared<StringObject>(std::move(s)); }
ObjectRef makeInteger(int64_t v) { return std::make_shared<NumberObject>(v); }
ObjectRef makeReal(double v) { return std::make_shared<NumberObject>(v); }
ObjectRef makeBoolean(bool v) { return std::make_shared<BooleanObject>(v); }
ObjectRef makePoint(CGPoint p) { return AXValueCreate(AXValueType::CGPoint, &p); }
ObjectRef makeSize(CGSize s) { return AXValueCreate(AXValueType::CGSize, &s); }
ObjectRef makeRect(CGRect r) { return AXValueCreate(AXValueType::CGRect, &r); }
ObjectRef makeRange(CFRange r) { return AXValueCreate(AXValueType::CFRange, &r); }

}  // namespace korvale::platform
