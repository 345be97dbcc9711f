// Text crossing the host boundary: decoding the host's C strings, reading the host's JSON lists,
// encoding event data as compact JSON, and comparing strings under Unicode canonical equivalence.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>

namespace korvale {

using EventData = nlohmann::json;  // always an object: string keys, JSON-encodable values

// Bounds on what a host hands in, so that no input can exhaust the stack, hold the main thread
// for seconds or print a line of megabytes. Each refusal prints one short line.
inline constexpr std::size_t kMaxHostJSONBytes = 1 << 20;  // the blocked lists, as JSON text
inline constexpr int kMaxHostJSONDepth = 100;              // nested arrays and objects
inline constexpr std::size_t kMaxSetTextBytes = 4 << 20;   // the replacement text of setText
inline constexpr std::size_t kMaxDiagnosticEcho = 200;     // echoed text in one diagnostic line

// Whether the host's NUL-terminated string is longer than `limit` bytes; reads no further.
bool longerThan(const char* text, std::size_t limit);

// `text` cut to at most `limit` bytes at a character boundary, with "…" added when cut.
std::string shortForDiagnostic(const std::string& text, std::size_t limit = kMaxDiagnosticEcho);

// The host's NUL-terminated UTF-8 string, with ill-formed sequences replaced by U+FFFD; none for
// a null pointer.
std::optional<std::string> decodeHostString(const char* text);

// Parses host JSON whose top level must be an object or an array. On a parse error it writes
// "Error deserializing JSON: " and the parser's message (cut short) to standard output and gives
// none; nesting deeper than kMaxHostJSONDepth is such an error, found while parsing.
std::optional<nlohmann::json> parseHostJSON(const std::string& text);

// The host's JSON argument: none, silently, for a null pointer; none with the error line for text
// longer than kMaxHostJSONBytes (not read further) or text that does not parse.
std::optional<nlohmann::json> readHostJSON(const char* text);

// Compact JSON text of event data, or none when it cannot be encoded (a string or key that is
// not valid UTF-8, a number that is not finite).
std::optional<std::string> encodeEventData(const EventData& data);

// String equality under Unicode canonical equivalence, without case folding.
bool canonicallyEqual(const std::string& a, const std::string& b);

// A key under which two strings are equal exactly when canonicallyEqual says so: the NFC form,
// or, for a string without one (ill-formed UTF-8, an embedded NUL), the string itself behind a
// byte that UTF-8 never holds. Lists keep the keys of their entries, so that a check normalises
// only the string it is given.
std::string canonicalKey(const std::string& s);

}  // namespace korvale
