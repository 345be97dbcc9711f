// Event delivery to the host: the latest-event slot, JSON encoding, and calls back into the
// library from inside the host callback. The waits themselves (0.18 s, 0.5 s for a selection, a
// burst delivered once at the first delivery time) are timed in the tracking scenarios
// (tracking_event_road.json, tracking_static_text.json), which play through both backends.
#include "TestSupport.h"

namespace korvale::testing {
namespace {

class Delivery : public DesktopTest {
protected:
    void SetUp() override {
        DesktopTest::SetUp();
        initMacAccessibility(&recordingCallback);
    }
};

TEST_F(Delivery, EmptyDataIsAnEmptyObjectAndNamesPassByteForByte) {
    callbackWraper("mouse_hoverd", json::object());
    run(0.2);
    callbackWraper("ui_reized", {{"selected_text", "h\xC3\xA9llo \xF0\x9F\x98\x80 / \"q\""}});
    run(0.2);
    ASSERT_EQ(hostEventNames(), (std::vector<std::string>{"mouse_hoverd", "ui_reized"}));
    EXPECT_EQ(hostEvents()[0].json, "{}");
    EXPECT_EQ(json::parse(hostEvents()[1].json)["selected_text"], "h\xC3\xA9llo \xF0\x9F\x98\x80 / \"q\"");
    EXPECT_EQ(hostEvents()[1].json.find(' ', 1) != std::string::npos &&
                  hostEvents()[1].json.find(": ") != std::string::npos,
              false)
        << "no whitespace between tokens: " << hostEvents()[1].json;
}

// Ill-formed UTF-8 and a non-finite number cannot be encoded: nothing is sent or printed, and
// the event stays stored until a newer one replaces it.
TEST_F(Delivery, UnencodableDataIsKeptSilentlyUntilReplaced) {
    for (const json& data : {json{{"selected_text", std::string("bad \xC3 byte")}},
                             json{{"position", {{"x", std::numeric_limits<double>::infinity()}}}}}) {
        SCOPED_TRACE(data.dump(-1, ' ', false, json::error_handler_t::replace));
        hostEvents().clear();
        callbackWraper("text_select", data);
        run(1.0);
        EXPECT_TRUE(hostEvents().empty());
        EXPECT_TRUE(stdoutLines().empty());
        ASSERT_TRUE(eventParams.has_value()) << "the event stays stored";
        callbackWraper("caret", json::object());
        run(0.2);
        ASSERT_EQ(hostEventNames(), std::vector<std::string>{"caret"});
    }
}

TEST_F(Delivery, WithoutHostCallbackTheLatestEventWaitsForOne) {
    initMacAccessibility(nullptr);
    callbackWraper("focused_changed", json::object());
    callbackWraper("caret", json::object());
    run(0.5);
    EXPECT_TRUE(hostEvents().empty());
    ASSERT_TRUE(eventParams.has_value());
    EXPECT_EQ(eventParams->notification, "caret");
    // A delivery that later finds a callback hands the stored event over.
    initMacAccessibility(&recordingCallback);
    callbackWraper("app_changed", {{"role", nullptr}});
    run(0.2);
    ASSERT_EQ(hostEventNames(), std::vector<std::string>{"app_changed"});
    EXPECT_EQ(hostEvents()[0].json, R"({"role":null})");
}

// The host answers an event by calling into the library; the event that call stores must
// survive the end of the delivery that is running.
void answeringCallback(const char* name, const char* json) {
    recordingCallback(name, json);
    if (std::string(name) == "focused_changed") callbackWraper("alt_enter_pressed", {{"k", 1}});
}

TEST_F(Delivery, EventStoredFromInsideTheCallbackIsDeliveredLater) {
    initMacAccessibility(&answeringCallback);
    callbackWraper("focused_changed", json::object());
    run(0.18);
    ASSERT_EQ(hostEvents().size(), 1u);
    ASSERT_TRUE(eventParams.has_value()) << "the newer event was thrown away";
    run(0.18);
    ASSERT_EQ(hostEventNames(), (std::vector<std::string>{"focused_changed", "alt_enter_pressed"}));
    EXPECT_DOUBLE_EQ(hostEvents()[1].t, 0.36);
}

void resettingCallback(const char* name, const char* json) {
    recordingCallback(name, json);
    mainExport();
}

TEST_F(Delivery, MainFromInsideTheCallbackIsSafe) {
    initMacAccessibility(&resettingCallback);
    callbackWraper("caret", json::object());
    run(0.2);
    ASSERT_EQ(hostEvents().size(), 1u);
    EXPECT_FALSE(eventParams.has_value());
    EXPECT_EQ(observer_callback, nullptr);
    EXPECT_EQ(macAccessibility, nullptr);
}

TEST_F(Delivery, TimersWaitWhileTheLoopRunsInAnotherMode) {
    callbackWraper("caret", json::object());
    ASSERT_EQ(ksim_run_in_mode("NSEventTrackingRunLoopMode", 1.0), 0);
    EXPECT_TRUE(hostEvents().empty()) << "a default-mode timer fired in another mode";
    run(0.0);
    ASSERT_EQ(hostEvents().size(), 1u);
    EXPECT_DOUBLE_EQ(hostEvents()[0].t, 1.0);
}

}  // namespace
}  // namespace korvale::testing
