// The platform's value vocabulary: reference-counted objects as the accessibility service hands
// them out (strings, numbers, booleans, arrays, dictionaries, elements, text markers, value boxes
// of points, sizes, rectangles and ranges). Every backend speaks it, so the layers above read as
// they would on the real platform. A "copy" call hands out an ObjectRef; holding it is owning it,
// and dropping it is the release, on every path.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace korvale::platform {

using pid_t = int32_t;

// Accessibility error codes, as the platform numbers them.
using AXError = int32_t;
inline constexpr AXError kAXErrorSuccess = 0;
inline constexpr AXError kAXErrorFailure = -25200;
inline constexpr AXError kAXErrorIllegalArgument = -25201;
inline constexpr AXError kAXErrorInvalidUIElement = -25202;
inline constexpr AXError kAXErrorInvalidUIElementObserver = -25203;
inline constexpr AXError kAXErrorCannotComplete = -25204;
inline constexpr AXError kAXErrorAttributeUnsupported = -25205;
inline constexpr AXError kAXErrorActionUnsupported = -25206;
inline constexpr AXError kAXErrorNotificationUnsupported = -25207;
inline constexpr AXError kAXErrorNotImplemented = -25208;
inline constexpr AXError kAXErrorNotificationAlreadyRegistered = -25209;
inline constexpr AXError kAXErrorNotificationNotRegistered = -25210;
inline constexpr AXError kAXErrorAPIDisabled = -25211;
inline constexpr AXError kAXErrorNoValue = -25212;
inline constexpr AXError kAXErrorParameterizedAttributeUnsupported = -25213;

struct CGPoint {
    double x = 0, y = 0;
    bool operator==(const CGPoint&) const = default;
};
struct CGSize {
    double width = 0, height = 0;
    bool operator==(const CGSize&) const = default;
};
struct CGRect {
    CGPoint origin;
    CGSize size;
    bool operator==(const CGRect&) const = default;
};
struct CFRange {
    int64_t location = 0, length = 0;
    bool operator==(const CFRange&) const = default;
};

inline double CGRectGetWidth(const CGRect& r) { return r.size.width < 0 ? -r.size.width : r.size.width; }
inline double CGRectGetHeight(const CGRect& r) { return r.size.height < 0 ? -r.size.height : r.size.height; }

// Kinds of AXValue boxes, numbered as on the platform.
enum class AXValueType : int { Illegal = 0, CGPoint = 1, CGSize = 2, CGRect = 3, CFRange = 4, AXError = 5 };

enum class TypeID {
    String, Number, Boolean, Array, Dictionary, Date, URL, Data,
    UIElement, TextMarker, TextMarkerRange, AXValue, RunningApplication, Other
};

class Object {
public:
    virtual ~Object() = default;
    virtual TypeID typeID() const = 0;
};
using ObjectRef = std::shared_ptr<const Object>;

inline TypeID CFGetTypeID(const ObjectRef& o) { return o ? o->typeID() : TypeID::Other; }

class StringObject final : public Object {
public:
    explicit StringObject(std::string utf8) : value(std::move(utf8)) {}
    TypeID typeID() const override { return TypeID::String; }
    const std::string value;  // UTF-8
};

// A number is an integer or a floating value, as CFNumber keeps either.
class NumberObject final : public Object {
public:
    explicit NumberObject(int64_t v) : isInteger(true), integer(v), real(static_cast<double>(v)) {}
    explicit NumberObject(double v) : isInteger(false), integer(0), real(v) {}
    TypeID typeID() const override { return TypeID::Number; }
    // The value as a signed 64-bit integer, when it is one (an integral real that fits counts).
    std::optional<int64_t> integerValue() const;
    const bool isInteger;
    const int64_t integer;
    const double real;
};

class BooleanObject final : public Object {
public:
    explicit BooleanObject(bool v) : value(v) {}
    TypeID typeID() const override { return TypeID::Boolean; }
    const bool value;
};

class ArrayObject final : public Object {
public:
    explicit ArrayObject(std::vector<ObjectRef> v) : values(std::move(v)) {}
    TypeID typeID() const override { return TypeID::Array; }
    const std::vector<ObjectRef> values;
};

class DictionaryObject final : public Object {
public:
    explicit DictionaryObject(std::map<std::string, ObjectRef> v) : values(std::move(v)) {}
    TypeID typeID() const override { return TypeID::Dictionary; }
    ObjectRef get(const std::string& key) const {
        auto it = values.find(key);
        return it == values.end() ? nullptr : it->second;
    }
    const std::map<std::string, ObjectRef> values;
};

// Kinds the library never converts; they exist so that a backend can hand them out.
class OpaqueObject final : public Object {
public:
    OpaqueObject(TypeID t, std::string d) : type(t), description(std::move(d)) {}
    TypeID typeID() const override { return type; }
    const TypeID type;
    const std::string description;
};

// An accessibility element of some process. Backends subclass it; two handles denote the same
// element exactly when equals() says so, whatever object carries them.
class UIElement : public Object {
public:
    TypeID typeID() const override { return TypeID::UIElement; }
    virtual bool equals(const UIElement& other) const = 0;
    virtual std::size_t hash() const = 0;
    virtual pid_t processIdentifier() const = 0;
    virtual std::string describe() const = 0;  // for request logs and diagnostics in tests
};
using ElementRef = std::shared_ptr<const UIElement>;

inline bool CFEqual(const ElementRef& a, const ElementRef& b) {
    if (!a || !b) return a == b;
    return a->equals(*b);
}

// A text marker is opaque: the backend that made it reads its bytes back.
class TextMarker final : public Object {
public:
    explicit TextMarker(std::string bytes) : data(std::move(bytes)) {}
    TypeID typeID() const override { return TypeID::TextMarker; }
    const std::string data;
};
using TextMarkerRef = std::shared_ptr<const TextMarker>;

class TextMarkerRange final : public Object {
public:
    TextMarkerRange(TextMarkerRef s, TextMarkerRef e) : start(std::move(s)), end(std::move(e)) {}
    TypeID typeID() const override { return TypeID::TextMarkerRange; }
    const TextMarkerRef start, end;
};
using TextMarkerRangeRef = std::shared_ptr<const TextMarkerRange>;

class AXValue final : public Object {
public:
    TypeID typeID() const override { return TypeID::AXValue; }
    AXValueType kind = AXValueType::Illegal;
    CGPoint point;
    CGSize size;
    CGRect rect;
    CFRange range;
    AXError error = 0;
};

// Boxing and unboxing, as AXValueCreate / AXValueGetType / AXValueGetValue.
ObjectRef AXValueCreate(AXValueType kind, const void* value);
AXValueType AXValueGetType(const ObjectRef& value);  // Illegal for anything that is not a box
bool AXValueGetValue(const ObjectRef& value, AXValueType kind, void* out);

TextMarkerRef AXTextMarkerRangeCopyStartMarker(const TextMarkerRangeRef& range);
TextMarkerRef AXTextMarkerRangeCopyEndMarker(const TextMarkerRangeRef& range);
TextMarkerRangeRef AXTextMarkerRangeCreate(const TextMarkerRef& start, const TextMarkerRef& end);

// Short constructors for backends and tests.
ObjectRef makeString(std::string s);
ObjectRef makeInteger(int64_t v);
ObjectRef makeReal(double v);
ObjectRef makeBoolean(bool v);
ObjectRef makePoint(CGPoint p);
ObjectRef makeSize(CGSize s);
ObjectRef makeRect(CGRect r);
ObjectRef makeRange(CFRange r);

}  // namespace korvale::platform
