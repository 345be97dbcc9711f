// Registration lifecycle: what the library registered with the platform is remembered only while
// the platform holds it. A host that loads a new desktop and starts again, as the host guide
// tells it to, is followed again; a registration the platform still holds is not doubled.
#include "TestSupport.h"

namespace korvale::testing {
namespace {

json stateOf() { return json::parse(ksim_read("state")); }

class Registrations : public DesktopTest {
protected:
    // The host guide's path through the control API: the world first, then start.
    void loadThroughControlAPI(const json& world) {
        json w = world;
        w["echo_stdout"] = false;
        ASSERT_EQ(ksim_load_world(w.dump().c_str()), 0) << ksim_last_error();
        hostEvents().clear();
    }
    void act(const json& action) { ASSERT_EQ(ksim_perform(action.dump().c_str()), 0) << ksim_last_error(); }
    // Switches to Editor and selects "Hello": the events the host received.
    std::vector<std::string> switchAndSelect() {
        hostEvents().clear();
        act({{"action", "activate"}, {"pid", 101}});
        ksim_run(0.5);
        act({{"action", "select"}, {"element", "doc"}, {"range", {0, 5}}});
        ksim_run(1.0);
        std::vector<std::string> names;
        for (const auto& e : hostEvents()) names.push_back(e.name + " " + e.json);
        return names;
    }
};

const std::vector<std::string> kFollowed = {
    R"(app_changed {"bundle_id":"com.example.editor","name":"Editor","role":"AXApplication"})",
    R"(text_select {"bundle_id":"com.example.editor","is_editable":true,"name":"Editor","position":{"x":10.0,"y":40.0},"selected_text":"Hello","size":{"height":16.0,"width":40.0}})"};

TEST_F(Registrations, AWorldLoadedAgainAndStartedAgainIsFollowedAgain) {
    loadThroughControlAPI(twoAppsWorld());
    initMacAccessibility(&recordingCallback);
    start("{}");
    EXPECT_EQ(switchAndSelect(), kFollowed);
    EXPECT_EQ(stateOf()["registrations"], 4) << "focus, window moves and resizes, selection";

    // The same world again: the desktop forgot every registration, and the monitor's followed
    // application went with the old world even though the new one has the same process id.
    loadThroughControlAPI(twoAppsWorld());
    EXPECT_EQ(stateOf()["registrations"], 0);
    start("{}");
    EXPECT_EQ(switchAndSelect(), kFollowed);
    EXPECT_EQ(stateOf()["registrations"], 4);
    EXPECT_EQ(stdoutLines(), (std::vector<std::string>{"Accessibility is enabled", "appChanged"}));

    // Held registrations are not made again: back and forth gives no new one.
    act({{"action", "activate"}, {"pid", 102}});
    ksim_run(0.5);
    const int afterMail = stateOf()["registrations"];
    EXPECT_EQ(afterMail, 8) << "Mail's four besides Editor's";
    switchAndSelect();
    EXPECT_EQ(stateOf()["registrations"], afterMail);
}

// Several desktops one after another in one process, with monitors made and dropped between
// them (as the scenario player does), each followed as if it were the first.
TEST_F(Registrations, EveryWorldInOneProcessIsFollowedAsTheFirstWas) {
    for (int round = 0; round < 6; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        loadThroughControlAPI(twoAppsWorld());
        initMacAccessibility(&recordingCallback);
        start("{}");
        EXPECT_EQ(switchAndSelect(), kFollowed);
        EXPECT_EQ(stateOf()["registrations"], 4);
        if (round % 2 == 0) mainExport();  // half the rounds end without `main`
    }
}

}  // namespace
}  // namespace korvale::testing
