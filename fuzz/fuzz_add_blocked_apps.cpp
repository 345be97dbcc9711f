// Fuzzes the export addBlockedApps with arbitrary bytes as its C string. Besides staying alive,
// the library must: print nothing, or exactly one "Error deserializing JSON: " line when the text
// is not JSON with an array or object at the top; replace the blocked-application list exactly
// when the text is an array of strings, and leave it untouched otherwise; and never keep a list
// entry that is not valid UTF-8. The first input byte chooses whether a monitor exists.
#include <utf8.h>

#include "FuzzSupport.h"
#include "Korvale.h"
#include "main.h"

using namespace korvale;
using namespace korvale::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const bool withMonitor = (data[0] & 1) == 0;
    const std::string text = cString(data + 1, size - 1);
    freshWorld(json::object());
    const std::vector<std::string> sentinel{"org.example.sentinel"};
    macAccessibility->setBlockedApps(sentinel);
    auto monitor = macAccessibility;
    if (!withMonitor) macAccessibility = nullptr;

    addBlockedApps(text.c_str());
    if (!withMonitor) macAccessibility = monitor;

    // What the list must be, from an independent reading of the same text.
    std::string decoded;
    utf8::replace_invalid(text.begin(), text.end(), std::back_inserter(decoded), 0xFFFD);
    json parsed = json::parse(decoded, nullptr, false);
    const bool parseError = refusedAsHostJSON(text, parsed);
    std::vector<std::string> expected = sentinel;
    if (!parseError && parsed.is_array() && withMonitor) {
        bool allStrings = true;
        for (const auto& e : parsed) allStrings = allStrings && e.is_string();
        if (allStrings) {
            expected.clear();
            for (const auto& e : parsed) expected.push_back(e.get<std::string>());
        }
    }

    const auto& lines = stdoutLines();
    checkLinesShort(lines);
    if (parseError) {
        if (lines.size() != 1 || lines[0].rfind("Error deserializing JSON: ", 0) != 0)
            fail("a parse error must print one \"Error deserializing JSON: \" line, got " +
                 describeLines(lines));
    } else if (!lines.empty()) {
        fail("well-formed JSON printed " + describeLines(lines));
    }
    if (monitor->blockedApps != expected)
        fail("blocked list is " + json(monitor->blockedApps).dump(-1, ' ', false, json::error_handler_t::replace) +
             ", expected " + json(expected).dump(-1, ' ', false, json::error_handler_t::replace));
    for (const auto& app : monitor->blockedApps)
        if (!utf8::is_valid(app.begin(), app.end())) fail("a blocked entry is not valid UTF-8");
    return 0;
}
