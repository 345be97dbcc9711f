// Fuzzes the export start with arbitrary bytes as its C string. Tracking starts whatever the
// text ("Accessibility is enabled" on a trusted desktop), then the text is read as the
// blocked-field list: one "Error deserializing JSON: " line when it does not parse as an array
// or object; the list replaced exactly when it is an object whose every value is an object;
// untouched and silent otherwise. The first input byte chooses a trusted or untrusted desktop.
#include <utf8.h>

#include "FuzzSupport.h"
#include "Korvale.h"
#include "main.h"

using namespace korvale;
using namespace korvale::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const bool trusted = (data[0] & 1) == 0;
    const std::string text = cString(data + 1, size - 1);
    freshWorld(json{{"trusted", trusted}});
    std::map<std::string, json> sentinel{{"org.example.sentinel", json{{"name", "AXIdentifier"}}}};
    macAccessibility->setBlockedFiledList(sentinel);
    auto monitor = macAccessibility;

    ::start(text.c_str());

    std::string decoded;
    utf8::replace_invalid(text.begin(), text.end(), std::back_inserter(decoded), 0xFFFD);
    json parsed = json::parse(decoded, nullptr, false);
    const bool parseError = refusedAsHostJSON(text, parsed);
    std::map<std::string, json> expected = sentinel;
    if (!parseError && parsed.is_object()) {
        bool allObjects = true;
        for (const auto& v : parsed) allObjects = allObjects && v.is_object();
        if (allObjects) expected = parsed.get<std::map<std::string, json>>();
    }

    std::vector<std::string> want;
    if (trusted) want.push_back("Accessibility is enabled");
    auto lines = stdoutLines();
    checkLinesShort(lines);
    if (parseError) {
        if (lines.empty() || lines.back().rfind("Error deserializing JSON: ", 0) != 0)
            fail("a parse error must print one \"Error deserializing JSON: \" line, got " +
                 describeLines(lines));
        lines.pop_back();
    }
    if (lines != want) fail("start printed " + describeLines(stdoutLines()));
    if (monitor->blockedFiledsList != expected)
        fail("blocked-field list is " + json(monitor->blockedFiledsList).dump(-1, ' ', false, json::error_handler_t::replace));
    settle();
    return 0;
}
