// Fuzzes value conversion: the input describes a platform object (strings, integer and real
// numbers, booleans, arrays, dictionaries, opaque dates, URLs and data, elements, text markers,
// marker ranges, value boxes of every kind including illegal and unknown ones, running
// applications, and no object at all), and every requested type is asked for. Each answer must
// be the one the conversion rules give: text only from a string, an integer only from a number
// holding an integer that fits, a point, rectangle or range only from a box of that kind, an
// element or marker range only from that very object. The caller's reference must be untouched.
#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstring>

#include "FuzzSupport.h"
#include "utils.h"

using namespace korvale;
using namespace korvale::fuzz;
using namespace korvale::platform;

namespace {

class FuzzElement final : public UIElement {
public:
    FuzzElement(pid_t pid, uint32_t id) : pid_(pid), id_(id) {}
    bool equals(const UIElement& other) const override {
        auto* o = dynamic_cast<const FuzzElement*>(&other);
        return o && o->pid_ == pid_ && o->id_ == id_;
    }
    std::size_t hash() const override { return std::hash<uint64_t>()((uint64_t(uint32_t(pid_)) << 32) | id_); }
    pid_t processIdentifier() const override { return pid_; }
    std::string describe() const override { return "fuzz element"; }

private:
    pid_t pid_;
    uint32_t id_;
};

class FuzzApplication final : public RunningApplication {
public:
    std::optional<std::string> localizedName() const override { return "Fuzz"; }
    std::optional<std::string> bundleIdentifier() const override { return std::nullopt; }
    pid_t processIdentifier() const override { return 7; }
    bool isFinishedLaunching() const override { return true; }
    bool isTerminated() const override { return false; }
    bool activateWithOptions(unsigned) const override { return false; }
};

double anyDouble(FuzzedDataProvider& in) {
    switch (in.ConsumeIntegralInRange<int>(0, 5)) {
        case 0: return std::numeric_limits<double>::quiet_NaN();
        case 1: return std::numeric_limits<double>::infinity();
        case 2: return -std::numeric_limits<double>::infinity();
        case 3: return static_cast<double>(in.ConsumeIntegral<int64_t>());
        default: {
            double d;
            uint64_t bits = in.ConsumeIntegral<uint64_t>();
            std::memcpy(&d, &bits, sizeof d);
            return d;
        }
    }
}

ObjectRef build(FuzzedDataProvider& in, int depth);

ObjectRef buildBox(FuzzedDataProvider& in) {
    auto box = std::make_shared<AXValue>();
    int kind = in.ConsumeIntegralInRange<int>(-2, 8);  // beyond 0..5: kinds the platform never uses
    box->kind = static_cast<AXValueType>(kind);
    box->point = {anyDouble(in), anyDouble(in)};
    box->size = {anyDouble(in), anyDouble(in)};
    box->rect = {{anyDouble(in), anyDouble(in)}, {anyDouble(in), anyDouble(in)}};
    box->range = {in.ConsumeIntegral<int64_t>(), in.ConsumeIntegral<int64_t>()};
    box->error = in.ConsumeIntegral<int32_t>();
    return box;
}

TextMarkerRef buildMarker(FuzzedDataProvider& in) {
    if (in.ConsumeIntegralInRange<int>(0, 7) == 0) return nullptr;
    return std::make_shared<TextMarker>(in.ConsumeRandomLengthString(16));
}

ObjectRef build(FuzzedDataProvider& in, int depth) {
    switch (in.ConsumeIntegralInRange<int>(0, 16)) {
        case 0: return makeString(in.ConsumeRandomLengthString(64));
        case 1: return makeInteger(in.ConsumeIntegral<int64_t>());
        case 2: return makeReal(anyDouble(in));
        case 3: return makeBoolean(in.ConsumeBool());
        case 4:
        case 5: {
            std::vector<ObjectRef> items;
            size_t n = depth > 3 ? 0 : in.ConsumeIntegralInRange<size_t>(0, 4);
            for (size_t i = 0; i < n; ++i) items.push_back(build(in, depth + 1));
            if (in.ConsumeBool()) return std::make_shared<ArrayObject>(std::move(items));
            std::map<std::string, ObjectRef> dict;
            for (auto& item : items) dict.emplace(in.ConsumeRandomLengthString(8), item);
            return std::make_shared<DictionaryObject>(std::move(dict));
        }
        case 6: {
            static const TypeID opaque[] = {TypeID::Date, TypeID::URL, TypeID::Data, TypeID::Other};
            return std::make_shared<OpaqueObject>(in.PickValueInArray(opaque),
                                                  in.ConsumeRandomLengthString(16));
        }
        case 7:
        case 8: return std::make_shared<FuzzElement>(in.ConsumeIntegral<int32_t>(), in.ConsumeIntegral<uint32_t>());
        case 9: return buildMarker(in);
        case 10:
        case 11: return std::make_shared<TextMarkerRange>(buildMarker(in), buildMarker(in));
        case 12:
        case 13:
        case 14: return buildBox(in);
        case 15: return std::make_shared<FuzzApplication>();
        default: return nullptr;
    }
}

void check(bool ok, const char* what, const ObjectRef& object) {
    if (!ok)
        fail(std::string("conversion to ") + what + " broke its rule for an object of type " +
             std::to_string(static_cast<int>(CFGetTypeID(object))) + " / box kind " +
             std::to_string(static_cast<int>(AXValueGetType(object))));
}

bool sameBits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    ObjectRef object = build(in, 0);
    const long uses = object.use_count();
    const TypeID type = CFGetTypeID(object);
    const AXValue* box = type == TypeID::AXValue ? dynamic_cast<const AXValue*>(object.get()) : nullptr;
    const AXValueType kind = box ? box->kind : AXValueType::Illegal;
    {
        auto text = axValueToNative<std::string>(object);
        auto* s = dynamic_cast<const StringObject*>(object.get());
        check(s ? (text && *text == s->value) : !text, "text", object);

        auto integer = axValueToNative<int64_t>(object);
        auto* n = dynamic_cast<const NumberObject*>(object.get());
        auto want = n ? n->integerValue() : std::nullopt;
        check(integer == want, "integer", object);

        auto point = axValueToNative<CGPoint>(object);
        check(box && kind == AXValueType::CGPoint
                  ? point && sameBits(point->x, box->point.x) && sameBits(point->y, box->point.y)
                  : !point,
              "point", object);

        auto rect = axValueToNative<CGRect>(object);
        check(box && kind == AXValueType::CGRect
                  ? rect && sameBits(rect->origin.x, box->rect.origin.x) &&
                        sameBits(rect->origin.y, box->rect.origin.y) &&
                        sameBits(rect->size.width, box->rect.size.width) &&
                        sameBits(rect->size.height, box->rect.size.height)
                  : !rect,
              "rectangle", object);

        auto range = axValueToNative<CFRange>(object);
        check(box && kind == AXValueType::CFRange ? range && *range == box->range : !range, "range", object);

        auto element = axValueToNative<ElementRef>(object);
        auto* e = dynamic_cast<const UIElement*>(object.get());
        check(e ? element && element->get() == e : !element, "element", object);

        auto markers = axValueToNative<TextMarkerRangeRef>(object);
        auto* m = dynamic_cast<const TextMarkerRange*>(object.get());
        check(m ? markers && markers->get() == m : !markers, "marker range", object);
    }
    // Every reference the conversions took has been given back.
    if (object.use_count() != uses) fail("conversion kept a reference to its argument");
    return 0;
}
