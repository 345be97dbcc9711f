// Hover tracking through addMouseTracker, the cases the hover_*.json scenarios (installation,
// timing, delegates, odd windows and pointers) do not hold: calls before initMacAccessibility and
// after main, no host callback, an exit with no monitor or no followed application, several
// trackers on one window and how long they live.
#include "TestSupport.h"
#include "WindowTracker.h"

namespace korvale::testing {
namespace {

// The host's application in front, an editor (pid 42) behind it, and one host window.
json hoverWorld() {
    return {{"apps", {{{"pid", 42}, {"bundle_id", "com.example.editor"}, {"name", "Editor"}}}},
            {"windows", {{{"id", "assistant"}, {"content_view", true}, {"frame", {100, 100, 200, 150}}}}},
            {"pointer", {0, 0}}};
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
