// Shared helpers for the functional tests: a fresh simulated desktop per test, a recording host
// callback, and short ways to run the loop and read what the host and standard output saw.
#pragma once

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "Korvale.h"
#include "KorvaleSim.h"
#include "main.h"
#include "platform/sim/SimDesktop.h"

namespace korvale::testing {

using json = nlohmann::json;

struct HostEvent {
    std::string name;
    std::string json;
    double t;
};

// The events the test host received, in order.
std::vector<HostEvent>& hostEvents();
// Their names, in order.
std::vector<std::string> hostEventNames();
void recordingCallback(const char* name, const char* json);

// An editor (pid 101, "doc": "Hello world") and a mail application (pid 102, "body": "Dear Bob"),
// each with one editable text area in focus.
json twoAppsWorld();

// Loads `world` (stdout captured, not echoed) and resets the library's globals.
class DesktopTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    void loadWorld(json world);
    void run(double seconds) { sim::Desktop::instance().run(seconds); }
    double now() const { return sim::Desktop::instance().nowSeconds(); }
    const std::vector<std::string>& stdoutLines() const {
        return sim::Desktop::instance().stdoutLines();
    }
    void perform(const json& action);
    // The monitor follows `pid` as after an application change, without the change itself (the
    // application stays where it is, behind the host's one or in front).
    void follow(platform::pid_t pid);
    sim::Desktop& desktop() { return sim::Desktop::instance(); }
};

}  // namespace korvale::testing
