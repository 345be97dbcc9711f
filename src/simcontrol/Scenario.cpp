// Playing scenarios against the simulated desktop through the library's own exports.
#include "simcontrol/Scenario.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <regex>
#include <sstream>
#include <stdexcept>

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

// A few distinct host callbacks, so a scenario can register "first" and then "second" and see
// which one the library calls.
constexpr std::size_t kCallbackSlots = 4;

template <std::size_t Slot>
void slotCallback(const char* name, const char* jsonText) noexcept {
    try {
        ScenarioRunner::instance().recordFromSlot(Slot, name, jsonText);
    } catch (...) {
        // Nothing may unwind into the library; the missing event fails the scenario instead.
    }
}

constexpr KorvaleHostCallback kSlotCallbacks[kCallbackSlots] = {
    &slotCallback<0>, &slotCallback<1>, &slotCallback<2>, &slotCallback<3>};

// The "t" of an entry against a number or a window [earliest, latest].
bool timeMatch(const json& expected, const json& actual, std::string& where) {
    if (!actual.is_number()) return (where = "/t (missing)", false);
    double t = actual.get<double>();
    if (expected.is_array()) {
        if (expected.size() != 2 || !expected[0].is_number() || !expected[1].is_number())
            throw std::runtime_error("a time window is [earliest, latest]");
        if (t >= expected[0].get<double>() - 1e-9 && t <= expected[1].get<double>() + 1e-9) return true;
        return (where = "/t (outside the window)", false);
    }
    if (!expected.is_number()) throw std::runtime_error("\"t\" is a number or [earliest, latest]");
    if (std::fabs(expected.get<double>() - t) <= 1e-9) return true;
    return (where = "/t", false);
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
    callbackLabels_.clear();
    lastError.clear();
    return desktop().loadWorld(world);
}

StepResult ScenarioRunner::fail(const std::string& message) {
    lastError = message;
    return StepResult::Unmet;
}

KorvaleHostCallback ScenarioRunner::labelledCallback(const std::string& label) {
    for (std::size_t i = 0; i < callbackLabels_.size(); ++i)
        if (callbackLabels_[i] == label) return kSlotCallbacks[i];
    if (callbackLabels_.size() == kCallbackSlots) return nullptr;
    callbackLabels_.push_back(label);
    return kSlotCallbacks[callbackLabels_.size() - 1];
}

void ScenarioRunner::recordFromSlot(std::size_t slot, const char* name, const char* jsonText) {
    // A slot whose label a newer world forgot still records, under its slot number.
    recordEvent(name, jsonText,
                slot < callbackLabels_.size() ? callbackLabels_[slot] : "slot " + std::to_string(slot));
}

json ScenarioRunner::monitorState() const {
    json out = {{"exists", macAccessibility != nullptr}, {"followed", nullptr},
                {"focused_element", nullptr}, {"process_id", nullptr}};
    if (!macAccessibility) return out;
    const MacAccessibility& m = *macAccessibility;
    if (m.frontmostApp) {
        const auto& app = *m.frontmostApp;
        auto orNull = [](const std::optional<std::string>& v) { return v ? json(*v) : json(nullptr); };
        out["followed"] = {{"pid", app.processIdentifier()},
                           {"bundle_id", orNull(app.bundleIdentifier())},
                           {"name", orNull(app.localizedName())}};
    }
    if (m.processID) out["process_id"] = *m.processID;
    if (m.focusedElement) out["focused_element"] = m.focusedElement->describe();
    out["blocked_apps"] = m.blockedApps;
    out["blocked_fields"] = json(m.blockedFiledsList);
    return out;
}

