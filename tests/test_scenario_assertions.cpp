// The scenario format's assertions for host developers: each one passes on what the library
// really does and fails, naming what differed, when the expectation is wrong — which is what a
// scenario sees when the library's behaviour breaks.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

#include "KorvaleSim.h"
#include "main.h"
#include "simcontrol/Scenario.h"
#include "utils.h"

namespace {

using json = nlohmann::json;
using korvale::simcontrol::ScenarioRunner;
using korvale::simcontrol::StepResult;

// An editor with a text area, and a mail application; the host's callback is "first".
json world() {
    return json::parse(R"({
      "echo_stdout": false,
      "apps": [
        {"pid": 101, "bundle_id": "com.example.editor", "name": "Editor", "focused": "doc",
         "elements": [{"id": "win1", "role": "AXWindow", "frame": [0, 0, 800, 600], "children": [
           {"id": "doc", "role": "AXTextArea", "text": "Hello world", "selection": [0, 0],
            "editable": true, "frame": [10, 40, 600, 400]}]}]},
        {"pid": 102, "bundle_id": "com.example.mail", "name": "Mail", "focused": "body",
         "elements": [{"id": "body", "role": "AXTextArea", "text": "Dear Sam", "editable": true,
                       "frame": [20, 60, 600, 400]}]}
      ]})");
}

// The steps every case starts with: started, Editor followed (app_changed at 0.18 s), "world"
// selected (text_select at 1.0 s), now 1.1 s, standard output and requests not yet looked at.
json prologue() {
    return json::parse(R"([
      {"call": "initMacAccessibility", "callback": "first"},
      {"call": "addBlockedApps", "arg": "[1,"},
      {"call": "start", "arg": "{}"},
      {"action": "activate", "pid": 101},
      {"run": 0.5},
      {"action": "select", "element": "doc", "range": [6, 5]},
      {"run": 0.6}
    ])");
}

// Each scenario starts with no monitor and no registrations, as the unit tests' desktops do.
void fresh() {
    korvale::mainExport();
}

class ScenarioAssertions : public ::testing::Test {
protected:
    void SetUp() override { korvale::mainExport(); }
    void TearDown() override { korvale::mainExport(); }

    // Plays the prologue and then `steps`; the runner's message on failure, "" on success.
    std::string play(const json& steps, StepResult expected = StepResult::Unmet) {
        json all = prologue();
        for (const auto& s : steps) all.push_back(s);
        fresh();
        StepResult r = ScenarioRunner::instance().play({{"world", world()}, {"steps", all}});
        if (r != StepResult::Done) EXPECT_EQ(r, expected) << ScenarioRunner::instance().lastError;
        return r == StepResult::Done ? "" : ScenarioRunner::instance().lastError;
    }
    void passes(const char* steps) { EXPECT_EQ(play(json::parse(steps)), "") << steps; }
    // The scenario must fail, and the message must name what differed.
    void failsWith(const char* steps, const std::string& message) {
        std::string error = play(json::parse(steps));
        EXPECT_NE(error.find(message), std::string::npos)
            << "expected a failure naming \"" << message << "\", got \"" << error << "\"";
    }
};

TEST_F(ScenarioAssertions, StandardOutputLineByPrefixOrPattern) {
    passes(R"([{"expect_stdout": [{"prefix": "Error deserializing JSON: "}, "Accessibility is enabled",
                                  "appChanged"]}])");
    passes(R"([{"expect_stdout": [{"pattern": "Error deserializing JSON: .+"},
                                  {"pattern": "Accessibility is (en|dis)abled"}, {"prefix": "app"}]}])");
    // The parser's text follows the prefix, so the exact line cannot be written down in advance.
    failsWith(R"([{"expect_stdout": ["Error deserializing JSON: ", "Accessibility is enabled", "appChanged"]}])",
              "line 0 differs");
    failsWith(R"([{"expect_stdout": [{"prefix": "Error parsing JSON: "}, "Accessibility is enabled", "appChanged"]}])",
              "line 0 does not start with \"Error parsing JSON: \"");
    // A pattern matches the whole line, not a part of it.
    failsWith(R"([{"expect_stdout": [{"prefix": "Error"}, {"pattern": "Accessibility"}, "appChanged"]}])",
              "line 1 does not match \"Accessibility\"");
    // The number of lines still counts.
    failsWith(R"([{"expect_stdout": [{"prefix": "Error"}, "Accessibility is enabled"]}])",
              "expected standard output");
    // A pattern that does not compile makes the step bad, not merely unmet.
    EXPECT_NE(play(json::parse(R"([{"expect_stdout": [{"pattern": "("}]}])"), StepResult::Bad).find("bad pattern"),
              std::string::npos);
}

