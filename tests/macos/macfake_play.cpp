// Plays scenario files through the macOS backend over the fake C functions, then checks that
// every CF object made on the way was released exactly once: an over-release stops the process
// at once (fake CF), and an object still alive once everything is torn down fails it here.
//   korvale-macfake-play scenario.json...
#include <cstdio>
#include <fstream>
#include <sstream>

#include "FakeCF.h"
#include "FakeMacPlatform.h"
#include "main.h"
#include "platform/sim/SimDesktop.h"
#include "simcontrol/Scenario.h"

namespace {

// Runs after every static object of the process (the library's globals included) is destroyed.
__attribute__((destructor)) void checkEveryObjectReleased() {
    korvale::macfake::exitIfObjectsLeft("korvale-macfake-play");
}

}  // namespace

int main(int argc, char** argv) {
    using korvale::simcontrol::ScenarioRunner;
    int status = 0;
    korvale::sim::Desktop::instance().setEchoStdout(false);
    for (int i = 1; i < argc; ++i) {
        std::ifstream in(argv[i]);
        std::stringstream text;
        text << in.rdbuf();
        auto scenario = nlohmann::json::parse(text.str(), nullptr, false);
        if (!in || scenario.is_discarded()) {
            std::fprintf(stderr, "%s: not a readable JSON scenario\n", argv[i]);
            status = 2;
            continue;
        }
        auto result = ScenarioRunner::instance().play(scenario);
        if (result != korvale::simcontrol::StepResult::Done) {
            std::fprintf(stderr, "%s: FAILED on the fake macOS stack: %s\n", argv[i],
                         ScenarioRunner::instance().lastError.c_str());
            status = 1;
        } else {
            std::printf("%s: passed on the fake macOS stack\n", argv[i]);
        }
    }
    // Tear down what outlives a scenario: the host's monitor, the desktop's subscriptions and
    // queued work, and the backend's attached sources. The library's globals go with the process.
    korvale::mainExport();
    korvale::sim::Desktop::instance().reset();
    korvale::macfake::releaseBackendObjects();
    std::printf("CF objects made: %ld, alive before static teardown: %ld\n", korvale::macfake::objectsCreated(),
                korvale::macfake::liveObjects());
    return status;
}
