// The tracking loop through the C interface on the simulated desktop: the workspace's
// applications and notifications, which application the monitor follows after a switch, a
// launch, a quit or the library's own activation request, and what repeated switching costs.
// The single behaviours of each path are played as scenarios (tests/scenarios/tracking_*.json);
// these cases need loops, counts or the monitor's state.
#include "TestSupport.h"
#include "platform/sim/SimWorkspace.h"
#include "utils.h"

namespace korvale::testing {
namespace {

class Tracking : public DesktopTest {
protected:
    void SetUp() override {
        DesktopTest::SetUp();
        loadWorld(twoAppsWorld());
        initMacAccessibility(&recordingCallback);
        start("{}");
    }
    std::size_t requestCount() const { return sim::Desktop::instance().requests().size(); }
    sim::SimWorkspace& workspace() { return desktop().workspace(); }
};

TEST_F(Tracking, SelectionCostsTheSameAfterAThousandSwitchesBack) {
    perform({{"action", "activate"}, {"pid", 101}});
    run(0.5);
    std::size_t before = requestCount();
    perform({{"action", "select"}, {"element", "doc"}, {"range", {0, 5}}});
    run(0.5);
    const std::size_t firstCost = requestCount() - before;
    ASSERT_GT(firstCost, 0u);

    for (int i = 0; i < 1000; ++i) {
        perform({{"action", "activate"}, {"pid", 102}});
        perform({{"action", "activate"}, {"pid", 101}});
    }
    run(0.5);
    hostEvents().clear();
    before = requestCount();
    perform({{"action", "select"}, {"element", "doc"}, {"range", {6, 5}}});
    run(0.5);
    EXPECT_EQ(requestCount() - before, firstCost)
        << "a selection after 1,000 switches back asked the platform more than after the first";
    ASSERT_EQ(hostEventNames(), std::vector<std::string>{"text_select"});
    EXPECT_EQ(json::parse(hostEvents()[0].json)["selected_text"], "world");
}

TEST_F(Tracking, SwitchesFollowEachApplicationAndAnnounceIt) {
    perform({{"action", "activate"}, {"pid", 101}});
    run(0.2);
    perform({{"action", "activate"}, {"pid", 102}});
    run(0.2);
    perform({{"action", "activate"}, {"pid", 101}});
    run(0.2);
    ASSERT_EQ(hostEventNames(), (std::vector<std::string>{"app_changed", "app_changed", "app_changed"}));
    EXPECT_EQ(json::parse(hostEvents()[1].json)["bundle_id"], "com.example.mail");
    EXPECT_EQ(json::parse(hostEvents()[2].json)["bundle_id"], "com.example.editor");
    ASSERT_TRUE(macAccessibility->processID.has_value());
    EXPECT_EQ(*macAccessibility->processID, 101);
}

TEST_F(Tracking, LibraryActivationIsImmediateButItsNotificationWaitsForTheMainLoop) {
    perform({{"action", "activate"}, {"pid", 101}});
    perform({{"action", "activate"}, {"pid", 900}});  // the host: the monitor stays with Editor
    ASSERT_EQ(workspace().frontmostPid(), 900);
    const std::size_t lines = stdoutLines().size();

    macAccessibility->activateTheFormost();
    EXPECT_EQ(workspace().frontmostPid(), 101) << "the application did not come to the front at once";
    EXPECT_EQ(stdoutLines().size(), lines) << "the notification ran on the caller's stack";
    const json& log = desktop().requests();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back()["call"], "activateWithOptions");
    EXPECT_EQ(log.back()["pid"], 101);