void ScenarioRunner::recordEvent(const char* name, const char* jsonText, const std::string& callback) {
    json entry;
    entry["name"] = name ? name : "";
    entry["callback"] = callback;
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
        // No "callback": the player's own; null: none; a string: a callback of that label, so
        // events show which of the host's callbacks received them.
        KorvaleHostCallback callback = &ksim_record_event;
        if (s.contains("callback") && s["callback"].is_null()) {
            callback = nullptr;
        } else if (s.contains("callback") && s["callback"].is_string()) {
            callback = labelledCallback(s["callback"].get<std::string>());
            if (!callback) {
                lastError = "at most " + std::to_string(kCallbackSlots) + " labelled callbacks";
                return StepResult::Bad;
            }
        }
        initMacAccessibility(callback);
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
    for (const auto& e : got)
        gotShort.push_back({{"name", e["name"]}, {"data", e["data"]}, {"t", e["t"]}, {"callback", e["callback"]}});
    if (got.size() != expected.size())
        return fail("expected " + std::to_string(expected.size()) + " host events " +
                    describe(expected) + ", got " + std::to_string(got.size()) + ": " +
                    describe(gotShort));
    for (std::size_t i = 0; i < expected.size(); ++i)
        if (!entryMatch(expected[i], got[i], where))
            return fail("host event " + std::to_string(i) + ": expected " + describe(expected[i]) +
                        ", got " + describe(gotShort[i]) + " (at " + where + ")");
    return StepResult::Done;
}

StepResult ScenarioRunner::expectStdout(const json& expected) {
    const auto& lines = desktop().stdoutLines();
    json got = json::array();
    for (std::size_t i = stdoutSeen_; i < lines.size(); ++i) got.push_back(lines[i]);
    stdoutSeen_ = lines.size();
    if (!expected.is_array()) throw std::runtime_error("\"expect_stdout\" is an array of lines");
    bool same = got.size() == expected.size();
    std::string why, unused;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        // Every expectation is read, so a bad pattern is reported whatever the lines were.
        if (!same || i >= got.size()) {
            lineMatch(expected[i], "", unused);
        } else if (!lineMatch(expected[i], got[i].get<std::string>(), why)) {
            same = false;
            why = "line " + std::to_string(i) + " " + why;
        }
    }
    if (!same)
        return fail("expected standard output " + describe(expected) + ", got " + describe(got) +
                    (why.empty() ? "" : " (" + why + ")"));
    return StepResult::Done;
}

