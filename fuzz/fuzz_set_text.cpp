// Fuzzes the export setText with arbitrary bytes as the replacement text. The first input byte
// picks the desktop: what the pasteboard holds before (plain text, plain text among other types
// and items, rich text only, nothing) and whether an application with a focused, editable text
// area is followed. The library must print only "Task ended" (or, with nothing followed, that the
// text was not taken); afterwards the pasteboard must
// hold exactly what it held before (nobody else wrote meanwhile), and a followed text area must
// hold its text with the selection replaced by the decoded replacement text.
#include <utf8.h>

#include "FuzzSupport.h"
#include "Korvale.h"
#include "MacAccessibility.h"
#include "main.h"
#include "platform/Platform.h"
#include "platform/sim/SimDesktop.h"

using namespace korvale;
using namespace korvale::fuzz;

namespace {

const std::string kPrevious = "previous clip\xE2\x80\x94 text";

json worldFor(uint8_t variant) {
    json world = json::object();
    switch (variant % 4) {
        case 0: world["pasteboard"] = json::array({{{platform::NSPasteboardTypeString, kPrevious}}}); break;
        case 1:
            world["pasteboard"] = json::array({{{platform::NSPasteboardTypeRTF, "{\\rtf1 x}"},
                                                {platform::NSPasteboardTypeString, kPrevious}},
                                               {{platform::NSPasteboardTypePNG, "PNG"}}});
            break;
        case 2: world["pasteboard"] = json::array({{{platform::NSPasteboardTypeRTF, "{\\rtf1 x}"}}}); break;
        default: break;
    }
    if (variant & 4)
        world["apps"] = json::parse(R"([{"pid": 101, "bundle_id": "com.example.editor", "name": "Editor",
            "focused": "doc", "elements": [{"id": "win", "role": "AXWindow", "frame": [0, 0, 800, 600],
            "children": [{"id": "doc", "role": "AXTextArea", "text": "Hello world", "selection": [6, 5],
            "editable": true, "frame": [10, 40, 600, 400]}]}]}])");
    return world;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const uint8_t variant = data[0];
    const std::string text = cString(data + 1, size - 1);
    freshWorld(worldFor(variant));
    auto& desktop = sim::Desktop::instance();
    const bool followed = variant & 4;
    // The monitor outlives each input: without a followed application in this one, it must not
    // remember the one followed in an earlier input.
    if (!followed && macAccessibility) {
        macAccessibility->frontmostApp = nullptr;
        macAccessibility->processID.reset();
    }
    if (followed) {
        ::start("{}");
        if (!desktop.perform({{"action", "activate"}, {"pid", 101}}).empty()) fail("activate failed");
        settle();
    }
    const json pasteboardBefore = desktop.state()["pasteboard"]["items"];
    const size_t linesBefore = stdoutLines().size();

    setText(text.c_str());

    std::vector<std::string> printed(stdoutLines().begin() + static_cast<long>(linesBefore), stdoutLines().end());
    // Without a followed application the keystroke goes to the host's own application, which
    // takes no paste: that is said, and the pasteboard is given back all the same.
    const std::string expected = followed ? "Task ended" : "setText: the text was not taken within 3 s";
    if (printed != std::vector<std::string>{expected}) fail("setText printed " + describeLines(printed));
    if (desktop.state()["pasteboard"]["items"] != pasteboardBefore)
        fail("the pasteboard was not given back: " + desktop.state()["pasteboard"].dump(-1, ' ', false, json::error_handler_t::replace));
    if (followed) {
        std::string decoded;
        utf8::replace_invalid(text.begin(), text.end(), std::back_inserter(decoded), 0xFFFD);
        const json doc = desktop.state()["elements"]["doc"];
        if (doc["text"] != "Hello " + decoded)
            fail("the text area holds " + doc["text"].dump(-1, ' ', false, json::error_handler_t::replace));
    }
    settle();
    return 0;
}