    run(0.0);
    ASSERT_EQ(stdoutLines().size(), lines + 1);
    EXPECT_EQ(stdoutLines().back(), "appChanged");
    // Activating what is already in front changes nothing and posts nothing.
    macAccessibility->activateTheFormost();
    run(0.0);
    EXPECT_EQ(stdoutLines().size(), lines + 1);
}

TEST_F(Tracking, QuittingTheFrontApplicationFollowsTheOneBefore) {
    perform({{"action", "activate"}, {"pid", 101}});
    perform({{"action", "activate"}, {"pid", 102}});
    run(0.5);
    hostEvents().clear();
    perform({{"action", "quit"}, {"pid", 102}});
    EXPECT_EQ(workspace().frontmostPid(), 101);
    run(0.5);
    ASSERT_EQ(hostEventNames(), std::vector<std::string>{"app_changed"});
    EXPECT_EQ(json::parse(hostEvents()[0].json)["bundle_id"], "com.example.editor");
    // The quit application's elements no longer answer, and its handle refuses activation.
    EXPECT_FALSE(getAttributeValue<ElementRef>(getAppRef(102), "AXFocusedUIElement"));
}

TEST_F(Tracking, FailedRegistrationPrintsErrorAndTheOthersGoOn) {
    perform({{"action", "fail_add_notification"}, {"notification", "AXWindowMoved"}, {"times", 1}});
    perform({{"action", "activate"}, {"pid", 101}});
    EXPECT_EQ(std::count(stdoutLines().begin(), stdoutLines().end(), "error"), 1);
    std::vector<std::string> added;
    for (const auto& r : desktop().requests())
        if (r["call"] == "AXObserverAddNotification" && r["result"] == 0)
            added.push_back(r["notification"].get<std::string>());
    EXPECT_EQ(added, (std::vector<std::string>{"AXFocusedUIElementChanged", "AXWindowResized",
                                               "AXSelectedTextChanged"}));
    run(0.5);
    perform({{"action", "select"}, {"element", "doc"}, {"range", {0, 5}}});
    run(0.5);
    EXPECT_EQ(hostEventNames(), (std::vector<std::string>{"app_changed", "text_select"}));
}

class Untrusted : public DesktopTest {};

TEST_F(Untrusted, StartsSilentlyAndTakesTheBranchWithoutAFocusedElement) {
    json world = twoAppsWorld();
    world["trusted"] = false;
    loadWorld(world);
    initMacAccessibility(&recordingCallback);
    start("{}");
    EXPECT_TRUE(stdoutLines().empty()) << "an untrusted start printed " << stdoutLines()[0];
    int subscriptions = 0;
    for (const auto& r : desktop().requests()) subscriptions += r["call"] == "addObserverForName";
    EXPECT_EQ(subscriptions, 2) << "an untrusted process is still subscribed";

    if (getAttributeValue<ElementRef>(getAppRef(101), "AXFocusedUIElement"))
        GTEST_SKIP() << "the simulated service still answers an untrusted process";
    perform({{"action", "activate"}, {"pid", 101}});
    run(0.5);
    ASSERT_EQ(hostEvents().size(), 1u);
    EXPECT_EQ(hostEvents()[0].json, R"({"bundle_id":"com.example.editor","name":"Editor","role":null})");
}

// The workspace itself, as the monitor and the other simulated services rely on it.
class Workspace : public DesktopTest {};

TEST_F(Workspace, HostRunsAndIsInFrontUnlessTheWorldSaysOtherwise) {
    loadWorld(twoAppsWorld());
    json state = desktop().state();
    EXPECT_EQ(state["frontmost"], 900);
    ASSERT_EQ(state["apps"].size(), 3u);
    EXPECT_EQ(state["apps"][0]["name"], "Quillforge");

    json world = twoAppsWorld();
    world["host_app"] = false;
    world["apps"][1]["frontmost"] = true;
    loadWorld(world);
    state = desktop().state();
    EXPECT_EQ(state["frontmost"], 102);
    EXPECT_EQ(state["apps"].size(), 2u);
    EXPECT_EQ(desktop().workspace().frontmostApplication()->bundleIdentifier(), "com.example.mail");

    world["host_app"] = false;
    world["apps"][0]["frontmost"] = true;
    EXPECT_NE(sim::Desktop::instance().loadWorld(world), "") << "two frontmost applications loaded";
}

TEST_F(Workspace, BadActionsAreRefusedWithAMessage) {
    loadWorld(twoAppsWorld());
    EXPECT_NE(desktop().perform({{"action", "activate"}, {"pid", 7}}), "");
    EXPECT_NE(desktop().perform({{"action", "launch"}, {"pid", 101}}), "") << "pid already running";
    EXPECT_NE(desktop().perform({{"action", "post_workspace_notification"}, {"user_info", "odd"}}), "");
    EXPECT_NE(desktop().perform({{"action", "quit"}}), "");
}

TEST_F(Workspace, TimedActivationWaitsWhileTheMainThreadIsHeld) {
    loadWorld(twoAppsWorld());
    initMacAccessibility(&recordingCallback);
    start("{}");
    perform({{"action", "at"}, {"time", 0.1}, {"do", {{"action", "activate"}, {"pid", 101}}}});
    const std::size_t lines = stdoutLines().size();
    platform::current().mainLoop.blockUntil(0.3);  // the library busy-waits, as a paste does
    EXPECT_EQ(desktop().workspace().frontmostPid(), 101);
    EXPECT_EQ(stdoutLines().size(), lines) << "a notification reached the library while it was blocked";
    run(0.0);
    ASSERT_EQ(stdoutLines().size(), lines + 1);
    EXPECT_EQ(stdoutLines().back(), "appChanged");
}

}  // namespace
}  // namespace korvale::testing
