// The simulated accessibility service as the library sees it: answers computed from the text
// model and the glyph-grid layout in UTF-16 offsets, scripted answers, application states, the
// request log's entries, the user actions and the methods other parts of the desktop call.
#include "TestSupport.h"
#include "platform/sim/SimAccessibility.h"

namespace korvale::testing {
namespace {

using namespace platform;

class SimAx : public DesktopTest {
protected:
    void SetUp() override {
        DesktopTest::SetUp();
        loadWorld({{"apps", json::array({{
            {"pid", 200}, {"name", "Editor"}, {"focused", "field"},
            {"elements", json::array({{
                {"id", "field"}, {"role", "AXTextField"}, {"editable", true},
                // "é" is one UTF-16 unit, the emoji two.
                {"text", "caf\xC3\xA9 \xF0\x9F\x98\x80 ok\nline two"}, {"selection", {5, 2}},
                {"frame", {10, 20, 300, 40}}}})}}})}});
        ax = &platform::current().accessibility;
        ObjectRef v;
        ax->copyAttributeValue(ax->createApplication(200), "AXFocusedUIElement", &v);
        field = std::static_pointer_cast<const UIElement>(v);
        desktop().clearRequests();
    }
    json read(const std::string& attr) {
        ObjectRef v;
        AXError rc = ax->copyAttributeValue(field, attr, &v);
        return {{"result", rc}, {"value", desktop().requests().back().value("value", json(nullptr))}};
    }
    json readParam(const std::string& attr, const ObjectRef& p) {
        ObjectRef v;
        AXError rc = ax->copyParameterizedAttributeValue(field, attr, p, &v);
        return {{"result", rc}, {"value", desktop().requests().back().value("value", json(nullptr))}};
    }
    sim::SimAccessibility& simAx() { return desktop().accessibility(); }
    AccessibilityService* ax = nullptr;
    ElementRef field;
};

// The attributes' UTF-16 counts, kinds and error codes are the conformance cases, run on the
// simulated desktop too (test_conformance_sim.cpp); here what they do not cover.
TEST_F(SimAx, MarkersAndHalfSurrogatesCountUtf16Units) {
    EXPECT_EQ(read("AXSelectedTextMarkerRange"), (json{{"result", 0}, {"value", {{"marker_range", {5, 7}}}}}));
    // Half a surrogate pair comes back as the replacement character, as the platform converts it.
    EXPECT_EQ(readParam("AXStringForRange", makeRange({5, 1})), (json{{"result", 0}, {"value", "\xEF\xBF\xBD"}}));
}

TEST_F(SimAx, BoundsFollowTheGlyphGrid) {
    // Cells of 8x16 from (10,20): the selection (5,2) covers columns 5-6 of line 0.
    EXPECT_EQ(readParam("AXBoundsForRange", makeRange({5, 2}))["value"], (json{{"rect", {50, 20, 16, 16}}}));
    // A caret is a zero-width line-high rectangle.
    EXPECT_EQ(readParam("AXBoundsForRange", makeRange({10, 0}))["value"], (json{{"rect", {90, 20, 0, 16}}}));
    EXPECT_EQ(readParam("AXBoundsForRange", makeRange({11, 0}))["value"], (json{{"rect", {10, 36, 0, 16}}}));
    // Across the line break: the union of both lines' cells.
    EXPECT_EQ(readParam("AXBoundsForRange", makeRange({8, 6}))["value"], (json{{"rect", {10, 20, 80, 32}}}));
    // A range ending with the line break stays on its line (a caret probe at the end of a line).
    EXPECT_EQ(readParam("AXBoundsForRange", makeRange({10, 1}))["value"], (json{{"rect", {90, 20, 0, 16}}}));
    EXPECT_EQ(readParam("AXBoundsForRange", makeRange({9, 2}))["value"], (json{{"rect", {82, 20, 8, 16}}}));
    ObjectRef markers;
    ax->copyAttributeValue(field, "AXSelectedTextMarkerRange", &markers);
    EXPECT_EQ(readParam("AXBoundsForTextMarkerRange", markers)["value"], (json{{"rect", {50, 20, 16, 16}}}));
    EXPECT_EQ(readParam("AXStringForTextMarkerRange", markers)["value"], "\xF0\x9F\x98\x80");
    // A marker range of another element is refused.
    auto foreign = AXTextMarkerRangeCreate(std::make_shared<TextMarker>("1|0|x"), std::make_shared<TextMarker>("1|1|x"));
    EXPECT_EQ(readParam("AXBoundsForTextMarkerRange", foreign)["result"], kAXErrorIllegalArgument);
}

TEST_F(SimAx, ScriptedAnswersOverrideTheModelUntilCleared) {
    perform({{"action", "script"}, {"element", "field"}, {"attribute", "AXBoundsForRange"},
             {"answer", {{"rect", {-40, 20, 16, 0}}}}});
    perform({{"action", "script"}, {"element", "field"}, {"attribute", "AXSelectedText"}, {"answer", nullptr}});
    EXPECT_EQ(readParam("AXBoundsForRange", makeRange({5, 2}))["value"], (json{{"rect", {-40, 20, 16, 0}}}));
    EXPECT_EQ(read("AXSelectedText")["result"], kAXErrorNoValue);
    perform({{"action", "script"}, {"element", "field"}, {"attribute", "AXSelectedText"}});
    EXPECT_EQ(read("AXSelectedText")["value"], "\xF0\x9F\x98\x80");
}

TEST_F(SimAx, RequestLogNamesCallArgumentsAndAnswer) {
    ObjectRef v;
    ax->copyAttributeValue(field, "AXRole", &v);
    ax->copyParameterizedAttributeValue(field, "AXStringForRange", makeRange({0, 3}), &v);
    bool settable = false;
    ax->isAttributeSettable(field, "AXValue", &settable);
    const json& log = desktop().requests();
    ASSERT_EQ(log.size(), 3u);
    json first = log[0];
    first.erase("t");
    EXPECT_EQ(first, (json{{"call", "AXUIElementCopyAttributeValue"}, {"pid", 200}, {"element", "field"},
                           {"attribute", "AXRole"}, {"result", 0}, {"value", "AXTextField"}}));
    EXPECT_EQ(log[1]["parameter"], (json{{"range", {0, 3}}}));
    EXPECT_EQ(log[1]["value"], "caf");
    EXPECT_EQ(log[2]["settable"], true);
}

TEST_F(SimAx, ApplicationElementDefaultsAndStates) {
    auto app = ax->createApplication(200);
    ObjectRef v;
    EXPECT_EQ(ax->copyAttributeValue(app, "AXRole", &v), kAXErrorSuccess);
    EXPECT_EQ(desktop().requests().back()["value"], "AXApplication");
    EXPECT_EQ(ax->copyAttributeValue(ax->createApplication(4242), "AXRole", &v), kAXErrorInvalidUIElement);
    perform({{"action", "app_ax_state"}, {"pid", 200}, {"state", "hung"}});
    EXPECT_EQ(ax->copyAttributeValue(app, "AXRole", &v), kAXErrorCannotComplete);
    EXPECT_EQ(v, nullptr);
    perform({{"action", "app_ax_state"}, {"pid", 200}, {"state", "ok"}});
    loadWorld({{"apps", {{{"pid", 5}, {"app_attributes", {{"AXRole", nullptr}}}}}}});
    EXPECT_EQ(ax->copyAttributeValue(ax->createApplication(5), "AXRole", &v), kAXErrorNoValue);
    EXPECT_EQ(ax->copyAttributeValue(ax->createApplication(5), "AXFocusedUIElement", &v), kAXErrorNoValue);
}

TEST_F(SimAx, WritesChangeTheModelAndPostLikeTheApplication) {
    EXPECT_EQ(ax->setAttributeValue(field, "AXSelectedTextRange", makeRange({0, 100})), kAXErrorSuccess);
    EXPECT_EQ(desktop().state()["elements"]["field"]["selection"], (json{0, 19})) << "clamped into the text";
    EXPECT_EQ(ax->setAttributeValue(field, "AXValue", makeInteger(3)), kAXErrorIllegalArgument);
    EXPECT_EQ(ax->setAttributeValue(field, "AXRole", makeString("AXButton")), kAXErrorAttributeUnsupported);
    EXPECT_EQ(ax->setAttributeValue(field, "AXValue", makeString("new")), kAXErrorSuccess);
    EXPECT_EQ(simAx().textOf("field"), "new");
    EXPECT_EQ(desktop().state()["elements"]["field"]["selection"], (json{0, 3}));
}

void count(const AXObserverRef&, const ElementRef&, const std::string& n, void* refcon) {
    static_cast<std::vector<std::string>*>(refcon)->push_back(n);
}

TEST_F(SimAx, PasteReplacesTheSelectionAndPostsValueThenSelection) {
    std::vector<std::string> heard;
    AXObserverRef o;
    ASSERT_EQ(ax->observerCreate(200, &count, &o), kAXErrorSuccess);
    auto app = ax->createApplication(200);
    ASSERT_EQ(ax->observerAddNotification(o, app, "AXValueChanged", &heard), kAXErrorSuccess);
    ASSERT_EQ(ax->observerAddNotification(o, app, "AXSelectedTextChanged", &heard), kAXErrorSuccess);
    EXPECT_EQ(ax->observerAddNotification(o, app, "AXValueChanged", &heard), kAXErrorNotificationAlreadyRegistered);
    desktop().platform().mainLoop.addSource(ax->observerGetRunLoopSource(o), kCFRunLoopDefaultMode);
    EXPECT_TRUE(simAx().pasteIntoFocused(200, "X"));
    EXPECT_EQ(simAx().textOf("field"), "caf\xC3\xA9 X ok\nline two");
    EXPECT_EQ(desktop().state()["elements"]["field"]["selection"], (json{6, 0})) << "caret after the paste";
    run(0);
    EXPECT_EQ(heard, (std::vector<std::string>{"AXValueChanged", "AXSelectedTextChanged"}));
    EXPECT_EQ(desktop().state()["registrations"], 2);
    // A non-editable focus does not paste.
    json readOnly = {{"id", "ro"}, {"text", "abc"}};
    loadWorld({{"apps", json::array({{{"pid", 9}, {"focused", "ro"}, {"elements", json::array({readOnly})}}})}});
    EXPECT_FALSE(simAx().pasteIntoFocused(9, "X"));
    EXPECT_EQ(simAx().textOf("ro"), "abc");
}

TEST_F(SimAx, QuitApplicationAnswersInvalidAndItsObserversStop) {
    std::vector<std::string> heard;
    AXObserverRef o;
    ax->observerCreate(200, &count, &o);
    ax->observerAddNotification(o, field, "AXSelectedTextChanged", &heard);
    desktop().platform().mainLoop.addSource(ax->observerGetRunLoopSource(o), kCFRunLoopDefaultMode);
    perform({{"action", "select"}, {"element", "field"}, {"range", {0, 1}}});
    simAx().forgetApplication(200);
    run(0);
    EXPECT_TRUE(heard.empty()) << "a notification reached an observer of a quit application";
    ObjectRef v;
    EXPECT_EQ(ax->copyAttributeValue(field, "AXRole", &v), kAXErrorInvalidUIElement);
    AXObserverRef again;
    EXPECT_EQ(ax->observerCreate(200, &count, &again), kAXErrorInvalidUIElement);
    EXPECT_EQ(again, nullptr);
}

TEST_F(SimAx, FocusPostsOnlyOnARealChange) {
    std::vector<std::string> heard;
    AXObserverRef o;
    ax->observerCreate(200, &count, &o);
    ax->observerAddNotification(o, ax->createApplication(200), "AXFocusedUIElementChanged", &heard);
    desktop().platform().mainLoop.addSource(ax->observerGetRunLoopSource(o), kCFRunLoopDefaultMode);
    perform({{"action", "focus"}, {"element", "field"}});
    run(0);
    EXPECT_TRUE(heard.empty()) << "the field had the focus already";
    perform({{"action", "focus"}, {"element", "field"}, {"force", true}});
    run(0);
    EXPECT_EQ(heard.size(), 1u);
}

TEST_F(SimAx, BadWorldsAreRefusedWithAReason) {
    auto error = [&](json world) {
        world["echo_stdout"] = false;
        return desktop().loadWorld(world);
    };
    EXPECT_NE(error({{"apps", {{{"pid", 1}, {"elements", {{{"id", "a"}}, {{"id", "a"}}}}}}}}).find("used twice"), std::string::npos);
    EXPECT_NE(error({{"apps", {{{"pid", 1}, {"elements", {{{"id", "a"}, {"attributes", {{"X", {{"element", "zz"}}}}}}}}}}}}).find("zz"), std::string::npos);
    EXPECT_NE(error({{"apps", {{{"pid", 1}, {"elements", {{{"id", "a"}, {"text", "ab"}, {"selection", {1, 5}}}}}}}}}).find("selection"), std::string::npos);
    EXPECT_NE(error({{"apps", {{{"pid", 1}, {"elements", {{{"id", "a"}, {"attributes", {{"X", {{"colour", 1}}}}}}}}}}}}).find("unknown typed value"), std::string::npos);
    EXPECT_EQ(error({{"apps", {{{"pid", 1}, {"elements", {{{"id", "a"}}}}}}}}), "");
}

}  // namespace
}  // namespace korvale::testing
