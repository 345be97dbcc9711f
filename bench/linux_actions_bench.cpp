// Time the host's main thread spends per user action when the library follows real applications
// (the GTK 3 test application and l3afpad inside a private X server and session bus; run through
// bench/run-linux-bench.sh, which also builds an earlier revision of the library to compare).
//
// The library is loaded at run time from the file given with --library, and only its C exports
// are used, so one binary measures any revision of it. For each action the benchmark does what the
// user would (a selection, a focus move, a window switch), then runs the GLib main loop until the
// host callback has received the action's event and a further quiet period has passed. Measured:
//   - manual time: the main thread's busy time over that window, i.e. wall time minus the time
//     spent blocked in the poll of the default GLib main context (a poll function wraps the
//     default one). A synchronous D-Bus or X round trip blocks outside that poll, so it counts as
//     busy, as it does for a host whose main thread cannot do anything else meanwhile. The delays
//     the library waits on its own timers (e.g. the 0.5 s before "text_select") are idle;
//   - dbus: D-Bus method calls expecting a reply sent by the process (each a round trip to the
//     accessibility bus or an application), counted by wrapping libdbus's two sending functions;
//   - x: X requests waiting for a reply on the library's display connection (libX11's _XReply);
//   - cpu_ms: the main thread's CPU time over the window; to_event_ms: action to host event.
// The benchmark's own Xlib connection (it gives the input focus) is left out of the X count; the
// benchmark makes no D-Bus call of its own.
//   korvale-linux-bench --library=PATH TEST_APP_SCRIPT [--verbose] [--trace] [--switches=N]
//                       [benchmark options]
// --verbose prints the host events, --trace each counted D-Bus call of a measured action, and
// --switches makes the untimed "1,000 switches" fewer, to try the program out.
#include <X11/Xlib.h>
#include <benchmark/benchmark.h>
#include <dbus/dbus.h>
#include <dlfcn.h>
#include <glib.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include <utf8.h>

#include "TestApps.h"

namespace {

// ---- Counting the round trips of the process --------------------------------------------------

long dbusCalls = 0;
bool tracing = false;  // --trace: each counted call on standard error, while an action is measured

void trace(DBusMessage* message, const char* how) {
    if (!tracing) return;
    std::fprintf(stderr, "  dbus %s %s.%s -> %s %s\n", how, dbus_message_get_interface(message) ?: "",
                 dbus_message_get_member(message) ?: "", dbus_message_get_destination(message) ?: "",
                 dbus_message_get_path(message) ?: "");
}
long xReplies = 0;
Display* ownDisplay = nullptr;
gint64 blockedUs = 0;

template <typename F>
F realFunction(const char* name) {
    void* f = dlsym(RTLD_NEXT, name);
    if (!f) {
        std::fprintf(stderr, "korvale-linux-bench: %s not found\n", name);
        std::abort();
    }
    return reinterpret_cast<F>(f);
}

}  // namespace

// Exported from the executable (bench/linux-bench-interposed.list), so libatspi's and libX11's
// calls land here first and go on to the real functions.
extern "C" {

dbus_bool_t dbus_connection_send_with_reply(DBusConnection* connection, DBusMessage* message,
                                            DBusPendingCall** pending, int timeout) {
    static auto real = realFunction<decltype(&dbus_connection_send_with_reply)>("dbus_connection_send_with_reply");
    if (dbus_message_get_type(message) == DBUS_MESSAGE_TYPE_METHOD_CALL) {
        ++dbusCalls;
        trace(message, "call");
    }
    return real(connection, message, pending, timeout);
}

DBusMessage* dbus_connection_send_with_reply_and_block(DBusConnection* connection, DBusMessage* message,
                                                       int timeout, DBusError* error) {
    static auto real = realFunction<decltype(&dbus_connection_send_with_reply_and_block)>(
        "dbus_connection_send_with_reply_and_block");
    if (dbus_message_get_type(message) == DBUS_MESSAGE_TYPE_METHOD_CALL) {
        ++dbusCalls;
        trace(message, "blocking call");
    }
    return real(connection, message, timeout, error);
}

// libX11's internal wait for a reply (the reply's type is opaque here: Xlibint.h is not included,
// its min and max macros break the C++ library).
Status _XReply(Display* display, void* reply, int extra, Bool discard) {
    static auto real = realFunction<Status (*)(Display*, void*, int, Bool)>("_XReply");
    if (display != ownDisplay) ++xReplies;
    return real(display, reply, extra, discard);
}

}  // extern "C"