StepResult ScenarioRunner::expectRequests(const json& expected, bool exact) {
    const json& all = desktop().requests();
    std::size_t k = 0;
    std::string where;
    std::size_t i = requestsSeen_;
    for (; i < all.size() && k < expected.size(); ++i) {
        if (entryMatch(expected[k], all[i], where)) ++k;
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

StepResult ScenarioRunner::expectNoRequests(const json& s) {
    json unwanted = s["expect_no_requests"];
    if (unwanted.is_object()) unwanted = json::array({unwanted});
    if (!unwanted.is_array()) throw std::runtime_error("\"expect_no_requests\" is a request or an array of them");
    const json& all = desktop().requests();
    // The window: "between" [t0, t1] of desktop time, "last" seconds up to now, or else the
    // requests since the last expect_requests step (which stay there for the next one).
    double from = -1, to = -1;
    std::size_t first = requestsSeen_;
    if (s.contains("between")) {
        const json& w = s["between"];
        if (!w.is_array() || w.size() != 2) throw std::runtime_error("\"between\" is [t0, t1]");
        from = w[0].get<double>();
        to = w[1].get<double>();
        first = 0;
    } else if (s.contains("last")) {
        to = desktop().nowSeconds();
        from = to - s["last"].get<double>();
        first = 0;
    }
    std::string where;
    for (std::size_t i = first; i < all.size(); ++i) {
        if (from >= 0 || to >= 0) {
            double t = all[i].value("t", -1.0);
            if (t < from - 1e-9 || t > to + 1e-9) continue;
        }
        for (const auto& u : unwanted)
            if (entryMatch(u, all[i], where))
                return fail("platform request " + describe(all[i]) + " was made, though " +
                            describe(u) + " was not expected" +
                            (from >= 0 ? " between " + json(from).dump() + " s and " + json(to).dump() + " s"
                                       : " since the last expect_requests"));
    }
    return StepResult::Done;
}

StepResult ScenarioRunner::expectMonitor(const json& expected) {
    std::string where;
    json state = monitorState();
    if (!partialMatch(expected, state, where))
        return fail("monitor differs at " + where + ": expected " + describe(expected) + ", got " +
                    describe(state));
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
        if (s.contains("expect_no_requests")) return expectNoRequests(s);
        if (s.contains("expect_monitor")) return expectMonitor(s["expect_monitor"]);
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

bool entryMatch(const json& expected, const json& actual, std::string& where) {
    if (!expected.is_object()) return partialMatch(expected, actual, where);
    json rest = expected;
    if (rest.contains("t")) {
        if (!timeMatch(rest["t"], actual.contains("t") ? actual["t"] : json(), where)) return false;
        rest.erase("t");
    }
    if (rest.contains("data_exact")) {
        if (!exactMatch(rest["data_exact"], actual.value("data", json()), where, "/data")) return false;
        rest.erase("data_exact");
    }
    if (rest.contains("keys")) {
        const json& data = actual.value("data", json());
        if (!data.is_object()) return (where = "/data (not an object)", false);
        std::vector<std::string> want = rest["keys"].get<std::vector<std::string>>(), have;
        for (auto it = data.begin(); it != data.end(); ++it) have.push_back(it.key());
        std::sort(want.begin(), want.end());  // nlohmann objects keep their keys sorted already
        if (want != have) return (where = "/data keys " + json(have).dump(), false);
        rest.erase("keys");
    }
    return partialMatch(rest, actual, where);
}

bool lineMatch(const json& expected, const std::string& line, std::string& error) {
    if (expected.is_string()) {
        if (expected.get<std::string>() == line) return true;
        return (error = "differs", false);
    }
    if (expected.is_object() && expected.size() == 1 && expected.contains("prefix")) {
        if (line.rfind(expected["prefix"].get<std::string>(), 0) == 0) return true;
        return (error = "does not start with " + expected["prefix"].dump(), false);
    }
    if (expected.is_object() && expected.size() == 1 && expected.contains("pattern")) {
        std::regex re;
        try {
            re = std::regex(expected["pattern"].get<std::string>(), std::regex::ECMAScript);
        } catch (const std::regex_error& e) {
            throw std::runtime_error("bad pattern " + expected["pattern"].dump() + ": " + e.what());
        }
        if (std::regex_match(line, re)) return true;
        return (error = "does not match " + expected["pattern"].dump(), false);
    }
    throw std::runtime_error("a line is a string, {\"prefix\": ...} or {\"pattern\": ...}");
}

bool exactMatch(const json& expected, const json& actual, std::string& where, const std::string& path) {
    if (expected.is_object()) {
        if (!actual.is_object()) return (where = path.empty() ? "/" : path, false);
        for (auto it = actual.begin(); it != actual.end(); ++it)
            if (!expected.contains(it.key())) return (where = path + "/" + it.key() + " (not expected)", false);
        for (auto it = expected.begin(); it != expected.end(); ++it) {
            std::string p = path + "/" + it.key();
            if (!actual.contains(it.key())) return (where = p + " (missing)", false);
            if (!exactMatch(*it, actual[it.key()], where, p)) return false;
        }
        return true;
    }
    if (expected.is_array()) {
        if (!actual.is_array() || actual.size() != expected.size())
            return (where = path.empty() ? "/" : path, false);
        for (std::size_t i = 0; i < expected.size(); ++i)
            if (!exactMatch(expected[i], actual[i], where, path + "/" + std::to_string(i))) return false;
        return true;
    }
    return partialMatch(expected, actual, where, path);
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
