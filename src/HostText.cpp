// Host strings and JSON, built on utfcpp (decoding), nlohmann-json (parsing and encoding) and
// utf8proc (canonical equivalence). No exception leaves this file: the parser's are caught here
// and the encoder is only handed data it has checked.
#include "HostText.h"

#include <utf8.h>
#include <utf8proc.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "Diagnostic.h"

namespace korvale {

using nlohmann::json;

std::optional<std::string> decodeHostString(const char* text) {
    if (!text) return std::nullopt;
    std::string raw(text);
    if (utf8::is_valid(raw.begin(), raw.end())) return raw;
    std::string clean;
    utf8::replace_invalid(raw.begin(), raw.end(), std::back_inserter(clean), 0xFFFD);
    return clean;
}

bool longerThan(const char* text, std::size_t limit) { return strnlen(text, limit + 1) > limit; }

std::string shortForDiagnostic(const std::string& text, std::size_t limit) {
    if (text.size() <= limit) return text;
    std::size_t cut = limit;
    // Back to the start of a character: never half of a UTF-8 sequence.
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    return text.substr(0, cut) + "\xE2\x80\xA6";  // U+2026
}

namespace {

void printJSONError(const std::string& message) {
    diagnostic("Error deserializing JSON: " + shortForDiagnostic(message));
}

// Thrown by the parser's callback past kMaxHostJSONDepth, and caught in parseHostJSON.
struct NestedTooDeep {};

bool encodable(const json& v) {
    switch (v.type()) {
        case json::value_t::string: {
            const auto& s = v.get_ref<const std::string&>();
            return utf8::is_valid(s.begin(), s.end());
        }
        case json::value_t::number_float: return std::isfinite(v.get<double>());
        case json::value_t::object:
            for (auto it = v.begin(); it != v.end(); ++it)
                if (!utf8::is_valid(it.key().begin(), it.key().end()) || !encodable(it.value()))
                    return false;
            return true;
        case json::value_t::array:
            for (const auto& e : v)
                if (!encodable(e)) return false;
            return true;
        case json::value_t::binary:
        case json::value_t::discarded: return false;
        default: return true;
    }
}

}  // namespace

std::optional<json> parseHostJSON(const std::string& text) {
    // The nesting is checked as the parser goes, before anything deeper is built: what is built
    // is copied and destroyed later, and a deep enough value would exhaust the stack there.
    auto limitDepth = [](int depth, json::parse_event_t event, json&) {
        bool opens = event == json::parse_event_t::object_start || event == json::parse_event_t::array_start;
        if (opens && depth >= kMaxHostJSONDepth) throw NestedTooDeep{};
        return true;
    };
    std::string message;
    json result;
    try {
        result = json::parse(text, limitDepth);
        if (!result.is_object() && !result.is_array())
            message = "JSON text did not start with array or object and option to allow fragments "
                      "not set.";
    } catch (const NestedTooDeep&) {
        message = "nesting deeper than " + std::to_string(kMaxHostJSONDepth) + " levels";
    } catch (const json::exception& e) {
        // Syntax errors, and also a number too large for a double (out_of_range).
        message = e.what();
    }
    if (!message.empty()) {
        printJSONError(message);
        return std::nullopt;
    }
    return result;
}

std::optional<json> readHostJSON(const char* text) {
    if (!text) return std::nullopt;
    if (longerThan(text, kMaxHostJSONBytes)) {
        printJSONError("the text is longer than " + std::to_string(kMaxHostJSONBytes) + " bytes");
        return std::nullopt;
    }
    auto decoded = decodeHostString(text);
    if (!decoded) return std::nullopt;
    return parseHostJSON(*decoded);
}

std::optional<std::string> encodeEventData(const EventData& data) {
    if (!encodable(data)) return std::nullopt;
    return data.dump(-1, ' ', false, json::error_handler_t::replace);
}

bool canonicallyEqual(const std::string& a, const std::string& b) {
    if (a == b) return true;
    auto nfc = [](const std::string& s) -> std::optional<std::string> {
        std::unique_ptr<utf8proc_uint8_t, decltype(&std::free)> out(
            utf8proc_NFC(reinterpret_cast<const utf8proc_uint8_t*>(s.c_str())), &std::free);
        if (!out) return std::nullopt;
        return std::string(reinterpret_cast<const char*>(out.get()));
    };
    // Strings with an embedded NUL or ill-formed UTF-8 are only equal byte for byte.
    if (a.find('\0') != std::string::npos || b.find('\0') != std::string::npos) return false;
    auto na = nfc(a), nb = nfc(b);
    return na && nb && *na == *nb;
}

}  // namespace korvale

namespace korvale {

std::string canonicalKey(const std::string& s) {
    bool ascii = true;
    for (unsigned char c : s) {
        if (c == 0) return "\xFF" + s;
        if (c >= 0x80) ascii = false;
    }
    if (ascii) return s;  // its own normal form
    std::unique_ptr<utf8proc_uint8_t, decltype(&std::free)> out(
        utf8proc_NFC(reinterpret_cast<const utf8proc_uint8_t*>(s.c_str())), &std::free);
    if (!out) return "\xFF" + s;
    return std::string(reinterpret_cast<const char*>(out.get()));
}

}  // namespace korvale
