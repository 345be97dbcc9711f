// The demo host: what a host developer sees when an assistant loads libKorvale-Project. It loads the
// library like any host (public headers only) and registers its callback. By default it plays a
// desktop session (a world and timed user actions, in the scenario format) on the simulated
// desktop, on the wall clock; it prints, in aligned columns and as they happen, each user action,
// each host call, each host event with its JSON, and each diagnostic line the library writes.
// With --real it follows the real applications of the current Linux desktop instead, through the
// exports alone and a GLib main loop, and prints each host event as it arrives.
//
//   korvale-demo [--fast] [--scenario FILE | FILE] [--no-color]
//   korvale-demo --real [--seconds N] [--blocked-apps JSON] [--blocked-fields JSON] [--no-color]
//
// --fast plays the same session on the virtual clock (the times printed are still desktop times).
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>

#include "KorvaleSim.h"

#ifdef KORVALE_DEMO_REAL
#include <glib-unix.h>
#include <glib.h>
#endif

#ifndef KORVALE_DEFAULT_SESSION
#define KORVALE_DEFAULT_SESSION "examples/session.json"
#endif

namespace {

using json = nlohmann::json;

struct Style {
    const char* event = "";
    const char* user = "";
    const char* host = "";
    const char* out = "";
    const char* note = "";
    const char* bad = "";
    const char* reset = "";
};

Style style;
std::size_t stdoutShown = 0;  // diagnostic lines already printed
std::map<std::string, int> eventCounts;
int eventsTotal = 0;

// The time printed in the first column: desktop time on the simulated desktop, time since the
// demo started on a real one (where asking the simulated desktop would bind the library to it).
double (*timeNow)() = nullptr;

std::string compact(const json& j) { return j.dump(-1, ' ', false, json::error_handler_t::replace); }

// One output row: the time, a kind column, then the text. Every row of the demo's own starts with
// the time, so it never looks like a line the library printed.
void row(const char* colour, const char* kind, const std::string& text) {
    std::printf("%8.3f  %s%-7s%s %s%s%s\n", timeNow(), colour, kind, style.reset, colour, text.c_str(),
                style.reset);
    std::fflush(stdout);
}

void eventRow(const char* name, const char* jsonText) {
    char label[32];
    std::snprintf(label, sizeof label, "%-18s", name);
    row(style.event, "EVENT", std::string(label) + " " + jsonText);
    ++eventCounts[name];
    ++eventsTotal;
}

void printCounts() {
    for (const auto& [name, count] : eventCounts) std::printf(" %s %d", name.c_str(), count);
    std::printf("\n");
}

// The library's diagnostic lines are recorded by the simulated desktop (its echo is turned off);
// show the ones not shown yet, in their own column.
void flushDiagnostics() {
    json lines = json::parse(ksim_read("stdout"), nullptr, false);
    if (!lines.is_array()) return;
    for (; stdoutShown < lines.size(); ++stdoutShown)
        row(style.out, "stdout", lines[stdoutShown].get<std::string>());
}

// The host callback. Both strings live only during the call; nothing here keeps them. The library
// calls it from C: nothing may be thrown back.
void onEvent(const char* name, const char* jsonText) noexcept {
    try {
        flushDiagnostics();  // lines written before this event come first
        eventRow(name, jsonText);
        ksim_record_event(name, jsonText);  // lets the session's expectations see the event
    } catch (...) {
    }
}

std::string describeAction(const json& step) {
    if (step.contains("say") && step["say"].is_string()) return step["say"].get<std::string>();
    std::string text = step["action"].get<std::string>();
    for (auto it = step.begin(); it != step.end(); ++it) {
        if (it.key() == "action") continue;
        text += "  " + it.key() + "=" + (it->is_string() ? it->get<std::string>() : compact(*it));
    }
    return text;
}

std::string describeCall(const json& step) {
    std::string fn = step["call"].get<std::string>();
    if (step.contains("window")) return fn + "(window \"" + step["window"].get<std::string>() + "\")";
    if (!step.contains("arg")) return fn + "()";
    const json& arg = step["arg"];
    return fn + "(" + (arg.is_string() ? json(arg.get<std::string>()).dump() : compact(arg)) + ")";
}

// Runs the main loop for `seconds`, in slices, so diagnostic lines show up (with their time)
// close to when they were written.
void runLoop(double seconds) {
    const double slice = 0.02;
    double left = seconds;
    while (left > 1e-9) {
        double now = left < slice ? left : slice;
        ksim_run(now);
        left -= now;
        flushDiagnostics();
    }
}

bool readFile(const std::string& path, std::string& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream ss;
    ss << in.rdbuf();
    out = ss.str();
    return true;
}

int usage() {
    std::fprintf(stderr,
                 "usage: korvale-demo [--fast] [--scenario FILE | FILE] [--no-color]\n"
                 "       korvale-demo --real [--seconds N] [--blocked-apps JSON] [--blocked-fields JSON]"
                 " [--no-color]\n"
                 "  plays a desktop session (default %s) through libKorvale-Project\n"
                 "  --fast      virtual clock: the whole session in a moment\n"
                 "  --scenario  a session of your own: {\"world\": {...}, \"steps\": [...]}\n"
                 "  --real      follows the real applications on this Linux desktop (X11, AT-SPI)\n"
                 "              for N seconds (default 60; Ctrl-C stops earlier)\n"
                 "  --blocked-apps    JSON array of bundle ids, given to addBlockedApps\n"
                 "  --blocked-fields  JSON object, given to start (default {})\n",
                 KORVALE_DEFAULT_SESSION);
    return 2;
}

struct RealOptions {
    double seconds = 60;
    std::string blockedApps;  // empty: addBlockedApps is not called
    std::string blockedFields = "{}";
};

#ifdef KORVALE_DEMO_REAL

gint64 realStart = 0;
const char* stoppedBy = "time is up";

double secondsSinceStart() { return double(g_get_monotonic_time() - realStart) / 1e6; }

// The host callback on a real desktop: called from the GLib loop, from C.
void onRealEvent(const char* name, const char* jsonText) noexcept {
    try {
        eventRow(name, jsonText);
    } catch (...) {
    }
}

gboolean stopOnTimeout(gpointer loop) {
    g_main_loop_quit(static_cast<GMainLoop*>(loop));
    return G_SOURCE_REMOVE;
}

gboolean stopOnSignal(gpointer loop) {
    stoppedBy = "interrupted";
    g_main_loop_quit(static_cast<GMainLoop*>(loop));
    return G_SOURCE_REMOVE;
}

int runReal(const RealOptions& options) {
    realStart = g_get_monotonic_time();
    timeNow = &secondsSinceStart;

    GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
    // Installed before the first export, so a Ctrl-C during start-up still ends the run cleanly.
    guint onInt = g_unix_signal_add(SIGINT, stopOnSignal, loop);
    guint onTerm = g_unix_signal_add(SIGTERM, stopOnSignal, loop);
    guint onTime = g_timeout_add(guint(options.seconds * 1000), stopOnTimeout, loop);

    const char* display = std::getenv("DISPLAY");
    std::printf("%sFollowing the applications on display %s for %g s (Ctrl-C stops)%s\n", style.note,
                display ? display : "(none)", options.seconds, style.reset);
    std::printf("Columns: time since start (s), kind, what. kinds: %shost%s call of an export, %sEVENT%s "
                "delivered to the host callback; lines without a time are the library's own output.\n\n",
                style.host, style.reset, style.event, style.reset);
    std::fflush(stdout);

    bool trusted = isAccessibiltyEnabled();
    row(style.host, "host", std::string("isAccessibiltyEnabled() -> ") + (trusted ? "true" : "false"));
    // The library has looked for the desktop by now and says what it found.
    std::string backend = ksim_backend();
    if (backend == "none")
        row(style.note, "note", std::string("no accessibility service answers yet (DISPLAY=") +
                                    (display ? display : "") + "): the library acts as an untrusted process and keeps looking; it "
                                    "follows the desktop once its accessibility bus answers");
    else
        row(style.note, "note", "backend: " + backend);
    row(style.host, "host", "initMacAccessibility(the demo's callback)");
    initMacAccessibility(&onRealEvent);
    row(style.host, "host", "start(" + json(options.blockedFields).dump() + ")");
    start(options.blockedFields.c_str());
    if (!options.blockedApps.empty()) {
        row(style.host, "host", "addBlockedApps(" + json(options.blockedApps).dump() + ")");
        addBlockedApps(options.blockedApps.c_str());
    }

    g_main_loop_run(loop);

    // Whichever source did not fire is still attached; the one that fired removed itself.
    for (guint id : {onInt, onTerm, onTime})
        if (GSource* source = g_main_context_find_source_by_id(nullptr, id)) g_source_destroy(source);
    g_main_loop_unref(loop);
    std::printf("\n%s after %.1f s: %d host events:", stoppedBy, secondsSinceStart(), eventsTotal);
    printCounts();
    return 0;
}

#else

int runReal(const RealOptions&) {
    std::fprintf(stderr,
                 "korvale-demo: --real needs the Linux backend, and this build has none (atspi-2, "
                 "glib-2.0, x11 or xtst were not found when it was configured)\n");
    return 2;
}

#endif

}  // namespace

