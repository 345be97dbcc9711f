// The seeded randomized soak of the library on the simulated desktop. Each episode loads a random
// world (applications with text areas, text fields, static text and other elements, host windows,
// pasteboard contents), then takes random steps: user actions, host calls (also from inside the
// host callback, with oversized and deeply nested input, and from another thread), injected
// faults and the passing of time. After every step it checks what the host and standard output
// saw against the library's promises (Soak.cpp lists them). Each episode also measures an
// application switch after repeated initMacAccessibility / start / main cycles against one after
// a single cycle. A broken check stops the run and says which seed and episode replay it exactly.
//
// tests/test_soak.cpp runs it short in the test command; tools/korvale-soak.cpp is the long run.
// It drives the library through the nine exports and the simulated desktop only, and reads the
// library's stored event (main.h) to check that a delivery is the latest event.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <nlohmann/json.hpp>
#include <string>

namespace korvale::soak {

struct Options {
    uint64_t seed = 1;
    uint64_t steps = 100000;
    uint64_t stepsPerEpisode = 2000;
    int64_t onlyEpisode = -1;       // replay one episode of the seed
    uint64_t reportEvery = 0;       // progress and memory lines every so many steps (0: never)
    uint64_t lifecycleCycles = 20;  // init/start/main cycles between the two switches measured (0: none)
    bool quiet = false;
};

struct Result {
    bool ok = true;
    std::string failure;
    uint64_t seed = 0, episode = 0, step = 0;  // where the failure happened
    uint64_t steps = 0, episodes = 0, deliveries = 0, actionsRefused = 0, hostCalls = 0;
    uint64_t nestedCalls = 0, stdoutLines = 0, emitted = 0;
    // Host calls with input over the library's bounds (each refused with its line), calls made
    // from another thread (each refused), and switches measured after repeated cycles.
    uint64_t oversizedCalls = 0, otherThreadCalls = 0, lifecycleProbes = 0;
    long rssFirstKb = 0, rssLastKb = 0, rssMaxKb = 0;  // after the first episode, at the end, peak
    // Heap bytes in use right after a world is loaded (the desktop's logs are empty then): after
    // the second episode, and the largest and last such figure of the run.
    size_t heapEarly = 0, heapMax = 0, heapLast = 0;
    uint64_t digest = 1469598103934665603ull;  // of everything the host and stdout saw
    std::map<std::string, uint64_t> eventsByName;
};

// Runs the soak; the result says whether every check held and, if not, where it broke.
Result runSoak(const Options& options);

// Resident set size of this process in KiB (Linux), 0 elsewhere.
long residentKb();

// The checks on what the host sees, on their own (tested by themselves):
// "" when `data` has the shape the event `name` promises, else what is wrong;
std::string checkShape(const std::string& name, const nlohmann::json& data);
// whether a standard-output line is one of the library's diagnostics.
bool diagnosticLine(const std::string& line);

}  // namespace korvale::soak
