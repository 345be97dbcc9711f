// Repeated initMacAccessibility / start / main: retired monitors stop following and remove what
// they subscribed and registered from the platform, so an application switch after a thousand
// cycles makes exactly the requests, lines and events (at the same virtual times) that it makes
// after one, and the platform calls into the library exactly as often.
#include <cmath>

#include "TestSupport.h"

namespace korvale::testing {
namespace {

struct SwitchCost {
    json requests;  // without their times
    std::vector<std::string> lines;
    std::vector<std::pair<std::string, long long>> events;  // name, microseconds after the switch
    long long callbacks = 0;  // observer callbacks and workspace blocks the platform called
    json held;                // what the platform holds for the library afterwards
};

class Cycles : public DesktopTest {
protected:
    void SetUp() override {
        DesktopTest::SetUp();
        loadWorld(twoAppsWorld());
    }
    // One cycle as a host makes it, with a switch in it so that the monitor registers for
    // notifications (which the platform keeps) before it is let go. Ends following Mail.
    void cycle() {
        mainExport();
        initMacAccessibility(&recordingCallback);
        start(R"({"com.example.mail": {"name": "AXRole", "value": "AXButton"}})");
        addBlockedApps(R"(["com.example.other"])");
        perform({{"action", "activate"}, {"pid", 101}});
        run(0.3);
        perform({{"action", "activate"}, {"pid", 102}});
        run(0.3);
    }
    // Switches to Editor and selects a word there.
    SwitchCost measure() {
        desktop().clearRequests();
        hostEvents().clear();
        const long long callbacksBefore = desktop().state()["callbacks"];
        const std::size_t linesBefore = stdoutLines().size();
        const double t0 = now();
        perform({{"action", "activate"}, {"pid", 101}});
        run(0.5);
        perform({{"action", "select"}, {"element", "doc"}, {"range", {0, 5}}});
        run(1.0);
        SwitchCost cost;
        cost.requests = desktop().requests();
        for (auto& r : cost.requests) r.erase("t");
        cost.lines.assign(stdoutLines().begin() + linesBefore, stdoutLines().end());
        for (const auto& e : hostEvents()) cost.events.emplace_back(e.name, std::llround((e.t - t0) * 1e6));
        const json state = desktop().state();
        cost.callbacks = state["callbacks"].get<long long>() - callbacksBefore;
        for (const char* key : {"workspace_observers", "attached_sources", "registrations_held"})
            cost.held[key] = state[key];
        return cost;
    }
};

TEST_F(Cycles, ASwitchCostsTheSameAfterAThousandCyclesAsAfterOne) {
    cycle();
    SwitchCost once = measure();
    ASSERT_EQ(once.events.size(), 2u);
    EXPECT_EQ(once.events[0].first, "app_changed");
    EXPECT_EQ(once.events[1].first, "text_select");
    EXPECT_EQ(once.lines, std::vector<std::string>{"appChanged"});
    perform({{"action", "activate"}, {"pid", 102}});
    run(0.3);

    for (int i = 1; i < 1000; ++i) cycle();
    SwitchCost after = measure();
    EXPECT_EQ(after.requests.size(), once.requests.size());
    EXPECT_EQ(after.requests, once.requests);
    EXPECT_EQ(after.lines, once.lines);
    EXPECT_EQ(after.events, once.events);
    EXPECT_EQ(after.callbacks, once.callbacks) << "the platform called retired subscriptions";
    EXPECT_EQ(after.held, once.held) << "the platform still holds what retired monitors subscribed";
    // The figures themselves: one activation subscription and one launch subscription, the four
    // registrations on each application followed; the activation's block and the selection's
    // observer callback.
    EXPECT_EQ(after.held, (json{{"workspace_observers", 2}, {"attached_sources", 8}, {"registrations_held", 8}}));
    EXPECT_EQ(after.callbacks, 2);
}

// Starting a second monitor without `main` retires the first, so init/start cycles do not pile
// up either; a monitor that was never started is simply released.
TEST_F(Cycles, AnotherStartedMonitorTakesOverFromThePreviousOne) {
    initMacAccessibility(&recordingCallback);
    start("{}");
    std::weak_ptr<MacAccessibility> first = macAccessibility;
    initMacAccessibility(&recordingCallback);
    EXPECT_FALSE(first.lock()->retired) << "the first monitor follows until another one starts";
    start("{}");
    ASSERT_TRUE(first.lock());
    EXPECT_TRUE(first.lock()->retired);
    EXPECT_FALSE(first.lock()->callback) << "a retired monitor keeps its callback";

    std::weak_ptr<MacAccessibility> neverStarted = [] {
        initMacAccessibility(&recordingCallback);
        return std::weak_ptr<MacAccessibility>(macAccessibility);
    }();
    mainExport();
    EXPECT_TRUE(neverStarted.expired()) << "a monitor never started was kept after main";

    hostEvents().clear();
    initMacAccessibility(&recordingCallback);
    start("{}");
    std::size_t lines = stdoutLines().size();
    perform({{"action", "activate"}, {"pid", 101}});
    run(0.5);
    EXPECT_EQ(std::vector<std::string>(stdoutLines().begin() + lines, stdoutLines().end()),
              std::vector<std::string>{"appChanged"});
    ASSERT_EQ(hostEvents().size(), 1u);
}

}  // namespace
}  // namespace korvale::testing
