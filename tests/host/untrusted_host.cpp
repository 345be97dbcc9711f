// A host of the production library where no desktop service answers (the test runs it with no
// DISPLAY and no KORVALE_BACKEND): the library must behave as an untrusted process, not follow a
// fake desktop. It prints one "ok"/"FAIL" line per check; the library's own lines are captured.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "Korvale.h"

namespace {

int events = 0;
int failures = 0;

void onEvent(const char*, const char*) { ++events; }

void check(bool ok, const char* what) {
    std::fprintf(stderr, "%s %s\n", ok ? "ok  " : "FAIL", what);
    if (!ok) ++failures;
}

// Runs `body` with standard output going to a file, and gives what it wrote.
template <typename F>
std::string captured(F body) {
    char path[] = "/tmp/korvale-untrusted-XXXXXX";
    int fd = mkstemp(path);
    std::fflush(stdout);
    int saved = dup(1);
    dup2(fd, 1);
    body();
    std::fflush(stdout);
    dup2(saved, 1);
    close(saved);
    close(fd);
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    unlink(path);
    return text.str();
}

}  // namespace

int main() {
    check(!std::getenv("KORVALE_BACKEND"), "KORVALE_BACKEND is not set");
    const char* display = std::getenv("DISPLAY");
    check(!display || !*display, "DISPLAY is not set");

    check(!isAccessibiltyEnabled(), "isAccessibiltyEnabled() is false");
    check(!showAccessibiltyPermisionPopup(), "showAccessibiltyPermisionPopup() is false");
    std::string out = captured([] {
        initMacAccessibility(&onEvent);
        start("{}");
        addBlockedApps("[\"com.example.blocked\"]");
        getDataForVelaAssist();
    });
    check(out.find("Accessibility is enabled") == std::string::npos,
          "start does not print \"Accessibility is enabled\"");
    check(out.empty(), "start, addBlockedApps and getDataForVelaAssist print nothing");
    out = captured([] { setText("replacement"); });
    check(out.find("Task ended") == std::string::npos, "setText does not print \"Task ended\"");
    check(out.rfind("setText failed: ", 0) == 0, "setText says that it did not paste");
    check(events == 0, "no event reached the host");
    std::fprintf(stderr, "%s\n", failures ? "FAILED" : "PASSED");
    return failures ? 1 : 0;
}
