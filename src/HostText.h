// Text crossing the host boundary: decoding the host's C strings, reading the host's JSON lists,
// encoding event data as compact JSON, and comparing strings under Unicode canonical equivalence.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>

namespace korvale {

using EventData = nlohmann::json;  // always an object: string keys, JSON-encodable values

// The host's NUL-terminated UTF-8 string, with ill-formed sequences replaced by U+FFFD; none for
// a null pointer.
std::optional<std::string> decodeHostString(const char* text);

// Parses host JSON whose top level must be an object or an array. On a parse error it writes
// "Error deserializing JSON: " and the parser's message to standard output and gives none.
std::optional<nlohmann::json> parseHostJSON(const std::string& text);

// Compact JSON text of event data, or none when it cannot be encoded (a string or key that is
// not valid UTF-8, a number that is not finite).
std::optional<std::string> encodeEventData(const EventData& data);

// String equality under Unicode canonical equivalence, without case folding.
bool canonicallyEqual(const std::string& a, const std::string& b);

}  // namespace korvale
