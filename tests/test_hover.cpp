// Hover tracking on host windows through the export addMouseTracker: what gets installed and in
// which order (the host's window delegate is left alone), "mouse_hoverd" on entry, re-activation
// of the followed application on exit, and the cases that must stay harmless (no monitor yet, no
// content view, a pointer that is not a window, a closed window, no shared application object).
#include "TestSupport.h"
#include "WindowTracker.h"

namespace korvale::testing {
namespace {

// The host's application in front, an editor (pid 42) behind it, and two host windows, the first
// with a delegate of the host's own.
json hoverWorld(json extra = json::object()) {
    json world = {{"apps", {{{"pid", 42}, {"bundle_id", "com.example.editor"}, {"name", "Editor"}}}},
                  {"windows",
                   {{{"id", "assistant"}, {"content_view", true}, {"delegate", "Controller"}, {"frame", {100, 100, 200, 150}}},
                    {{"id", "bare"}, {"content_view", false}, {"frame", {400, 100, 100, 100}}}}},
                  {"pointer", {0, 0}}};
    world.update(extra);
    return world;
}

class Hover : public DesktopTest {
protected:
    void SetUp() override {
        DesktopTest::SetUp();
        loadWorld(hoverWorld());
        initMacAccessibility(&recordingCallback);
        follow(42);
    }
    void install(const std::string& window) { addMouseTracker(ksim_window_handle(window.c_str())); }
    void moveTo(double x, double y) { perform({{"action", "move_pointer"}, {"to", {x, y}}}); }
    void enter() { moveTo(150, 150); }
    void leave() { moveTo(0, 0); }
    // Requests made since the last call whose "call" is `name`.
    int countRequests(const std::string& name) {
        int n = 0;
        for (const auto& r : desktop().requests())
            if (r["call"] == name) ++n;
        return n;
    }
    json state() { return desktop().state(); }
};

TEST_F(Hover, InstallationInOrderWithOptions0x281OverTheContentViewLeavingTheDelegateAlone) {
    desktop().clearRequests();
    install("assistant");
    std::vector<std::string> calls;
    for (const auto& r : desktop().requests()) calls.push_back(r["call"]);
    EXPECT_EQ(calls, (std::vector<std::string>{"isKindOfClass:", "contentView.bounds",
                                               "initWithRect:options:owner:userInfo:", "addTrackingArea:",
                                               "setActivationPolicy:"}));
    const json& area = desktop().requests()[2];
    EXPECT_EQ(area["options"], 641);
    EXPECT_EQ(area["rect"], (json{0, 0, 200, 150}));
    EXPECT_EQ(area["owner"], true);
    EXPECT_EQ(desktop().requests()[4]["policy"], 1);
    json w = state()["windows"][0];
    EXPECT_EQ(w["delegate"], "Controller") << "the host's delegate was replaced";
    ASSERT_EQ(w["tracking_areas"].size(), 1u);
    EXPECT_EQ(state()["activation_policy"], 1);
    EXPECT_TRUE(stdoutLines().empty());
}

TEST_F(Hover, EntryIsReportedAfterTwoWaitsAndExitActivatesTheFollowedApplication) {
    install("assistant");
    enter();
    run(0.179);
    EXPECT_TRUE(hostEvents().empty());
    run(0.001);
    ASSERT_EQ(hostEvents().size(), 1u);
    EXPECT_EQ(hostEvents()[0].name, "mouse_hoverd");
    EXPECT_EQ(hostEvents()[0].json, "{}");
    EXPECT_DOUBLE_EQ(hostEvents()[0].t, 0.18);
    desktop().clearRequests();
    leave();
    run(0.5);
    EXPECT_EQ(hostEvents().size(), 1u) << "leaving sent an event";
    ASSERT_EQ(countRequests("activateWithOptions"), 1);
    EXPECT_EQ(desktop().requests()[0]["pid"], 42);
    EXPECT_EQ(desktop().requests()[0]["options"], 0);
}

TEST_F(Hover, EnterExitEnterWithinTheWaitIsOneEventAndOneActivationPerExit) {
    install("assistant");
    desktop().clearRequests();
    enter();
    run(0.05);
    leave();
    run(0.05);
    enter();
    run(0.05);
    leave();
    run(1.0);
    ASSERT_EQ(hostEvents().size(), 1u);
    EXPECT_EQ(hostEvents()[0].name, "mouse_hoverd");
    EXPECT_EQ(countRequests("activateWithOptions"), 2);
}

TEST_F(Hover, ReportedWhileTheHostIsInactiveAndAfterAResize) {
    install("assistant");
    perform({{"action", "resize_host_window"}, {"window", "assistant"}, {"frame", {100, 100, 500, 400}}});
    moveTo(550, 450);  // only inside the resized window
    run(0.2);
    ASSERT_EQ(hostEvents().size(), 1u);
    EXPECT_EQ(hostEvents()[0].name, "mouse_hoverd");
    EXPECT_EQ(state()["windows"][0]["tracking_areas"][0]["tracked"], (json{100, 100, 500, 400}));
}

TEST_F(Hover, WindowWithoutContentViewGetsNoArea) {
    desktop().clearRequests();
    install("bare");
    EXPECT_EQ(desktop().requests()[2]["rect"], (json{0, 0, 0, 0})) << "the zero rectangle";
    json w = state()["windows"][1];
    EXPECT_EQ(w["id"], "bare");
    EXPECT_EQ(w["delegate"], nullptr);
    EXPECT_EQ(w["tracking_areas"], json::array());
    EXPECT_EQ(state()["activation_policy"], 1);
    moveTo(450, 150);
    run(0.5);
    EXPECT_TRUE(hostEvents().empty());
}

TEST_F(Hover, PointerThatIsNotAWindowIsRejectedUntouched) {
    int notAWindow = 7;
    desktop().clearRequests();
    addMouseTracker(&notAWindow);
    addMouseTracker(nullptr);
    addMouseTracker(reinterpret_cast<void*>(uintptr_t{0xdead0000}));
    // The handle of a window that has closed is no window either.
    void* stale = ksim_window_handle("assistant");
    perform({{"action", "close_host_window"}, {"window", "assistant"}});
    addMouseTracker(stale);
    EXPECT_EQ(countRequests("isKindOfClass:"), 4);
    EXPECT_EQ(countRequests("initWithRect:options:owner:userInfo:"), 0);
    EXPECT_EQ(countRequests("setActivationPolicy:"), 0);
    EXPECT_EQ(state()["activation_policy"], 0) << "the policy changed for a rejected pointer";
    EXPECT_EQ(liveWindowTrackers(), 0u);
}

// The host's delegate keeps hearing its window with a tracker installed (twice, even): a click,
// a resize and the window closing reach it, and the tracker makes nothing of them.
TEST_F(Hover, TheHostsDelegateKeepsHearingItsWindow) {
    install("assistant");
    install("assistant");
    enter();
    run(0.5);
    hostEvents().clear();
    desktop().clearRequests();
    perform({{"action", "mouse_down"}});
    run(0.5);
    perform({{"action", "resize_host_window"}, {"window", "assistant"}, {"size", {250, 150}}});
    const json heard = state()["delegate_messages"];
    ASSERT_EQ(heard.size(), 2u) << heard.dump();
    EXPECT_EQ(heard[0]["message"], "mouseDown:");
    EXPECT_EQ(heard[1]["message"], "windowDidResize:");
    EXPECT_EQ(heard[1]["delegate"], "Controller");
    EXPECT_TRUE(hostEvents().empty());
    EXPECT_EQ(countRequests("activateWithOptions"), 0);
    EXPECT_FALSE(eventParams.has_value());
}

// Like the other exports, addMouseTracker needs initMacAccessibility first (and again after main):
// before, it asks nothing, installs nothing and prints nothing.
TEST_F(Hover, BeforeInitMacAccessibilityNothingIsInstalled) {
    for (int round = 0; round < 2; ++round) {
        mainExport();
        desktop().clearRequests();
        install("assistant");
        EXPECT_TRUE(desktop().requests().empty()) << "round " << round << ": " << desktop().requests().dump();
        EXPECT_EQ(state()["windows"][0]["tracking_areas"].size(), size_t(round));
        EXPECT_EQ(state()["activation_policy"], round == 0 ? json(0) : json(1));
        EXPECT_TRUE(stdoutLines().empty());
        enter();
        run(0.5);
        leave();
        run(0.5);
        EXPECT_TRUE(hostEvents().empty());
        EXPECT_EQ(countRequests("activateWithOptions"), 0);
        // Once initialised, the same call installs a tracker.
        initMacAccessibility(&recordingCallback);
        install("assistant");
        EXPECT_EQ(state()["windows"][0]["tracking_areas"].size(), size_t(round + 1));
    }
}

TEST_F(Hover, WithoutHostCallbackEntryStoresNothing) {
    initMacAccessibility(nullptr);
    install("assistant");
    enter();
    run(0.5);
    EXPECT_FALSE(eventParams.has_value());
    EXPECT_TRUE(hostEvents().empty());
}

TEST_F(Hover, ExitWithoutMonitorOrFollowedApplicationIsHarmless) {
    install("assistant");
    enter();
    run(0.01);
    mainExport();  // no monitor any more
    desktop().clearRequests();
    leave();
    run(0.5);
    EXPECT_EQ(countRequests("activateWithOptions"), 0);
    initMacAccessibility(&recordingCallback);  // a monitor that follows nothing
    enter();
    run(0.01);
    leave();
    run(0.5);
    EXPECT_EQ(countRequests("activateWithOptions"), 0);
    EXPECT_EQ(state()["mouse_messages"].size(), 4u);
}

TEST_F(Hover, WithoutSharedApplicationObjectTheTrackerStillWorks) {
    loadWorld(hoverWorld({{"shared_application", false}}));
    initMacAccessibility(&recordingCallback);
    install("assistant");
    EXPECT_EQ(state()["activation_policy"], nullptr);
    enter();
    run(0.2);
    ASSERT_EQ(hostEvents().size(), 1u);
    EXPECT_EQ(hostEvents()[0].name, "mouse_hoverd");
}

TEST_F(Hover, EveryTrackerLivesAsLongAsItsWindowAndNoLonger) {
    install("assistant");
    install("assistant");  // a second tracker with a second area; the first one stays
    EXPECT_EQ(liveWindowTrackers(), 2u);
    desktop().clearRequests();
    enter();
    run(0.01);
    leave();
    run(0.5);
    EXPECT_EQ(state()["mouse_messages"].size(), 4u) << "an area lost its tracker";
    EXPECT_EQ(countRequests("activateWithOptions"), 2);
    perform({{"action", "close_host_window"}, {"window", "assistant"}});
    EXPECT_EQ(liveWindowTrackers(), 0u) << "trackers of a closed window were kept";
}

TEST_F(Hover, MessageWaitingWhenTheWindowClosesNeverArrives) {
    install("assistant");
    enter();  // the message waits for the main loop
    perform({{"action", "close_host_window"}, {"window", "assistant"}});
    EXPECT_EQ(liveWindowTrackers(), 0u);
    run(0.5);
    EXPECT_TRUE(hostEvents().empty());
    EXPECT_EQ(state()["mouse_messages"], json::array());
}

}  // namespace
}  // namespace korvale::testing
