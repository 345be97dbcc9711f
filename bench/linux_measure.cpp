// Measures the Linux backend on real applications, for the figures in docs/linux.md: platform
// requests per user action, time from a selection change in the application to the host
// callback beyond the fixed delivery delay, and the host's resident memory while it follows two
// applications (the GTK3 test application and l3afpad) for a given number of seconds. Built with
// the benchmarks (-DKORVALE_BENCHMARKS=ON); it drives the desktop with the Linux tests' driver
// and runs inside their private X server and session bus:
//   tests/linux/run-real-desktop.sh build/bench/korvale-linux-measure tests/linux/korvale_test_app.py SECONDS
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>

#include "DesktopDriver.h"
#include "Korvale.h"
#include "platform/linux/AtspiCalls.h"

using namespace korvale_linux_test;
using korvale::platform::linuxdesk::AtspiBus;

namespace {

constexpr double kDeliveryDelay = 0.5;  // the library's fixed delay for text_select (0.25 + 0.25)

long residentKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    return -1;
}

double median(std::vector<double> v) {
    if (v.empty()) return -1;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Requests made from `before` until the loop has been quiet for the settle time.
long requestsSince(long before) {
    pump(0.7);
    return AtspiBus::instance().requests() - before;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return 2;
    const double seconds = std::atof(argv[2]);
    quietEvents = true;
    atspi_init();
    initMacAccessibility(onEvent);
    start("{}");
    Child app(testAppCommand(argv[1]));
    if (!app.readLine(20)) return 1;
    std::string doc = testFile("m.txt");
    g_file_set_contents(doc.c_str(), "alpha beta gamma delta", -1, nullptr);
    Child editor({"l3afpad", doc});
    auto appWindow = visibleWindowOf(app.pid());
    auto editorWindow = visibleWindowOf(editor.pid());
    if (!appWindow || !editorWindow) return 1;
    pump(1.0);

    std::map<std::string, std::vector<double>> requests;
    std::vector<double> latencies;
    std::vector<std::pair<double, long>> memory;
    const double begin = now();
    int cycles = 0;
    while (now() - begin < seconds) {
        ++cycles;
        long r = AtspiBus::instance().requests();
        double t0 = now();
        focusWindow(*appWindow);
        waitEvent("app_changed", t0, 3);
        requests["switch application"].push_back(requestsSince(r));

        // The focus goes to the text view first and settles: a focus change delivered with the
        // selection would shorten its delivery (the library delivers the latest event when the
        // earlier one's delay is over).
        app.command("caret_view 0");
        pump(0.7);
        r = AtspiBus::instance().requests();
        t0 = now();
        auto ok = app.command(cycles % 2 ? "select_view 6 11" : "select_view 0 5");
        double changed = 0;
        if (ok) std::sscanf(ok->c_str(), "ok select_view %lf", &changed);
        auto e = waitEvent("text_select", t0, 3);
        if (e && changed > 0) latencies.push_back(e->t - changed - kDeliveryDelay);
        requests["select text"].push_back(requestsSince(r));

        r = AtspiBus::instance().requests();
        t0 = now();
        app.command("caret_view 2");
        waitEvent("caret", t0, 3);
        requests["collapse to caret"].push_back(requestsSince(r));

        r = AtspiBus::instance().requests();
        t0 = now();
        app.command("focus_entry");
        waitEvent("focused_changed", t0, 3);
        requests["move focus"].push_back(requestsSince(r));

        r = AtspiBus::instance().requests();
        t0 = now();
        focusWindow(*editorWindow);
        waitEvent("app_changed", t0, 3);
        run({"xdotool", "key", "--clearmodifiers", "ctrl+Home", "shift+ctrl+Right"});
        waitEvent("text_select", t0, 3);
        requests["switch and select (l3afpad)"].push_back(requestsSince(r));

        r = AtspiBus::instance().requests();
        t0 = now();
        getDataForVelaAssist();
        waitEvent("alt_enter_pressed", t0, 2);
        requests["snapshot"].push_back(requestsSince(r));
        memory.push_back({now() - begin, residentKiB()});
        events.clear();  // the record of this program, not the library's memory
    }
    std::printf("cycles %d in %.0f s\n", cycles, now() - begin);
    for (const auto& [action, counts] : requests)
        std::printf("requests per action: %-28s median %.0f (min %.0f, max %.0f)\n", action.c_str(),
                    median(counts), *std::min_element(counts.begin(), counts.end()),
                    *std::max_element(counts.begin(), counts.end()));
    std::sort(latencies.begin(), latencies.end());
    if (!latencies.empty())
        std::printf("selection change -> callback beyond the %.2f s delay: median %.1f ms, max %.1f ms (n=%zu)\n",
                    kDeliveryDelay, 1000 * median(latencies), 1000 * latencies.back(), latencies.size());
    for (size_t i = 0; i < memory.size(); i += std::max<size_t>(1, memory.size() / 8))
        std::printf("resident memory at %5.0f s: %ld KiB\n", memory[i].first, memory[i].second);
    if (!memory.empty())
        std::printf("resident memory at %5.0f s: %ld KiB (end)\n", memory.back().first, memory.back().second);
    app.send("quit");
    return 0;
}