int main(int argc, char** argv) {
    bool fast = false, colour = isatty(STDOUT_FILENO) && !std::getenv("NO_COLOR");
    bool real = false, sessionGiven = false, realOptionGiven = false;
    RealOptions realOptions;
    std::string path = KORVALE_DEFAULT_SESSION;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--fast") fast = sessionGiven = true;
        else if (a == "--no-color") colour = false;
        else if (a == "--scenario" && i + 1 < argc) path = argv[++i], sessionGiven = true;
        else if (a == "--real") real = true;
        else if (a == "--seconds" && i + 1 < argc) {
            char* end = nullptr;
            realOptions.seconds = std::strtod(argv[++i], &end);
            // g_timeout_add counts milliseconds in 32 bits: about 49 days at most.
            if (*end || !std::isfinite(realOptions.seconds) || realOptions.seconds <= 0 ||
                realOptions.seconds > 4e6) {
                std::fprintf(stderr, "korvale-demo: --seconds wants a positive number of seconds\n");
                return 2;
            }
            realOptionGiven = true;
        } else if ((a == "--blocked-apps" || a == "--blocked-fields") && i + 1 < argc) {
            // Checked here: a typo would otherwise leave the demo running with no list at all.
            std::string value = argv[++i];
            json parsed = json::parse(value, nullptr, false);
            bool apps = a == "--blocked-apps";
            if (apps ? !parsed.is_array() : !parsed.is_object()) {
                std::fprintf(stderr, "korvale-demo: %s wants a JSON %s\n", a.c_str(), apps ? "array" : "object");
                return 2;
            }
            (apps ? realOptions.blockedApps : realOptions.blockedFields) = value;
            realOptionGiven = true;
        } else if (a == "-h" || a == "--help") return usage();
        else if (!a.empty() && a[0] != '-') path = a, sessionGiven = true;
        else return usage();
    }
    if (real ? sessionGiven : realOptionGiven) return usage();
    if (colour)
        style = {"\033[1;32m", "\033[36m", "\033[33m", "\033[2m", "\033[1m", "\033[1;31m", "\033[0m"};

    if (real) {
        // Checked before the library's first platform use, which would otherwise settle on the
        // simulated desktop and follow nothing.
        const char* backend = std::getenv("KORVALE_BACKEND");
        if (backend && std::strcmp(backend, "sim") == 0) {
            std::fprintf(stderr, "korvale-demo: --real follows the real desktop, but KORVALE_BACKEND=sim "
                                 "asks for the simulated one; unset it\n");
            return 2;
        }
        return runReal(realOptions);
    }
    timeNow = &ksim_now;

    std::string text;
    if (!readFile(path, text)) {
        std::fprintf(stderr, "korvale-demo: cannot read %s\n", path.c_str());
        return 2;
    }
    json session = json::parse(text, nullptr, false);
    if (!session.is_object() || !session.contains("steps") || !session["steps"].is_array()) {
        std::fprintf(stderr, "korvale-demo: %s is not a session ({\"world\": ..., \"steps\": [...]})\n",
                     path.c_str());
        return 2;
    }
    json world = session.value("world", json::object());
    world["clock"] = fast ? "virtual" : world.value("clock", std::string("wall"));
    world["echo_stdout"] = false;  // the demo prints the library's lines itself, labelled
    if (ksim_load_world(compact(world).c_str()) != 0) {
        std::fprintf(stderr, "korvale-demo: the world of %s: %s\n", path.c_str(), ksim_last_error());
        return 1;
    }

    std::printf("%s%s%s\n", style.note, session.value("name", std::string("Korvale desktop session")).c_str(),
                style.reset);
    std::printf("%s on the %s clock. Columns: desktop time (s), kind, what.\n", path.c_str(),
                fast ? "virtual" : "wall");
    std::printf("kinds: %suser%s action on the desktop, %shost%s call of an export, %sEVENT%s delivered "
                "to the host callback, %sstdout%s line the library printed\n\n",
                style.user, style.reset, style.host, style.reset, style.event, style.reset, style.out,
                style.reset);

    const auto wallStart = std::chrono::steady_clock::now();
    int unmet = 0, bad = 0;
    for (const json& step : session["steps"]) {
        if (!step.is_object()) continue;
        if (step.contains("note")) {
            row(style.note, "", step["note"].get<std::string>());
            if (step.contains("show")) {
                json state = json::parse(ksim_read("state"), nullptr, false);
                json::json_pointer where(step["show"].get<std::string>());
                row(style.note, "", "  " + step["show"].get<std::string>() + " = " +
                                        (state.contains(where) ? compact(state[where]) : "(not in the state)"));
            }
        } else if (step.contains("run")) {
            runLoop(step["run"].get<double>());
        } else if (step.contains("action")) {
            row(style.user, "user", describeAction(step));
            json action = step;
            action.erase("say");
            if (ksim_perform(compact(action).c_str()) != 0) {
                row(style.bad, "error", std::string("action refused: ") + ksim_last_error());
                ++bad;
            }
            flushDiagnostics();
        } else if (step.contains("call") && step["call"] == "initMacAccessibility") {
            row(style.host, "host", "initMacAccessibility(the demo's callback)");
            initMacAccessibility(&onEvent);
        } else if (step.contains("call") && (step["call"] == "isAccessibiltyEnabled" ||
                                             step["call"] == "showAccessibiltyPermisionPopup")) {
            bool trusted = step["call"] == "isAccessibiltyEnabled" ? isAccessibiltyEnabled()
                                                                   : showAccessibiltyPermisionPopup();
            row(style.host, "host", describeCall(step) + " -> " + (trusted ? "true" : "false"));
            flushDiagnostics();
        } else if (step.contains("call")) {
            row(style.host, "host", describeCall(step));
            int r = ksim_step(compact(step).c_str());
            if (r != 0) {
                row(style.bad, "error", ksim_last_error());
                ++(r == 1 ? unmet : bad);
            }
            flushDiagnostics();
        } else {
            // Expectations and event hooks: checked quietly, reported only when unmet.
            int r = ksim_step(compact(step).c_str());
            if (r != 0) {
                row(style.bad, "unmet", ksim_last_error());
                ++(r == 1 ? unmet : bad);
            }
        }
    }
    flushDiagnostics();

    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
    std::printf("\n%d host events in %.1f s of desktop time (%.1f s on the wall clock):", eventsTotal,
                ksim_now(), wall);
    printCounts();
    if (unmet || bad) {
        std::printf("%s%d expectation(s) not met, %d step(s) refused%s\n", style.bad, unmet, bad, style.reset);
        return 1;
    }
    return 0;
}
