// Host requests served by the monitor. Text replacement pastes the way a user would: bring the
// followed application forward, put the text on the general pasteboard, post Command-V, wait
// until the paste has taken the text, and put back everything the pasteboard held — unless the
// user copied something meanwhile. The on-demand snapshot reports the selection, or the text
// above the caret with the caret's rectangle, as "alt_enter_pressed".
#include "Diagnostic.h"
#include "MacAccessibility.h"
#include "utils.h"

namespace korvale {

using nlohmann::json;
using platform::AXValueType;
using platform::CGRectGetHeight;
using platform::CGRectGetWidth;
using platform::PasteboardFetch;

namespace {

// The followed application needs a moment to come forward before the keystroke is aimed at it.
constexpr double kActivationWait = 0.2;
// The pasteboard never changes back sooner than this after Command-V, so that an application that
// reads it twice (types first, then the data) reads the same contents both times.
constexpr double kPasteWait = 1.0;
// A paste not taken by then is not coming (the keystroke found no editable field, or the
// application is gone); the pasteboard changes back all the same. Counted from Command-V.
constexpr double kPasteTakenLimit = 3.0;

const char* const kNotSavedLine = "setText: the clipboard could not be read in full; nothing was pasted";
const char* const kNotTakenLine = "setText: the text was not taken within 3 s";

}  // namespace

// The pasteboard's contents never reach standard output: they may be anything the user copied.
// "Task ended" means the text was put on the pasteboard, Command-V was posted and the paste took
// the text (or the platform cannot tell); otherwise one line says what did not work, and the
// pasteboard gets back what it held. What could not be saved is never replaced: with a
// pasteboard that cannot be read in full nothing is pasted.
void MacAccessibility::setSelectedText(const std::string& text) {
    auto& pasteboard = korvale::pasteboard();
    auto& loop = mainLoop();
    // Every item with every type, so that images, rich text and files come back too.
    auto saved = pasteboard.pasteboardItems();
    if (!saved) {
        diagnostic(kNotSavedLine);
        return;
    }
    const long savedCount = pasteboard.changeCount();

    if (frontmostApp) frontmostApp->activateWithOptions(0);
    delay(kActivationWait);

    // The keystroke goes to whatever is in front: into the followed application, or nowhere.
    if (auto refusal = pasteRefusal()) {
        diagnostic(*refusal);
        emit("error", {{"message", *refusal}});
        return;
    }

    // What the user copied while the application came forward is what must come back.
    if (pasteboard.changeCount() != savedCount) {
        saved = pasteboard.pasteboardItems();
        if (!saved) {
            diagnostic(kNotSavedLine);
            return;
        }
    }
    auto giveBack = [&] {
        pasteboard.clearContents();
        if (!saved->empty()) pasteboard.writeObjects(*saved);
    };

    pasteboard.clearContents();
    if (!pasteboard.setString(text, platform::NSPasteboardTypeString)) {
        giveBack();
        diagnostic("setText failed: the pasteboard did not take the text");
        return;
    }
    const long ours = pasteboard.changeCount();
    if (!pasteCommand()) {
        giveBack();
        diagnostic("setText failed: the paste keystroke could not be posted");
        return;
    }
    const double posted = loop.now();
    delay(kPasteWait);
    // Only the followed application's request counts as the paste where the platform can tell
    // who asks (a clipboard manager copies every change the moment it is made).
    const platform::pid_t target = frontmostApp ? frontmostApp->processIdentifier() : 0;
    const PasteboardFetch fetch = pasteboard.waitForFetch(target, posted + kPasteTakenLimit);

    // A count that moved means someone else wrote during the wait: their content stays, unless
    // it is our own text offered again (a clipboard manager, or an editor keeping what it pasted).
    if (pasteboard.changeCount() == ours ||
        pasteboard.stringForType(platform::NSPasteboardTypeString) == text)
        giveBack();
    diagnostic(fetch == PasteboardFetch::NotTaken ? kNotTakenLine : "Task ended");
}

// Why a paste must not be made now, or nothing when it may. With no followed application the
// keystroke goes to the application in front, as it always did; a followed one must be in front
// after its activation (it may not have come, or the user may have switched meanwhile), and must
// have answered for its focused element: one without accessibility (an X terminal) gives no way to
// know where, or whether, a paste would land.
std::optional<std::string> MacAccessibility::pasteRefusal() {
    if (!frontmostApp) return std::nullopt;
    const std::string name = frontmostApp->localizedName().value_or(
        frontmostApp->bundleIdentifier().value_or(std::to_string(frontmostApp->processIdentifier())));
    if (!frontmostAnswers) return "setText: " + name + " cannot be followed; nothing was pasted";
    auto front = getFrontmost();
    if (!front || front->processIdentifier() != frontmostApp->processIdentifier())
        return "setText: " + name + " is not in front; nothing was pasted";
    return std::nullopt;
}

// The order of the reads matters to the other application's accessibility service: the
// character bounds are asked before the text above the caret, the marker bounds after it.
// Nothing is read from a blocked application, nor the text of a blocked or secret field.
void MacAccessibility::getDataForVelaAssist() {
    if (!frontmostApp || isBlockedApp(frontmostApp)) return;
    ElementRef app = getAppRef(processID.value_or(0));
    auto focused = getAttributeValue<ElementRef>(app, "AXFocusedUIElement");
    if (!focused) return;
    focusedElement = *focused;
    const ElementRef element = *focused;

    auto role = getAttributeValue<std::string>(element, "AXRole");
    if (!role || *role != "AXTextArea") return;
    if (keepsFieldSilent(element, role, frontmostApp)) return;
    auto count = getAttributeValue<int64_t>(element, "AXNumberOfCharacters");
    if (!count || *count == 0) return;

    auto selection = getAttributeValue<CFRange>(element, "AXSelectedTextRange");
    EventData data;
    if (!selection || selection->length != 0) {
        data = nativeTextFieldSelectedText();
    } else {
        // The character after the caret, or the last one when the caret ends the text.
        CFRange probe{selection->location == *count ? *count - 1 : selection->location, 1};
        ObjectRef probeValue = platform::AXValueCreate(AXValueType::CFRange, &probe);
        auto charBounds = getParameterizedAttributeValue<CGRect>(element, "AXBoundsForRange", probeValue);

        auto above = getTextAboveInsertionPoint(element);
        if (!above) {
            if (callback) callback("error", {{"message", "something is wrong"}});
            data = EventData::object();
        } else {
            std::optional<CGRect> caret;
            if (charBounds && CGRectGetHeight(*charBounds) != 0) {
                caret = charBounds;
            } else if (charBounds) {
                // An empty line reports a flat character box; the markers know where the caret is.
                auto markers = getAttributeValue<TextMarkerRangeRef>(element, "AXSelectedTextMarkerRange");
                if (markers)
                    caret = getParameterizedAttributeValue<CGRect>(element, "AXBoundsForTextMarkerRange",
                                                                   *markers);
            }
            auto number = [&](auto get) { return caret ? json(get(*caret)) : json(nullptr); };
            data = {{"selected_text", *above},
                    {"is_editable", true},
                    {"position", {{"x", number([](const CGRect& r) { return r.origin.x; })},
                                  {"y", number([](const CGRect& r) { return r.origin.y; })}}},
                    {"size", {{"width", number([](const CGRect& r) { return CGRectGetWidth(r); })},
                              {"height", number([](const CGRect& r) { return CGRectGetHeight(r); })}}}};
        }
    }
    if (callback) callback("alt_enter_pressed", data);
}

}  // namespace korvale
