// The choice of backend: the simulated desktop only when asked for; while no real desktop answers,
// an untrusted process (both checks false, no "Accessibility is enabled", nothing followed,
// nothing pasted and no "Task ended"); and following once the desktop answers, without a
// restart. The real desktop is played by a table entry that connects to the simulated desktop
// only when the test lets it, so every retry happens on the virtual clock.
#include <cstdlib>

#include "TestSupport.h"
#include "BackendSeam.h"

namespace korvale::testing {
namespace {

using platform::BackendEntry;

bool desktopAnswers = false;
int connectAttempts = 0;

platform::Platform* connectLateDesktop() {
    ++connectAttempts;
    return desktopAnswers ? &sim::Desktop::instance().platform() : nullptr;
}
platform::Platform* connectSimulated() { return &sim::Desktop::instance().platform(); }
platform::MainLoop* simulatedLoop() { return &sim::Desktop::instance().platform().mainLoop; }

const BackendEntry kRealOnly[] = {{"late", &connectLateDesktop, false, &simulatedLoop}};
const BackendEntry kWithSimulator[] = {{"sim", &connectSimulated, true, nullptr},
                                       {"late", &connectLateDesktop, false, &simulatedLoop}};

// The two applications of the test support, and something on the pasteboard to keep.
json editorWorld() {
    json world = twoAppsWorld();
    world["pasteboard"] = {{"items", json::array({{{"public.utf8-plain-text", "kept"}}})}};
    return world;
}

class BackendChoice : public DesktopTest {
protected:
    void SetUp() override {
        DesktopTest::SetUp();
        loadWorld(editorWorld());
        desktopAnswers = false;
        connectAttempts = 0;
        const char* wanted = std::getenv("KORVALE_BACKEND");
        saved_ = wanted ? wanted : "";
        unsetenv("KORVALE_BACKEND");
    }
    void TearDown() override {
        DesktopTest::TearDown();
        setenv("KORVALE_BACKEND", saved_.c_str(), 1);
        chooseBackendAgain(platform::backendTable(), false);
        ASSERT_STREQ(platform::currentBackendName(), "sim");
    }
    void choose(std::span<const BackendEntry> table, bool simulatedAsked = false) {
        chooseBackendAgain(table, simulatedAsked);
    }
    std::string saved_;
};

TEST_F(BackendChoice, SimulatedDesktopRunsOnlyWhenAsked) {
    choose(kWithSimulator);
    EXPECT_STREQ(platform::currentBackendName(), "none") << "chosen without being asked for";
    choose(kWithSimulator, /*simulatedAsked=*/true);
    EXPECT_STREQ(platform::currentBackendName(), "sim");
    setenv("KORVALE_BACKEND", "sim", 1);
    choose(kWithSimulator);
    EXPECT_STREQ(platform::currentBackendName(), "sim");
    // A library without the simulated desktop cannot be sent to it, by name or otherwise.
    connectAttempts = 0;
    choose(kRealOnly);
    EXPECT_STREQ(platform::currentBackendName(), "none");
    EXPECT_EQ(connectAttempts, 0) << "a backend not named was tried";
    choose(kRealOnly, true);
    EXPECT_STREQ(platform::currentBackendName(), "none");
}

TEST_F(BackendChoice, WithoutADesktopTheProcessIsUntrusted) {
    choose(kRealOnly);
    EXPECT_STREQ(platform::currentBackendName(), "none");
    ::testing::internal::CaptureStdout();
    EXPECT_FALSE(isAccessibiltyEnabled());
    EXPECT_FALSE(showAccessibiltyPermisionPopup());
    initMacAccessibility(&recordingCallback);
    start("{}");
    setText("replacement");
    getDataForVelaAssist();
    std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "setText failed: the pasteboard did not take the text\n");
    EXPECT_EQ(desktop().promptRequests, 0);

    // The desktop behind does things; nothing of it reaches the host, and nothing was pasted.
    desktop().clearRequests();
    perform({{"action", "activate"}, {"pid", 101}});
    perform({{"action", "select"}, {"element", "doc"}, {"range", {0, 5}}});
    run(1.0);
    EXPECT_TRUE(hostEvents().empty());
    EXPECT_EQ(desktop().state()["pasteboard"]["items"][0]["public.utf8-plain-text"], "kept");
    for (const auto& request : desktop().requests())
        EXPECT_NE(request.value("call", ""), "AXUIElementCopyAttributeValue") << request.dump();
}

TEST_F(BackendChoice, FollowingStartsOnceTheDesktopAnswersWithoutARestart) {
    choose(kRealOnly);
    EXPECT_EQ(connectAttempts, 1);
    ::testing::internal::CaptureStdout();
    initMacAccessibility(&recordingCallback);
    start("{}");
    std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "") << "an untrusted start prints nothing";
    EXPECT_EQ(connectAttempts, 2) << "start's trust check looks again";

    // One more look every retry interval on the host's loop, and nothing followed meanwhile.
    perform({{"action", "activate"}, {"pid", 102}});
    run(2 * platform::kBackendRetryInterval + 0.1);
    EXPECT_EQ(connectAttempts, 4);
    EXPECT_TRUE(hostEvents().empty());

    // The accessibility service comes up: within one interval the library follows it.
    desktopAnswers = true;
    run(platform::kBackendRetryInterval);
    EXPECT_STREQ(platform::currentBackendName(), "late");
    EXPECT_EQ(connectAttempts, 5);
    EXPECT_TRUE(isAccessibiltyEnabled());
    run(5 * platform::kBackendRetryInterval);
    EXPECT_EQ(connectAttempts, 5) << "still looking after the desktop answered";

    perform({{"action", "activate"}, {"pid", 101}});
    run(0.5);
    ASSERT_EQ(hostEventNames(), std::vector<std::string>{"app_changed"});
    EXPECT_EQ(json::parse(hostEvents()[0].json)["bundle_id"], "com.example.editor");
    hostEvents().clear();
    perform({{"action", "select"}, {"element", "doc"}, {"range", {0, 5}}});
    run(1.0);
    ASSERT_EQ(hostEventNames(), std::vector<std::string>{"text_select"});
    EXPECT_EQ(json::parse(hostEvents()[0].json)["selected_text"], "Hello");
}

}  // namespace
}  // namespace korvale::testing
