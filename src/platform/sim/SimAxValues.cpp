// Typed accessibility values in scenario JSON: parsing into platform objects and describing
// platform objects for the request log. The log writes the explicit forms ({"number":42},
// {"bool":true}, {"array":[...]}); only strings are written plain.
#include "platform/sim/SimAxValues.h"

#include <cmath>

namespace korvale::sim {

namespace {

std::vector<double> numbers(const json& v, std::size_t n, const char* kind) {
    if (!v.is_array() || v.size() != n)
        throw SimError{std::string("a ") + kind + " is an array of " + std::to_string(n) + " numbers"};
    std::vector<double> out;
    for (const auto& x : v) {
        if (!x.is_number()) throw SimError{std::string("a ") + kind + " holds numbers only"};
        out.push_back(x.get<double>());
    }
    return out;
}

int64_t integer(const json& v, const char* what) {
    if (!v.is_number_integer()) throw SimError{std::string(what) + " must be an integer"};
    return v.get<int64_t>();
}

json number(double x) {
    // Integral coordinates read back as integers, so scenarios can write [10,20,...].
    if (std::isfinite(x) && std::trunc(x) == x && std::fabs(x) < 9e15) return static_cast<int64_t>(x);
    return x;
}

}  // namespace

TextMarkerRef makeTextMarker(pid_t pid, const std::string& elementId, int64_t offset) {
    return std::make_shared<TextMarker>(std::to_string(pid) + "|" + std::to_string(offset) + "|" +
                                        elementId);
}

std::optional<DecodedMarker> decodeTextMarker(const TextMarkerRef& marker) {
    if (!marker) return std::nullopt;
    const std::string& d = marker->data;
    auto a = d.find('|');
    auto b = a == std::string::npos ? a : d.find('|', a + 1);
    if (b == std::string::npos) return std::nullopt;
    try {
        return DecodedMarker{static_cast<pid_t>(std::stol(d.substr(0, a))), d.substr(b + 1),
                             std::stoll(d.substr(a + 1, b - a - 1))};
    } catch (...) {
        return std::nullopt;
    }
}

ObjectRef parseAxValue(const json& v, const AxValueContext& context) {
    if (v.is_null()) return nullptr;
    if (v.is_string()) return makeString(v.get<std::string>());
    if (v.is_boolean()) return makeBoolean(v.get<bool>());
    if (v.is_number_integer()) return makeInteger(v.get<int64_t>());
    if (v.is_number()) return makeReal(v.get<double>());
    if (v.is_array()) {
        std::vector<ObjectRef> items;
        for (const auto& item : v) {
            auto o = parseAxValue(item, context);
            if (!o) throw SimError{"an array cannot hold \"no value\""};
            items.push_back(std::move(o));
        }
        return std::make_shared<ArrayObject>(std::move(items));
    }
    if (!v.is_object() || v.size() != 1) throw SimError{"a typed value has exactly one key: " + v.dump()};
    const std::string kind = v.begin().key();
    const json& x = v.begin().value();
    if (kind == "none") return nullptr;
    if (kind == "string" && x.is_string()) return makeString(x.get<std::string>());
    if (kind == "number") return makeInteger(integer(x, "\"number\""));
    if (kind == "real" && x.is_number()) return makeReal(x.get<double>());
    if (kind == "bool" && x.is_boolean()) return makeBoolean(x.get<bool>());
    if (kind == "array" && x.is_array()) return parseAxValue(x, context);
    if (kind == "point") {
        auto n = numbers(x, 2, "point");
        return makePoint({n[0], n[1]});
    }
    if (kind == "size") {
        auto n = numbers(x, 2, "size");
        return makeSize({n[0], n[1]});
    }
    if (kind == "rect") {
        auto n = numbers(x, 4, "rect");
        return makeRect({{n[0], n[1]}, {n[2], n[3]}});
    }
    if (kind == "range") {
        if (!x.is_array() || x.size() != 2) throw SimError{"a range is [location, length]"};
        return makeRange({integer(x[0], "a range location"), integer(x[1], "a range length")});
    }
    if (kind == "error_box") {
        AXError code = static_cast<AXError>(integer(x, "\"error_box\""));
        return AXValueCreate(AXValueType::AXError, &code);
    }
    if (kind == "element" && x.is_string()) return context.element(x.get<std::string>());
    if (kind == "marker") return context.marker(integer(x, "\"marker\""));
    if (kind == "marker_range") {
        if (!x.is_array() || x.size() != 2) throw SimError{"a marker range is [start, end]"};
        auto s = std::static_pointer_cast<const TextMarker>(context.marker(integer(x[0], "a marker")));
        auto e = std::static_pointer_cast<const TextMarker>(context.marker(integer(x[1], "a marker")));
        return AXTextMarkerRangeCreate(s, e);
    }
    if (kind == "date" && x.is_string()) return std::make_shared<OpaqueObject>(TypeID::Date, x.get<std::string>());
    if (kind == "url" && x.is_string()) return std::make_shared<OpaqueObject>(TypeID::URL, x.get<std::string>());
    if (kind == "data" && x.is_string()) return std::make_shared<OpaqueObject>(TypeID::Data, x.get<std::string>());
    if (kind == "dict" && x.is_object()) {
        std::map<std::string, ObjectRef> values;
        for (auto it = x.begin(); it != x.end(); ++it) {
            auto o = parseAxValue(it.value(), context);
            if (o) values.emplace(it.key(), std::move(o));
        }
        return std::make_shared<DictionaryObject>(std::move(values));
    }
    throw SimError{"unknown typed value " + v.dump()};
}

json describeAxValue(const ObjectRef& value) {
    if (!value) return nullptr;
    switch (value->typeID()) {
        case TypeID::String: return static_cast<const StringObject&>(*value).value;
        case TypeID::Number: {
            const auto& n = static_cast<const NumberObject&>(*value);
            if (n.isInteger) return json{{"number", n.integer}};
            return json{{"real", n.real}};
        }
        case TypeID::Boolean: return json{{"bool", static_cast<const BooleanObject&>(*value).value}};
        case TypeID::Array: {
            json a = json::array();
            for (const auto& item : static_cast<const ArrayObject&>(*value).values)
                a.push_back(describeAxValue(item));
            return json{{"array", a}};
        }
        case TypeID::Dictionary: {
            json d = json::object();
            for (const auto& [k, item] : static_cast<const DictionaryObject&>(*value).values)
                d[k] = describeAxValue(item);
            return json{{"dict", d}};
        }
        case TypeID::UIElement: return json{{"element", static_cast<const UIElement&>(*value).describe()}};
        case TypeID::TextMarker: {
            auto m = decodeTextMarker(std::static_pointer_cast<const TextMarker>(value));
            return json{{"marker", m ? json(m->offset) : json(nullptr)}};
        }
        case TypeID::TextMarkerRange: {
            const auto& r = static_cast<const TextMarkerRange&>(*value);
            auto s = decodeTextMarker(r.start), e = decodeTextMarker(r.end);
            return json{{"marker_range", {s ? json(s->offset) : json(nullptr), e ? json(e->offset) : json(nullptr)}}};
        }
        case TypeID::AXValue: {
            const auto& b = static_cast<const AXValue&>(*value);
            switch (b.kind) {
                case AXValueType::CGPoint: return json{{"point", {number(b.point.x), number(b.point.y)}}};
                case AXValueType::CGSize: return json{{"size", {number(b.size.width), number(b.size.height)}}};
                case AXValueType::CGRect:
                    return json{{"rect", {number(b.rect.origin.x), number(b.rect.origin.y),
                                          number(b.rect.size.width), number(b.rect.size.height)}}};
                case AXValueType::CFRange: return json{{"range", {b.range.location, b.range.length}}};
                case AXValueType::AXError: return json{{"error_box", b.error}};
                default: return json{{"other", "AXValue"}};
            }
        }
        case TypeID::Date: return json{{"date", static_cast<const OpaqueObject&>(*value).description}};
        case TypeID::URL: return json{{"url", static_cast<const OpaqueObject&>(*value).description}};
        case TypeID::Data: return json{{"data", static_cast<const OpaqueObject&>(*value).description}};
        default: return json{{"other", true}};
    }
}

}  // namespace korvale::sim
