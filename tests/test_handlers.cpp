// The monitor's handlers entered the way the accessibility service enters them — through the C
// entry points with the monitor as context — and the native text-field reading called directly:
// what the host receives, what the monitor keeps, and the cases no user action reaches (a call
// without context, a followed application without a bundle identifier, text above the caret).
#include "TestSupport.h"
#include "utils.h"

namespace korvale::testing {
namespace {

json editorWorld() {
    return {{"apps", json::array({
        {{"pid", 101}, {"bundle_id", "com.example.editor"}, {"name", "Editor"}, {"focused", "doc"},
         {"elements", json::array({
             {{"id", "doc"}, {"role", "AXTextArea"}, {"editable", true}, {"frame", {10, 40, 600, 400}},
              {"text", "Caf\xC3\xA9 menu\nSoup of the day\nBread and butter, a long line of text here"},
              {"selection", {57, 0}},
              {"attributes", {{"AXDescription", "Cafe\xCC\x81"}}}},
             {{"id", "ok"}, {"role", "AXButton"}, {"frame", {10, 500, 80, 20}}}})}},
        {{"pid", 501}, {"bundle_id", nullptr}, {"name", "Tool"}, {"focused", "field"},
         {"elements", json::array({
             {{"id", "field"}, {"role", "AXTextField"}, {"editable", true}, {"frame", {0, 0, 200, 20}},
              {"text", "tool text"}, {"selection", {0, 4}}}})}}})}};
}

class Handlers : public DesktopTest {
protected:
    void SetUp() override {
        DesktopTest::SetUp();
        loadWorld(editorWorld());
        initMacAccessibility(&recordingCallback);
        start("{}");
        monitor = macAccessibility;
        doc = focusedOf(101);
        ASSERT_TRUE(doc);
    }
    ElementRef focusedOf(int pid) {
        return getAttributeValue<ElementRef>(getAppRef(pid), "AXFocusedUIElement").value_or(nullptr);
    }
    // Enters a handler as the accessibility service does.
    void enter(AXObserverCallback entry, const ElementRef& element, void* refcon) {
        ASSERT_NE(entry, nullptr);
        entry(nullptr, element, "AXSelectedTextChanged", refcon);
    }
    // The user brings `pid` to the front; the switch is delivered and forgotten.
    void bringToFront(int pid) {
        perform({{"action", "activate"}, {"pid", pid}});
        run(0.5);
        hostEvents().clear();
    }
    std::shared_ptr<MacAccessibility> monitor;
    ElementRef doc;
};

TEST_F(Handlers, EntryPointsWithoutContextDoNothing) {
    const std::size_t requests = desktop().requests().size();
    for (auto entry : {monitor->uiFocusedChange(), monitor->uiPositionChange(), monitor->selectedTextChange()})
        enter(entry, doc, nullptr);
    run(1.0);
    EXPECT_TRUE(hostEvents().empty());
    EXPECT_EQ(desktop().requests().size(), requests) << "a call without context read the element";
    EXPECT_EQ(monitor->focusedElement, nullptr);
}

TEST_F(Handlers, FocusWithNoFollowedApplicationSendsAnEmptyDictionary) {
    enter(monitor->uiFocusedChange(), doc, monitor.get());
    EXPECT_TRUE(platform::CFEqual(monitor->focusedElement, doc));
    run(0.2);
    ASSERT_EQ(hostEventNames(), std::vector<std::string>{"focused_changed"});
    EXPECT_EQ(hostEvents()[0].json, "{}");
}

TEST_F(Handlers, SelectionInABlockedApplicationStillMovesTheCurrentElement) {
    bringToFront(101);
    addBlockedApps(R"(["com.example.editor"])");
    enter(monitor->selectedTextChange(), doc, monitor.get());
    EXPECT_TRUE(platform::CFEqual(monitor->focusedElement, doc));
    run(1.0);
    EXPECT_TRUE(hostEvents().empty());
}

TEST_F(Handlers, ApplicationWithoutBundleIdentifierHasNoFieldRule) {
    // Even a rule keyed by the empty string does not reach it: rules are keyed by identifiers.
    start(R"({"": {"name": "AXRole", "value": "AXTextField"}})");
    bringToFront(501);
    ASSERT_EQ(monitor->processID.value_or(0), 501);
    ElementRef field = focusedOf(501);
    enter(monitor->selectedTextChange(), field, monitor.get());
    run(0.5);
    ASSERT_EQ(hostEventNames(), std::vector<std::string>{"text_select"});
    EXPECT_EQ(json::parse(hostEvents()[0].json)["selected_text"], "tool");
    EXPECT_EQ(json::parse(hostEvents()[0].json)["bundle_id"], nullptr);
}

TEST_F(Handlers, NativeSelectionWithoutCurrentElementIsTheIdentifiedFailure) {
    EXPECT_EQ(monitor->nativeTextFieldSelectedText(), (json{{"message", "something is wrong com"}}));
    bringToFront(101);
    EXPECT_EQ(monitor->nativeTextFieldSelectedText(),
              (json{{"message", "something is wrong com"}, {"bundle_id", "com.example.editor"}, {"name", "Editor"}}));
    EXPECT_EQ(monitor->selectedText, "");
}

TEST_F(Handlers, NativeSelectionRecordsTheSelectedText) {
    bringToFront(101);
    perform({{"action", "select"}, {"element", "doc"}, {"range", {10, 4}}});
    monitor->focusedElement = doc;
    json data = monitor->nativeTextFieldSelectedText();
    EXPECT_EQ(data["selected_text"], "Soup");
    EXPECT_EQ(monitor->selectedText, "Soup");
    // An unreadable selected text is sent as null and leaves an empty record.
    perform({{"action", "inject_error"}, {"element", "doc"}, {"attribute", "AXSelectedText"}, {"code", -25204}});
    data = monitor->nativeTextFieldSelectedText();
    EXPECT_EQ(data["selected_text"], nullptr);
    EXPECT_EQ(data["position"], (json{{"x", 10.0}, {"y", 56.0}}));
    EXPECT_EQ(monitor->selectedText, "");
}

TEST_F(Handlers, TextAboveTheCaretRunsFromTheStartOfTheText) {
    // The caret at 57 (UTF-16 units): everything before it, line breaks included.
    EXPECT_EQ(monitor->getTextAboveInsertionPoint(doc),
              "Caf\xC3\xA9 menu\nSoup of the day\nBread and butter, a long line o");
    perform({{"action", "select"}, {"element", "doc"}, {"range", {0, 3}}});
    EXPECT_EQ(monitor->getTextAboveInsertionPoint(doc), "");
    perform({{"action", "select"}, {"element", "doc"}, {"range", {10, 5}}});
    EXPECT_EQ(monitor->getTextAboveInsertionPoint(doc), "Caf\xC3\xA9 menu\n");
    const json& last = desktop().requests().back();
    EXPECT_EQ(last["attribute"], "AXStringForRange");
    EXPECT_EQ(last["parameter"], (json{{"range", {0, 10}}}));
    // An element that cannot answer gives nothing.
    perform({{"action", "focus"}, {"element", "ok"}});
    EXPECT_FALSE(monitor->getTextAboveInsertionPoint(focusedOf(101)).has_value());
}

// A window move over a blocked application, and one that is reported, are played in
// tracking_per_application.json and tracking_ui_reized.json.
TEST_F(Handlers, FieldRuleComparesCanonicallyAndHoldsForTheGeometryHandler) {
    // The attribute holds "Café" decomposed; the rule names it precomposed: a selection prints
    // "blocked" and sends nothing, and so does a window move.
    start(R"({"com.example.editor": {"name": "AXDescription", "value": "Caf\u00e9"}})");
    bringToFront(101);
    perform({{"action", "select"}, {"element", "doc"}, {"range", {0, 4}}});
    run(1.0);
    ASSERT_TRUE(hostEvents().empty());
    ASSERT_EQ(stdoutLines().back(), "blocked");
    const std::size_t lines = stdoutLines().size();
    enter(monitor->uiPositionChange(), doc, monitor.get());
    run(1.0);
    EXPECT_TRUE(hostEvents().empty()) << "a window move sent a blocked field's selection";
    ASSERT_EQ(stdoutLines().size(), lines + 1);
    EXPECT_EQ(stdoutLines().back(), "blocked");
}

}  // namespace
}  // namespace korvale::testing
