// Seeded randomized soak of the library on the simulated desktop. Each episode loads a random
// world (applications with text areas, text fields, static text and other elements, host windows,
// pasteboard contents), then takes random steps: user actions, host calls (also from inside the
// host callback), injected faults and the passing of time. After every step it checks what the
// host and standard output saw against the library's promises:
//   - every delivery is a known event name with JSON text that parses to the shape that name
//     promises, and it is exactly the event stored at that moment (the latest one);
//   - an event stored while a callback is registered does not stay stuck once its deliveries
//     have come due (unless its data cannot be encoded, which keeps it by design);
//   - standard output holds only the library's fixed diagnostic lines;
//   - accessibility registrations never outnumber the distinct (element, notification) pairs
//     asked for (the entry point follows from the notification, the process from the element).
// A broken check stops the run and prints the seed and episode that replay it exactly.
//
// The tests include this file with KORVALE_SOAK_NO_MAIN for a short run; the command
//   korvale-soak --steps 1000000 --seed N
// is the long run, reporting steps, host events and the resident set size along the way.
#include <nlohmann/json.hpp>

#include <malloc.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <random>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "Korvale.h"
#include "KorvaleSim.h"
#include "main.h"
#include "platform/sim/SimDesktop.h"
#include "platform/sim/SimWorkspace.h"
#include "utils.h"

namespace korvale::soak {

using json = nlohmann::json;

struct Options {
    uint64_t seed = 1;
    uint64_t steps = 100000;
    uint64_t stepsPerEpisode = 2000;
    int64_t onlyEpisode = -1;        // replay one episode of the seed
    uint64_t reportEvery = 0;        // progress and memory lines every so many steps (0: never)
    bool quiet = false;
};

struct Result {
    bool ok = true;
    std::string failure;
    uint64_t seed = 0, episode = 0, step = 0;  // where the failure happened
    uint64_t steps = 0, episodes = 0, deliveries = 0, actionsRefused = 0, hostCalls = 0;
    uint64_t nestedCalls = 0, stdoutLines = 0, emitted = 0;
    long rssFirstKb = 0, rssLastKb = 0, rssMaxKb = 0;  // after the first episode, at the end, peak
    // Heap bytes in use right after a world is loaded (the desktop's logs are empty then): after
    // the second episode, and the largest and last such figure of the run.
    size_t heapEarly = 0, heapMax = 0, heapLast = 0;
    uint64_t digest = 1469598103934665603ull;          // of everything the host and stdout saw
    std::map<std::string, uint64_t> eventsByName;
};

// Resident set size of this process in KiB (Linux), 0 elsewhere.
inline long residentKb() {
    std::ifstream statm("/proc/self/statm");
    long pages = 0, resident = 0;
    if (!(statm >> pages >> resident)) return 0;
    return resident * 4;
}

namespace detail {

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

// "" when `data` has the shape the event `name` promises, else what is wrong.
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

// Whether a standard-output line is one of the library's fixed diagnostics.
bool diagnosticLine(const std::string& line) {
    static const std::set<std::string> fixed = {"appChanged", "returing", "blocked", "error",
                                                "Accessibility is enabled", "Task ended",
                                                "setText: the clipboard could not be read in full; nothing was pasted",
                                                "setText: the text was not taken within 3 s"};
    static const std::regex attribute(
        "-?[0-9]+ (Attribute not implemented|Error retrieving attribute|Error retrieving attribute list)");
    if (fixed.count(line)) return true;
    if (line.rfind("Error deserializing JSON: ", 0) == 0) return line.find('\n') == std::string::npos;
    if (line.rfind("blocked app ", 0) == 0) return true;
    if (refusedPaste(line)) return true;
    return std::regex_match(line, attribute);
}

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
    void installWrapper();

    Options opt;
    Result result;
    Rng rng;
    uint64_t episode = 0, stepInEpisode = 0;
    int callbackDepth = 0;
    bool episodeEnd = false;

    // The world of the episode.
    std::vector<int> pids;                 // described applications
    std::vector<std::string> elementIds;   // every element id of the world
    std::vector<std::string> textIds;      // elements that hold text
    std::vector<std::string> windowIds;    // application windows
    std::vector<std::string> hostWindows;  // host windows
    std::vector<std::string> bundleIds;

