// Typed accessibility values in scenario JSON, both ways: a world or an action names a value
// ({"rect":[x,y,w,h]}, {"element":"doc"}, a plain string...) and gets the platform object an
// application would hand out; the request log turns every object handed out back into the same
// JSON, so a scenario can compare what was asked and answered with what it wrote.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "platform/sim/SimDesktop.h"

namespace korvale::sim {

// What a typed value needs from the service: element handles by id, and text markers of the
// element that holds the value.
struct AxValueContext {
    std::function<ObjectRef(const std::string& elementId)> element;  // throws SimError if unknown
    std::function<ObjectRef(int64_t offset)> marker;
};

// The platform object for a typed JSON value; nullptr for "no value" (null or {"none":true}).
// Throws SimError on a malformed value.
ObjectRef parseAxValue(const json& value, const AxValueContext& context);

// The JSON a scenario would write for an object handed out (inverse of parseAxValue).
json describeAxValue(const ObjectRef& value);

// Text markers carry the process, the element and a UTF-16 offset.
TextMarkerRef makeTextMarker(pid_t pid, const std::string& elementId, int64_t offset);
struct DecodedMarker {
    pid_t pid;
    std::string elementId;
    int64_t offset;
};
std::optional<DecodedMarker> decodeTextMarker(const TextMarkerRef& marker);

}  // namespace korvale::sim
