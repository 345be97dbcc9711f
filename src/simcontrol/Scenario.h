// Scenarios: a world, then steps — calls of the nine exports, user actions and injected faults,
// running the main loop, and expectations about host events, standard-output lines, platform
// requests and desktop state. The same step JSON is what ksim_step takes, so every client drives
// the simulated desktop the same way. This code plays the host's part; it sits above the library.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace korvale::simcontrol {

using json = nlohmann::json;

enum class StepResult { Done = 0, Unmet = 1, Bad = -1 };

class ScenarioRunner {
public:
    static ScenarioRunner& instance();

    // Loads a world and forgets everything recorded. "" or the error.
    std::string loadWorld(const json& world);
    StepResult step(const json& step);
    // Plays a scenario; on failure lastError names the step and the unmet expectation.
    StepResult play(const json& scenario);

    void recordEvent(const char* name, const char* jsonText);
    const json& events() const { return events_; }

    std::string lastError;

private:
    StepResult call(const json& step);
    StepResult expectEvents(const json& expected);
    StepResult expectStdout(const json& expected);
    StepResult expectRequests(const json& expected, bool exact);
    StepResult expectState(const json& expected);
    StepResult fail(const std::string& message);

    json events_ = json::array();
    std::size_t eventsSeen_ = 0, stdoutSeen_ = 0, requestsSeen_ = 0;
    struct Hook {
        std::string name;
        json steps;
        bool once;
    };
    std::vector<Hook> hooks_;
    int hookDepth_ = 0;
};

// Whether `actual` matches `expected`: objects by the keys expected names, arrays element by
// element with the same length, numbers within 1e-9, everything else by equality. On a mismatch
// `where` says where.
bool partialMatch(const json& expected, const json& actual, std::string& where,
                  const std::string& path = "");

}  // namespace korvale::simcontrol