namespace {

using nlohmann::json;
using korvale_linux_test::bigText;
using korvale_linux_test::Child;
using korvale_linux_test::now;

// ---- The library, loaded from a file ----------------------------------------------------------

using Callback = void (*)(const char*, const char*);
struct Library {
    void (*initMacAccessibility)(Callback) = nullptr;
    bool (*isAccessibiltyEnabled)() = nullptr;
    void (*start)(const char*) = nullptr;
} lib;

bool loadLibrary(const std::string& path) {
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        std::fprintf(stderr, "korvale-linux-bench: %s\n", dlerror());
        return false;
    }
    lib.initMacAccessibility = reinterpret_cast<void (*)(Callback)>(dlsym(handle, "initMacAccessibility"));
    lib.isAccessibiltyEnabled = reinterpret_cast<bool (*)()>(dlsym(handle, "isAccessibiltyEnabled"));
    lib.start = reinterpret_cast<void (*)(const char*)>(dlsym(handle, "start"));
    return lib.initMacAccessibility && lib.isAccessibiltyEnabled && lib.start;
}

// ---- The main loop, the clock and the host callback -------------------------------------------

double threadCpu() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}

GPollFunc defaultPoll = nullptr;
gint timedPoll(GPollFD* fds, guint n, gint timeout) {
    const gint64 t0 = g_get_monotonic_time();
    gint r = defaultPoll(fds, n, timeout);
    blockedUs += g_get_monotonic_time() - t0;
    return r;
}

struct Event {
    std::string name;
    json data;
    double t;
};
std::vector<Event> events;

bool verbose = false;
bool traceActions = false;
int switchCount = 1000;  // --switches=N: fewer, to try the program out
std::string frontName;  // bundle identifier of the last "app_changed"
void onEvent(const char* name, const char* data) {
    if (verbose) std::fprintf(stderr, "event %s %s\n", name, data);
    events.push_back({name, json::parse(data, nullptr, false), now()});
    if (events.back().name == "app_changed") frontName = events.back().data.value("bundle_id", "");
}

// Runs the default main context until `done` holds (looked at after each dispatch) or `seconds`
// pass; the loop sleeps in its poll meanwhile, and a timeout source wakes it for the deadline.
bool runUntil(const std::function<bool()>& done, double seconds) {
    bool late = false;
    guint timer = g_timeout_add_full(G_PRIORITY_HIGH, guint(std::max(0.0, seconds) * 1000) + 1, [](gpointer p) {
        *static_cast<bool*>(p) = true;
        return G_SOURCE_REMOVE;
    }, &late, nullptr);
    bool ok = true;
    while (!done()) {
        if (late) {
            ok = false;
            break;
        }
        g_main_context_iteration(nullptr, TRUE);
    }
    if (!late) g_source_remove(timer);
    return ok;
}

void idle(double seconds) { runUntil([] { return false; }, seconds); }

// ---- Applications -----------------------------------------------------------------------------

// The bundle identifiers the host hears in "app_changed" (the name's case varies between
// revisions: the instance or the class part of WM_CLASS).
const std::string kTestApp = "Korvale-test-app";
const std::string kEditor = "L3afpad";
std::string appScript;
std::unique_ptr<Child> textApp, editor;
std::string textWindow, editorWindow;

