// A host started before the accessibility bus is up (at login), against the real Linux backend
// inside Xvfb and a session bus that cannot start the accessibility bus by itself (late-bus.sh):
//   - before: isAccessibiltyEnabled is 0, start says nothing ("Accessibility is enabled" is not
//     printed) and nothing is followed, also after the library has looked again;
//   - the test starts the accessibility bus (at-spi-bus-launcher, which starts the registry on
//     first use), then a GTK 3 application on it: with no further call from the host, switching
//     to the application gives app_changed and a selection text_select; isAccessibiltyEnabled is
//     1 afterwards. The time from the bus answering to the backend joining it is the figure.
//   linux-late-bus-test TEST_APP_SCRIPT AT_SPI_BUS_LAUNCHER
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "DesktopDriver.h"
#include "Korvale.h"
#include "platform/Backend.h"

using namespace korvale_linux_test;

namespace {

bool busAnswers() {
    return run({"dbus-send", "--session", "--print-reply", "--dest=org.a11y.Bus", "/org/a11y/bus",
                "org.a11y.Bus.GetAddress"}, 5).has_value();
}

std::string backendName() { return korvale::platform::currentBackendName(); }

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return 2;
    const std::string appScript = argv[1], launcher = argv[2];
    if (busAnswers()) {
        std::printf("FAIL the session already has an accessibility bus: this test needs one without\n");
        return 1;
    }

    // ---- before the accessibility bus ----
    initMacAccessibility(onEvent);
    check(!isAccessibiltyEnabled(), "isAccessibiltyEnabled is 0 while no accessibility bus answers");
    std::string said = stdoutOf([] { start("{}"); });
    check(said.find("Accessibility is enabled") == std::string::npos, "start does not say it is enabled",
          "it printed: " + said);
    // Longer than the interval between two looks: still nothing, and no event.
    pump(korvale::platform::kBackendRetryInterval + 0.5);
    check(backendName() == "none", "no backend serves the process meanwhile", backendName());
    check(events.empty(), "nothing is followed meanwhile", std::to_string(events.size()) + " events");

    // ---- the accessibility bus comes up ----
    Child bus({launcher, "--launch-immediately"});
    check(bus.ok(), "at-spi-bus-launcher starts");
    if (!bus.ok()) return 1;
    double busUp = 0;
    pumpUntil([&] {
        if (!busAnswers()) return false;
        busUp = now();
        return true;
    }, 10);
    check(busUp > 0, "the accessibility bus answers on the session bus");
    if (!busUp) return 1;
    // The host makes no call: the library joins on its own, on the host's loop.
    bool joined = pumpUntil([] { return backendName() == "linux"; }, 3 * korvale::platform::kBackendRetryInterval + 5);
    const double joinedAfter = now() - busUp;
    check(joined, "the Linux backend serves the process without a call from the host", backendName());
    std::printf("figure bus_up_to_backend_joined_seconds %.3f\n", joinedAfter);
    if (!joined) return 1;

    // ---- an application on the bus is followed, without a restart ----
    Child app(testAppCommand(appScript));
    auto ready = app.readLine(20);
    check(ready && *ready == "ready", "the test application starts on the new bus");
    auto window = visibleWindowOf(app.pid());
    check(window.has_value(), "its window is found");
    if (!ready || !window) return 1;
    pump(0.8);
    auto switched = eventAfter([&] { focusWindow(*window); }, "app_changed", 10, [](const json& d) {
        return d.is_object() && d.value("bundle_id", json()) == json("Korvale-test-app");
    });
    check(switched.has_value(), "switching to it gives app_changed", str(switched));
    pump(0.6);
    auto selected = eventAfter([&] { app.command("select_view 6 11"); }, "text_select", 5);
    check(selected && selected->data.value("selected_text", json()) == "brave",
          "a selection in it gives text_select", str(selected));
    std::printf("figure bus_up_to_following_seconds %.3f (the application started and switched to meanwhile)\n",
                switched ? switched->t - busUp : -1.0);
    check(isAccessibiltyEnabled(), "isAccessibiltyEnabled is 1 afterwards");

    app.send("quit");
    app.wait(3);
    // The launcher's bus daemon and registry go with the session bus when the test ends.
    return summary();
}
