// What the Linux end-to-end programs share: running the GLib main loop until something happens
// (bounded), recording host events, child processes with pipes that are killed and reaped when
// dropped, commands run while the loop keeps running, finding and focusing application windows
// with xdotool, capturing what the library prints, and the programs' common frame: following the desktop (or skipping when no
// accessibility bus answers), PASS/FAIL lines and the exit status.
#pragma once

#include <atspi/atspi.h>
#include <glib.h>
#include <sys/types.h>

#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "TestApps.h"

namespace korvale_linux_test {

using nlohmann::json;

// CTest's exit status for a test that could not run here.
inline constexpr int kSkipped = 77;

struct Event {
    std::string name;
    json data;
    double t;
};
// The events the host callback received, in order; printed as they come unless quietEvents.
extern std::vector<Event> events;
extern bool quietEvents;
// The host callback that records them.
void onEvent(const char* name, const char* data);
// "name data" of an event, or "(none)".
std::string str(const std::optional<Event>& e);

// Runs the main loop for `seconds`.
void pump(double seconds);

// The first event named `name` (or any of the names, separated by '|') received after `since`.
std::optional<Event> waitEvent(const std::string& names, double since, double seconds,
                               const std::function<bool(const json&)>& accept = nullptr);
// `action` done, then the first event as waitEvent finds it received from the action on.
std::optional<Event> eventAfter(const std::function<void()>& action, const std::string& names, double seconds,
                                const std::function<bool(const json&)>& accept = nullptr);

// The library set up as a host sets it up, with onEvent as its callback and `fieldRules` given
// to start. False (and a SKIPPED line) when no accessibility bus answers in this session.
bool followDesktop(const char* fieldRules = "{}");

// PASS or FAIL and what, on a line of its own; tallied for summary().
void check(bool ok, const std::string& what, const std::string& detail = "");
// Prints the tally and gives the program's exit status: 1 when a check failed.
int summary();

// A path for a file of the run, in the session's temporary folder (KORVALE_TEST_DIR).
std::string testFile(const std::string& name);


// The GTK 3 test application (korvale_test_app.py) at its usual place on the screen.
std::vector<std::string> testAppCommand(const std::string& script);

// Runs a command to its end while the main loop keeps running (the library may have to answer
// the command's clipboard request meanwhile). Its standard output, or none on failure.
std::optional<std::string> run(std::vector<std::string> argv, double seconds = 10);

std::optional<std::string> visibleWindowOf(pid_t pid);
bool focusWindow(const std::string& window);

struct Frame {
    double x = 0, y = 0, w = 0, h = 0;
};
// The frame a test application reports for its text view.
std::optional<Frame> frameOf(Child& app);
// Whether the rectangle of an event's data lies inside `f` and is not empty.
bool inside(const json& data, const Frame& f);
// Whether an event's data names `bundle` as its bundle_id.
bool bundleIs(const json& data, const std::string& bundle);

// What the application's focused text element holds, read over AT-SPI as a screen reader would:
// the harness's own view of the text, independent of the library's events. An editable focused
// element is preferred: browsers leave FOCUSED on documents of hidden windows.
std::optional<std::string> focusedTextOf(pid_t pid);

// What `call` writes to standard output (the library's lines), captured through a pipe.
std::string stdoutOf(const std::function<void()>& call);

}  // namespace korvale_linux_test
