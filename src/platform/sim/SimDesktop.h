// The simulated desktop: an in-process, deterministic stand-in for the whole platform, so that a
// host can run its assistant against scripted desktops without the real one. It models running
// applications with accessibility trees, the workspace, the pasteboard, keystrokes, host windows
// and a pointer, on a clock that is virtual in tests (advanced only by running the main loop or
// by a blocking wait) or the wall clock for demonstrations. Every request the library makes is
// recorded, so tests can assert what was asked and in which order.
//
// The desktop is a process-wide singleton and, like the library, single-threaded: everything,
// including the "other applications", runs on the host's main thread.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "platform/Platform.h"

namespace korvale::sim {

using json = nlohmann::json;
using namespace korvale::platform;

// Scenario and action errors: the message names what was wrong.
struct SimError {
    std::string message;
};

class SimAccessibility;
class SimWorkspace;
class SimPasteboard;
class SimKeyboard;
class SimWindows;

class Desktop {
public:
    static Desktop& instance();

    Platform& platform() { return *platform_; }

    // Empties the world: no applications, no windows, an empty pasteboard, the clock at 0 and
    // virtual, trusted, nothing recorded. Registrations the library made are forgotten too.
    void reset();
    // Loads a world description (see docs/scenarios.md). Returns an error message or "".
    std::string loadWorld(const json& world);
    // Performs one user action or fault injection ({"action": name, ...}). "" when done.
    std::string perform(const json& action);
    // Registers an action name for perform(); components do this when they are made.
    using ActionHandler = std::function<void(const json&)>;  // throws SimError on bad input
    void registerAction(const std::string& name, ActionHandler handler);
    using WorldLoader = std::function<void(const json&)>;  // throws SimError on bad input
    void registerWorldLoader(WorldLoader loader);

    // ----- clock and main loop -----
    int64_t nowNs() const { return nowNs_; }
    double nowSeconds() const { return static_cast<double>(nowNs_) / 1e9; }
    void setVirtualClock(bool isVirtual);
    static int64_t toNs(double seconds);
    // Runs the main run loop in `mode` for `seconds` of (virtual or wall) time.
    void run(double seconds, const std::string& mode = kCFRunLoopDefaultMode);
    // Runs the main loop until nothing is due before `seconds` from now has passed, or it is idle.
    bool mainThreadBusy() const { return depth_ > 0; }

    // Work items on the main thread at a time: main-queue blocks run in every mode, timers only
    // in the default mode, mouse messages in every mode.
    enum class Lane { MainQueue, Timer, Mouse };
    void scheduleMain(int64_t dueNs, Lane lane, std::function<void()> work);
    // A run-loop source with something to deliver: serviced when the loop runs in a mode the
    // source was added for.
    void signalSource(const RunLoopSourceRef& source, std::function<void()> delivery);
    void attachSource(const RunLoopSourceRef& source, const std::string& mode);
    // The source is no longer serviced in `mode`; in no mode, the loop lets go of it and of what
    // it was signalled for.
    void detachSource(const RunLoopSourceRef& source, const std::string& mode);
    // Callbacks into the library (observer callbacks and workspace blocks) since the world
    // was loaded: what a notification costs the library's caller.
    void countCallback() { ++callbacks_; }
    // Something another process (or the user) does at a time; it happens as the clock passes,
    // even while the main thread is blocked.
    void scheduleExternal(int64_t dueNs, std::function<void()> work);
    void blockUntil(double deadlineSeconds);
    // The same, ending early once `stop` holds after something another process did.
    void blockUntil(double deadlineSeconds, const std::function<bool()>& stop);

    // ----- observation -----
    void logRequest(json entry);  // entry gets "t" (seconds) added
    const json& requests() const { return requests_; }
    void clearRequests() { requests_ = json::array(); }
    void writeStdout(const std::string& line);
    const std::vector<std::string>& stdoutLines() const { return stdout_; }
    void setEchoStdout(bool echo) { echoStdout_ = echo; }
    // Called each time the library asks the main loop for delayed work (asyncAfterOnMain), with
    // the time the work is due. Every delivery to the host is set up this way when its event is
    // stored, so a test can tell when that happened without reaching into the library.
    using DelayWatcher = std::function<void(double dueSeconds)>;
    void watchLibraryDelays(DelayWatcher watcher) { delayWatcher_ = std::move(watcher); }
    void libraryDelayed(double dueSeconds) {
        if (delayWatcher_) delayWatcher_(dueSeconds);
    }
    // Desktop state as JSON: applications, texts, selections, pasteboard, windows, keystrokes.
    json state() const;
    using StateReporter = std::function<void(json&)>;
    void registerStateReporter(StateReporter reporter);

    // ----- displays -----
    // The screens, in screen points with the origin at the top left of the main display (the
    // first); a display left of or above it has negative coordinates.
    struct Display {
        std::string id;
        CGRect frame;
    };
    const std::vector<Display>& displays() const { return displays_; }
    // The top-left corner of display `id` in screen points (SimError when there is none).
    CGPoint displayOrigin(const std::string& id) const;
    // Where a description places things: its "display" key names the display its "frame" or
    // point is given on; without one, `inherited` (the screen origin unless a parent chose).
    CGPoint placement(const json& description, CGPoint inherited = {0, 0}) const;

    // ----- trust -----
    bool trusted = true;
    int promptRequests = 0;

    SimAccessibility& accessibility() { return *accessibility_; }
    SimWorkspace& workspace() { return *workspace_; }
    SimPasteboard& pasteboard() { return *pasteboard_; }
    SimKeyboard& keyboard() { return *keyboard_; }
    SimWindows& windows() { return *windows_; }

private:
    Desktop();
    ~Desktop();
    void runDue(int64_t untilNs, const std::string& mode, bool servicesMain);
    void advanceTo(int64_t ns);
    void runExternalUpTo(int64_t ns, const std::function<bool()>& stop = nullptr);

    struct Timed {
        int64_t due;
        uint64_t seq;
        Lane lane;
        std::function<void()> work;
    };
    struct Signal {
        uint64_t seq;
        RunLoopSourceRef source;
        std::function<void()> delivery;
    };

    int64_t nowNs_ = 0;
    bool virtualClock_ = true;
    int64_t wallOriginNs_ = 0;
    uint64_t seq_ = 0;
    int depth_ = 0;
    std::vector<Timed> timed_;
    std::vector<Timed> external_;
    std::vector<Signal> signals_;
    std::map<RunLoopSource*, std::set<std::string>> sourceModes_;
    std::vector<RunLoopSourceRef> attached_;  // the run loop keeps attached sources alive
    uint64_t callbacks_ = 0;
    json requests_ = json::array();
    std::vector<Display> displays_;
    std::vector<std::string> stdout_;
    bool echoStdout_ = true;
    DelayWatcher delayWatcher_;
    std::map<std::string, ActionHandler> actions_;
    std::vector<WorldLoader> loaders_;
    std::vector<StateReporter> reporters_;

    std::unique_ptr<Platform> platform_;
    std::unique_ptr<MainLoop> mainLoop_;
    std::unique_ptr<Console> console_;
    std::unique_ptr<SimAccessibility> accessibility_;
    std::unique_ptr<SimWorkspace> workspace_;
    std::unique_ptr<SimPasteboard> pasteboard_;
    std::unique_ptr<SimKeyboard> keyboard_;
    std::unique_ptr<SimWindows> windows_;
};

}  // namespace korvale::sim
