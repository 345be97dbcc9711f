// Shared set-up of the fuzz targets: the simulated desktop with standard output captured rather
// than echoed, a fresh world for every input (so that one input cannot change how the next one
// runs), a host callback that checks every delivered event, and the checks on diagnostic lines.
// A broken check aborts the process, which libFuzzer records as a crash with its input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace korvale::fuzz {

using json = nlohmann::json;

// Aborts with a message; libFuzzer keeps the input that led here.
[[noreturn]] void fail(const std::string& what);

// The bytes before the first NUL: what a C string argument made from the input holds.
std::string cString(const uint8_t* data, size_t size);

// Loads `world` (standard output captured), forgets the library's registrations and keeps the
// one monitor that `ensureMonitor` created. Standard output and the request log start empty.
void freshWorld(json world);
// initMacAccessibility once per process, with a host callback that checks every delivery.
void ensureMonitor();
// Runs the main loop long enough for every pending delivery.
void settle();

// Whether the library must refuse `text` as host JSON: not JSON with an array or object at the
// top, longer than the size limit, or nested deeper than the depth limit.
bool refusedAsHostJSON(const std::string& text, const json& parsed);
// Fails unless every diagnostic line is short (echoed input is cut).
void checkLinesShort(const std::vector<std::string>& lines);

// The diagnostic lines written since the last freshWorld.
const std::vector<std::string>& stdoutLines();
std::string describeLines(const std::vector<std::string>& lines);

}  // namespace korvale::fuzz
