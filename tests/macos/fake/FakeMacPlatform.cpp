// Assembles the fake macOS platform and makes it this process's backend: the test build links
// this backend table (one entry, "macos") in place of the library's.
#include "FakeMacPlatform.h"

#include "platform/Backend.h"
#include "platform/macos/MacAxService.h"
#include "platform/macos/MacRunLoop.h"
#include "platform/sim/SimDesktop.h"
#include "platform/sim/SimWindows.h"
#include "simcontrol/Scenario.h"

namespace korvale::macfake {

namespace {

using sim::Desktop;

// The backend's run loop, with the parts that need libdispatch and Foundation on a Mac taken
// from the simulated main loop.
class FakeMacMainLoop final : public macos::MacRunLoop {
public:
    void asyncAfterOnMain(double deadline, std::function<void()> work) override {
        sim().asyncAfterOnMain(deadline, std::move(work));
    }
    void scheduledTimer(double interval, std::function<void()> block) override {
        sim().scheduledTimer(interval, std::move(block));
    }

private:
    static platform::MainLoop& sim() { return Desktop::instance().platform().mainLoop; }
};

struct FakeMac {
    std::unique_ptr<macos::MacAxService> accessibility = std::make_unique<macos::MacAxService>();
    std::unique_ptr<FakeMacMainLoop> loop = std::make_unique<FakeMacMainLoop>();
    std::unique_ptr<platform::Platform> platform;
    FakeMac() {
        platform::Platform& s = Desktop::instance().platform();
        platform.reset(new platform::Platform{*accessibility, *loop, s.workspace, s.pasteboard, s.keyboard,
                                              s.windows, s.console});
    }
};

FakeMac& fake() {
    static FakeMac* f = new FakeMac();
    return *f;
}

}  // namespace

platform::Platform& fakeMacPlatform() { return *fake().platform; }

void releaseBackendObjects() {
    // A new loop and service in place of the old ones: what the old loop attached goes with it.
    fake().loop = std::make_unique<FakeMacMainLoop>();
    fake().accessibility = std::make_unique<macos::MacAxService>();
    platform::Platform& s = Desktop::instance().platform();
    fake().platform.reset(new platform::Platform{*fake().accessibility, *fake().loop, s.workspace, s.pasteboard,
                                                 s.keyboard, s.windows, s.console});
}

}  // namespace korvale::macfake

namespace korvale::platform {

namespace {
Platform* connectFakeMac() { return &macfake::fakeMacPlatform(); }
const BackendEntry kBackends[] = {{"macos", &connectFakeMac, false, nullptr}};
}  // namespace

std::span<const BackendEntry> backendTable() { return kBackends; }

}  // namespace korvale::platform

// The two control functions the scenario player calls, without the control API's check that the
// library runs on the simulated backend (here it runs on the fake macOS one, over the simulation).
extern "C" void ksim_record_event(const char* name, const char* json) {
    korvale::simcontrol::ScenarioRunner::instance().recordEvent(name, json);
}
extern "C" void* ksim_window_handle(const char* id) {
    return korvale::sim::Desktop::instance().windows().handleFor(id ? id : "");
}
