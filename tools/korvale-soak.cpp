// The long run of the seeded randomized soak (the harness is tests/soak/Soak.cpp; the test command
// runs it short):
//   korvale-soak --steps 1000000 --seed N
// reports steps, host events and the resident set size along the way, and on a broken check the
// command line that replays the episode where it broke.
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "soak/Soak.h"

int main(int argc, char** argv) {
    korvale::soak::Options o;
    o.reportEvery = 100000;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto next = [&]() -> uint64_t {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "%s needs a value\n", a.c_str());
                std::exit(2);
            }
            return std::strtoull(argv[++i], nullptr, 10);
        };
        if (a == "--seed") o.seed = next();
        else if (a == "--steps") o.steps = next();
        else if (a == "--episode-steps") o.stepsPerEpisode = next();
        else if (a == "--episode") o.onlyEpisode = static_cast<int64_t>(next());
        else if (a == "--report-every") o.reportEvery = next();
        else if (a == "--cycles") o.lifecycleCycles = next();
        else if (a == "--quiet") o.quiet = true;
        else {
            std::fprintf(stderr,
                         "usage: korvale-soak [--seed N] [--steps N] [--episode-steps N] [--episode E] "
                         "[--report-every N] [--cycles N] [--quiet]\n");
            return 2;
        }
    }
    setenv("KORVALE_BACKEND", "sim", 1);
    auto r = korvale::soak::runSoak(o);
    std::printf("seed %" PRIu64 ": %" PRIu64 " steps in %" PRIu64 " episodes, %" PRIu64 " host deliveries, %" PRIu64
                " host calls (%" PRIu64 " from inside the callback), %" PRIu64 " events stored, %" PRIu64 " diagnostic lines, %" PRIu64
                " actions refused by the desktop\n",
                r.seed, r.steps, r.episodes, r.deliveries, r.hostCalls, r.nestedCalls, r.emitted, r.stdoutLines, r.actionsRefused);
    for (const auto& [name, n] : r.eventsByName) std::printf("  %-18s %" PRIu64 "\n", name.c_str(), n);
    std::printf("%" PRIu64 " calls with oversized input and %" PRIu64 " from another thread refused; %" PRIu64
                " switches measured after %" PRIu64 " init/start/main cycles\n",
                r.oversizedCalls, r.otherThreadCalls, r.lifecycleProbes, o.lifecycleCycles ? o.lifecycleCycles + 2 : 0);
    std::printf("resident set: %ld KiB after the first episode, %ld KiB at the end, %ld KiB peak\n", r.rssFirstKb,
                r.rssLastKb, r.rssMaxKb);
    std::printf("heap in use at an episode start: %zu KiB early, %zu KiB last, %zu KiB largest\n",
                r.heapEarly / 1024, r.heapLast / 1024, r.heapMax / 1024);
    std::printf("transcript digest %016" PRIx64 "\n", r.digest);
    if (!r.ok) {
        std::printf("FAILED at seed %" PRIu64 " episode %" PRIu64 " step %" PRIu64 ": %s\n", r.seed, r.episode, r.step,
                    r.failure.c_str());
        std::printf("replay: korvale-soak --seed %" PRIu64 " --episode %" PRIu64 " --episode-steps %" PRIu64
                    " --cycles %" PRIu64 "\n", r.seed, r.episode, o.stepsPerEpisode, o.lifecycleCycles);
        return 1;
    }
    return 0;
}