// A command's output (xdotool), run to its end; the library is not asked anything meanwhile.
std::optional<std::string> output(std::vector<std::string> argv) {
    std::vector<char*> args;
    for (auto& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    gchar* out = nullptr;
    gint status = 0;
    if (!g_spawn_sync(nullptr, args.data(), nullptr, G_SPAWN_SEARCH_PATH, nullptr, nullptr, &out, nullptr,
                      &status, nullptr))
        return std::nullopt;
    std::string s = out ? out : "";
    g_free(out);
    if (status != 0) return std::nullopt;
    return s;
}

std::optional<std::string> windowOf(pid_t pid) {
    for (int i = 0; i < 100; ++i) {
        auto out = output({"xdotool", "search", "--onlyvisible", "--pid", std::to_string(pid)});
        if (out && !out->empty()) return out->substr(0, out->find('\n'));
        idle(0.1);
    }
    return std::nullopt;
}

std::unique_ptr<Child> startTestApp(std::vector<std::string> options, int x, int y) {
    std::vector<std::string> argv = {"/usr/bin/python3", appScript, std::to_string(x), std::to_string(y)};
    argv.insert(argv.end(), options.begin(), options.end());
    auto app = std::make_unique<Child>(argv);
    if (app->pid() <= 0 || !app->readLine(90)) return nullptr;
    return app;
}

// Gives the X input focus to a window (no window manager runs in the session, so the focus alone
// makes the application active, as `xdotool windowfocus` does in the tests).
void giveFocus(const std::string& window) {
    XSetInputFocus(ownDisplay, Window(std::stoul(window)), RevertToParent, CurrentTime);
    XFlush(ownDisplay);
}



// ---- One measured action ----------------------------------------------------------------------

// After the event, the main loop runs this long more (what the event sets going, such as the
// registrations after a first switch, belongs to the action).
constexpr double kQuiet = 0.4;

struct Totals {
    double dbus = 0, x = 0, cpu = 0, toEvent = 0;
    long n = 0;
    long wrong = 0;
};

// Does `action`, waits for an event `name` accepted by `accept`, then kQuiet more; sets the
// iteration's manual time to the main thread's busy time. False when the event did not come.
bool measure(benchmark::State& state, Totals& totals, const std::string& name,
             const std::function<void()>& action, const std::function<bool(const json&)>& accept = nullptr) {
    const size_t seen = events.size();
    const long d0 = dbusCalls, x0 = xReplies;
    const gint64 blocked0 = blockedUs;
    const double cpu0 = threadCpu(), t0 = now();
    tracing = traceActions;
    if (tracing) std::fprintf(stderr, "action (awaiting %s)\n", name.c_str());
    action();
    std::optional<Event> found;
    runUntil([&] {
        for (size_t i = seen; i < events.size() && !found; ++i)
            if (events[i].name == name) found = events[i];
        return found.has_value();
    }, 5);
    if (found) idle(found->t + kQuiet - now());
    tracing = false;
    const double wall = now() - t0;
    const double busy = wall - (blockedUs - blocked0) / 1e6;
    state.SetIterationTime(busy > 0 ? busy : 0);
    if (!found) return false;
    if (accept && !accept(found->data)) {
        ++totals.wrong;
        std::fprintf(stderr, "unexpected %s %s\n", name.c_str(), found->data.dump().c_str());
    }
    totals.dbus += dbusCalls - d0;
    totals.x += xReplies - x0;
    totals.cpu += threadCpu() - cpu0;
    totals.toEvent += found->t - t0;
    ++totals.n;
    return true;
}

void report(benchmark::State& state, const Totals& t) {
    const double n = std::max(1L, t.n);
    state.counters["dbus"] = t.dbus / n;
    state.counters["x"] = t.x / n;
    state.counters["cpu_ms"] = t.cpu * 1000 / n;
    state.counters["to_event_ms"] = t.toEvent * 1000 / n;
    if (t.wrong) state.SkipWithError("an event did not carry what the action did");
}

// Untimed: lets the applications' answers and events of the previous step pass.
void settle(double seconds = 0.5) {
    idle(seconds);
}

// Brings the application of `window` in front unless the host already has it there. Untimed set-up
// only: if no "app_changed" came within 3 s (seen on a loaded machine: the switch back to an
// application reported as a focus change instead), the focus goes to the other application and
// back.
bool frontIs(const std::string& window, const std::string& appName) {
    for (int attempt = 0; attempt < 4 && frontName != appName; ++attempt) {
        if (attempt > 0) {
            std::fprintf(stderr, "no app_changed for %s: the focus goes elsewhere and back\n", appName.c_str());
            giveFocus(window == textWindow ? editorWindow : textWindow);
            idle(1.0);
        }
        const size_t seen = events.size();
        giveFocus(window);
        runUntil([&] {
            for (size_t i = seen; i < events.size(); ++i)
                if (events[i].name == "app_changed" && events[i].data.value("bundle_id", "") == appName) return true;
            return false;
        }, 3);
    }
    return frontName == appName;
}

// ---- Selections -------------------------------------------------------------------------------

// Selections of 10 characters alternating between two places near `end` of the text view's
// document (so each is a change), the text view focused and its application in front.
void selections(benchmark::State& state, long bytes, int warmUps) {
    if (!frontIs(textWindow, kTestApp)) return state.SkipWithError("the test application is not in front");
    auto loaded = textApp->command("big_text " + std::to_string(bytes), 120);
    long chars = 0;
    if (!loaded || std::sscanf(loaded->c_str(), "ok big_text %*f %ld", &chars) != 1 || chars < 100)
        return state.SkipWithError("the document was not loaded");
    const auto text = bigText(chars);
    auto place = [&](int i) { return chars - (i % 2 ? 40 : 25); };
    for (int i = 0; i < warmUps; ++i) {
        textApp->send("select_view " + std::to_string(place(i)) + " " + std::to_string(place(i) + 10));
        settle(0.9);
        textApp->readLine(1);
    }
    Totals totals;
    int i = warmUps;
    for (auto _ : state) {
        const long at = place(i++);
        const std::string expected = utf8::utf32to8(text.substr(at, 10));
        bool ok = measure(state, totals, "text_select", [&] {
            textApp->send("select_view " + std::to_string(at) + " " + std::to_string(at + 10));
        }, [&](const json& d) { return d.value("selected_text", "") == expected; });
        state.PauseTiming();
        textApp->readLine(1);
        if (!ok) {
            state.SkipWithError("no text_select");
            break;
        }
        settle();
        state.ResumeTiming();
    }
    report(state, totals);
}

void BM_SelectSmallDocument(benchmark::State& state) { selections(state, 400, 2); }
void BM_SelectEndOf1MBDocument(benchmark::State& state) { selections(state, 1000000, 2); }

// ---- Focus ------------------------------------------------------------------------------------

// The focus moving to a list of 1,000 rows (from the entry, untimed, each time).
void BM_FocusListOf1000Rows(benchmark::State& state) {
    if (!frontIs(textWindow, kTestApp)) return state.SkipWithError("the test application is not in front");
    textApp->command("focus_entry");
    settle();
    textApp->command("focus_list");  // warm-up
    settle();
    Totals totals;
    for (auto _ : state) {
        state.PauseTiming();
        textApp->command("focus_entry");
        settle(0.8);
        state.ResumeTiming();
        bool ok = measure(state, totals, "focused_changed", [&] { textApp->send("focus_list"); });
        state.PauseTiming();
        textApp->readLine(1);
        if (!ok) {
            state.SkipWithError("no focused_changed");
            break;
        }
        settle();
        state.ResumeTiming();
    }
    report(state, totals);
}

// The first switch to an application never followed before, with `widgets` buttons in its
// window: one fresh application per iteration, all started before timing.
void firstSwitches(benchmark::State& state, int widgets) {
    std::vector<std::unique_ptr<Child>> apps;
    std::vector<std::string> windows;
    for (int64_t i = 0; i < state.max_iterations; ++i) {
        auto app = startTestApp({"widgets=" + std::to_string(widgets)}, 300 + 20 * int(i), 200);
        if (!app) return state.SkipWithError("an application did not start");
        auto window = windowOf(app->pid());
        if (!window) return state.SkipWithError("an application has no window");
        apps.push_back(std::move(app));
        windows.push_back(*window);
    }
    settle(1.5);  // their registrations on the accessibility bus are heard
    if (!frontIs(editorWindow, kEditor)) return state.SkipWithError("l3afpad is not in front");
    settle();
    Totals totals;
    size_t next = 0;
    for (auto _ : state) {
        const std::string window = windows[next++];
        bool ok = measure(state, totals, "app_changed", [&] { giveFocus(window); },
                          [](const json& d) { return d.value("bundle_id", "") == kTestApp; });
        state.PauseTiming();
        if (!ok) {
            state.SkipWithError("no app_changed");
            break;
        }
        frontIs(editorWindow, kEditor);
        settle();
        state.ResumeTiming();
    }
    report(state, totals);
}

void BM_FirstSwitchTo10Widgets(benchmark::State& state) { firstSwitches(state, 10); }
void BM_FirstSwitchTo1000Widgets(benchmark::State& state) { firstSwitches(state, 1000); }

// ---- 1,000 switches ---------------------------------------------------------------------------

// Switches back and forth between the test application and l3afpad, 1,000 times, untimed.
bool thousandSwitches() {
    static bool done = false;
    if (done) return true;
    const double t0 = now();
    for (int i = 0; i < switchCount; ++i)
        if (!(i % 2 ? frontIs(textWindow, kTestApp) : frontIs(editorWindow, kEditor))) return false;
    std::fprintf(stderr, "%d switches in %.1f s\n", switchCount, now() - t0);
    events.clear();
    done = true;
    return true;
}

// A switch to an application followed before, after 1,000 switches.
void BM_SwitchAfter1000Switches(benchmark::State& state) {
    if (!thousandSwitches()) return state.SkipWithError("a switch was not reported");
    settle();
    Totals totals;
    bool toEditor = true;
    for (auto _ : state) {
        const std::string window = toEditor ? editorWindow : textWindow;
        const std::string name = toEditor ? kEditor : kTestApp;
        toEditor = !toEditor;
        bool ok = measure(state, totals, "app_changed", [&] { giveFocus(window); },
                          [&](const json& d) { return d.value("bundle_id", "") == name; });
        state.PauseTiming();
        if (!ok) {
            state.SkipWithError("no app_changed");
            break;
        }
        settle();
        state.ResumeTiming();
    }
    report(state, totals);
}

// A selection in a small document after those 1,000 switches.
void BM_SelectAfter1000Switches(benchmark::State& state) {
    if (!thousandSwitches()) return state.SkipWithError("a switch was not reported");
    selections(state, 400, 2);
}

}  // namespace

