// The accessibility access layer against the simulated desktop: conversion of every value kind
// into every requested type, the handling of error codes and the lines it prints, observer
// registration and delivery, the bounds of a marker selection in both orders, the tree-enabling
// walk's requests, and the delay on the virtual clock (the keystrokes of a paste are checked in
// requests_replace_plain_text.json).
#include <set>

#include "TestSupport.h"
#include "utils.h"

namespace korvale::testing {
namespace {

using platform::CFRange;
using platform::CGPoint;
using platform::CGRect;

json notesWorld() {
    return {{"apps", json::array({{
        {"pid", 101}, {"name", "Notes"}, {"focused", "doc"},
        {"elements", json::array({{
            {"id", "win"}, {"role", "AXWindow"}, {"frame", {100, 100, 400, 300}},
            {"children", json::array({
                {{"id", "doc"}, {"role", "AXTextArea"}, {"editable", true},
                 {"text", "hello world\nsecond line"}, {"selection", {6, 5}}, {"frame", {110, 120, 380, 200}},
                 {"attributes", {
                     {"KStr", "text"}, {"KNum", {{"number", 42}}}, {"KIntReal", {{"real", 7.0}}},
                     {"KReal", {{"real", 1.5}}}, {"KBool", {{"bool", true}}}, {"KArr", {{"array", {"a"}}}},
                     {"KPoint", {{"point", {1, 2}}}}, {"KSize", {{"size", {3, 4}}}},
                     {"KRect", {{"rect", {1, 2, 3, 4}}}}, {"KRange", {{"range", {5, 0}}}},
                     {"KElem", {{"element", "win"}}}, {"KMarkers", {{"marker_range", {1, 3}}}},
                     {"KDate", {{"date", "2024-05-01"}}}, {"KUrl", {{"url", "https://example.com"}}},
                     {"KErrBox", {{"error_box", -25200}}}, {"KNone", {{"none", true}}}}}},
                {{"id", "label"}, {"role", "AXStaticText"}, {"text", "static words"},
                 {"selection", {2, 3}}, {"frame", {110, 330, 200, 16}}},
                {{"id", "button"}, {"role", "AXButton"}}})}}})}}})}};
}

class AccessLayer : public DesktopTest {
protected:
    void SetUp() override {
        DesktopTest::SetUp();
        loadWorld(notesWorld());
        app = getAppRef(101);
        doc = getAttributeValue<ElementRef>(app, "AXFocusedUIElement").value_or(nullptr);
        ASSERT_TRUE(doc) << "the focused element could not be read";
        desktop().clearRequests();
    }
    ElementRef element(const std::string& id) {
        auto children = [&](const ElementRef& e) {
            ObjectRef v;
            platform::current().accessibility.copyAttributeValue(e, "AXChildren", &v);
            return std::static_pointer_cast<const platform::ArrayObject>(v);
        };
        std::vector<ElementRef> stack{app};
        while (!stack.empty()) {
            auto e = stack.back();
            stack.pop_back();
            if (e->describe() == id) return e;
            if (auto c = children(e))
                for (const auto& item : c->values) stack.push_back(std::static_pointer_cast<const platform::UIElement>(item));
        }
        return nullptr;
    }
    std::vector<std::string> calls(const std::string& name) {
        std::vector<std::string> out;
        for (const auto& r : desktop().requests())
            if (r["call"] == name) out.push_back(r.value("element", "") + (r.contains("attribute") ? ":" + r["attribute"].get<std::string>() : ""));
        return out;
    }
    ElementRef app, doc;
};

// Which of the seven requested types yield a value for one attribute.
std::set<std::string> convertible(const ElementRef& e, const std::string& attr) {
    std::set<std::string> got;
    if (getAttributeValue<std::string>(e, attr)) got.insert("string");
    if (getAttributeValue<int64_t>(e, attr)) got.insert("int");
    if (getAttributeValue<CGPoint>(e, attr)) got.insert("point");
    if (getAttributeValue<CGRect>(e, attr)) got.insert("rect");
    if (getAttributeValue<CFRange>(e, attr)) got.insert("range");
    if (getAttributeValue<ElementRef>(e, attr)) got.insert("element");
    if (getAttributeValue<TextMarkerRangeRef>(e, attr)) got.insert("markers");
    return got;
}

std::string show(const std::set<std::string>& s) {
    std::string out = "{";
    for (const auto& x : s) out += " " + x;
    return out + " }";
}

TEST_F(AccessLayer, EachValueKindConvertsOnlyIntoItsOwnType) {
    const std::map<std::string, std::set<std::string>> table = {
        {"KStr", {"string"}},  {"KNum", {"int"}},       {"KIntReal", {"int"}}, {"KReal", {}},
        {"KBool", {}},         {"KArr", {}},            {"KPoint", {"point"}}, {"KSize", {}},
        {"KRect", {"rect"}},   {"KRange", {"range"}},   {"KElem", {"element"}}, {"KMarkers", {"markers"}},
        {"KDate", {}},         {"KUrl", {}},            {"KErrBox", {}},       {"KNone", {}},
        {"AXChildren", {}},    {"AXSelectedTextRange", {"range"}}, {"AXNumberOfCharacters", {"int"}}};
    for (const auto& [attr, expected] : table) {
        auto got = convertible(doc, attr);
        EXPECT_EQ(got, expected) << attr << ": expected " << show(expected) << ", got " << show(got);
    }
    EXPECT_TRUE(stdoutLines().empty()) << "conversion must be silent; first line: " << stdoutLines().front();
}

TEST_F(AccessLayer, ConvertedValuesAreTheStoredOnes) {
    EXPECT_EQ(getAttributeValue<std::string>(doc, "KStr"), "text");
    EXPECT_EQ(getAttributeValue<int64_t>(doc, "KNum"), 42);
    EXPECT_EQ(getAttributeValue<int64_t>(doc, "KIntReal"), 7);
    EXPECT_EQ(getAttributeValue<CGPoint>(doc, "KPoint"), (CGPoint{1, 2}));
    EXPECT_EQ(getAttributeValue<CGRect>(doc, "KRect"), (CGRect{{1, 2}, {3, 4}}));
    EXPECT_EQ(getAttributeValue<CFRange>(doc, "KRange"), (CFRange{5, 0})) << "a length of 0 survives";
    auto win = getAttributeValue<ElementRef>(doc, "KElem");
    ASSERT_TRUE(win && *win);
    EXPECT_TRUE(platform::CFEqual(*win, element("win"))) << "got " << (*win)->describe();
    EXPECT_EQ(getAttributeValue<std::string>(doc, "AXSelectedText"), "world");
    // Numbers that are not integers, or do not fit, are no integers.
    EXPECT_EQ(axValueToNative<int64_t>(platform::makeReal(1e30)), std::nullopt);
    EXPECT_EQ(axValueToNative<int64_t>(platform::makeReal(-3.0)), -3);
}

TEST_F(AccessLayer, ErrorCodesPrintTheirFixedLines) {
    for (int code : {-25212, -25208, -25205}) {
        perform({{"action", "inject_error"}, {"element", "doc"}, {"attribute", "AXRole"}, {"code", code}});
        EXPECT_EQ(getAttributeValue<std::string>(doc, "AXRole"), std::nullopt) << code;
    }
    auto range = platform::makeRange({0, 5});
    perform({{"action", "inject_error"}, {"element", "doc"}, {"attribute", "AXStringForRange"}, {"code", -25208}});
    EXPECT_EQ(getParameterizedAttributeValue<std::string>(doc, "AXStringForRange", range), std::nullopt);
    perform({{"action", "app_ax_state"}, {"pid", 101}, {"state", "hung"}});
    EXPECT_EQ(getAttributeValue<std::string>(doc, "AXValue"), std::nullopt);
    perform({{"action", "app_ax_state"}, {"pid", 101}, {"state", "gone"}});
    EXPECT_EQ(getAttributeValue<std::string>(doc, "AXValue"), std::nullopt);
    std::vector<std::string> expected = {"-25208 Attribute not implemented", "-25205 Error retrieving attribute",
                                         "-25208 Attribute not implemented", "-25204 Error retrieving attribute",
                                         "-25202 Error retrieving attribute"};
    EXPECT_EQ(stdoutLines(), expected);
}

TEST_F(AccessLayer, AttributeListReportsEveryFailureCode) {
    auto names = getAttributes(doc);
    ASSERT_TRUE(names);
    EXPECT_NE(std::find(names->begin(), names->end(), "AXSelectedTextMarkerRange"), names->end());
    perform({{"action", "inject_error"}, {"element", "doc"}, {"attribute", "AXAttributeNames"}, {"code", -25212}});
    EXPECT_EQ(getAttributes(doc), std::nullopt);
    EXPECT_EQ(stdoutLines(), std::vector<std::string>{"-25212 Error retrieving attribute list"});
}

TEST_F(AccessLayer, WritesGoOnlyToSettableAttributes) {
    auto button = element("button");
    setAttributeValue(button, "AXValue", platform::makeString("x"));
    EXPECT_TRUE(calls("AXUIElementSetAttributeValue").empty()) << "wrote an attribute reported not settable";
    setAttributeValue(app, "AXEnhancedUserInterface", platform::makeBoolean(true));
    EXPECT_EQ(calls("AXUIElementSetAttributeValue"), std::vector<std::string>{"app:101:AXEnhancedUserInterface"});
    EXPECT_TRUE(isAttributeSettable(doc, "AXValue"));
    perform({{"action", "app_ax_state"}, {"pid", 101}, {"state", "gone"}});
    EXPECT_FALSE(isAttributeSettable(doc, "AXValue")) << "a failed call stores no flag";
    EXPECT_TRUE(stdoutLines().empty());
}

TEST_F(AccessLayer, MarkerBoundsAskInBothOrders) {
    auto label = element("label");
    // Static text at (110,330), 8-point cells: the selection (2,3) spans x 126..150.
    EXPECT_EQ(getSelectedTextBoundingRectCorrect(label), (CGRect{{126, 330}, {24, 16}}));
    EXPECT_EQ(getSelectedTextBoundingRect(label), (CGRect{{126, 330}, {24, 16}}));
    std::vector<json> params;
    for (const auto& r : desktop().requests())
        if (r["call"] == "AXUIElementCopyParameterizedAttributeValue") params.push_back(r["parameter"]);
    ASSERT_EQ(params.size(), 2u);
    EXPECT_EQ(params[0], (json{{"marker_range", {2, 5}}}));
    EXPECT_EQ(params[1], (json{{"marker_range", {5, 2}}})) << "the second form swaps the markers";
    // An application whose reversed answer differs: only the forward form gives a rectangle.
    perform({{"action", "script"}, {"element", "label"}, {"attribute", "AXBoundsForTextMarkerRange:reversed"},
             {"answer", nullptr}});
    EXPECT_TRUE(getSelectedTextBoundingRectCorrect(label).has_value());
    EXPECT_EQ(getSelectedTextBoundingRect(label), std::nullopt);
    // A zero-height answer is passed on unchanged.
    perform({{"action", "script"}, {"element", "label"}, {"attribute", "AXBoundsForTextMarkerRange"},
             {"answer", {{"rect", {-5, 0, 10, 0}}}}});
    EXPECT_EQ(getSelectedTextBoundingRectCorrect(label), (CGRect{{-5, 0}, {10, 0}}));
}

TEST_F(AccessLayer, NoMarkerSelectionMeansNoRectangleAndNoBoundsRequest) {
    auto button = element("button");
    desktop().clearRequests();
    EXPECT_EQ(getSelectedTextBoundingRectCorrect(button), std::nullopt);
    EXPECT_TRUE(calls("AXUIElementCopyParameterizedAttributeValue").empty());
    EXPECT_EQ(stdoutLines(), std::vector<std::string>{"-25205 Error retrieving attribute"});
}

// ----- the tree-enabling walk -----

json chain(int depth, int i = 0) {
    json e = {{"id", "c" + std::to_string(i)}, {"role", "AXGroup"}};
    if (i + 1 < depth) e["children"] = json::array({chain(depth, i + 1)});
    return e;
}

class Walk : public AccessLayer {};

TEST_F(Walk, FiveDeepChainAsksTheFirstFourLevels) {
    loadWorld({{"apps", {{{"pid", 7}, {"elements", {chain(5)}}}}}});
    auto root = getAttributeValue<ElementRef>(getAppRef(7), "AXChildren");  // an array: no element
    EXPECT_EQ(root, std::nullopt);
    ObjectRef kids;
    platform::current().accessibility.copyAttributeValue(getAppRef(7), "AXChildren", &kids);
    auto c0 = std::static_pointer_cast<const platform::UIElement>(
        static_cast<const platform::ArrayObject&>(*kids).values.at(0));
    desktop().clearRequests();
    enableAccessbiltyByTraversing(c0);
    std::vector<std::string> expected = {"c0:AXChildren", "c1:AXChildren", "c2:AXChildren", "c3:AXChildren"};
    EXPECT_EQ(calls("AXUIElementCopyAttributeValue"), expected);
    EXPECT_EQ(desktop().requests().size(), 4u) << "the walk writes nothing and asks nothing else";
    EXPECT_TRUE(stdoutLines().empty());
}

TEST_F(Walk, ChildrenThatAreNotElementsEndTheBranchSilently) {
    auto win = element("win");
    desktop().clearRequests();
    perform({{"action", "set_attribute"}, {"element", "win"}, {"attribute", "AXChildren"}, {"value", "oops"}});
    enableAccessbiltyByTraversing(win);
    perform({{"action", "inject_error"}, {"element", "doc"}, {"attribute", "AXChildren"}, {"code", -25204}});
    enableAccessbiltyByTraversing(doc);
    EXPECT_EQ(calls("AXUIElementCopyAttributeValue"), (std::vector<std::string>{"win:AXChildren", "doc:AXChildren"}));
    EXPECT_TRUE(stdoutLines().empty());
}

TEST_F(Walk, WideTreeStopsAtTheRequestBudget) {
    json root = {{"id", "root"}, {"children", json::array()}};
    for (int i = 0; i < 40; ++i) {
        json mid = {{"id", "m" + std::to_string(i)}, {"children", json::array()}};
        for (int j = 0; j < 40; ++j) mid["children"].push_back({{"id", "m" + std::to_string(i) + "." + std::to_string(j)}});
        root["children"].push_back(mid);
    }
    loadWorld({{"apps", {{{"pid", 8}, {"elements", {root}}, {"focused", "root"}}}}});
    auto start = getAttributeValue<ElementRef>(getAppRef(8), "AXFocusedUIElement");
    ASSERT_TRUE(start);
    desktop().clearRequests();
    enableAccessbiltyByTraversing(*start);
    auto asked = calls("AXUIElementCopyAttributeValue");
    ASSERT_EQ(asked.size(), static_cast<std::size_t>(kTraversalRequestBudget));
    EXPECT_EQ(asked[0], "root:AXChildren");
    EXPECT_EQ(asked[1], "m0:AXChildren");
    EXPECT_EQ(asked[2], "m0.0:AXChildren") << "depth first";
    EXPECT_EQ(asked[42], "m1:AXChildren");
    EXPECT_EQ(asked.back(), "m24.13:AXChildren");  // root, 24 whole branches of 41, m24, 14 leaves
}

// ----- observers -----

struct Delivered {
    std::string element, notification;
    void* refcon;
    double t;
};
std::vector<Delivered>& delivered() {
    static std::vector<Delivered> list;
    return list;
}
void recordNotification(const AXObserverRef&, const ElementRef& e, const std::string& n, void* refcon) {
    delivered().push_back({e ? e->describe() : "", n, refcon, sim::Desktop::instance().nowSeconds()});
}
void otherEntryPoint(const AXObserverRef& o, const ElementRef& e, const std::string& n, void* r) {
    recordNotification(o, e, n, r);
}
MacAccessibility* fakeMonitor(int i) { return reinterpret_cast<MacAccessibility*>(static_cast<uintptr_t>(0x1000 * i)); }

class Observers : public AccessLayer {
protected:
    void SetUp() override {
        AccessLayer::SetUp();
        delivered().clear();
    }
    int stateCount(const char* key) { return desktop().state()[key].get<int>(); }
};

TEST_F(Observers, DeliveredOnlyWhileTheLoopRunsInTheDefaultMode) {
    setNotification(app, 101, "AXSelectedTextChanged", &recordNotification, fakeMonitor(1));
    perform({{"action", "select"}, {"element", "doc"}, {"range", {0, 5}}});
    EXPECT_TRUE(delivered().empty()) << "delivered during the action itself";
    ASSERT_EQ(ksim_run_in_mode("NSEventTrackingRunLoopMode", 1.0), 0);
    EXPECT_TRUE(delivered().empty()) << "delivered in the event-tracking mode";
    run(0);
    ASSERT_EQ(delivered().size(), 1u);
    EXPECT_EQ(delivered()[0].element, "doc") << "registered on the application, named for the element";
    EXPECT_EQ(delivered()[0].notification, "AXSelectedTextChanged");
    EXPECT_EQ(delivered()[0].refcon, fakeMonitor(1));
    EXPECT_DOUBLE_EQ(delivered()[0].t, 1.0);
}

TEST_F(Observers, TwoNotificationsOnOneElementBothDeliver) {
    setNotification(doc, 101, "AXSelectedTextChanged", &recordNotification, fakeMonitor(1));
    setNotification(doc, 101, "AXValueChanged", &recordNotification, fakeMonitor(1));
    EXPECT_EQ(stateCount("observers"), 2);
    perform({{"action", "edit"}, {"element", "doc"}, {"text", "hi"}});  // clamps the selection too
    run(0);
    ASSERT_EQ(delivered().size(), 2u);
    EXPECT_EQ(delivered()[0].notification, "AXValueChanged");
    EXPECT_EQ(delivered()[1].notification, "AXSelectedTextChanged");
}

TEST_F(Observers, RepeatedRegistrationIsANoOp) {
    for (int i = 0; i < 3; ++i) setNotification(app, 101, "AXFocusedUIElementChanged", &recordNotification, fakeMonitor(1));
    EXPECT_EQ(calls("AXObserverCreate").size(), 1u);
    EXPECT_EQ(stateCount("registrations"), 1);
    // Another entry point, element, notification or monitor is a registration of its own.
    setNotification(app, 101, "AXFocusedUIElementChanged", &otherEntryPoint, fakeMonitor(1));
    setNotification(doc, 101, "AXFocusedUIElementChanged", &recordNotification, fakeMonitor(1));
    setNotification(app, 101, "AXFocusedUIElementChanged", &recordNotification, fakeMonitor(2));
    EXPECT_EQ(stateCount("registrations"), 4);
    perform({{"action", "focus"}, {"element", "button"}});
    run(0);
    EXPECT_EQ(delivered().size(), 3u) << "the registration on doc does not hear about the button";
    // An equal handle made anew is the same element.
    setNotification(getAppRef(101), 101, "AXFocusedUIElementChanged", &recordNotification, fakeMonitor(1));
    EXPECT_EQ(stateCount("registrations"), 4);
    EXPECT_TRUE(stdoutLines().empty());
    // A desktop loaded again holds none of them: the same registration is made again, once.
    loadWorld(notesWorld());
    for (int i = 0; i < 2; ++i)
        setNotification(getAppRef(101), 101, "AXFocusedUIElementChanged", &recordNotification, fakeMonitor(1));
    EXPECT_EQ(stateCount("registrations"), 1);
    perform({{"action", "focus"}, {"element", "button"}});
    run(0);
    EXPECT_EQ(delivered().size(), 4u) << "the registration made again delivers, once";
}

TEST_F(Observers, NoObserverMeansNoRegistrationAndOneLine) {
    perform({{"action", "fail_observer_create"}, {"pid", 101}, {"times", 1}});
    setNotification(app, 101, "AXSelectedTextChanged", &recordNotification, fakeMonitor(1));
    EXPECT_EQ(observer, nullptr);
    EXPECT_TRUE(calls("AXObserverAddNotification").empty());
    EXPECT_TRUE(calls("CFRunLoopAddSource").empty());
    EXPECT_EQ(stdoutLines(), std::vector<std::string>{"error"});
    // Not remembered: the next call registers.
    setNotification(app, 101, "AXSelectedTextChanged", &recordNotification, fakeMonitor(1));
    EXPECT_NE(observer, nullptr);
    EXPECT_EQ(stateCount("registrations"), 1);
    // A process that has gone gives no observer either.
    setNotification(app, 999, "AXSelectedTextChanged", &recordNotification, fakeMonitor(1));
    EXPECT_EQ(stdoutLines().size(), 2u);
}

TEST_F(Observers, FailedAddPrintsErrorStillAttachesAndIsRetried) {
    perform({{"action", "fail_add_notification"}, {"element", "doc"}, {"notification", "AXWindowMoved"}, {"times", 1}});
    setNotification(doc, 101, "AXWindowMoved", &recordNotification, fakeMonitor(1));
    EXPECT_EQ(stdoutLines(), std::vector<std::string>{"error"});
    EXPECT_EQ(calls("CFRunLoopAddSource").size(), 1u) << "the source is attached even after a failed add";
    setNotification(doc, 101, "AXWindowMoved", &recordNotification, fakeMonitor(1));
    EXPECT_EQ(stateCount("registrations"), 1);
    EXPECT_EQ(stdoutLines().size(), 1u);
    perform({{"action", "move_window"}, {"window", "win"}, {"notified", "doc"}});
    run(0);
    EXPECT_EQ(delivered().size(), 1u);
}

TEST_F(Observers, EarlierObserversKeepDeliveringAfterTheGlobalMovesOn) {
    setNotification(app, 101, "AXWindowMoved", &recordNotification, fakeMonitor(1));
    setNotification(app, 101, "AXWindowResized", &recordNotification, fakeMonitor(1));
    perform({{"action", "move_window"}, {"window", "win"}, {"frame", {0, 0, 400, 300}}});
    perform({{"action", "resize_window"}, {"window", "win"}, {"frame", {0, 0, 500, 300}}});
    run(0);
    ASSERT_EQ(delivered().size(), 2u);
    EXPECT_EQ(delivered()[0].element, "win");
    EXPECT_EQ(delivered()[0].notification, "AXWindowMoved");
    EXPECT_EQ(delivered()[1].notification, "AXWindowResized");
    // The move carried the text area along: its bounds moved by (-100, -100).
    EXPECT_EQ(getParameterizedAttributeValue<CGRect>(doc, "AXBoundsForRange", platform::makeRange({0, 5})),
              (CGRect{{10, 20}, {40, 16}}));
}

// ----- timing -----

class Timing : public DesktopTest {};

TEST_F(Timing, DelayBlocksOnTheVirtualClockWithoutServicingTheLoop) {
    bool fired = false;
    platform::current().mainLoop.scheduledTimer(0.1, [&] { fired = true; });
    delay(0.2);
    EXPECT_DOUBLE_EQ(now(), 0.2);
    EXPECT_FALSE(fired) << "a timer of the blocked thread fired during the delay";
    run(0);
    EXPECT_TRUE(fired);
    delay(0);
    delay(-1);
    EXPECT_DOUBLE_EQ(now(), 0.2);
}

}  // namespace
}  // namespace korvale::testing