TEST_F(ScenarioAssertions, EventDataWithExactlyTheseKeysInAnyOrder) {
    passes(R"([{"expect_events": [
        {"name": "app_changed", "data_exact": {"role": "AXApplication", "name": "Editor",
                                               "bundle_id": "com.example.editor"}},
        {"name": "text_select", "keys": ["size", "selected_text", "position", "name", "is_editable", "bundle_id"],
         "data_exact": {"selected_text": "world", "name": "Editor", "bundle_id": "com.example.editor",
                        "is_editable": true, "size": {"width": 40, "height": 16}, "position": {"y": 40, "x": 58}}}]}])");
    // A key the library adds, or one it leaves out, fails an exact comparison at any depth.
    failsWith(R"([{"expect_events": [{"name": "app_changed", "data_exact": {"name": "Editor",
        "bundle_id": "com.example.editor"}}, {}]}])",
              "/data/role (not expected)");
    failsWith(R"([{"expect_events": [{}, {"name": "text_select", "data_exact": {"selected_text": "world",
        "name": "Editor", "bundle_id": "com.example.editor", "is_editable": true,
        "size": {"width": 40}, "position": {"y": 40, "x": 58}}}]}])",
              "/data/size/height (not expected)");
    failsWith(R"([{"expect_events": [{"name": "app_changed", "data_exact": {"name": "Editor", "role": "AXApplication",
        "bundle_id": "com.example.editor", "pid": 101}}, {}]}])",
              "/data/pid (missing)");
    failsWith(R"([{"expect_events": [{"name": "app_changed", "keys": ["bundle_id", "name"]}, {}]}])",
              "/data keys [\"bundle_id\",\"name\",\"role\"]");
    failsWith(R"([{"expect_events": [{}, {"keys": ["bundle_id", "is_editable", "name", "position", "selected_text",
        "size", "extra"]}]}])",
              "/data keys");
}

TEST_F(ScenarioAssertions, TimeWindowInsteadOfAnExactTime) {
    passes(R"([{"expect_events": [{"name": "app_changed", "t": [0.1, 0.3]}, {"t": [0.5, 1.0]}]}])");
    failsWith(R"([{"expect_events": [{"name": "app_changed", "t": [0.2, 0.3]}, {}]}])", "/t (outside the window)");
    failsWith(R"([{"expect_events": [{}, {"t": [0.5, 0.99]}]}])", "/t (outside the window)");
    // Platform requests carry their time too.
    passes(R"([{"expect_requests": [{"call": "AXObserverCreate", "pid": 101, "t": [0, 0.01]}]}])");
    failsWith(R"([{"expect_requests": [{"call": "AXObserverCreate", "pid": 101, "t": [0.1, 1]}]}])",
              "not found in order");
}

TEST_F(ScenarioAssertions, RequestNotMadeWithinAWindow) {
    // Reading a selection writes nothing; following an application writes AXEnhancedUserInterface.
    passes(R"([{"expect_no_requests": {"call": "AXUIElementSetAttributeValue"}, "between": [0.1, 1.0]},
               {"expect_no_requests": {"call": "AXUIElementSetAttributeValue"}, "last": 0.9}])");
    failsWith(R"([{"expect_no_requests": {"call": "AXUIElementSetAttributeValue"}, "between": [0, 1.0]}])",
              "\"attribute\":\"AXEnhancedUserInterface\"");
    failsWith(R"([{"expect_no_requests": [{"call": "AXObserverCreate"}, {"call": "AXUIElementSetAttributeValue",
        "attribute": "AXEnhancedUserInterface"}], "between": [0, 0.05]}])",
              "was not expected between 0.0 s and 0.05 s");
    // Without a window: the requests since the last expect_requests step, left for the next one.
    failsWith(R"([{"expect_no_requests": {"call": "AXObserverAddNotification", "pid": 101}}])",
              "since the last expect_requests");
    passes(R"([{"expect_no_requests": {"call": "AXObserverAddNotification", "pid": 102}},
               {"expect_requests": [{"call": "AXObserverAddNotification", "pid": 101}]},
               {"expect_no_requests": {"call": "AXObserverAddNotification"}}])");
    // A blocked application is announced but no observer is made for it.
    passes(R"([{"call": "addBlockedApps", "arg": ["com.example.mail"]}, {"action": "activate", "pid": 102},
               {"run": 0.5}, {"expect_no_requests": {"call": "AXObserverCreate", "pid": 102}, "last": 0.5}])");
    failsWith(R"([{"action": "activate", "pid": 102}, {"run": 0.5},
                  {"expect_no_requests": {"call": "AXObserverCreate", "pid": 102}, "last": 0.5}])",
              "\"call\":\"AXObserverCreate\"");
}

