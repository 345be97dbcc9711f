// The C control API of the simulated desktop (prefix ksim_). Each function is one line into a
// boundary that catches everything, like the library's own exports.
#include <stdexcept>
#include <string>

#include "KorvaleSim.h"
#include "platform/Backend.h"
#include "platform/sim/SimDesktop.h"
#include "platform/sim/SimWindows.h"
#include "simcontrol/Scenario.h"

using korvale::sim::Desktop;
using korvale::simcontrol::ScenarioRunner;
using korvale::simcontrol::StepResult;
using json = nlohmann::json;

namespace {

std::string readBuffer;  // what ksim_read handed out last

ScenarioRunner& runner() { return ScenarioRunner::instance(); }

// Driving the simulated desktop means running on it: a library already bound to a real desktop
// cannot be driven by scenarios, so that is refused rather than silently ignored.
void requireSimulatedBackend() {
    korvale::platform::requestSimulatedBackend();
    if (&korvale::platform::current() != &Desktop::instance().platform())
        throw std::runtime_error("the library already runs on a real desktop backend; set "
                                 "KORVALE_BACKEND=sim or call the ksim_ functions first");
}

template <typename F>
int guarded(F&& body) noexcept {
    try {
        requireSimulatedBackend();
        return body();
    } catch (const std::exception& e) {
        runner().lastError = e.what();
    } catch (...) {
        runner().lastError = "unexpected failure";
    }
    return -1;
}

json parseOrFail(const char* text, const char* what) {
    json j = json::parse(text ? text : "", nullptr, false);
    if (j.is_discarded()) throw std::runtime_error(std::string(what) + " is not JSON");
    return j;
}

}  // namespace

extern "C" {

KORVALE_API int ksim_load_world(const char* world_json) {
    return guarded([&] {
        std::string error = runner().loadWorld(parseOrFail(world_json, "the world"));
        runner().lastError = error;
        return error.empty() ? 0 : -1;
    });
}

KORVALE_API int ksim_perform(const char* action_json) {
    return guarded([&] {
        std::string error = Desktop::instance().perform(parseOrFail(action_json, "the action"));
        runner().lastError = error;
        return error.empty() ? 0 : -1;
    });
}

KORVALE_API int ksim_step(const char* step_json) {
    return guarded([&] { return static_cast<int>(runner().step(parseOrFail(step_json, "the step"))); });
}

KORVALE_API void ksim_run(double seconds) {
    guarded([&] { return Desktop::instance().run(seconds), 0; });
}

KORVALE_API int ksim_run_in_mode(const char* mode, double seconds) {
    return guarded([&] {
        if (!mode) throw std::runtime_error("no mode named");
        Desktop::instance().run(seconds, mode);
        return 0;
    });
}

KORVALE_API double ksim_now(void) { return Desktop::instance().nowSeconds(); }

KORVALE_API const char* ksim_read(const char* what) {
    guarded([&] {
        std::string w = what ? what : "";
        json out;
        if (w == "events") out = runner().events();
        else if (w == "stdout") out = Desktop::instance().stdoutLines();
        else if (w == "requests") out = Desktop::instance().requests();
        else if (w == "state") out = Desktop::instance().state();
        else if (w == "monitor") out = runner().monitorState();
        else throw std::runtime_error("ksim_read: unknown \"" + w + "\"");
        readBuffer = out.dump(-1, ' ', false, json::error_handler_t::replace);
        return 0;
    }) == 0 || (readBuffer = "null", true);
    return readBuffer.c_str();
}

KORVALE_API int ksim_play(const char* scenario_json) {
    return guarded([&] { return static_cast<int>(runner().play(parseOrFail(scenario_json, "the scenario"))); });
}

KORVALE_API const char* ksim_last_error(void) { return runner().lastError.c_str(); }

KORVALE_API void ksim_record_event(const char* event_name, const char* json_data) {
    guarded([&] { return runner().recordEvent(event_name, json_data), 0; });
}

KORVALE_API const char* ksim_backend(void) {
    try {
        return korvale::platform::currentBackendName();
    } catch (...) {
        return "none";
    }
}

KORVALE_API void* ksim_window_handle(const char* window_id) {
    void* handle = nullptr;
    guarded([&] {
        handle = Desktop::instance().windows().handleFor(window_id ? window_id : "");
        return 0;
    });
    return handle;
}

}  // extern "C"
