// The soak's run (Soak.h says what it is). After every step it checks:
//   - every delivery is a known event name with JSON text that parses to the shape that name
//     promises, and it is exactly the event stored at that moment (the latest one);
//   - an event stored while a callback is registered does not stay stuck once its deliveries
//     have come due (unless its data cannot be encoded, which keeps it by design);
//   - standard output holds only the library's diagnostic lines, each of ordinary length;
//   - input over the library's bounds (JSON nested too deep, text of megabytes) is refused with
//     exactly its one line and changes nothing;
//   - a call from another thread is refused with exactly its one line and changes nothing;
//   - accessibility registrations never outnumber the distinct (element, notification) pairs
//     asked for (the entry point follows from the notification, the process from the element).
// At each episode's start it also measures an application switch after one init/start/main
// cycle and again after many: the platform requests, the platform's callbacks into the library,
// the lines and the events must be the same.
#include "soak/Soak.h"

#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "Korvale.h"
#include "KorvaleSim.h"
#include "main.h"
#include "platform/sim/SimDesktop.h"
#include "platform/sim/SimWorkspace.h"
#include "utils.h"

namespace korvale::soak {

using json = nlohmann::json;

long residentKb() {
    std::ifstream statm("/proc/self/statm");
    long pages = 0, resident = 0;
    if (!(statm >> pages >> resident)) return 0;
    return resident * 4;
}

namespace {

// ---------------------------------------------------------------------------------------------
// Shapes of the event data the host may receive.

bool strOrNull(const json& d, const char* k) { return d.contains(k) && (d[k].is_string() || d[k].is_null()); }
bool numOrNull(const json& v) { return v.is_number() || v.is_null(); }
bool onlyKeys(const json& d, std::initializer_list<const char*> keys) {
    for (auto it = d.begin(); it != d.end(); ++it)
        if (std::none_of(keys.begin(), keys.end(), [&](const char* k) { return it.key() == k; })) return false;
    return true;
}
bool appInfoKeys(const json& d) {
    // "bundle_id" and "name" come merged in together, or not at all.
    if (d.contains("bundle_id") != d.contains("name")) return false;
    return !d.contains("bundle_id") || (strOrNull(d, "bundle_id") && strOrNull(d, "name"));
}
bool point(const json& p, const char* a, const char* b, bool nullable) {
    if (!p.is_object() || p.size() != 2 || !p.contains(a) || !p.contains(b)) return false;
    return nullable ? numOrNull(p[a]) && numOrNull(p[b]) : p[a].is_number() && p[b].is_number();
}
// An unreadable selected text is sent as null, like every value the platform does not provide.
bool selectionForm(const json& d) {
    return onlyKeys(d, {"selected_text", "is_editable", "position", "size", "bundle_id", "name"}) &&
           strOrNull(d, "selected_text") && d.contains("is_editable") &&
           d["is_editable"].is_boolean() && d.contains("position") && point(d["position"], "x", "y", false) &&
           d.contains("size") && point(d["size"], "width", "height", false) && appInfoKeys(d);
}
bool failureForm(const json& d) {
    if (d == json{{"message", "something wrong rev"}}) return true;
    return onlyKeys(d, {"message", "bundle_id", "name"}) && d.value("message", json()) == "something is wrong com" &&
           appInfoKeys(d);
}
bool caretForm(const json& d) {
    if (!onlyKeys(d, {"selected_text", "is_editable", "position", "size"}) || d.size() != 4) return false;
    if (!d["selected_text"].is_string() || d["is_editable"] != true) return false;
    if (!point(d["position"], "x", "y", true) || !point(d["size"], "width", "height", true)) return false;
    for (const char* k : {"width", "height"})
        if (d["size"][k].is_number() && d["size"][k].get<double>() < 0) return false;
    return true;
}

// The line (and "error" message) of a replacement that was not made because the followed
// application could not take it.
bool refusedPaste(const std::string& text) {
    static const std::regex refusal("setText: .+ (cannot be followed|is not in front); nothing was pasted");
    return std::regex_match(text, refusal);
}

}  // namespace

std::string checkShape(const std::string& name, const json& d) {
    if (!d.is_object()) return "data is not an object";
    bool ok = false;
    if (name == "app_changed")
        ok = d.size() == 3 && strOrNull(d, "role") && strOrNull(d, "name") && strOrNull(d, "bundle_id");
    else if (name == "focused_changed")
        ok = d.empty() || (d.size() == 2 && appInfoKeys(d));
    else if (name == "ui_reized" || name == "text_select")
        ok = selectionForm(d) || failureForm(d);
    else if (name == "caret" || name == "mouse_hoverd")
        ok = d.empty();
    else if (name == "alt_enter_pressed")
        ok = d.empty() || selectionForm(d) || failureForm(d) || caretForm(d);
    else if (name == "error")
        ok = d == json{{"message", "something is wrong"}} ||
             (d.size() == 1 && d.contains("message") && d["message"].is_string() &&
              refusedPaste(d["message"].get<std::string>()));
    else
        return "unknown event name";
    return ok ? "" : "data does not have the shape of \"" + name + "\"";
}

bool diagnosticLine(const std::string& line) {
    static const std::set<std::string> fixed = {
        "appChanged", "returing", "blocked", "error", "Accessibility is enabled", "Task ended",
        "setText: the clipboard could not be read in full; nothing was pasted",
        "setText: the text was not taken within 3 s", "setText failed: the pasteboard did not take the text",
        "setText failed: the paste keystroke could not be posted"};
    static const std::regex attribute(
        "-?[0-9]+ (Attribute not implemented|Error retrieving attribute|Error retrieving attribute list)");
    // Whatever the host sent, a line stays short: the longest echoes 200 bytes of its input.
    if (line.size() > 256 || line.find('\n') != std::string::npos) return false;
    if (fixed.count(line)) return true;
    if (line.rfind("Error deserializing JSON: ", 0) == 0) return true;
    if (line.rfind("blocked app ", 0) == 0) return true;
    if (line.rfind("setText failed: the text is longer than ", 0) == 0) return true;
    if (refusedPaste(line)) return true;
    return std::regex_match(line, attribute);
}

namespace {

// ---------------------------------------------------------------------------------------------
// The run.

class Soak {
public:
    explicit Soak(const Options& o) : opt(o) {}

