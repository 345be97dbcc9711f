// Host requests on the simulated desktop, the cases the scenarios (requests_*.json, which also
// play through the macOS backend) do not hold: text replacement when the user's clipboard or the
// target application misbehaves (what the pasteboard holds afterwards, what was printed, the
// other application's text, timing on the virtual clock), and the snapshot's rarer paths (no
// selected range, failing bounds, blocked and secret fields, no followed application).
#include <set>

#include "TestSupport.h"
#include "platform/sim/SimPasteboard.h"

namespace korvale::testing {
namespace {

// The host's own application is in front; the editor (pid 42) is behind it, its text area "doc"
// focused. Text lays out on a grid of 8 x 16 points from the frame's origin.
json editorWorld(json doc, json extra = json::object()) {
    json base = {{"id", "doc"}, {"role", "AXTextArea"}, {"editable", true}, {"frame", {100, 200, 400, 300}}};
    base.update(doc);
    json world = {{"apps",
                   {{{"pid", 42},
                     {"bundle_id", "com.example.editor"},
                     {"name", "Editor"},
                     {"focused", "doc"},
                     {"elements", {base}}}}}};
    world.update(extra);
    return world;
}

class HostRequest : public DesktopTest {
protected:
    void start(json world) {
        loadWorld(std::move(world));
        initMacAccessibility(&recordingCallback);
        follow(42);
    }
    json state() { return desktop().state(); }
    std::string docText() { return state()["elements"]["doc"]["text"]; }
    // The library's requests since the last clear, as "call" or "call attribute".
    std::vector<std::string> calls(const std::set<std::string>& only = {}) {
        std::vector<std::string> out;
        for (const auto& r : desktop().requests()) {
            std::string c = r["call"];
            if (!only.empty() && !only.count(c)) continue;
            if (r.contains("attribute")) c += " " + r["attribute"].get<std::string>();
            out.push_back(c);
        }
        return out;
    }
    const json* lastRequest(const std::string& call, const std::string& attribute = "") {
        const json* found = nullptr;
        for (const auto& r : desktop().requests())
            if (r["call"] == call && (attribute.empty() || r.value("attribute", "") == attribute)) found = &r;
        return found;
    }
};

// ------------------------------------------------------------------------------------------
// Text replacement

class Replacement : public HostRequest {
protected:
    void SetUp() override {
        HostRequest::SetUp();
        start(editorWorld({{"text", "hello world"}, {"selection", {6, 5}}}));
    }
    // setText, returning how long it held the caller on the virtual clock.
    double replace(const char* text) {
        double begin = now();
        setText(text);
        return now() - begin;
    }
    json pasteboardItems() { return state()["pasteboard"]["items"]; }
};

TEST_F(Replacement, EmptyPasteboardStaysEmpty) {
    replace("xyz");
    EXPECT_EQ(pasteboardItems(), json::array());
    EXPECT_EQ(docText(), "hello xyz");
}

// No keyboard event source can be made: the keystrokes go out without one, and the paste happens.
TEST_F(Replacement, WithoutAnEventSourceTheKeystrokesStillGoOut) {
    start(editorWorld({{"text", "hello world"}, {"selection", {6, 5}}}, {{"keyboard", {{"source_fails", true}}}}));
    perform({{"action", "copy_text"}, {"text", "abc"}});
    EXPECT_DOUBLE_EQ(replace("xyz"), 1.2);
    EXPECT_EQ(docText(), "hello xyz");
    EXPECT_EQ(state()["keystrokes"].size(), 4u);
    EXPECT_EQ(pasteboardItems(), (json{{{"public.utf8-plain-text", "abc"}}}));
    EXPECT_EQ(stdoutLines(), (std::vector<std::string>{"Task ended"}));
}

TEST_F(Replacement, WhatTheUserCopiesWhileTheApplicationComesForwardIsWhatComesBack) {
    perform({{"action", "copy_text"}, {"text", "abc"}});
    perform({{"action", "at"}, {"time", 0.1}, {"do", {{"action", "copy_text"}, {"text", "newer"}}}});
    EXPECT_DOUBLE_EQ(replace("xyz"), 1.2);
    EXPECT_EQ(docText(), "hello xyz");
    EXPECT_EQ(pasteboardItems(), (json{{{"public.utf8-plain-text", "newer"}}}))
        << "the copy made during the activation wait was lost";
}

TEST_F(Replacement, WithoutFollowedApplicationTheKeystrokeGoesToWhateverIsInFront) {
    macAccessibility->frontmostApp = nullptr;
    perform({{"action", "copy_text"}, {"text", "abc"}});
    desktop().clearRequests();
    // The host's own application is in front and takes no paste: the wait runs to its limit.
    EXPECT_DOUBLE_EQ(replace("xyz"), 3.2);
    EXPECT_EQ(lastRequest("activateWithOptions"), nullptr);
    EXPECT_EQ(docText(), "hello world") << "pasted into an application that is not in front";
    EXPECT_EQ(state()["keystrokes"].size(), 4u);
    EXPECT_EQ(pasteboardItems(), (json{{{"public.utf8-plain-text", "abc"}}}));
    EXPECT_EQ(stdoutLines(), (std::vector<std::string>{"setText: the text was not taken within 3 s"}));
}

// The followed application quit; another one is in front when the keystroke would go out. It
// must not receive the paste, and nothing of the user's pasteboard is touched.
TEST_F(HostRequest, AFollowedApplicationThatDidNotComeForwardIsNotPastedInto) {
    json other = {{"pid", 43}, {"bundle_id", "com.example.notes"}, {"name", "Notes"}, {"focused", "note"},
                  {"frontmost", true},
                  {"elements", {{{"id", "note"}, {"role", "AXTextArea"}, {"editable", true},
                                 {"frame", {0, 0, 200, 100}}, {"text", "my notes"}, {"selection", {3, 5}}}}}};
    json world = editorWorld({{"text", "hello world"}, {"selection", {6, 5}}});
    world["apps"].push_back(other);
    start(world);
    perform({{"action", "copy_text"}, {"text", "abc"}});
    perform({{"action", "quit"}, {"pid", 42}});
    desktop().clearRequests();
    hostEvents().clear();
    setText("xyz");
    EXPECT_EQ(state()["elements"]["note"]["text"], "my notes") << "pasted into an application not followed";
    EXPECT_TRUE(state()["keystrokes"].empty());
    EXPECT_EQ(state()["pasteboard"]["items"], (json{{{"public.utf8-plain-text", "abc"}}}));
    EXPECT_TRUE(calls({"clearContents", "setString:forType:", "writeObjects:", "CGEventPost"}).empty());
    EXPECT_EQ(stdoutLines(), (std::vector<std::string>{"setText: Editor is not in front; nothing was pasted"}));
    run(1.0);
    ASSERT_EQ(hostEventNames(), std::vector<std::string>{"error"});
    EXPECT_EQ(json::parse(hostEvents()[0].json),
              (json{{"message", "setText: Editor is not in front; nothing was pasted"}}));
}

// An application announced without a readable focused element (no accessibility) gives no way to
// know where a paste would land: nothing is pasted, and the host is told.
TEST_F(HostRequest, AnApplicationThatDoesNotAnswerIsNotPastedInto) {
    json world = editorWorld({{"text", "hello world"}, {"selection", {6, 5}}});
    world["apps"][0]["focused"] = nullptr;
    loadWorld(world);
    initMacAccessibility(&recordingCallback);
    ::start("{}");
    perform({{"action", "activate"}, {"pid", 42}});
    run(1.0);
    ASSERT_FALSE(hostEvents().empty());
    EXPECT_EQ(json::parse(hostEvents().back().json)["role"], nullptr);
    hostEvents().clear();
    desktop().clearRequests();
    setText("xyz");
    EXPECT_EQ(docText(), "hello world");
    EXPECT_TRUE(state()["keystrokes"].empty());
    EXPECT_EQ(stdoutLines().back(), "setText: Editor cannot be followed; nothing was pasted");
    run(1.0);
    ASSERT_EQ(hostEventNames(), std::vector<std::string>{"error"});
}

TEST_F(Replacement, TheMainThreadIsHeldUntilItReturns) {
    callbackWraper("caret", json::object());  // due at 0.18
    replace("xyz");
    EXPECT_TRUE(hostEvents().empty()) << "an event was delivered while the replacement held the thread";
    run(0.5);
    ASSERT_EQ(hostEvents().size(), 1u);
    EXPECT_DOUBLE_EQ(hostEvents()[0].t, 1.29) << "the first wait ends at 1.2, the second 0.09 later";
}

TEST_F(Replacement, BeforeInitNothingHappens) {
    mainExport();
    desktop().clearRequests();
    EXPECT_DOUBLE_EQ(replace("xyz"), 0.0);
    EXPECT_TRUE(desktop().requests().empty());
    EXPECT_TRUE(stdoutLines().empty());
}

// ------------------------------------------------------------------------------------------
// The user's clipboard through a replacement, case by case: what it holds afterwards, what the
// other application received, what was printed and how long the caller was held.

const std::string kNotSaved = "setText: the clipboard could not be read in full; nothing was pasted";
const std::string kNotTaken = "setText: the text was not taken within 3 s";

class ClipboardKept : public Replacement {
protected:
    // The editor is busy: a paste it receives happens `seconds` later than usual.
    void busyFor(double seconds) { perform({{"action", "slow_paste"}, {"pid", 42}, {"delay", seconds}}); }
};

TEST_F(ClipboardKept, LargeTextComesBackWhole) {
    const std::string big(5 * 1024 * 1024, 'L');
    perform({{"action", "copy_text"}, {"text", big}});
    EXPECT_DOUBLE_EQ(replace("xyz"), 1.2);
    EXPECT_EQ(docText(), "hello xyz");
    ASSERT_EQ(pasteboardItems().size(), 1u);
    EXPECT_TRUE(pasteboardItems()[0]["public.utf8-plain-text"] == big) << "the 5 MB text did not come back whole";
    EXPECT_EQ(stdoutLines(), (std::vector<std::string>{"Task ended"}));
}

TEST_F(ClipboardKept, SeveralTypesComeBackInTheirOrder) {
    // The ordered form [[type, data], ...]: rich text first, then plain text, then an image.
    json item = json::array({json::array({"public.html", "<b>caption</b>"}),
                             json::array({"public.utf8-plain-text", "caption"}), json::array({"public.png", "PNG"})});
    json ordered = json::array({item});
    perform({{"action", "set_pasteboard"}, {"items", ordered}});
    desktop().clearRequests();
    replace("xyz");
    EXPECT_EQ((*lastRequest("writeObjects:"))["types"],
              (json{{"public.html", "public.utf8-plain-text", "public.png"}}))
        << "the order of types changed";
    EXPECT_EQ(pasteboardItems(), (json{{{"public.html", "<b>caption</b>"}, {"public.utf8-plain-text", "caption"},
                                        {"public.png", "PNG"}}}));
}

TEST_F(ClipboardKept, AnOwnerThatStopsWhileTheApplicationComesForwardIsNotClobberedEither) {
    perform({{"action", "copy_text"}, {"text", "abc"}});
    perform({{"action", "at"}, {"time", 0.05}, {"do", {{"action", "copy_text"}, {"text", "new"}}}});
    perform({{"action", "at"}, {"time", 0.1}, {"do", {{"action", "pasteboard_owner"}, {"state", "stopped"}}}});
    EXPECT_DOUBLE_EQ(replace("xyz"), 0.2 + sim::SimPasteboard::kStoppedOwnerWait);
    EXPECT_EQ(stdoutLines(), (std::vector<std::string>{kNotSaved}));
    EXPECT_EQ(docText(), "hello world");
    EXPECT_EQ(lastRequest("clearContents"), nullptr);
}

TEST_F(ClipboardKept, AnOwnerGoneLeavesAnEmptyClipboardThatStaysEmpty) {
    perform({{"action", "copy_text"}, {"text", "abc"}});
    perform({{"action", "pasteboard_owner"}, {"state", "gone"}});
    EXPECT_DOUBLE_EQ(replace("xyz"), 1.2);
    EXPECT_EQ(docText(), "hello xyz") << "nothing to lose: the replacement goes on";
    EXPECT_EQ(pasteboardItems(), json::array());
    EXPECT_EQ(stdoutLines(), (std::vector<std::string>{"Task ended"}));
}

TEST_F(ClipboardKept, APasteThatNeverLandsIsSaidSo) {
    // The followed application has no focused element: Command-V goes nowhere.
    json world = editorWorld({{"text", "hello world"}});
    world["apps"][0].erase("focused");
    start(world);
    perform({{"action", "copy_text"}, {"text", "abc"}});
    EXPECT_DOUBLE_EQ(replace("xyz"), 3.2);
    EXPECT_EQ(pasteboardItems(), (json{{{"public.utf8-plain-text", "abc"}}}));
    EXPECT_EQ(stdoutLines(), (std::vector<std::string>{kNotTaken}));
}

TEST_F(ClipboardKept, AClipboardManagerThatOffersOurTextAgainDoesNotKeepIt) {
    perform({{"action", "copy_text"}, {"text", "abc"}});
    perform({{"action", "clipboard_manager"}, {"pid", 77}, {"retake", true}, {"delay", 0.05}});
    run(0.5);
    EXPECT_DOUBLE_EQ(replace("xyz"), 1.2) << "the manager's copy is not the paste, but the paste came";
    EXPECT_EQ(docText(), "hello xyz");
    run(0.5);  // the manager copies the restored clipboard and offers it as its own
    EXPECT_EQ(pasteboardItems(), (json{{{"public.utf8-plain-text", "abc"}}}))
        << "the manager's copy of the replacement was taken for the user's";
    EXPECT_EQ(stdoutLines(), (std::vector<std::string>{"Task ended"}));
}

TEST_F(ClipboardKept, WithAManagerALatePasteIsStillWaitedFor) {
    perform({{"action", "copy_text"}, {"text", "secret"}});
    perform({{"action", "clipboard_manager"}, {"pid", 77}, {"delay", 0.01}});
    busyFor(2.0);
    EXPECT_DOUBLE_EQ(replace("xyz"), 2.21) << "the manager's copy was taken for the paste";
    EXPECT_EQ(docText(), "hello xyz");
    EXPECT_EQ(pasteboardItems(), (json{{{"public.utf8-plain-text", "secret"}}}));
}

TEST_F(ClipboardKept, AnApplicationQuittingDuringThePasteTakesNothing) {
    perform({{"action", "copy_text"}, {"text", "abc"}});
    busyFor(2.0);
    perform({{"action", "at"}, {"time", 1.0}, {"do", {{"action", "quit"}, {"pid", 42}}}});
    EXPECT_DOUBLE_EQ(replace("xyz"), 3.2);
    EXPECT_EQ(docText(), "hello world");
    EXPECT_EQ(pasteboardItems(), (json{{{"public.utf8-plain-text", "abc"}}}));
    EXPECT_EQ(stdoutLines(), (std::vector<std::string>{kNotTaken}));
}

TEST_F(ClipboardKept, APasteLaterThanTheLimitGetsTheUsersClipboard) {
    // Bounded: after 3 s the clipboard changes back whether or not the paste came.
    perform({{"action", "copy_text"}, {"text", "abc"}});
    busyFor(5.0);
    EXPECT_DOUBLE_EQ(replace("xyz"), 3.2);
    EXPECT_EQ(stdoutLines(), (std::vector<std::string>{kNotTaken}));
    run(2.5);
    EXPECT_EQ(docText(), "hello abc");
}

// ------------------------------------------------------------------------------------------
// On-demand snapshot

// A text of two lines, 17 characters: "line one" (0-7), a line feed (8), "line two" (9-16).
const char* kTwoLines = "line one\nline two";

class Snapshot : public HostRequest {
protected:
    // The snapshot of the editor's "doc" after `doc` changes, as the host receives it.
    json snapshot(json doc, json extra = json::object()) {
        json fields = {{"text", kTwoLines}};
        fields.update(doc);
        start(editorWorld(fields, extra));
        desktop().clearRequests();
        getDataForVelaAssist();
        run(0.18);
        if (hostEvents().empty()) return nullptr;
        EXPECT_EQ(hostEvents().size(), 1u);
        EXPECT_EQ(hostEvents()[0].name, "alt_enter_pressed");
        EXPECT_DOUBLE_EQ(hostEvents()[0].t, 0.18);
        return json::parse(hostEvents()[0].json);
    }
    static json caret(const char* text, json x, json y, json w, json h) {
        return {{"selected_text", text}, {"is_editable", true},
                {"position", {{"x", x}, {"y", y}}}, {"size", {{"width", w}, {"height", h}}}};
    }
};

TEST_F(Snapshot, NoSelectedRangeIsTreatedAsASelection) {
    json data = snapshot({{"selection", {3, 0}}, {"errors", {{"AXSelectedTextRange", -25212}}}});
    ASSERT_TRUE(data.is_object());
    EXPECT_EQ(data["bundle_id"], "com.example.editor") << "not the native reading: " << data.dump();
    EXPECT_EQ(lastRequest("AXUIElementCopyParameterizedAttributeValue", "AXStringForRange"), nullptr)
        << "the text above the caret was read without a range";
}

// An empty text area, a text field and a focus error are played in
// requests_snapshot_selection_and_silence; here a role that only begins like a text area's, and
// an application with no focused element at all.
TEST_F(Snapshot, SilentForARoleThatIsNotATextAreaOrNoFocus) {
    EXPECT_EQ(snapshot({{"role", "AXTextAreaX"}, {"selection", {4, 0}}}), nullptr);
    json noFocus = editorWorld({{"text", kTwoLines}});
    noFocus["apps"][0].erase("focused");
    start(noFocus);
    getDataForVelaAssist();
    run(0.5);
    EXPECT_TRUE(hostEvents().empty());
    EXPECT_EQ(macAccessibility->focusedElement, nullptr);
}

TEST_F(Snapshot, NoFollowedApplicationAsksNothing) {
    start(editorWorld({{"text", kTwoLines}}));
    macAccessibility->frontmostApp = nullptr;
    desktop().clearRequests();
    getDataForVelaAssist();
    run(0.5);
    EXPECT_TRUE(hostEvents().empty());
    EXPECT_TRUE(desktop().requests().empty());
}

// Bounds the character box cannot give: null coordinates (no marker read when the box itself is
// unreadable, none when the marker selection is unreadable); a negative box has positive sizes.
// The flat box that falls back to the marker bounds is played in requests_snapshot_bounds_and_error.
TEST_F(Snapshot, BoundsWhenTheCharacterBoxFailsOrIsNegative) {
    const json nulls = caret("line one\nlin", nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(snapshot({{"selection", {12, 0}}, {"errors", {{"AXBoundsForRange", -25204}}}}), nulls);
    EXPECT_EQ(lastRequest("AXUIElementCopyAttributeValue", "AXSelectedTextMarkerRange"), nullptr);
    EXPECT_EQ(snapshot({{"selection", {12, 0}}, {"scripted", {{"AXBoundsForRange", {{"rect", {124, 216, 8, 0}}}}}},
                        {"errors", {{"AXSelectedTextMarkerRange", -25212}}}}),
              nulls);
    EXPECT_EQ(snapshot({{"selection", {12, 0}}, {"scripted", {{"AXBoundsForRange", {{"rect", {-30, 40, -8, -16}}}}}}}),
              caret("line one\nlin", -30, 40, 8, 16));
}

TEST_F(Snapshot, NoTextFromABlockedApplicationOrField) {
    json selected = {{"selection", {9, 4}}, {"attributes", {{"AXIdentifier", "card-number"}}}};
    ASSERT_NE(snapshot(selected), nullptr);
    json doc = {{"text", kTwoLines}};
    doc.update(selected);

    // The field named by the application's rule: nothing is sent, "blocked" is printed.
    start(editorWorld(doc));
    ::start(R"({"com.example.editor": {"name": "AXIdentifier", "value": "card-number"}})");
    follow(42);
    getDataForVelaAssist();
    run(1.0);
    EXPECT_TRUE(hostEvents().empty()) << "the snapshot sent a blocked field's text";
    EXPECT_EQ(stdoutLines().back(), "blocked");
    // The caret form is kept silent too: it carries the text above the caret.
    perform({{"action", "select"}, {"element", "doc"}, {"range", {12, 0}}});
    getDataForVelaAssist();
    run(1.0);
    EXPECT_TRUE(hostEvents().empty()) << "the snapshot sent the text above a blocked field's caret";

    // A blocked application: nothing is sent and nothing of it is read.
    start(editorWorld(doc));
    addBlockedApps(R"(["com.example.editor"])");
    desktop().clearRequests();
    getDataForVelaAssist();
    run(1.0);
    EXPECT_TRUE(hostEvents().empty()) << "the snapshot sent a blocked application's text";
    EXPECT_TRUE(desktop().requests().empty());
}

TEST_F(Snapshot, NothingFromASecretField) {
    // Secret whatever its role: neither the selection nor the text above the caret is sent.
    EXPECT_EQ(snapshot({{"secure", true}, {"selection", {9, 4}}}), nullptr);
    EXPECT_EQ(stdoutLines().back(), "blocked");
    EXPECT_EQ(snapshot({{"secure", true}, {"selection", {12, 0}}}), nullptr);
    EXPECT_EQ(lastRequest("AXUIElementCopyParameterizedAttributeValue", "AXStringForRange"), nullptr);
    EXPECT_EQ(lastRequest("AXUIElementCopyAttributeValue", "AXSelectedText"), nullptr);
}

TEST_F(Snapshot, FocusedElementIsRememberedEvenWhenSilent) {
    snapshot({{"role", "AXTextField"}});
    ASSERT_NE(macAccessibility->focusedElement, nullptr);
    EXPECT_EQ(macAccessibility->focusedElement->describe(), "doc");
}

}  // namespace
}  // namespace korvale::testing
