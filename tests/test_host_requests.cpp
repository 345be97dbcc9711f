// Host requests on the simulated desktop: text replacement through the pasteboard and Command-V
// (what the pasteboard holds afterwards, what was printed, the keystrokes, the other
// application's text, timing on the virtual clock) and the on-demand snapshot (probe ranges,
// both bounds paths, null coordinates, silence, the "error" event, the order of the requests).
#include <set>

#include "TestSupport.h"
#include "platform/sim/SimPasteboard.h"

namespace korvale::testing {
namespace {

constexpr uint64_t kCommand = 0x100000;

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

TEST_F(Replacement, PlainTextIsReplacedInTheOtherApplicationAndRestoredAfter) {
    perform({{"action", "copy_text"}, {"text", "abc"}});
    desktop().clearRequests();
    EXPECT_DOUBLE_EQ(replace("xyz"), 1.2);
    EXPECT_EQ(docText(), "hello xyz");
    EXPECT_EQ(pasteboardItems(), (json{{{"public.utf8-plain-text", "abc"}}}));
    EXPECT_EQ(stdoutLines(), (std::vector<std::string>{"Task ended"})) << "pasteboard text was printed";

    json keys = state()["keystrokes"];
    ASSERT_EQ(keys.size(), 4u);
    const std::vector<std::pair<int, bool>> order{{55, true}, {9, true}, {9, false}, {55, false}};
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(keys[i]["key"], order[i].first) << i;
        EXPECT_EQ(keys[i]["down"], order[i].second) << i;
        EXPECT_EQ(keys[i]["flags"], kCommand) << i;
        EXPECT_DOUBLE_EQ(keys[i]["t"].get<double>(), 0.2) << "keystroke before the activation wait";
    }
    EXPECT_EQ(calls({"pasteboardItems", "activateWithOptions", "clearContents", "setString:forType:",
                     "CGEventPost", "writeObjects:"}),
              (std::vector<std::string>{"pasteboardItems", "activateWithOptions", "clearContents",
                                        "setString:forType:", "CGEventPost", "CGEventPost", "CGEventPost",
                                        "CGEventPost", "clearContents", "writeObjects:"}));
    EXPECT_EQ((*lastRequest("activateWithOptions"))["pid"], 42);
    EXPECT_EQ((*lastRequest("activateWithOptions"))["options"], 0);
    EXPECT_EQ((*lastRequest("setString:forType:"))["text"], "xyz");
    EXPECT_DOUBLE_EQ((*lastRequest("setString:forType:"))["t"].get<double>(), 0.2);
    EXPECT_DOUBLE_EQ((*lastRequest("writeObjects:"))["t"].get<double>(), 1.2);
    EXPECT_TRUE(hostEvents().empty()) << "a replacement reports nothing to the host";
}

TEST_F(Replacement, EveryItemAndTypeComesBackAndNothingIsPrinted) {
    json items = {{{"public.utf8-plain-text", "caption"}, {"public.rtf", "{\\rtf1 caption}"}},
                  {{"public.png", "PNG-BYTES"}},
                  {{"public.file-url", "file:///tmp/a.txt"}}};
    perform({{"action", "set_pasteboard"}, {"items", items}});
    replace("xyz");
    EXPECT_EQ(pasteboardItems(), items);
    EXPECT_EQ(docText(), "hello xyz");
    EXPECT_EQ(stdoutLines(), (std::vector<std::string>{"Task ended"}));
}

TEST_F(Replacement, OnlyAnImageComesBackAsTheImageAlone) {
    perform({{"action", "set_pasteboard"}, {"items", {{{"public.png", "PNG-BYTES"}}}}});
    replace("xyz");
    EXPECT_EQ(pasteboardItems(), (json{{{"public.png", "PNG-BYTES"}}})) << "no empty plain text added";
    EXPECT_EQ(stdoutLines(), (std::vector<std::string>{"Task ended"}));
}

TEST_F(Replacement, EmptyPasteboardStaysEmpty) {
    replace("xyz");
    EXPECT_EQ(pasteboardItems(), json::array());
    EXPECT_EQ(docText(), "hello xyz");
}

TEST_F(Replacement, WhatTheUserCopiesDuringThePasteWaitStays) {
    perform({{"action", "copy_text"}, {"text", "abc"}});
    perform({{"action", "at"}, {"time", 1.1}, {"do", {{"action", "copy_text"}, {"text", "mine"}}}});
    desktop().clearRequests();
    EXPECT_DOUBLE_EQ(replace("xyz"), 1.2);
    EXPECT_EQ(pasteboardItems(), (json{{{"public.utf8-plain-text", "mine"}}}));
    EXPECT_EQ(docText(), "hello xyz");
    EXPECT_EQ(calls({"clearContents", "writeObjects:"}), (std::vector<std::string>{"clearContents"}))
        << "the user's copy was overwritten";
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

TEST_F(Replacement, EmptyTextIsStillPasted) {
    perform({{"action", "copy_text"}, {"text", "abc"}});
    desktop().clearRequests();
    replace("");
    EXPECT_EQ((*lastRequest("setString:forType:"))["text"], "");
    EXPECT_EQ(state()["keystrokes"].size(), 4u);
    EXPECT_EQ(docText(), "hello ") << "the selection was not replaced by the empty text";
    EXPECT_EQ(pasteboardItems(), (json{{{"public.utf8-plain-text", "abc"}}}));
}

TEST_F(Replacement, TwoInARowTheSecondSavesWhatTheFirstRestored) {
    perform({{"action", "copy_text"}, {"text", "abc"}});
    EXPECT_DOUBLE_EQ(replace("xyz"), 1.2);
    EXPECT_DOUBLE_EQ(replace("123"), 1.2);
    EXPECT_DOUBLE_EQ(now(), 2.4);
    EXPECT_EQ(docText(), "hello xyz123");
    EXPECT_EQ(pasteboardItems(), (json{{{"public.utf8-plain-text", "abc"}}}));
    EXPECT_EQ(stdoutLines(), (std::vector<std::string>{"Task ended", "Task ended"}));
    EXPECT_EQ(state()["keystrokes"].size(), 8u);
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
    ASSERT_EQ(hostEvents().size(), 1u);
    EXPECT_EQ(hostEvents()[0].name, "error");
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
    ASSERT_EQ(hostEvents().size(), 1u);
    EXPECT_EQ(hostEvents()[0].name, "error");
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
    std::vector<std::string> lines() { return stdoutLines(); }
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
    EXPECT_EQ(lines(), (std::vector<std::string>{"Task ended"}));
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

TEST_F(ClipboardKept, AStoppedOwnerCostsItsWaitAndNothingIsReplaced) {
    perform({{"action", "copy_text"}, {"text", "abc"}});
    perform({{"action", "pasteboard_owner"}, {"state", "stopped"}});
    EXPECT_DOUBLE_EQ(replace("xyz"), sim::SimPasteboard::kStoppedOwnerWait);
    EXPECT_EQ(lines(), (std::vector<std::string>{kNotSaved})) << "a failure reported as success";
    EXPECT_EQ(docText(), "hello world");
    EXPECT_EQ(state()["keystrokes"].size(), 0u);
    EXPECT_EQ(state()["pasteboard"]["owner"], "stopped") << "the clipboard was taken from its owner";
    perform({{"action", "pasteboard_owner"}, {"state", "running"}});
    EXPECT_EQ(pasteboardItems(), (json{{{"public.utf8-plain-text", "abc"}}}));
}

TEST_F(ClipboardKept, AnOwnerThatStopsWhileTheApplicationComesForwardIsNotClobberedEither) {
    perform({{"action", "copy_text"}, {"text", "abc"}});
    perform({{"action", "at"}, {"time", 0.05}, {"do", {{"action", "copy_text"}, {"text", "new"}}}});
    perform({{"action", "at"}, {"time", 0.1}, {"do", {{"action", "pasteboard_owner"}, {"state", "stopped"}}}});
    EXPECT_DOUBLE_EQ(replace("xyz"), 0.2 + sim::SimPasteboard::kStoppedOwnerWait);
    EXPECT_EQ(lines(), (std::vector<std::string>{kNotSaved}));
    EXPECT_EQ(docText(), "hello world");
    EXPECT_EQ(lastRequest("clearContents"), nullptr);
}

TEST_F(ClipboardKept, AnOwnerGoneLeavesAnEmptyClipboardThatStaysEmpty) {
    perform({{"action", "copy_text"}, {"text", "abc"}});
    perform({{"action", "pasteboard_owner"}, {"state", "gone"}});
    EXPECT_DOUBLE_EQ(replace("xyz"), 1.2);
    EXPECT_EQ(docText(), "hello xyz") << "nothing to lose: the replacement goes on";
    EXPECT_EQ(pasteboardItems(), json::array());
    EXPECT_EQ(lines(), (std::vector<std::string>{"Task ended"}));
}

TEST_F(ClipboardKept, ALatePasteGetsTheTextAndTheClipboardComesBackAfterIt) {
    perform({{"action", "copy_text"}, {"text", "secret"}});
    busyFor(2.0);
    desktop().clearRequests();
    // The paste happens 2.01 s after Command-V (posted at 0.2); the clipboard changes back then.
    EXPECT_DOUBLE_EQ(replace("xyz"), 2.21);
    EXPECT_EQ(docText(), "hello xyz") << "the busy application pasted the user's old clipboard";
    EXPECT_DOUBLE_EQ((*lastRequest("writeObjects:"))["t"].get<double>(), 2.21);
    EXPECT_EQ(pasteboardItems(), (json{{{"public.utf8-plain-text", "secret"}}}));
    EXPECT_EQ(lines(), (std::vector<std::string>{"Task ended"}));
}

TEST_F(ClipboardKept, APromptPasteStillChangesBackAfterTheMinimumWait) {
    perform({{"action", "copy_text"}, {"text", "abc"}});
    desktop().clearRequests();
    EXPECT_DOUBLE_EQ(replace("xyz"), 1.2);
    EXPECT_EQ((*lastRequest("waitForFetch")), (json{{"call", "waitForFetch"}, {"pid", 42}, {"result", "taken"}, {"t", 1.2}}));
    EXPECT_EQ(state()["pasteboard"]["fetched_by"], json::array()) << "the restore is a new write";
}

TEST_F(ClipboardKept, ANonEditableTargetTakesNothingTheClipboardComesBackAtTheLimit) {
    start(editorWorld({{"text", "hello world"}, {"selection", {6, 5}}, {"editable", false}}));
    perform({{"action", "copy_text"}, {"text", "abc"}});
    EXPECT_DOUBLE_EQ(replace("xyz"), 3.2);
    EXPECT_EQ(docText(), "hello world");
    EXPECT_EQ(pasteboardItems(), (json{{{"public.utf8-plain-text", "abc"}}}));
    EXPECT_EQ(lines(), (std::vector<std::string>{kNotTaken})) << "a paste that did not happen reported as done";
}

TEST_F(ClipboardKept, APasteThatNeverLandsIsSaidSo) {
    // The followed application has no focused element: Command-V goes nowhere.
    json world = editorWorld({{"text", "hello world"}});
    world["apps"][0].erase("focused");
    start(world);
    perform({{"action", "copy_text"}, {"text", "abc"}});
    EXPECT_DOUBLE_EQ(replace("xyz"), 3.2);
    EXPECT_EQ(pasteboardItems(), (json{{{"public.utf8-plain-text", "abc"}}}));
    EXPECT_EQ(lines(), (std::vector<std::string>{kNotTaken}));
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
    EXPECT_EQ(lines(), (std::vector<std::string>{"Task ended"}));
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
    EXPECT_EQ(lines(), (std::vector<std::string>{kNotTaken}));
}

TEST_F(ClipboardKept, APasteLaterThanTheLimitGetsTheUsersClipboard) {
    // Bounded: after 3 s the clipboard changes back whether or not the paste came.
    perform({{"action", "copy_text"}, {"text", "abc"}});
    busyFor(5.0);
    EXPECT_DOUBLE_EQ(replace("xyz"), 3.2);
    EXPECT_EQ(lines(), (std::vector<std::string>{kNotTaken}));
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
    json probe() {
        const json* r = lastRequest("AXUIElementCopyParameterizedAttributeValue", "AXBoundsForRange");
        return r ? (*r)["parameter"] : json(nullptr);
    }
    static json caret(const char* text, json x, json y, json w, json h) {
        return {{"selected_text", text}, {"is_editable", true},
                {"position", {{"x", x}, {"y", y}}}, {"size", {{"width", w}, {"height", h}}}};
    }
};

TEST_F(Snapshot, CaretProbesTheCharacterAfterIt) {
    EXPECT_EQ(snapshot({{"selection", {12, 0}}}), caret("line one\nlin", 124, 216, 8, 16));
    EXPECT_EQ(probe(), (json{{"range", {12, 1}}}));
}

TEST_F(Snapshot, CaretAtTheStartProbesTheFirstCharacter) {
    EXPECT_EQ(snapshot({{"selection", {0, 0}}}), caret("", 100, 200, 8, 16));
    EXPECT_EQ(probe(), (json{{"range", {0, 1}}}));
}

TEST_F(Snapshot, CaretAfterTheLastCharacterProbesTheLastOne) {
    EXPECT_EQ(snapshot({{"selection", {17, 0}}}), caret(kTwoLines, 156, 216, 8, 16));
    EXPECT_EQ(probe(), (json{{"range", {16, 1}}}));
}

TEST_F(Snapshot, SelectionIsTheNativeTextFieldReading) {
    json data = snapshot({{"selection", {9, 4}}});
    EXPECT_EQ(data, (json{{"selected_text", "line"}, {"is_editable", true},
                          {"position", {{"x", 100}, {"y", 216}}}, {"size", {{"width", 32}, {"height", 16}}},
                          {"bundle_id", "com.example.editor"}, {"name", "Editor"}}));
    EXPECT_EQ(lastRequest("AXUIElementCopyParameterizedAttributeValue", "AXStringForRange"), nullptr)
        << "the text above the caret was read for a selection";
}

TEST_F(Snapshot, NoSelectedRangeIsTreatedAsASelection) {
    json data = snapshot({{"selection", {3, 0}}, {"errors", {{"AXSelectedTextRange", -25212}}}});
    ASSERT_TRUE(data.is_object());
    EXPECT_EQ(data["bundle_id"], "com.example.editor") << "not the native reading: " << data.dump();
    EXPECT_EQ(lastRequest("AXUIElementCopyParameterizedAttributeValue", "AXStringForRange"), nullptr)
        << "the text above the caret was read without a range";
}

TEST_F(Snapshot, SilentForAnEmptyTextAreaATextFieldOrNoFocus) {
    EXPECT_EQ(snapshot({{"text", ""}, {"selection", {0, 0}}}), nullptr);
    EXPECT_EQ(snapshot({{"role", "AXTextField"}, {"selection", {0, 4}}}), nullptr);
    EXPECT_EQ(snapshot({{"role", "AXTextField"}, {"selection", {4, 0}}}), nullptr);
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

TEST_F(Snapshot, FlatCharacterBoundsGiveWayToTheMarkerBounds) {
    json flat = {{"selection", {12, 0}}, {"scripted", {{"AXBoundsForRange", {{"rect", {124, 216, 8, 0}}}}}}};
    EXPECT_EQ(snapshot(flat), caret("line one\nlin", 124, 216, 0, 16));
    flat["errors"] = {{"AXBoundsForTextMarkerRange", -25204}};
    EXPECT_EQ(snapshot(flat), caret("line one\nlin", nullptr, nullptr, nullptr, nullptr));
    flat.erase("errors");
    flat["errors"] = {{"AXSelectedTextMarkerRange", -25212}};
    EXPECT_EQ(snapshot(flat), caret("line one\nlin", nullptr, nullptr, nullptr, nullptr));
}

TEST_F(Snapshot, UnreadableCharacterBoundsGiveNullsWithoutMarkerReads) {
    EXPECT_EQ(snapshot({{"selection", {12, 0}}, {"errors", {{"AXBoundsForRange", -25204}}}}),
              caret("line one\nlin", nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(lastRequest("AXUIElementCopyAttributeValue", "AXSelectedTextMarkerRange"), nullptr);
}

TEST_F(Snapshot, NegativeBoxesReportPositiveSizes) {
    json box = {{"selection", {12, 0}}, {"scripted", {{"AXBoundsForRange", {{"rect", {-30, 40, -8, -16}}}}}}};
    EXPECT_EQ(snapshot(box), caret("line one\nlin", -30, 40, 8, 16));
}

TEST_F(Snapshot, UnreadableTextAboveTheCaretSendsErrorThenAnEmptySnapshot) {
    json doc = {{"selection", {12, 0}}, {"errors", {{"AXStringForRange", -25204}}}};
    start(editorWorld({{"text", kTwoLines}, {"selection", {12, 0}}, {"errors", doc["errors"]}}));
    std::vector<std::pair<std::string, json>> emitted;
    auto deliver = macAccessibility->callback;
    macAccessibility->callback = [&](const std::string& name, const EventData& data) {
        emitted.emplace_back(name, data);
        deliver(name, data);
    };
    getDataForVelaAssist();
    ASSERT_EQ(emitted.size(), 2u);
    EXPECT_EQ(emitted[0], (std::pair<std::string, json>{"error", {{"message", "something is wrong"}}}));
    EXPECT_EQ(emitted[1], (std::pair<std::string, json>{"alt_enter_pressed", json::object()}));
    run(0.5);
    ASSERT_EQ(hostEvents().size(), 1u) << "the error event should have been replaced before delivery";
    EXPECT_EQ(hostEvents()[0].name, "alt_enter_pressed");
    EXPECT_EQ(hostEvents()[0].json, "{}");
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

TEST_F(Snapshot, RequestsComeInTheirOrder) {
    json flat = {{"selection", {12, 0}}, {"scripted", {{"AXBoundsForRange", {{"rect", {124, 216, 8, 0}}}}}}};
    snapshot(flat);
    EXPECT_EQ(calls(), (std::vector<std::string>{
                           "AXUIElementCreateApplication",
                           "AXUIElementCopyAttributeValue AXFocusedUIElement",
                           "AXUIElementCopyAttributeValue AXRole",
                           "AXUIElementCopyAttributeValue AXSubrole",
                           "AXUIElementCopyAttributeValue AXNumberOfCharacters",
                           "AXUIElementCopyAttributeValue AXSelectedTextRange",
                           "AXUIElementCopyParameterizedAttributeValue AXBoundsForRange",
                           "AXUIElementCopyAttributeValue AXSelectedTextRange",
                           "AXUIElementCopyParameterizedAttributeValue AXStringForRange",
                           "AXUIElementCopyAttributeValue AXSelectedTextMarkerRange",
                           "AXUIElementCopyParameterizedAttributeValue AXBoundsForTextMarkerRange",
                       }));
    EXPECT_EQ(desktop().requests()[0]["pid"], 42);
    EXPECT_EQ((*lastRequest("AXUIElementCopyParameterizedAttributeValue", "AXStringForRange"))["parameter"],
              (json{{"range", {0, 12}}}));
}

TEST_F(Snapshot, FocusedElementIsRememberedEvenWhenSilent) {
    snapshot({{"role", "AXTextField"}});
    ASSERT_NE(macAccessibility->focusedElement, nullptr);
    EXPECT_EQ(macAccessibility->focusedElement->describe(), "doc");
}

}  // namespace
}  // namespace korvale::testing