    Result run();

    // Called by the host callback.
    void delivered(const char* name, const char* text);

private:
    using Rng = std::mt19937_64;

    void startEpisode(uint64_t episode);
    void step();
    void userAction();
    void hostCall(bool nested);
    void checkAfterStep();
    void fail(const std::string& what) {
        if (result.ok) {
            result.ok = false;
            result.failure = what;
            result.step = stepInEpisode;
            result.episode = episode;
        }
    }
    void mix(const std::string& s) {
        for (unsigned char c : s) result.digest = (result.digest ^ c) * 1099511628211ull;
        result.digest = (result.digest ^ 0xff) * 1099511628211ull;
    }

    // Random helpers.
    uint64_t below(uint64_t n) { return n ? std::uniform_int_distribution<uint64_t>(0, n - 1)(rng) : 0; }
    bool chance(double p) { return std::uniform_real_distribution<double>(0, 1)(rng) < p; }
    template <typename T>
    const T& pick(const std::vector<T>& v) { return v[below(v.size())]; }
    std::string randomText(size_t maxLen);
    json randomTypedValue();
    json randomWorld();
    bool perform(const json& action);
    void noteMonitor();
    // Host input over the library's bounds, a call from another thread, and the switch measured
    // after repeated cycles.
    void oversizedCall();
    void otherThreadCall();
    void lifecycleProbe();
    struct SwitchCost;
    SwitchCost measureSwitch(int from, int to);
    void cycle(int first, int second);

    Options opt;
    Result result;
    Rng rng;
    uint64_t episode = 0, stepInEpisode = 0;
    int callbackDepth = 0;
    bool episodeEnd = false;
    bool probing = false;  // measuring a switch: deliveries are recorded, no host call is made
    double probeStart = 0;
    std::vector<std::string> probeEvents;

    // The world of the episode.
    std::vector<int> pids;                 // described applications
    std::vector<std::string> elementIds;   // every element id of the world
    std::vector<std::string> textIds;      // elements that hold text
    std::vector<std::string> windowIds;    // application windows
    std::vector<std::string> hostWindows;  // host windows
    std::vector<std::string> bundleIds;

