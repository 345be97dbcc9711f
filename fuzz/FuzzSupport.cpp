// Shared set-up of the fuzz targets (see FuzzSupport.h).
#include "FuzzSupport.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Korvale.h"
#include "HostText.h"
#include "main.h"
#include "platform/Platform.h"
#include "platform/sim/SimDesktop.h"
#include "utils.h"

namespace korvale::fuzz {

namespace {

// The fuzz targets run on the simulated desktop, asked for before anything uses the platform.
const bool kSimulatedBackend = (platform::requestSimulatedBackend(), true);

// Every delivery must carry a name and JSON text that parses as an object, and must be the
// event the slot holds at that moment.
void checkingCallback(const char* name, const char* jsonText) {
    if (!name || !jsonText) fail("host callback received a null string");
    json parsed = json::parse(jsonText, nullptr, false);
    if (parsed.is_discarded() || !parsed.is_object())
        fail(std::string("delivered JSON is not an object: ") + jsonText);
    if (!eventParams || eventParams->notification != name || eventParams->data != parsed)
        fail(std::string("delivered an event that is not the stored one: ") + name);
}

}  // namespace

void fail(const std::string& what) {
    std::fprintf(stderr, "korvale fuzz check failed: %s\n", what.c_str());
    std::fflush(stderr);
    std::abort();
}

std::string cString(const uint8_t* data, size_t size) {
    const void* nul = std::memchr(data, 0, size);
    size_t n = nul ? static_cast<size_t>(static_cast<const uint8_t*>(nul) - data) : size;
    return std::string(reinterpret_cast<const char*>(data), n);
}

void ensureMonitor() {
    if (!macAccessibility) initMacAccessibility(&checkingCallback);
}

void freshWorld(json world) {
    world["echo_stdout"] = false;
    eventParams.reset();
    std::string error = sim::Desktop::instance().loadWorld(world);
    if (!error.empty()) fail("fuzz world did not load: " + error);
    ensureMonitor();
}

bool refusedAsHostJSON(const std::string& text, const json& parsed) {
    if (text.size() > kMaxHostJSONBytes) return true;
    if (parsed.is_discarded() || !(parsed.is_array() || parsed.is_object())) return true;
    // The depth, walked without recursion (the value may be as deep as the input is long).
    std::vector<std::pair<const json*, int>> todo{{&parsed, 1}};
    while (!todo.empty()) {
        auto [value, depth] = todo.back();
        todo.pop_back();
        if (depth > kMaxHostJSONDepth) return true;
        if (value->is_structured())
            for (const auto& child : *value)
                if (child.is_structured()) todo.push_back({&child, depth + 1});
    }
    return false;
}

void checkLinesShort(const std::vector<std::string>& lines) {
    for (const auto& line : lines)
        if (line.size() > 64 + kMaxDiagnosticEcho) fail("a diagnostic line of " + std::to_string(line.size()) + " bytes");
}

void settle() { sim::Desktop::instance().run(2.0); }

const std::vector<std::string>& stdoutLines() { return sim::Desktop::instance().stdoutLines(); }

std::string describeLines(const std::vector<std::string>& lines) {
    return json(lines).dump(-1, ' ', false, json::error_handler_t::replace);
}

}  // namespace korvale::fuzz
