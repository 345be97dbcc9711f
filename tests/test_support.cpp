// Shared helpers for the functional tests.
#include "TestSupport.h"

#include <cstdlib>

#include "BackendSeam.h"
#include "platform/sim/SimWorkspace.h"
#include "utils.h"

namespace korvale::testing {

namespace {
// Tests run on the simulated desktop whatever session the machine has; the backend is chosen
// at first use, which comes after static initialisation.
const bool kSimulatedBackend = [] { return setenv("KORVALE_BACKEND", "sim", 1) == 0; }();
}  // namespace

void chooseBackendAgain(std::span<const platform::BackendEntry> table, bool simulatedAsked) {
    // Kept reachable to the end (the list itself is never destroyed), so that a previous choice,
    // which may still be referred to, is not reported as a leak.
    static auto* previous = new std::vector<platform::BackendChoice*>;
    if (auto* old = platform::processChoice()) previous->push_back(old);
    platform::processChoice() = platform::chooseBackend(table, simulatedAsked);
}

std::vector<HostEvent>& hostEvents() {
    static std::vector<HostEvent> events;
    return events;
}

std::vector<std::string> hostEventNames() {
    std::vector<std::string> out;
    for (const auto& e : hostEvents()) out.push_back(e.name);
    return out;
}

void recordingCallback(const char* name, const char* json) {
    hostEvents().push_back({name, json, sim::Desktop::instance().nowSeconds()});
}

void DesktopTest::SetUp() { loadWorld(json::object()); }

void DesktopTest::TearDown() {
    mainExport();
}

json twoAppsWorld() {
    auto app = [](int pid, const char* bundle, const char* name, const char* id, const char* text) {
        return json{{"pid", pid}, {"bundle_id", bundle}, {"name", name}, {"focused", id},
                    {"elements", json::array({{{"id", id}, {"role", "AXTextArea"}, {"text", text},
                                               {"editable", true}, {"frame", {10, 40, 600, 400}}}})}};
    };
    return {{"apps", json::array({app(101, "com.example.editor", "Editor", "doc", "Hello world"),
                                  app(102, "com.example.mail", "Mail", "body", "Dear Bob")})}};
}

void DesktopTest::loadWorld(json world) {
    if (!world.contains("echo_stdout")) world["echo_stdout"] = false;
    mainExport();
    hostEvents().clear();
    std::string error = sim::Desktop::instance().loadWorld(world);
    ASSERT_EQ(error, "") << "world did not load";
}

void DesktopTest::follow(platform::pid_t pid) {
    ASSERT_TRUE(macAccessibility) << "follow() needs initMacAccessibility first";
    macAccessibility->frontmostApp = desktop().workspace().application(pid);
    macAccessibility->processID = pid;
}

void DesktopTest::perform(const json& action) {
    std::string error = sim::Desktop::instance().perform(action);
    ASSERT_EQ(error, "") << "action " << action.dump() << " failed";
}

}  // namespace korvale::testing
