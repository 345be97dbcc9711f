// The scenario player: plays scenario files against the simulated desktop through the library,
// prints the host events and diagnostic lines as they happened, and exits non-zero naming the
// first unmet expectation.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>

#include "KorvaleSim.h"

namespace {

bool readFile(const char* path, std::string& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream ss;
    ss << in.rdbuf();
    out = ss.str();
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    bool quiet = false;
    int failures = 0, played = 0;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--quiet") == 0) {
            quiet = true;
            continue;
        }
        std::string text;
        if (!readFile(argv[i], text)) {
            std::fprintf(stderr, "%s: cannot read\n", argv[i]);
            ++failures;
            continue;
        }
        ++played;
        int result = ksim_play(text.c_str());
        if (!quiet) {
            auto events = nlohmann::json::parse(ksim_read("events"));
            std::printf("== %s: %zu host events\n", argv[i], events.size());
            for (const auto& e : events)
                std::printf("  %8.3f s  %-18s %s\n", e["t"].get<double>(),
                            e["name"].get<std::string>().c_str(), e["json"].get<std::string>().c_str());
        }
        if (result != 0) {
            std::fprintf(stderr, "FAIL %s: %s\n", argv[i], ksim_last_error());
            ++failures;
        } else {
            std::printf("PASS %s\n", argv[i]);
        }
    }
    if (played == 0 && failures == 0) {
        std::fprintf(stderr, "usage: korvale-play [--quiet] scenario.json...\n");
        return 2;
    }
    return failures == 0 ? 0 : 1;
}
