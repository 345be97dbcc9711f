// Scenarios: a world, then steps — calls of the nine exports, user actions and injected faults,
// running the main loop, and expectations about host events, standard-output lines, platform
// requests and desktop state. The same step JSON is what ksim_step takes, so every client drives
// the simulated desktop the same way. This code plays the host's part; it sits above the library.
#pragma once

#include <nlohmann/json.hpp>
#include <cstddef>
#include <string>
#include <vector>

#include "Korvale.h"

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

    // Records one host event, with the label of the callback that received it ("host" for the
    // player's default callback, ksim_record_event).
    void recordEvent(const char* name, const char* jsonText, const std::string& callback = "host");
    const json& events() const { return events_; }
    // What the library's monitor holds now: whether it exists, the application it follows and
    // the element that last had the focus (ids of the simulated desktop), and its blocked lists.
    json monitorState() const;
    // The host callback registered for a scenario's callback label (a few distinct functions, so
    // the library can tell them apart), or null when every slot holds another label.
    KorvaleHostCallback labelledCallback(const std::string& label);
    void recordFromSlot(std::size_t slot, const char* name, const char* jsonText);

    std::string lastError;

private:
    StepResult call(const json& step);
    StepResult expectEvents(const json& expected);
    StepResult expectStdout(const json& expected);
    StepResult expectRequests(const json& expected, bool exact);
    StepResult expectNoRequests(const json& step);
    StepResult expectMonitor(const json& expected);
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
    // Labels of the host callbacks a scenario registered by name, one per callback slot.
    std::vector<std::string> callbackLabels_;
};

// Whether a host event or request entry matches an expectation: "t" may be a number or a window
// [earliest, latest]; for events, "data_exact" compares the data with the same keys at every
// level and "keys" names exactly the data's top-level keys; everything else matches partially.
bool entryMatch(const json& expected, const json& actual, std::string& where);

// Whether a diagnostic line matches an expectation: a string (the whole line), {"prefix": text}
// or {"pattern": regular expression matching the whole line}.
bool lineMatch(const json& expected, const std::string& line, std::string& error);

// Whether `actual` equals `expected` with the same keys in every object (in any order), arrays
// element by element, numbers within 1e-9.
bool exactMatch(const json& expected, const json& actual, std::string& where,
                const std::string& path = "");

// Whether `actual` matches `expected`: objects by the keys expected names, arrays element by
// element with the same length, numbers within 1e-9, everything else by equality. On a mismatch
// `where` says where.
bool partialMatch(const json& expected, const json& actual, std::string& where,
                  const std::string& path = "");

}  // namespace korvale::simcontrol
