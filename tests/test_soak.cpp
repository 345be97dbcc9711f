// A short run of the seeded randomized soak (tests/soak/Soak.cpp): random worlds, user actions,
// host calls (also from inside the host callback, with oversized input and from another thread),
// injected faults and time, with every delivered event, every diagnostic line and the
// registration count checked after each step, and a switch measured after repeated
// init/start/main cycles in each episode. The long run is the korvale-soak command; this one
// keeps the normal test command quick.
#include "soak/Soak.h"

#include "TestSupport.h"

namespace korvale::testing {
namespace {

using soak::Options;
using soak::runSoak;

class Soak : public DesktopTest {};

TEST_F(Soak, RandomStepsKeepEveryPromiseForSeveralSeeds) {
    for (uint64_t seed : {1u, 2u, 3u}) {
        Options o;
        o.seed = seed;
        o.steps = 3000;
        o.stepsPerEpisode = 1000;
        auto r = runSoak(o);
        EXPECT_TRUE(r.ok) << "seed " << seed << " episode " << r.episode << " step " << r.step << ": " << r.failure
                          << "\nreplay: korvale-soak --seed " << seed << " --episode " << r.episode
                          << " --episode-steps 1000";
        EXPECT_EQ(r.steps, 3000u);
        // The run must reach the host, or it checked nothing about deliveries.
        EXPECT_GT(r.deliveries, 30u) << "seed " << seed;
        EXPECT_GE(r.emitted, r.deliveries) << "seed " << seed;
        EXPECT_GT(r.eventsByName["app_changed"], 0u) << "seed " << seed;
        EXPECT_GT(r.nestedCalls, 0u) << "seed " << seed;
        // The bounds, the other thread and the lifecycle were exercised, or not checked at all.
        EXPECT_GT(r.oversizedCalls, 0u) << "seed " << seed;
        EXPECT_GT(r.otherThreadCalls, 0u) << "seed " << seed;
        EXPECT_GT(r.lifecycleProbes, 0u) << "seed " << seed;
    }
}

TEST_F(Soak, SameSeedReplaysExactlyAndAnotherSeedDiffers) {
    Options o;
    o.seed = 42;
    o.steps = 800;
    o.stepsPerEpisode = 400;
    auto first = runSoak(o);
    auto again = runSoak(o);
    EXPECT_EQ(first.digest, again.digest) << "the same seed saw a different transcript";
    EXPECT_EQ(first.deliveries, again.deliveries);
    // One episode on its own replays as it ran inside the whole run.
    Options one = o;
    one.onlyEpisode = 1;
    one.steps = 400;
    Options firstEpisode = o;
    firstEpisode.steps = 400;
    EXPECT_EQ(runSoak(firstEpisode).deliveries + runSoak(one).deliveries, first.deliveries);
    o.seed = 43;
    EXPECT_NE(runSoak(o).digest, first.digest);
}

TEST(SoakChecks, RejectMalformedEventsAndForeignOutput) {
    using soak::checkShape;
    using soak::diagnosticLine;
    EXPECT_EQ(checkShape("app_changed", json{{"role", nullptr}, {"name", "Mail"}, {"bundle_id", "m"}}), "");
    EXPECT_NE(checkShape("app_changed", json{{"name", "Mail"}, {"bundle_id", "m"}}), "");
    EXPECT_NE(checkShape("caret", json{{"x", 1}}), "");
    EXPECT_NE(checkShape("text_select", json{{"selected_text", "a"}}), "");
    EXPECT_NE(checkShape("text_selected", json::object()), "");
    EXPECT_EQ(checkShape("alt_enter_pressed", json{{"selected_text", "ab"}, {"is_editable", true},
                                                    {"position", {{"x", nullptr}, {"y", nullptr}}},
                                                    {"size", {{"width", nullptr}, {"height", nullptr}}}}),
              "");
    EXPECT_TRUE(diagnosticLine("-25204 Error retrieving attribute"));
    EXPECT_TRUE(diagnosticLine("Error deserializing JSON: unexpected end of input"));
    EXPECT_FALSE(diagnosticLine("secret pasteboard text"));
    EXPECT_FALSE(diagnosticLine("25204 Error retrieving attributes"));
    EXPECT_TRUE(diagnosticLine("Error deserializing JSON: " + std::string(200, 'x') + "\xE2\x80\xA6"));
    EXPECT_FALSE(diagnosticLine("Error deserializing JSON: " + std::string(1000, 'x'))) << "a line of any length";
    EXPECT_FALSE(diagnosticLine("Error deserializing JSON: a\nb"));
}

}  // namespace
}  // namespace korvale::testing
