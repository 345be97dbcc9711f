// The simulated desktop's core: the clock, the main run loop with its modes, delayed work,
// timers, run-loop sources, the external timeline of other processes, the request log and
// standard output. The services themselves live in the Sim*.cpp files beside this one.
#include "platform/sim/SimDesktop.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <thread>

#include "platform/sim/SimAccessibility.h"
#include "platform/sim/SimKeyboard.h"
#include "platform/sim/SimPasteboard.h"
#include "platform/sim/SimWindows.h"
#include "platform/sim/SimWorkspace.h"

namespace korvale::sim {

namespace {

int64_t steadyNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

class SimMainLoop final : public MainLoop {
public:
    explicit SimMainLoop(Desktop& d) : d_(d) {}
    double now() override { return d_.nowSeconds(); }
    void addSource(const RunLoopSourceRef& source, const std::string& mode) override {
        d_.logRequest({{"call", "CFRunLoopAddSource"}, {"mode", mode}});
        d_.attachSource(source, mode);
    }
    void removeSource(const RunLoopSourceRef& source, const std::string& mode) override {
        d_.logRequest({{"call", "CFRunLoopRemoveSource"}, {"mode", mode}});
        d_.detachSource(source, mode);
    }
    void asyncAfterOnMain(double deadline, std::function<void()> work) override {
        d_.libraryDelayed(deadline);
        d_.scheduleMain(Desktop::toNs(deadline), Desktop::Lane::MainQueue, std::move(work));
    }
    void scheduledTimer(double interval, std::function<void()> block) override {
        d_.scheduleMain(d_.nowNs() + Desktop::toNs(interval), Desktop::Lane::Timer, std::move(block));
    }
    void blockUntil(double deadline) override { d_.blockUntil(deadline); }

private:
    Desktop& d_;
};

class SimConsole final : public Console {
public:
    explicit SimConsole(Desktop& d) : d_(d) {}
    void writeLine(const std::string& line) override { d_.writeStdout(line); }

private:
    Desktop& d_;
};

}  // namespace

namespace {

const Desktop::Display kMainDisplay{"main", {{0, 0}, {1440, 900}}};

std::vector<Desktop::Display> displaysFrom(const json& list) {
    if (!list.is_array() || list.empty()) throw SimError{"\"displays\" is a non-empty array"};
    std::vector<Desktop::Display> out;
    for (const auto& d : list) {
        if (!d.is_object() || !d.contains("id") || !d["id"].is_string() || !d.contains("frame"))
            throw SimError{"a display is {\"id\": name, \"frame\": [x, y, width, height]}"};
        const json& f = d["frame"];
        if (!f.is_array() || f.size() != 4) throw SimError{"a frame is [x, y, width, height]"};
        Desktop::Display display{d["id"].get<std::string>(),
                                 {{f[0].get<double>(), f[1].get<double>()},
                                  {f[2].get<double>(), f[3].get<double>()}}};
        if (display.frame.size.width <= 0 || display.frame.size.height <= 0)
            throw SimError{"display \"" + display.id + "\" has no area"};
        for (const auto& other : out)
            if (other.id == display.id) throw SimError{"two displays named \"" + display.id + "\""};
        out.push_back(std::move(display));
    }
    // Screen coordinates start at the main display's top-left corner.
    if (out.front().frame.origin.x != 0 || out.front().frame.origin.y != 0)
        throw SimError{"the first display is the main one: its frame starts at [0, 0]"};
    return out;
}

}  // namespace

Desktop& Desktop::instance() {
    // Never destroyed: the library may still be called while static objects are torn down.
    static Desktop* desktop = new Desktop();
    return *desktop;
}

Desktop::Desktop() : displays_{kMainDisplay} {
    mainLoop_ = std::make_unique<SimMainLoop>(*this);
    console_ = std::make_unique<SimConsole>(*this);
    accessibility_ = std::make_unique<SimAccessibility>(*this);
    workspace_ = std::make_unique<SimWorkspace>(*this);
    pasteboard_ = std::make_unique<SimPasteboard>(*this);
    keyboard_ = std::make_unique<SimKeyboard>(*this);
    windows_ = std::make_unique<SimWindows>(*this);
    platform_ = std::make_unique<Platform>(Platform{*accessibility_, *mainLoop_, *workspace_,
                                                    *pasteboard_, *keyboard_, *windows_, *console_});
    registerAction("advance", [this](const json& a) { run(a.value("seconds", 0.0)); });
    // {"action":"at","time":t,"do":{action}}: the user acts at desktop time t, even while the
    // library holds the main thread. A failure then has no caller; it goes to the request log.
    registerAction("at", [this](const json& a) {
        const json todo = a.at("do");
        if (!todo.is_object() || !todo.contains("action"))
            throw SimError{"\"at\" needs \"do\": an action object"};
        scheduleExternal(toNs(a.at("time").get<double>()), [this, todo] {
            std::string error = perform(todo);
            if (!error.empty()) logRequest({{"call", "scheduled action failed"}, {"error", error}});
        });
    });
}

Desktop::~Desktop() = default;

CGPoint Desktop::displayOrigin(const std::string& id) const {
    for (const auto& d : displays_)
        if (d.id == id) return d.frame.origin;
    throw SimError{"no display \"" + id + "\""};
}

CGPoint Desktop::placement(const json& description, CGPoint inherited) const {
    if (!description.is_object() || !description.contains("display")) return inherited;
    if (!description["display"].is_string()) throw SimError{"\"display\" names a display"};
    return displayOrigin(description["display"].get<std::string>());
}

int64_t Desktop::toNs(double seconds) {
    if (!std::isfinite(seconds)) return seconds > 0 ? INT64_MAX / 4 : 0;
    return static_cast<int64_t>(std::llround(seconds * 1e9));
}

void Desktop::reset() {
    nowNs_ = 0;
    wallOriginNs_ = steadyNs();
    seq_ = 0;
    timed_.clear();
    external_.clear();
    signals_.clear();
    sourceModes_.clear();
    attached_.clear();
    callbacks_ = 0;
    requests_ = json::array();
    stdout_.clear();
    displays_ = {kMainDisplay};
    trusted = true;
    promptRequests = 0;
    accessibility_->reset();
    workspace_->reset();
    pasteboard_->reset();
    keyboard_->reset();
    windows_->reset();
}

void Desktop::setVirtualClock(bool isVirtual) {
    virtualClock_ = isVirtual;
    wallOriginNs_ = steadyNs() - nowNs_;
}

void Desktop::registerAction(const std::string& name, ActionHandler handler) {
    actions_[name] = std::move(handler);
}

void Desktop::registerWorldLoader(WorldLoader loader) { loaders_.push_back(std::move(loader)); }

void Desktop::registerStateReporter(StateReporter reporter) {
    reporters_.push_back(std::move(reporter));
}

std::string Desktop::loadWorld(const json& world) {
    if (!world.is_object()) return "the world must be a JSON object";
    reset();
    try {
        if (world.contains("trusted")) trusted = world.at("trusted").get<bool>();
        if (world.contains("clock")) setVirtualClock(world.at("clock") != "wall");
        if (world.contains("echo_stdout")) echoStdout_ = world.at("echo_stdout").get<bool>();
        if (world.contains("displays")) displays_ = displaysFrom(world["displays"]);
        for (auto& loader : loaders_) loader(world);
    } catch (const SimError& e) {
        return e.message;
    } catch (const std::exception& e) {
        return std::string("bad world: ") + e.what();
    }
    return "";
}

std::string Desktop::perform(const json& action) {
    if (!action.is_object() || !action.contains("action") || !action["action"].is_string())
        return "an action is an object with a string \"action\"";
    auto it = actions_.find(action["action"].get<std::string>());
    if (it == actions_.end()) return "unknown action \"" + action["action"].get<std::string>() + "\"";
    try {
        it->second(action);
    } catch (const SimError& e) {
        return e.message;
    } catch (const std::exception& e) {
        return "bad action " + action.dump() + ": " + e.what();
    }
    return "";
}

json Desktop::state() const {
    json s = json::object();
    s["time"] = nowSeconds();
    s["trusted"] = trusted;
    s["prompt_requests"] = promptRequests;
    s["attached_sources"] = attached_.size();
    s["callbacks"] = callbacks_;
    s["displays"] = json::array();
    for (const auto& d : displays_)
        s["displays"].push_back({{"id", d.id},
                                 {"frame", {d.frame.origin.x, d.frame.origin.y, d.frame.size.width,
                                            d.frame.size.height}}});
    for (auto& r : reporters_) r(s);
    return s;
}

void Desktop::scheduleMain(int64_t dueNs, Lane lane, std::function<void()> work) {
    timed_.push_back({std::max(dueNs, nowNs_), ++seq_, lane, std::move(work)});
}

void Desktop::scheduleExternal(int64_t dueNs, std::function<void()> work) {
    external_.push_back({std::max(dueNs, nowNs_), ++seq_, Lane::MainQueue, std::move(work)});
}

void Desktop::signalSource(const RunLoopSourceRef& source, std::function<void()> delivery) {
    signals_.push_back({++seq_, source, std::move(delivery)});
}

void Desktop::attachSource(const RunLoopSourceRef& source, const std::string& mode) {
    if (!source) return;
    // A source met for the first time is kept alive by the loop; a lookup, not a scan, so that
    // thousands of attached sources cost no more than a few.
    auto [modes, fresh] = sourceModes_.try_emplace(source.get());
    if (fresh) attached_.push_back(source);
    modes->second.insert(mode);
}

void Desktop::detachSource(const RunLoopSourceRef& source, const std::string& mode) {
    auto modes = sourceModes_.find(source.get());
    if (modes == sourceModes_.end()) return;
    modes->second.erase(mode);
    if (!modes->second.empty()) return;
    sourceModes_.erase(modes);
    std::erase(attached_, source);
    std::erase_if(signals_, [&](const Signal& s) { return s.source == source; });
}

void Desktop::logRequest(json entry) {
    entry["t"] = nowSeconds();
    requests_.push_back(std::move(entry));
}

void Desktop::writeStdout(const std::string& line) {
    stdout_.push_back(line);
    if (echoStdout_) {
        std::fwrite(line.data(), 1, line.size(), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
    }
}

void Desktop::advanceTo(int64_t ns) {
    if (ns <= nowNs_) return;
    if (!virtualClock_) {
        int64_t target = wallOriginNs_ + ns;
        int64_t wait = target - steadyNs();
        if (wait > 0) std::this_thread::sleep_for(std::chrono::nanoseconds(wait));
    }
    nowNs_ = ns;
}

// Other processes go on while the main thread is busy: run what they do up to `ns`.
void Desktop::runExternalUpTo(int64_t ns, const std::function<bool()>& stop) {
    for (;;) {
        if (stop && stop()) return;
        auto it = std::min_element(external_.begin(), external_.end(), [](auto& a, auto& b) {
            return a.due != b.due ? a.due < b.due : a.seq < b.seq;
        });
        if (it == external_.end() || it->due > ns) break;
        auto item = std::move(*it);
        external_.erase(it);
        advanceTo(item.due);
        item.work();
    }
    advanceTo(ns);
}

void Desktop::blockUntil(double deadlineSeconds) { blockUntil(deadlineSeconds, nullptr); }

void Desktop::blockUntil(double deadlineSeconds, const std::function<bool()>& stop) {
    int64_t target = toNs(deadlineSeconds);
    ++depth_;  // a blocked main thread is busy: what other processes do meanwhile must wait
    runExternalUpTo(std::max(target, nowNs_), stop);
    --depth_;
}

void Desktop::run(double seconds, const std::string& mode) {
    int64_t until = nowNs_ + std::max<int64_t>(0, toNs(seconds));
    runDue(until, mode, true);
}

void Desktop::runDue(int64_t untilNs, const std::string& mode, bool) {
    ++depth_;
    const bool isDefault = mode == kCFRunLoopDefaultMode;
    for (;;) {
        // Sources that are ready in this mode go first, in the order they were signalled.
        auto sig = std::find_if(signals_.begin(), signals_.end(), [&](const Signal& s) {
            auto m = sourceModes_.find(s.source.get());
            return m != sourceModes_.end() && m->second.count(mode);
        });
        // The next timed item this mode services, and the next external event.
        auto runnable = [&](const Timed& t) { return t.lane != Lane::Timer || isDefault; };
        auto next = timed_.end();
        for (auto it = timed_.begin(); it != timed_.end(); ++it)
            if (runnable(*it) && (next == timed_.end() || it->due < next->due ||
                                  (it->due == next->due && it->seq < next->seq)))
                next = it;
        auto ext = std::min_element(external_.begin(), external_.end(), [](auto& a, auto& b) {
            return a.due != b.due ? a.due < b.due : a.seq < b.seq;
        });
        bool extDue = ext != external_.end() && ext->due <= untilNs &&
                      (next == timed_.end() || ext->due <= next->due);
        if (sig != signals_.end()) {
            auto delivery = std::move(sig->delivery);
            signals_.erase(sig);
            delivery();
            continue;
        }
        if (extDue) {
            auto item = std::move(*ext);
            external_.erase(ext);
            advanceTo(item.due);
            item.work();
            continue;
        }
        if (next == timed_.end() || next->due > untilNs) break;
        auto item = std::move(*next);
        timed_.erase(next);
        advanceTo(item.due);
        item.work();
    }
    advanceTo(untilNs);
    --depth_;
}

}  // namespace korvale::sim