TEST_F(ScenarioAssertions, WhichCallbackReceivedAnEvent) {
    passes(R"([{"expect_events": [{"name": "app_changed", "callback": "first"}, {"callback": "first"}]}])");
    // The newest callback receives the events of the monitor started earlier.
    const char* second = R"([{"expect_events": [{}, {}]}, {"call": "initMacAccessibility", "callback": "second"},
        {"action": "select", "element": "doc", "range": [0, 5]}, {"run": 0.5},
        {"expect_events": [{"name": "text_select", "callback": "%s", "data": {"selected_text": "Hello"}}]}])";
    std::string ok = second, wrong = second;
    ok.replace(ok.find("%s"), 2, "second");
    wrong.replace(wrong.find("%s"), 2, "first");
    passes(ok.c_str());
    failsWith(wrong.c_str(), "\"callback\":\"second\"");
    // The player's own callback is labelled "host"; a null callback records nothing.
    fresh();
    EXPECT_EQ(ScenarioRunner::instance().play({{"world", world()}, {"steps", json::parse(R"([
        {"call": "initMacAccessibility"}, {"call": "start", "arg": "{}"}, {"action": "activate", "pid": 101},
        {"run": 0.5}, {"expect_events": [{"callback": "host"}]},
        {"call": "initMacAccessibility", "callback": null}, {"action": "activate", "pid": 102}, {"run": 0.5},
        {"expect_events": []}])")}}),
              StepResult::Done)
        << ScenarioRunner::instance().lastError;
    // Labels are few, so a typo does not go unnoticed silently as a fifth callback.
    fresh();
    EXPECT_EQ(ScenarioRunner::instance().play({{"world", world()}, {"steps", json::parse(R"([
        {"call": "initMacAccessibility", "callback": "a"}, {"call": "initMacAccessibility", "callback": "b"},
        {"call": "initMacAccessibility", "callback": "c"}, {"call": "initMacAccessibility", "callback": "d"},
        {"call": "initMacAccessibility", "callback": "a"}, {"call": "initMacAccessibility", "callback": "e"}])")}}),
              StepResult::Bad);
}

TEST_F(ScenarioAssertions, MonitorFollowedApplicationAndFocusedElement) {
    passes(R"([{"expect_monitor": {"exists": true, "followed": {"pid": 101, "bundle_id": "com.example.editor",
                                   "name": "Editor"}, "process_id": 101, "focused_element": "doc"}}])");
    failsWith(R"([{"expect_monitor": {"followed": {"pid": 102}}}])", "monitor differs at /followed/pid");
    failsWith(R"([{"expect_monitor": {"focused_element": "body"}}])", "monitor differs at /focused_element");
    // After the library's main the monitor is gone.
    passes(R"([{"call": "main", "returns": 0}, {"expect_monitor": {"exists": false, "followed": null}}])");
    failsWith(R"([{"call": "main"}, {"expect_monitor": {"exists": true}}])", "monitor differs at /exists");
    // The same reading through the control API.
    EXPECT_EQ(play(json::array()), "");
    json monitor = json::parse(ksim_read("monitor"));
    EXPECT_EQ(monitor["followed"]["bundle_id"], "com.example.editor");
    EXPECT_EQ(monitor["focused_element"], "doc");
    EXPECT_EQ(monitor["blocked_apps"], json::array());
}

}  // namespace
