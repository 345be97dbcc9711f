// The Linux end-to-end programs' shared driver (DesktopDriver.h).
#include "DesktopDriver.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "Korvale.h"

namespace korvale_linux_test {

std::vector<Event> events;
bool quietEvents = false;

namespace {
int passed = 0, failed = 0;
}  // namespace

void onEvent(const char* name, const char* data) {
    json parsed = json::parse(data, nullptr, false);
    events.push_back({name, parsed, now()});
    if (quietEvents) return;
    std::printf("  event %s %s\n", name, data);
    std::fflush(stdout);
}

std::string str(const std::optional<Event>& e) { return e ? e->name + " " + e->data.dump() : "(none)"; }

void pump(double seconds) { pumpUntil([] { return false; }, seconds); }

std::optional<Event> waitEvent(const std::string& names, double since, double seconds,
                               const std::function<bool(const json&)>& accept) {
    std::optional<Event> found;
    pumpUntil([&] {
        for (const auto& e : events) {
            if (e.t < since) continue;
            if (("|" + names + "|").find("|" + e.name + "|") == std::string::npos) continue;
            if (accept && !accept(e.data)) continue;
            found = e;
            return true;
        }
        return false;
    }, seconds);
    return found;
}

std::optional<Event> eventAfter(const std::function<void()>& action, const std::string& names, double seconds,
                                const std::function<bool(const json&)>& accept) {
    const double since = now();
    action();
    return waitEvent(names, since, seconds, accept);
}

bool followDesktop(const char* fieldRules) {
    initMacAccessibility(onEvent);
    if (!isAccessibiltyEnabled()) {
        std::printf("SKIPPED: the accessibility bus does not answer in this session\n");
        return false;
    }
    start(fieldRules);
    return true;
}

void check(bool ok, const std::string& what, const std::string& detail) {
    std::printf("%s %s %s\n", ok ? "PASS" : "FAIL", what.c_str(), ok ? "" : detail.c_str());
    std::fflush(stdout);
    ++(ok ? passed : failed);
}

int summary() {
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed ? 1 : 0;
}

std::string testFile(const std::string& name) {
    const char* dir = std::getenv("KORVALE_TEST_DIR");
    return std::string(dir && *dir ? dir : "/tmp") + "/" + name;
}

std::vector<std::string> testAppCommand(const std::string& script) {
    return {"/usr/bin/python3", script, "100", "120"};
}

std::optional<std::string> run(std::vector<std::string> argv, double seconds) {
    Child c(std::move(argv));
    if (!c.ok()) return std::nullopt;
    std::string out;
    auto code = c.wait(seconds);
    out = c.output();
    if (!code || *code != 0) return std::nullopt;
    while (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
}

std::optional<std::string> visibleWindowOf(pid_t pid) {
    for (int i = 0; i < 50; ++i) {
        auto out = run({"xdotool", "search", "--onlyvisible", "--pid", std::to_string(pid)}, 5);
        if (out && !out->empty()) return out->substr(0, out->find('\n'));
        pump(0.1);
    }
    return std::nullopt;
}

bool focusWindow(const std::string& window) {
    return run({"xdotool", "windowfocus", "--sync", window}, 5).has_value();
}

std::optional<Frame> frameOf(Child& app) {
    auto line = app.command("frame");
    Frame f;
    if (!line || std::sscanf(line->c_str(), "frame %lf %lf %lf %lf", &f.x, &f.y, &f.w, &f.h) != 4)
        return std::nullopt;
    return f;
}

bool inside(const json& data, const Frame& f) {
    try {
        double x = data.at("position").at("x"), y = data.at("position").at("y");
        double w = data.at("size").at("width"), h = data.at("size").at("height");
        return x >= f.x && y >= f.y && x + w <= f.x + f.w + 1 && y + h <= f.y + f.h + 1 && w > 0 && h > 0;
    } catch (...) {
        return false;
    }
}

bool bundleIs(const json& data, const std::string& bundle) {
    return data.is_object() && data.value("bundle_id", json()) == json(bundle);
}

std::string stdoutOf(const std::function<void()>& call) {
    std::fflush(stdout);
    int fds[2];
    if (pipe(fds) != 0) return "(no pipe)";
    int saved = dup(STDOUT_FILENO);
    dup2(fds[1], STDOUT_FILENO);
    call();
    std::fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    close(fds[1]);
    std::string out;
    char buf[512];
    for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) out.append(buf, size_t(n));
    close(fds[0]);
    return out;
}

std::optional<std::string> focusedTextOf(pid_t pid) {
    std::optional<std::string> found, fallback;
    AtspiAccessible* desktop = atspi_get_desktop(0);
    int apps = atspi_accessible_get_child_count(desktop, nullptr);
    for (int i = 0; i < apps && !found; ++i) {
        AtspiAccessible* app = atspi_accessible_get_child_at_index(desktop, i, nullptr);
        if (!app) continue;
        if (pid_t(atspi_accessible_get_process_id(app, nullptr)) == pid) {
            std::vector<AtspiAccessible*> stack{g_object_ref(app)};
            int visited = 0;
            while (!stack.empty()) {
                AtspiAccessible* a = stack.back();
                stack.pop_back();
                if (!found && ++visited < 4000) {
                    AtspiStateSet* states = atspi_accessible_get_state_set(a);
                    bool focused = states && atspi_state_set_contains(states, ATSPI_STATE_FOCUSED);
                    bool editable = states && atspi_state_set_contains(states, ATSPI_STATE_EDITABLE);
                    if (states) g_object_unref(states);
                    AtspiText* text = focused ? atspi_accessible_get_text_iface(a) : nullptr;
                    if (text) {
                        int n = atspi_text_get_character_count(text, nullptr);
                        gchar* chars = atspi_text_get_text(text, 0, n, nullptr);
                        if (chars) (editable ? found : fallback) = std::string(chars);
                        g_free(chars);
                        g_object_unref(text);
                    }
                    if (!text || !editable) {
                        int count = atspi_accessible_get_child_count(a, nullptr);
                        for (int c = count - 1; c >= 0; --c)
                            if (c < 500)
                                if (auto* child = atspi_accessible_get_child_at_index(a, c, nullptr)) stack.push_back(child);
                    }
                }
                g_object_unref(a);
            }
        }
        g_object_unref(app);
    }
    g_object_unref(desktop);
    return found ? found : fallback;
}

}  // namespace korvale_linux_test