    // Bookkeeping for the checks.
    // Every monitor wrapped in this episode; by weak reference, since a monitor that was never
    // started is released by `main`, and a new one may then live at the same address.
    std::vector<std::weak_ptr<MacAccessibility>> wrapped;
    double lastEmission = -1;          // desktop time of the latest event stored
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

// Records each event a monitor stores, on the way to callbackWraper.
void Soak::installWrapper() {
    auto monitor = macAccessibility;
    if (!monitor) return;
    for (const auto& w : wrapped)
        if (w.lock() == monitor) return;
    wrapped.push_back(monitor);
    auto inner = monitor->callback;
    monitor->callback = [this, inner](const std::string& name, const EventData& data) {
        lastEmission = sim::Desktop::instance().nowSeconds();
        ++result.emitted;
        inner(name, data);
    };
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
            installWrapper();
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
            installWrapper();
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
            installWrapper();
            ::start("{}");
            break;
        default: {  // initialise and start again after main
            if (!macAccessibility) {
                initMacAccessibility(&hostCallback);
                lastCallbackChange = desktop.nowSeconds();
                installWrapper();
            }
            ::start("{}");
            installWrapper();
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
    // Hover events are stored without passing a monitor, so their time is not known here.
    const bool waiting = runEnd >= 0 && eventParams && observer_callback && eventParams->notification != "mouse_hoverd";
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
    if (registrations > registrationPairs.size() * wrapped.size())
        return fail(std::to_string(registrations) + " registrations for " +
                    std::to_string(registrationPairs.size()) + " distinct (element, notification) pairs and " +
                    std::to_string(wrapped.size()) + " monitors");
}

void Soak::startEpisode(uint64_t e) {
    episode = e;
    stepInEpisode = 0;
    rng.seed(opt.seed * 0x9E3779B97F4A7C15ull + e * 0xBF58476D1CE4E5B9ull + 1);
    mainExport();
    forgetRegistrations();
    wrapped.clear();
    json world = randomWorld();
    std::string error = sim::Desktop::instance().loadWorld(world);
    if (!error.empty()) return fail("the random world did not load: " + error + "\n" + world.dump());
    stdoutSeen = requestsSeen = 0;
    registrationPairs.clear();
    lastEmission = -1;
    lastCallbackChange = lastBusyEnd = 0;
    const size_t heap = mallinfo2().uordblks;
    if (e == 1 || (opt.onlyEpisode >= 0)) result.heapEarly = heap;
    result.heapMax = std::max(result.heapMax, heap);
    result.heapLast = heap;
    initMacAccessibility(&hostCallback);
    installWrapper();
    ::start("{}");
}

Result Soak::run() {
    active = this;
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
    forgetRegistrations();
    active = nullptr;
    return result;
}

}  // namespace detail

// Runs the soak; the result says whether every check held and, if not, where it broke.
inline Result runSoak(const Options& options) {
    detail::Soak soak(options);
    return soak.run();
}

}  // namespace korvale::soak

#ifndef KORVALE_SOAK_NO_MAIN
int main(int argc, char** argv) {
    korvale::soak::Options o;
    o.reportEvery = 100000;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto next = [&]() -> uint64_t {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "%s needs a value\n", a.c_str());
                std::exit(2);
            }
            return std::strtoull(argv[++i], nullptr, 10);
        };
        if (a == "--seed") o.seed = next();
        else if (a == "--steps") o.steps = next();
        else if (a == "--episode-steps") o.stepsPerEpisode = next();
        else if (a == "--episode") o.onlyEpisode = static_cast<int64_t>(next());
        else if (a == "--report-every") o.reportEvery = next();
        else if (a == "--quiet") o.quiet = true;
        else {
            std::fprintf(stderr,
                         "usage: korvale-soak [--seed N] [--steps N] [--episode-steps N] [--episode E] "
                         "[--report-every N] [--quiet]\n");
            return 2;
        }
    }
    setenv("KORVALE_BACKEND", "sim", 1);
    auto r = korvale::soak::runSoak(o);
    std::printf("seed %" PRIu64 ": %" PRIu64 " steps in %" PRIu64 " episodes, %" PRIu64 " host deliveries, %" PRIu64
                " host calls (%" PRIu64 " from inside the callback), %" PRIu64 " events stored, %" PRIu64 " diagnostic lines, %" PRIu64
                " actions refused by the desktop\n",
                r.seed, r.steps, r.episodes, r.deliveries, r.hostCalls, r.nestedCalls, r.emitted, r.stdoutLines, r.actionsRefused);
    for (const auto& [name, n] : r.eventsByName) std::printf("  %-18s %" PRIu64 "\n", name.c_str(), n);
    std::printf("resident set: %ld KiB after the first episode, %ld KiB at the end, %ld KiB peak\n", r.rssFirstKb,
                r.rssLastKb, r.rssMaxKb);
    std::printf("heap in use at an episode start: %zu KiB early, %zu KiB last, %zu KiB largest\n",
                r.heapEarly / 1024, r.heapLast / 1024, r.heapMax / 1024);
    std::printf("transcript digest %016" PRIx64 "\n", r.digest);
    if (!r.ok) {
        std::printf("FAILED at seed %" PRIu64 " episode %" PRIu64 " step %" PRIu64 ": %s\n", r.seed, r.episode, r.step,
                    r.failure.c_str());
        std::printf("replay: korvale-soak --seed %" PRIu64 " --episode %" PRIu64 " --episode-steps %" PRIu64 "\n", r.seed,
                    r.episode, o.stepsPerEpisode);
        return 1;
    }
    return 0;
}
#endif
