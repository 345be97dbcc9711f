// Playing scenarios against the simulated desktop through the library's own exports.
#include "simcontrol/Scenario.h"

#include <cmath>
#include <cstdint>
#include <sstream>

#include "Korvale.h"
#include "KorvaleSim.h"
#include "main.h"
#include "platform/sim/SimDesktop.h"

namespace korvale::simcontrol {

namespace {

sim::Desktop& desktop() { return sim::Desktop::instance(); }

std::string describe(const json& j) {
    std::string s = j.dump(-1, ' ', false, json::error_handler_t::replace);
    return s.size() > 400 ? s.substr(0, 400) + "..." : s;
}

// The string argument of a call: "arg" as text, null for a NULL pointer, or "arg_bytes" for raw
// bytes (ill-formed UTF-8 included).
bool stringArgument(const json& step, std::string& storage, const char*& pointer) {
    if (step.contains("arg_bytes")) {
        storage.clear();
        for (const auto& b : step["arg_bytes"]) storage.push_back(static_cast<char>(b.get<int>()));
        pointer = storage.c_str();
        return true;
    }
    if (!step.contains("arg") || step["arg"].is_null()) {
        pointer = nullptr;
        return true;
    }
    if (step["arg"].is_string()) {
        storage = step["arg"].get<std::string>();
    } else {
        storage = step["arg"].dump();  // a JSON value given inline stands for its text
    }
    pointer = storage.c_str();
    return true;
}

}  // namespace

ScenarioRunner& ScenarioRunner::instance() {
    static ScenarioRunner* runner = new ScenarioRunner();
    return *runner;
}

std::string ScenarioRunner::loadWorld(const json& world) {
    events_ = json::array();
    eventsSeen_ = stdoutSeen_ = requestsSeen_ = 0;
    hooks_.clear();
    lastError.clear();
    return desktop().loadWorld(world);
}

StepResult ScenarioRunner::fail(const std::string& message) {
    lastError = message;
    return StepResult::Unmet;
}

void ScenarioRunner::recordEvent(const char* name, const char* jsonText) {
    json entry;
    entry["name"] = name ? name : "";
    entry["json"] = jsonText ? jsonText : "";
    json parsed = json::parse(jsonText ? jsonText : "", nullptr, false);
    entry["data"] = parsed.is_discarded() ? json(nullptr) : parsed;
    entry["t"] = desktop().nowSeconds();
    events_.push_back(entry);
    // Steps the scenario wants run from inside the host callback.
    if (hookDepth_ > 2) return;
    for (std::size_t i = 0; i < hooks_.size(); ++i) {
        if (hooks_[i].name != entry["name"]) continue;
        json steps = hooks_[i].steps;
        if (hooks_[i].once) hooks_.erase(hooks_.begin() + static_cast<long>(i--));
        ++hookDepth_;
        for (const auto& s : steps) step(s);
        --hookDepth_;
    }
}

StepResult ScenarioRunner::call(const json& s) {
    const std::string fn = s["call"].get<std::string>();
    std::string storage;
    const char* arg = nullptr;
    json result = nullptr;
    if (fn == "main") {
        // The library's own main, not the host program's (C++ may not call ::main by name).
        result = korvale::mainExport();
    } else if (fn == "initMacAccessibility") {
        bool record = !s.contains("callback") || !s["callback"].is_null();
        initMacAccessibility(record ? &ksim_record_event : nullptr);
    } else if (fn == "isAccessibiltyEnabled") {
        result = isAccessibiltyEnabled();
    } else if (fn == "showAccessibiltyPermisionPopup") {
        result = showAccessibiltyPermisionPopup();
    } else if (fn == "addBlockedApps" || fn == "start" || fn == "setText") {
        stringArgument(s, storage, arg);
        if (fn == "addBlockedApps") addBlockedApps(arg);
        else if (fn == "start") ::start(arg);
        else setText(arg);
    } else if (fn == "getDataForVelaAssist") {
        getDataForVelaAssist();
    } else if (fn == "addMouseTracker") {
        void* handle = nullptr;
        if (s.contains("window")) handle = ksim_window_handle(s["window"].get<std::string>().c_str());
        else if (s.contains("handle")) handle = reinterpret_cast<void*>(s["handle"].get<uintptr_t>());
        addMouseTracker(handle);
    } else {
        lastError = "unknown call \"" + fn + "\"";
        return StepResult::Bad;
    }
    if (s.contains("returns") && s["returns"] != result)
        return fail(fn + " returned " + describe(result) + ", expected " + describe(s["returns"]));
    return StepResult::Done;
}

StepResult ScenarioRunner::expectEvents(const json& expected) {
    json got = json::array();
    for (std::size_t i = eventsSeen_; i < events_.size(); ++i) got.push_back(events_[i]);
    eventsSeen_ = events_.size();
    std::string where;
    json gotShort = json::array();
    for (const auto& e : got) gotShort.push_back({{"name", e["name"]}, {"data", e["data"]}, {"t", e["t"]}});
    if (got.size() != expected.size())
        return fail("expected " + std::to_string(expected.size()) + " host events " +
                    describe(expected) + ", got " + std::to_string(got.size()) + ": " +
                    describe(gotShort));
    for (std::size_t i = 0; i < expected.size(); ++i)
        if (!partialMatch(expected[i], got[i], where))
            return fail("host event " + std::to_string(i) + ": expected " + describe(expected[i]) +
                        ", got " + describe(gotShort[i]) + " (at " + where + ")");
    return StepResult::Done;
}

StepResult ScenarioRunner::expectStdout(const json& expected) {
    const auto& lines = desktop().stdoutLines();
    json got = json::array();
    for (std::size_t i = stdoutSeen_; i < lines.size(); ++i) got.push_back(lines[i]);
    stdoutSeen_ = lines.size();
    if (got != expected)
        return fail("expected standard output " + describe(expected) + ", got " + describe(got));
    return StepResult::Done;
}

StepResult ScenarioRunner::expectRequests(const json& expected, bool exact) {
    const json& all = desktop().requests();
    std::size_t k = 0;
    std::string where;
    std::size_t i = requestsSeen_;
    for (; i < all.size() && k < expected.size(); ++i) {
        if (partialMatch(expected[k], all[i], where)) ++k;
        else if (exact) break;
    }
    std::size_t seenFrom = requestsSeen_;
    requestsSeen_ = all.size();
    if (k < expected.size()) {
        json got = json::array();
        for (std::size_t j = seenFrom; j < all.size() && got.size() < 40; ++j) got.push_back(all[j]);
        return fail("expected platform request " + describe(expected[k]) + " (number " +
                    std::to_string(k) + " of the expected ones), not found in order among " +
                    describe(got));
    }
    if (exact && all.size() - seenFrom != expected.size())
        return fail("expected exactly " + std::to_string(expected.size()) + " platform requests, got " +
                    std::to_string(all.size() - seenFrom));
    return StepResult::Done;
}

StepResult ScenarioRunner::expectState(const json& expected) {
    std::string where;
    json state = desktop().state();
    if (!partialMatch(expected, state, where))
        return fail("desktop state differs at " + where + ": expected " + describe(expected));
    return StepResult::Done;
}

StepResult ScenarioRunner::step(const json& s) {
    if (!s.is_object()) {
        lastError = "a step is a JSON object";
        return StepResult::Bad;
    }
    try {
        if (s.contains("call")) return call(s);
        if (s.contains("run")) {
            desktop().run(s["run"].get<double>(),
                          s.value("mode", std::string(platform::kCFRunLoopDefaultMode)));
            return StepResult::Done;
        }
        if (s.contains("action")) {
            std::string error = desktop().perform(s);
            if (!error.empty()) {
                lastError = error;
                return StepResult::Bad;
            }
            return StepResult::Done;
        }
        if (s.contains("expect_events")) return expectEvents(s["expect_events"]);
        if (s.contains("expect_stdout")) return expectStdout(s["expect_stdout"]);
        if (s.contains("expect_requests"))
            return expectRequests(s["expect_requests"], s.value("exact", false));
        if (s.contains("expect_state")) return expectState(s["expect_state"]);
        if (s.contains("on_event")) {
            const json& h = s["on_event"];
            hooks_.push_back({h.at("name").get<std::string>(), h.at("steps"), h.value("once", true)});
            return StepResult::Done;
        }
        if (s.contains("note")) return StepResult::Done;
    } catch (const std::exception& e) {
        lastError = "bad step " + describe(s) + ": " + e.what();
        return StepResult::Bad;
    }
    lastError = "unknown step " + describe(s);
    return StepResult::Bad;
}

StepResult ScenarioRunner::play(const json& scenario) {
    if (!scenario.is_object() || !scenario.contains("steps") || !scenario["steps"].is_array()) {
        lastError = "a scenario is an object with \"world\" and \"steps\"";
        return StepResult::Bad;
    }
    std::string error = loadWorld(scenario.value("world", json::object()));
    if (!error.empty()) {
        lastError = "world: " + error;
        return StepResult::Bad;
    }
    const json& steps = scenario["steps"];
    for (std::size_t i = 0; i < steps.size(); ++i) {
        StepResult r = step(steps[i]);
        if (r != StepResult::Done) {
            lastError = "step " + std::to_string(i + 1) + " " + describe(steps[i]) + ": " + lastError;
            return r;
        }
    }
    return StepResult::Done;
}

bool partialMatch(const json& expected, const json& actual, std::string& where,
                  const std::string& path) {
    if (expected.is_object()) {
        if (!actual.is_object()) return (where = path.empty() ? "/" : path, false);
        for (auto it = expected.begin(); it != expected.end(); ++it) {
            std::string p = path + "/" + it.key();
            if (!actual.contains(it.key())) return (where = p + " (missing)", false);
            if (!partialMatch(*it, actual[it.key()], where, p)) return false;
        }
        return true;
    }
    if (expected.is_array()) {
        if (!actual.is_array() || actual.size() != expected.size())
            return (where = path.empty() ? "/" : path, false);
        for (std::size_t i = 0; i < expected.size(); ++i)
            if (!partialMatch(expected[i], actual[i], where, path + "/" + std::to_string(i)))
                return false;
        return true;
    }
    if (expected.is_number() && actual.is_number()) {
        if (std::fabs(expected.get<double>() - actual.get<double>()) <= 1e-9) return true;
        return (where = path, false);
    }
    if (expected != actual) return (where = path.empty() ? "/" : path, false);
    return true;
}

}  // namespace korvale::simcontrol