    // Bookkeeping for the checks.
    // Every monitor made in this episode; by weak reference, since a monitor that was never
    // started is released by `main`, and a new one may then live at the same address.
    std::vector<std::weak_ptr<MacAccessibility>> monitors;
    double lastEmission = -1;          // desktop time of the latest event stored (a delivery set up)
    double lastCallbackChange = 0;     // desktop time the host callback was last set or cleared
    double lastBusyEnd = 0;            // desktop time the main thread was last released by setText
    double runStart = -1, runEnd = -1; // the main loop's run in this step, if it ran
    size_t stdoutSeen = 0, requestsSeen = 0;
    std::set<std::pair<std::string, std::string>> registrationPairs;
};

Soak* active = nullptr;

void hostCallback(const char* name, const char* text) {
    if (active) active->delivered(name, text);
}

std::string Soak::randomText(size_t maxLen) {
    static const std::vector<std::string> pieces = {
        "a", "b", "word", " ", "\n", "caf\xC3\xA9", "e\xCC\x81", "\xF0\x9F\x98\x80", "\"", "\\", "/",
        "\xE2\x80\x94", "x", "hello", "\t", "\xE4\xB8\xAD"};
    std::string s;
    size_t n = below(maxLen + 1);
    for (size_t i = 0; i < n; ++i) s += pick(pieces);
    return s;
}

json Soak::randomTypedValue() {
    switch (below(14)) {
        case 0: return randomText(6);
        case 1: return json{{"number", static_cast<int64_t>(below(40)) - 5}};
        case 2: return json{{"real", below(2) ? 1e300 * 10 : 2.5}};  // 1e301 stays finite
        case 3: return json{{"bool", chance(0.5)}};
        case 4: return json::array({"a", 1});
        case 5: return json{{"point", {below(900), below(700)}}};
        case 6: return json{{"size", {below(900), below(700)}}};
        case 7: return json{{"rect", {below(900), below(700), below(300), below(3)}}};
        case 8: return json{{"range", {below(12), below(6)}}};
        case 9: return json{{"error_box", -25200 - static_cast<int>(below(14))}};
        case 10: return json{{"date", "2020-01-01"}};
        case 11: return json{{"url", "file:///tmp"}};
        case 12: return elementIds.empty() ? json("x") : json{{"element", pick(elementIds)}};
        default: return json{{"none", nullptr}};
    }
}

json Soak::randomWorld() {
    pids.clear(), elementIds.clear(), textIds.clear(), windowIds.clear(), hostWindows.clear(), bundleIds.clear();
    json world = {{"echo_stdout", false}, {"trusted", !chance(0.05)}};
    json apps = json::array();
    static const std::vector<std::string> textRoles = {"AXTextArea", "AXTextArea", "AXTextField", "AXStaticText"};
    static const std::vector<std::string> otherRoles = {"AXButton", "AXGroup", "AXWebArea", "AXImage"};
    static const std::vector<int> codes = {-25200, -25201, -25202, -25204, -25205, -25208, -25211, -25212, -25213};
    size_t nApps = 1 + below(4);
    for (size_t a = 0; a < nApps; ++a) {
        int pid = 101 + static_cast<int>(a);
        pids.push_back(pid);
        json app = {{"pid", pid}};
        std::string bundle = "com.example.app" + std::to_string(a);
        if (!chance(0.1)) app["bundle_id"] = bundle, bundleIds.push_back(bundle);
        if (!chance(0.1)) app["name"] = chance(0.05) ? "Quillforge" : "App" + std::to_string(a);
        if (chance(0.1)) app["ax"] = chance(0.5) ? "hung" : "gone";
        if (chance(0.1)) app["finished_launching"] = false;
        json elements = json::array();
        size_t nWindows = 1 + below(2);
        std::string firstText;
        for (size_t w = 0; w < nWindows; ++w) {
            std::string wid = "w" + std::to_string(pid) + "_" + std::to_string(w);
            json win = {{"id", wid}, {"role", "AXWindow"}, {"frame", {w * 50, w * 40, 800, 600}}};
            json children = json::array();
            size_t nChildren = below(5);
            for (size_t c = 0; c < nChildren; ++c) {
                std::string id = wid + "_e" + std::to_string(c);
                json e = {{"id", id}, {"frame", {10 + c * 5, 40 + c * 30, 600, 20}}};
                if (chance(0.75)) {
                    e["role"] = pick(textRoles);
                    std::string text = randomText(12);
                    e["text"] = text;
                    e["editable"] = chance(0.7);
                    textIds.push_back(id);
                    if (firstText.empty()) firstText = id;
                } else if (!chance(0.2)) {
                    e["role"] = pick(otherRoles);
                }
                if (chance(0.15)) e["errors"] = {{chance(0.5) ? "AXSelectedText" : "AXRole", pick(codes)}};
                if (chance(0.2)) e["attributes"] = {{"AXIdentifier", chance(0.5) ? "secret" : "plain"}};
                elementIds.push_back(id);
                children.push_back(e);
            }
            win["children"] = children;
            elements.push_back(win);
            windowIds.push_back(wid);
            elementIds.push_back(wid);
        }
        app["elements"] = elements;
        if (!firstText.empty() && !chance(0.2)) app["focused"] = firstText;
        apps.push_back(app);
    }
    world["apps"] = apps;
    json windows = json::array();
    for (size_t w = 0, n = below(3); w < n; ++w) {
        std::string id = "host" + std::to_string(w);
        hostWindows.push_back(id);
        windows.push_back({{"id", id}, {"frame", {1000 + w * 300, 0, 250, 200}}, {"content_view", !chance(0.15)}});
    }
    world["windows"] = windows;
    switch (below(3)) {
        case 0: world["pasteboard"] = json::array({{{"public.utf8-plain-text", randomText(5)}}}); break;
        case 1: world["pasteboard"] = json::array({{{"public.rtf", "{\\rtf1}"}}, {{"public.png", "PNG"}}}); break;
        default: break;
    }
    world["keyboard"] = {{"paste_latency", chance(0.1) ? 1.5 : 0.01}};
    return world;
}

bool Soak::perform(const json& action) {
    mix(action.dump());
    std::string error = sim::Desktop::instance().perform(action);
    if (!error.empty()) ++result.actionsRefused;  // the desktop refused (e.g. the element has gone)
    return error.empty();
}

// Counts the monitors the host made in this episode (each registers on its own).
void Soak::noteMonitor() {
    auto monitor = macAccessibility;
    if (!monitor) return;
    for (const auto& m : monitors)
        if (m.lock() == monitor) return;
    monitors.push_back(monitor);
}

// Text nested `levels` deep in arrays or objects.
std::string nestedJSON(int levels, bool objects) {
    std::string s;
    s.reserve(levels * 6 + 2);
    for (int i = 0; i < levels; ++i) s += objects ? "{\"a\":" : "[";
    s += "1";
    for (int i = 0; i < levels; ++i) s += objects ? "}" : "]";
    return s;
}

// Host input over the library's bounds: JSON nested deeper than it takes, JSON text and
// replacement text of megabytes. Each call is refused with exactly its one line and changes
// neither list nor the desktop.
void Soak::oversizedCall() {
    ++result.oversizedCalls;
    static const std::string deepArrays = nestedJSON(100000, false);
    static const std::string deepObjects = nestedJSON(100000, true);
    static const std::string unterminated = "[\"" + std::string(kMaxHostJSONBytes + 1, 'x');
    static const std::string hugeText(kMaxSetTextBytes + 1, 'w');
    static const std::string depthLine =
        "Error deserializing JSON: nesting deeper than " + std::to_string(kMaxHostJSONDepth) + " levels";
    static const std::string sizeLine =
        "Error deserializing JSON: the text is longer than " + std::to_string(kMaxHostJSONBytes) + " bytes";
    static const std::string textLine =
        "setText failed: the text is longer than " + std::to_string(kMaxSetTextBytes) + " bytes";

    auto& desktop = sim::Desktop::instance();
    const size_t linesBefore = desktop.stdoutLines().size(), requestsBefore = desktop.requests().size();
    const auto monitor = macAccessibility;
    const std::vector<std::string> apps = monitor ? monitor->blockedApps : std::vector<std::string>{};
    const auto fields = monitor ? monitor->blockedFiledsList : std::map<std::string, json>{};
    std::vector<std::string> expected;
    bool requestsAllowed = false;
    const uint64_t which = below(5);
    mix("oversized " + std::to_string(which));
    switch (which) {
        case 0: {  // just over the depth, or far over it
            const int levels = chance(0.5) ? kMaxHostJSONDepth + 1 : chance(0.5) ? 1000 : 100000;
            const bool objects = chance(0.5);
            addBlockedApps(levels == 100000 ? (objects ? deepObjects : deepArrays).c_str()
                                            : nestedJSON(levels, objects).c_str());
            expected = {depthLine};
            break;
        }
        case 1:
            addBlockedApps(unterminated.c_str());
            expected = {sizeLine};
            break;
        case 2:
            ::start(chance(0.5) ? ("{\"com.x\": " + nestedJSON(kMaxHostJSONDepth, true) + "}").c_str()
                                : deepObjects.c_str());
            noteMonitor();
            // start follows the workspace first (its requests and its trust line), then reads
            // the list; before initMacAccessibility it is ignored altogether.
            requestsAllowed = true;
            if (monitor) {
                if (desktop.trusted) expected.push_back("Accessibility is enabled");
                expected.push_back(depthLine);
            }
            break;
        case 3:
            ::start(unterminated.c_str());
            noteMonitor();
            requestsAllowed = true;
            if (monitor) {
                if (desktop.trusted) expected.push_back("Accessibility is enabled");
                expected.push_back(sizeLine);
            }
            break;
        default:
            setText(hugeText.c_str());
            if (monitor) expected = {textLine};
            break;
    }
    const std::vector<std::string> lines(desktop.stdoutLines().begin() + linesBefore, desktop.stdoutLines().end());
    if (lines != expected)
        return fail("oversized input " + std::to_string(which) + " printed " + json(lines).dump() + ", not " +
                    json(expected).dump());
    if (!requestsAllowed && desktop.requests().size() != requestsBefore)
        return fail("oversized input " + std::to_string(which) + " reached the desktop: " +
                    desktop.requests().back().dump());
    if (monitor && (monitor->blockedApps != apps || monitor->blockedFiledsList != fields))
        return fail("oversized input " + std::to_string(which) + " changed a blocked list");
}

// A call of an export from a thread other than the library's: refused with exactly one line on
// standard output (written directly: that thread may not touch the platform's console), and
// nothing changes. The library's thread waits meanwhile, so the run stays replayable.
void Soak::otherThreadCall() {
    ++result.otherThreadCalls;
    static const char* const names[] = {"addBlockedApps", "start", "setText", "getDataForVelaAssist",
                                        "addMouseTracker", "initMacAccessibility", "isAccessibiltyEnabled",
                                        "showAccessibiltyPermisionPopup", "main"};
    const uint64_t which = below(std::size(names));
    mix(std::string("other thread ") + names[which]);
    auto& desktop = sim::Desktop::instance();
    const size_t linesBefore = desktop.stdoutLines().size(), requestsBefore = desktop.requests().size();
    const auto monitor = macAccessibility;
    const auto callback = observer_callback;
    const bool stored = eventParams.has_value();
    const std::vector<std::string> apps = monitor ? monitor->blockedApps : std::vector<std::string>{};
    const int prompts = desktop.promptRequests;

    std::fflush(stdout);
    FILE* captured = std::tmpfile();
    const int savedStdout = dup(STDOUT_FILENO);
    if (!captured || savedStdout < 0 || dup2(fileno(captured), STDOUT_FILENO) < 0) {
        if (captured) std::fclose(captured);
        if (savedStdout >= 0) close(savedStdout);
        return fail("standard output could not be captured");
    }
    bool answer = true;
    int mainResult = 0;
    std::thread([&] {
        switch (which) {
            case 0: addBlockedApps("[\"com.other\"]"); break;
            case 1: ::start("{}"); break;
            case 2: setText("from another thread"); break;
            case 3: getDataForVelaAssist(); break;
            case 4: addMouseTracker(nullptr); break;
            case 5: initMacAccessibility(&hostCallback); break;
            case 6: answer = isAccessibiltyEnabled(); break;
            case 7: answer = showAccessibiltyPermisionPopup(); break;
            default: mainResult = mainExport(); break;
        }
    }).join();
    std::fflush(stdout);
    dup2(savedStdout, STDOUT_FILENO);
    close(savedStdout);
    std::string out;
    std::rewind(captured);
    for (int c; (c = std::fgetc(captured)) != EOF;) out += static_cast<char>(c);
    std::fclose(captured);

    const std::string expected = std::string("refused: ") + names[which] + " called from a thread other than the library's\n";
    if (out != expected) return fail("a call from another thread printed \"" + out + "\", not \"" + expected + "\"");
    if (desktop.stdoutLines().size() != linesBefore || desktop.requests().size() != requestsBefore ||
        desktop.promptRequests != prompts)
        return fail(std::string("a refused call of ") + names[which] + " from another thread reached the desktop");
    if (macAccessibility != monitor || observer_callback != callback || eventParams.has_value() != stored ||
        (monitor && monitor->blockedApps != apps))
        return fail(std::string("a refused call of ") + names[which] + " from another thread changed the library");
    if ((which == 6 || which == 7) && answer) return fail("a refused trust check answered true");
    if (mainResult != 0) return fail("a refused main returned " + std::to_string(mainResult));
}

// What an application switch costs, as the desktop sees it.
struct Soak::SwitchCost {
    json requests;                  // the library's requests, without their times
    uint64_t callbacks = 0;         // the desktop's calls into the library
    std::vector<std::string> lines;
    std::vector<std::string> events;  // name, data and microseconds after the switch
    bool operator==(const SwitchCost&) const = default;
};

// One host cycle: let go, set up again, follow both applications in turn (so the monitor
// registers for notifications, which the platform keeps). Ends following `second`.
void Soak::cycle(int first, int second) {
    mainExport();
    initMacAccessibility(&hostCallback);
    ::start(json{{bundleIds.empty() ? "com.x" : bundleIds[0], {{"name", "AXRole"}, {"value", "AXButton"}}}}.dump().c_str());
    addBlockedApps(R"(["com.example.blocked"])");
    perform({{"action", "activate"}, {"pid", first}});
    sim::Desktop::instance().run(0.3);
    perform({{"action", "activate"}, {"pid", second}});
    sim::Desktop::instance().run(0.3);
}

// Switches from `from` (in front) to `to`, lets the deliveries go out, and switches back.
Soak::SwitchCost Soak::measureSwitch(int from, int to) {
    auto& desktop = sim::Desktop::instance();
    desktop.clearRequests();
    probeEvents.clear();
    const uint64_t callbacksBefore = desktop.state().value("callbacks", uint64_t{0});
    const size_t linesBefore = desktop.stdoutLines().size();
    probeStart = desktop.nowSeconds();
    perform({{"action", "activate"}, {"pid", to}});
    desktop.run(1.0);
    SwitchCost cost;
    cost.requests = desktop.requests();
    for (auto& r : cost.requests) r.erase("t");
    cost.callbacks = desktop.state().value("callbacks", uint64_t{0}) - callbacksBefore;
    cost.lines.assign(desktop.stdoutLines().begin() + linesBefore, desktop.stdoutLines().end());
    cost.events = probeEvents;
    perform({{"action", "activate"}, {"pid", from}});
    desktop.run(0.3);
    return cost;
}

// Repeated initMacAccessibility / start / main must not make the library slower: a switch after
// many cycles costs what it costs after one, counted in requests, callbacks, lines and events,
// not in time.
void Soak::lifecycleProbe() {
    if (opt.lifecycleCycles == 0 || pids.size() < 2) return;
    ++result.lifecycleProbes;
    probing = true;
    const int first = pids[0], second = pids[1];
    cycle(first, second);  // one cycle, and one more so that first-time costs are behind
    cycle(first, second);
    const SwitchCost once = measureSwitch(second, first);
    for (uint64_t i = 0; i < opt.lifecycleCycles && result.ok; ++i) cycle(first, second);
    const SwitchCost after = measureSwitch(second, first);
    probing = false;
    if (after == once) return;
    auto describe = [](const SwitchCost& c) {
        return std::to_string(c.requests.size()) + " requests, " + std::to_string(c.callbacks) + " callbacks, " +
               std::to_string(c.lines.size()) + " lines, " + std::to_string(c.events.size()) + " events";
    };
    fail("a switch after " + std::to_string(opt.lifecycleCycles + 2) + " init/start/main cycles costs " +
         describe(after) + ", after two " + describe(once) +
         (after.requests != once.requests ? "; requests differ" : "") + (after.lines != once.lines ? "; lines differ" : "") +
         (after.events != once.events ? "; events differ" : ""));
}

void Soak::delivered(const char* name, const char* text) {
    ++result.deliveries;
    if (!name || !text) return fail("host callback received a null string");
    mix(name), mix(text);
    ++result.eventsByName[name];
    json data = json::parse(text, nullptr, false);
    if (data.is_discarded()) return fail(std::string("delivered text is not JSON: ") + name + " " + text);
    std::string shape = checkShape(name, data);
    if (!shape.empty()) return fail(std::string(name) + ": " + shape + ": " + text);
    if (!eventParams || eventParams->notification != name || eventParams->data != data)
        return fail(std::string("delivered ") + name + " " + text + " but the stored event is " +
                    (eventParams ? eventParams->notification : std::string("none")));
    if (probing) {
        const auto after = std::llround((sim::Desktop::instance().nowSeconds() - probeStart) * 1e6);
        probeEvents.push_back(std::string(name) + " " + text + " " + std::to_string(after));
        return;
    }
    // The host calls back into the library from inside its callback now and then.
    if (callbackDepth == 0 && chance(0.08)) {
        ++callbackDepth;
        ++result.nestedCalls;
        hostCall(true);
        --callbackDepth;
    }
}

void Soak::hostCall(bool nested) {
    ++result.hostCalls;
    auto& desktop = sim::Desktop::instance();
    static const std::vector<std::string> badJson = {"", "[", "{", "nul", "[1,]", "{\"a\":}", "\xFF\xFE",
                                                      "[\"a\" \"b\"]", "{}x", "\"just a string\"", "42"};
    if (!nested && chance(0.03)) return oversizedCall();
    if (!nested && chance(0.01)) return otherThreadCall();
    std::string arg;
    uint64_t which = below(nested ? 11 : 12);
    mix("call " + std::to_string(which));
    switch (which) {
        case 0: {  // addBlockedApps: valid, wrong shape, or not JSON
            json list = json::array();
            for (size_t i = 0, n = below(3); i < n && !bundleIds.empty(); ++i) list.push_back(pick(bundleIds));
            if (chance(0.2)) list.push_back(1);
            arg = chance(0.2) ? pick(badJson) : chance(0.1) ? json{{"a", "b"}}.dump() : list.dump();
            addBlockedApps(chance(0.03) ? nullptr : arg.c_str());
            break;
        }
        case 1: {  // start: valid field rules, wrong shape, or not JSON
            json rules = json::object();
            for (size_t i = 0, n = below(2); i < n && !bundleIds.empty(); ++i) {
                json rule = {{"name", chance(0.8) ? "AXIdentifier" : "AXRole"}};
                if (chance(0.7)) rule["value"] = chance(0.5) ? "secret" : "AXTextArea";
                rules[pick(bundleIds)] = rule;
            }
            if (chance(0.1)) rules["com.x"] = 3;
            arg = chance(0.2) ? pick(badJson) : rules.dump();
            ::start(chance(0.03) ? nullptr : arg.c_str());
            noteMonitor();
            break;
        }
        case 2: {
            arg = randomText(8);
            if (chance(0.1)) arg += "\xC3";  // ill-formed at the end
            setText(chance(0.03) ? nullptr : arg.c_str());
            lastBusyEnd = desktop.nowSeconds();
            break;
        }
        case 3: getDataForVelaAssist(); break;
        case 4: {
            void* handle = nullptr;
            if (!hostWindows.empty() && chance(0.8)) handle = ksim_window_handle(pick(hostWindows).c_str());
            else if (chance(0.5)) handle = reinterpret_cast<void*>(uintptr_t{0x1234});
            addMouseTracker(handle);
            break;
        }
        case 5: mix(std::to_string(isAccessibiltyEnabled())); break;
        case 6: mix(std::to_string(showAccessibiltyPermisionPopup())); break;
        case 7:
        case 8:
            if (!nested) {
                getDataForVelaAssist();
                break;
            }
            [[fallthrough]];
        case 9:  // a second initMacAccessibility, sometimes without a callback
            initMacAccessibility(chance(0.1) ? nullptr : &hostCallback);
            lastCallbackChange = desktop.nowSeconds();
            noteMonitor();
            break;
        case 10:  // the library's main (no monitor, no callback, no stored event), now and then
            if (!chance(0.3)) {
                getDataForVelaAssist();
                break;
            }
            mainExport();
            lastCallbackChange = desktop.nowSeconds();
            if (nested || chance(0.5)) break;
            // The host sets itself up again at once.
            initMacAccessibility(&hostCallback);
            noteMonitor();
            ::start("{}");
            break;
        default: {  // initialise and start again after main
            if (!macAccessibility) {
                initMacAccessibility(&hostCallback);
                lastCallbackChange = desktop.nowSeconds();
                noteMonitor();
            }
            ::start("{}");
            noteMonitor();
        }
    }
}

void Soak::userAction() {
    static const std::vector<std::string> notifications = {"AXFocusedUIElementChanged", "AXWindowMoved",
                                                           "AXWindowResized", "AXSelectedTextChanged",
                                                           "AXValueChanged"};
    static const std::vector<std::string> attributes = {"AXRole", "AXSelectedText", "AXSelectedTextRange",
                                                        "AXNumberOfCharacters", "AXFocusedUIElement",
                                                        "AXSelectedTextMarkerRange", "AXValue", "AXIdentifier"};
    static const std::vector<int> codes = {0, 0, -25200, -25201, -25202, -25204, -25205, -25208, -25211,
                                           -25212, -25213, -1, 7};
    const int front = sim::Desktop::instance().workspace().frontmostPid();
    const int pid = pids.empty() ? 101 : (front > 0 && chance(0.3)) ? front : pick(pids);
    const std::string el = elementIds.empty() ? "none" : pick(elementIds);
    const std::string text = textIds.empty() ? el : pick(textIds);
    switch (below(30)) {
        case 0: case 1: case 2: perform({{"action", "activate"}, {"pid", pid}}); break;
        case 3: case 4: case 5: perform({{"action", "focus"}, {"element", text}}); break;
        case 6: case 7: case 8: case 9:
            perform({{"action", "select"}, {"element", text}, {"range", {below(8), below(6)}}});
            break;
        case 10: perform({{"action", "edit"}, {"element", text}, {"text", randomText(10)}}); break;
        case 11:
            if (!windowIds.empty())
                perform({{"action", chance(0.5) ? "move_window" : "resize_window"}, {"window", pick(windowIds)},
                         {"frame", {below(500), below(400), 300 + below(500), 200 + below(400)}},
                         {"notified", chance(0.5) ? text : pick(windowIds)}});
            break;
        case 12: perform({{"action", "notify"}, {"element", el}, {"notification", pick(notifications)}}); break;
        case 13:
            perform({{"action", "set_attribute"}, {"element", chance(0.2) ? "app:" + std::to_string(pid) : el},
                     {"attribute", pick(attributes)}, {"value", randomTypedValue()}});
            break;
        case 14: perform({{"action", "set_attribute"}, {"element", el}, {"attribute", pick(attributes)}, {"remove", true}}); break;
        case 15:
            perform({{"action", "inject_error"}, {"element", chance(0.2) ? "app:" + std::to_string(pid) : el},
                     {"attribute", pick(attributes)}, {"code", pick(codes)}});
            break;
        case 16:
            perform({{"action", "app_ax_state"}, {"pid", pid}, {"state", chance(0.6) ? "ok" : chance(0.7) ? "hung" : "gone"}});
            break;
        case 17: perform({{"action", "fail_observer_create"}, {"pid", pid}, {"times", static_cast<int>(below(3))}}); break;
        case 18: {
            json a = {{"action", "fail_add_notification"}, {"times", static_cast<int>(below(3)) + 1},
                      {"code", chance(0.5) ? -25207 : -25204}};
            if (chance(0.5)) a["notification"] = pick(notifications);
            perform(a);
            break;
        }
        case 19: {
            static const std::vector<std::string> kinds = {"none", "no_app", "wrong_object", "app"};
            perform({{"action", "post_workspace_notification"}, {"user_info", pick(kinds)}, {"pid", pid},
                     {"name", chance(0.5) ? "NSWorkspaceDidActivateApplicationNotification"
                                          : "NSWorkspaceDidLaunchApplicationNotification"}});
            break;
        }
        case 20: {
            json a = {{"action", "launch"}, {"pid", 150 + static_cast<int>(below(4))}};
            if (chance(0.5)) a["bundle_id"] = "com.example.launched";
            if (chance(0.4)) a["finish_after"] = 0.3;
            if (chance(0.2)) a["background"] = true;
            perform(a);
            break;
        }
        case 21: perform({{"action", "quit"}, {"pid", chance(0.7) ? 150 + static_cast<int>(below(4)) : pid}}); break;
        case 22: perform({{"action", "finish_launching"}, {"pid", pid}}); break;
        case 23:
            if (chance(0.5)) perform({{"action", "copy_text"}, {"text", randomText(6)}});
            else perform({{"action", "set_pasteboard"}, {"items", json::array({{{"public.rtf", "{\\rtf1}"}}})}});
            break;
        case 24: case 25:  // the pointer into a host window, or out of all of them
            perform({{"action", "move_pointer"}, {"to", chance(0.6) ? json{1000 + below(700), below(250)} : json{below(900), 500}}});
            break;
        case 26: perform({{"action", "mouse_down"}}); break;
        case 27:
            if (!hostWindows.empty()) {
                if (chance(0.5)) perform({{"action", "close_host_window"}, {"window", pick(hostWindows)}});
                else perform({{"action", "open_host_window"}, {"window", pick(hostWindows)}});
            }
            break;
        case 28: {
            json answer = randomTypedValue();
            perform({{"action", "script"}, {"element", el},
                     {"attribute", chance(0.5) ? "AXBoundsForRange" : "AXStringForTextMarkerRange"}, {"answer", answer}});
            break;
        }
        default: perform({{"action", "set_host_active"}, {"active", chance(0.5)}}); break;
    }
}

void Soak::step() {
    auto& desktop = sim::Desktop::instance();
    uint64_t r = below(100);
    runStart = runEnd = -1;
    if (r < 45) {
        userAction();
    } else if (r < 60) {
        hostCall(false);
    } else {
        double seconds = chance(0.2) ? 0.5 + static_cast<double>(below(1500)) / 1000 : static_cast<double>(below(300)) / 1000;
        mix("run " + std::to_string(seconds));
        runStart = desktop.nowSeconds();
        desktop.run(seconds);
        runEnd = desktop.nowSeconds();
    }
}

void Soak::checkAfterStep() {
    auto& desktop = sim::Desktop::instance();
    const auto& lines = desktop.stdoutLines();
    for (; stdoutSeen < lines.size(); ++stdoutSeen) {
        ++result.stdoutLines;
        mix(lines[stdoutSeen]);
        if (!diagnosticLine(lines[stdoutSeen]))
            return fail("standard output line that is not a diagnostic: \"" + lines[stdoutSeen] + "\"");
    }
    const json& requests = desktop.requests();
    for (; requestsSeen < requests.size(); ++requestsSeen) {
        const json& r = requests[requestsSeen];
        if (r.value("call", "") == "AXObserverAddNotification")
            registrationPairs.insert({r.value("element", json()).dump(), r.value("notification", "")});
    }
    // A stored, encodable event with a callback registered all along goes out once the main loop
    // has run freely for two of the longest intervals after it; it must not still be waiting.
    const bool waiting = runEnd >= 0 && eventParams && observer_callback;
    const double freeFrom = std::max({lastEmission, runStart, lastBusyEnd});
    if (waiting && lastEmission >= lastCallbackChange && runEnd - freeFrom > 2 * kTextSelectDeliveryInterval + 0.01 &&
        encodeEventData(eventParams->data))
        return fail("the event \"" + eventParams->notification + "\" stored at " + std::to_string(lastEmission) +
                    " s is still waiting at " + std::to_string(runEnd) + " s");
    // Each monitor registers a pair at most once; a monitor made by `main` and a second
    // initMacAccessibility gets registrations of its own, since the old ones carry the old monitor.
    if (stepInEpisode % 50 != 0 && !episodeEnd) return;  // reading the whole state is slow
    json state = desktop.state();
    uint64_t registrations = state.value("registrations", 0);
    if (registrations > registrationPairs.size() * monitors.size())
        return fail(std::to_string(registrations) + " registrations for " +
                    std::to_string(registrationPairs.size()) + " distinct (element, notification) pairs and " +
                    std::to_string(monitors.size()) + " monitors");
}

void Soak::startEpisode(uint64_t e) {
    episode = e;
    stepInEpisode = 0;
    rng.seed(opt.seed * 0x9E3779B97F4A7C15ull + e * 0xBF58476D1CE4E5B9ull + 1);
    auto& desktop = sim::Desktop::instance();
    json world = randomWorld();
    // The switch measured after repeated cycles, on the fresh world; then the episode starts
    // from the same world loaded again.
    for (bool probe : {true, false}) {
        mainExport();
        std::string error = desktop.loadWorld(world);
        if (!error.empty()) return fail("the random world did not load: " + error + "\n" + world.dump());
        if (probe) lifecycleProbe();
        if (!result.ok) return;
    }
    monitors.clear();
    stdoutSeen = requestsSeen = 0;
    registrationPairs.clear();
    lastEmission = -1;
    lastCallbackChange = lastBusyEnd = 0;
    const size_t heap = mallinfo2().uordblks;
    if (e == 1 || (opt.onlyEpisode >= 0)) result.heapEarly = heap;
    result.heapMax = std::max(result.heapMax, heap);
    result.heapLast = heap;
    initMacAccessibility(&hostCallback);
    noteMonitor();
    ::start("{}");
}

Result Soak::run() {
    active = this;
    // Each event the library stores sets up its delivery on the main loop at once.
    sim::Desktop::instance().watchLibraryDelays([this](double) {
        lastEmission = sim::Desktop::instance().nowSeconds();
        ++result.emitted;
    });
    result = Result{};
    result.seed = opt.seed;
    uint64_t first = opt.onlyEpisode >= 0 ? static_cast<uint64_t>(opt.onlyEpisode) : 0;
    uint64_t e = first;
    while (result.ok && result.steps < opt.steps) {
        startEpisode(e);
        ++result.episodes;
        for (; result.ok && stepInEpisode < opt.stepsPerEpisode && result.steps < opt.steps; ++stepInEpisode) {
            step();
            if (result.ok) checkAfterStep();
            ++result.steps;
            if (opt.reportEvery && result.steps % opt.reportEvery == 0) {
                long rss = residentKb();
                result.rssMaxKb = std::max(result.rssMaxKb, rss);
                if (!opt.quiet)
                    std::fprintf(stderr, "soak: %" PRIu64 " steps, %" PRIu64 " deliveries, rss %ld KiB, heap at last episode start %zu KiB\n",
                                 result.steps, result.deliveries, rss, result.heapLast / 1024);
            }
        }
        // The end of an episode: everything pending goes out.
        if (result.ok) {
            runStart = sim::Desktop::instance().nowSeconds();
            sim::Desktop::instance().run(2.0);
            runEnd = sim::Desktop::instance().nowSeconds();
            episodeEnd = true;
            checkAfterStep();
            episodeEnd = false;
        }
        if (result.episodes == 1) result.rssFirstKb = residentKb();
        if (opt.onlyEpisode >= 0) break;
        ++e;
    }
    result.rssLastKb = residentKb();
    result.rssMaxKb = std::max(result.rssMaxKb, result.rssLastKb);
    mainExport();
    sim::Desktop::instance().watchLibraryDelays(nullptr);
    active = nullptr;
    return result;
}

}  // namespace

Result runSoak(const Options& options) {
    Soak soak(options);
    return soak.run();
}

}  // namespace korvale::soak