// Fixed, modest iteration counts: every iteration is about a second of real desktop.
BENCHMARK(BM_SelectSmallDocument)->UseManualTime()->Iterations(8)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SelectEndOf1MBDocument)->UseManualTime()->Iterations(8)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FocusListOf1000Rows)->UseManualTime()->Iterations(6)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FirstSwitchTo10Widgets)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FirstSwitchTo1000Widgets)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SwitchAfter1000Switches)->UseManualTime()->Iterations(10)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SelectAfter1000Switches)->UseManualTime()->Iterations(8)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    std::string library;
    std::vector<char*> rest = {argv[0]};
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--library=", 10) == 0) library = argv[i] + 10;
        else if (std::strcmp(argv[i], "--verbose") == 0) verbose = true;
        else if (std::strcmp(argv[i], "--trace") == 0) traceActions = true;
        else if (std::strncmp(argv[i], "--switches=", 11) == 0) switchCount = std::atoi(argv[i] + 11);
        else if (appScript.empty() && argv[i][0] != '-') appScript = argv[i];
        else rest.push_back(argv[i]);
    }
    if (library.empty() || appScript.empty()) {
        std::fprintf(stderr, "usage: %s --library=PATH TEST_APP_SCRIPT [benchmark options]\n", argv[0]);
        return 2;
    }
    if (!loadLibrary(library)) return 1;
    ownDisplay = XOpenDisplay(nullptr);
    if (!ownDisplay) {
        std::fprintf(stderr, "no X display\n");
        return 77;
    }
    defaultPoll = g_main_context_get_poll_func(nullptr);
    g_main_context_set_poll_func(nullptr, timedPoll);

    lib.initMacAccessibility(onEvent);
    if (!lib.isAccessibiltyEnabled()) {
        std::fprintf(stderr, "the accessibility bus does not answer in this session\n");
        return 77;
    }
    lib.start("{}");

    std::string doc = std::string(g_get_tmp_dir()) + "/korvale-bench-" + std::to_string(getpid()) + ".txt";
    g_file_set_contents(doc.c_str(), "alpha beta gamma", -1, nullptr);
    textApp = startTestApp({"rows=1000", "scrolled=1"}, 100, 120);
    editor = std::make_unique<Child>(std::vector<std::string>{"l3afpad", doc});
    auto tw = textApp ? windowOf(textApp->pid()) : std::nullopt;
    auto ew = editor->pid() > 0 ? windowOf(editor->pid()) : std::nullopt;
    if (!tw || !ew) {
        std::fprintf(stderr, "the applications did not start\n");
        return 1;
    }
    textWindow = *tw;
    editorWindow = *ew;
    idle(1.0);
    // Both followed once before anything is measured.
    frontIs(editorWindow, kEditor);
    idle(0.5);
    frontIs(textWindow, kTestApp);
    idle(0.5);

    int benchArgc = int(rest.size());
    benchmark::Initialize(&benchArgc, rest.data());
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    textApp.reset();
    editor.reset();
    unlink(doc.c_str());
    XCloseDisplay(ownDisplay);
    return 0;
}
