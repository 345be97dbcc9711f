// Assembles the Linux backend: opens the X display, joins the accessibility bus, and wires the
// services together. It is made only when both answer; until then the chooser (Backend.cpp)
// serves the process as an untrusted one and asks again later.
#include "platform/linux/LinuxBackend.h"

#include <atspi/atspi.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/linux/LinuxAccessibility.h"
#include "platform/linux/LinuxFrontWindow.h"
#include "platform/linux/LinuxKeyboard.h"
#include "platform/linux/LinuxMainLoop.h"
#include "platform/linux/LinuxPasteboard.h"
#include "platform/linux/LinuxWindows.h"
#include "platform/linux/LinuxWorkspace.h"
#include "platform/linux/XConnection.h"

namespace korvale::platform::linuxdesk {

namespace {

class StdoutConsole final : public Console {
public:
    void writeLine(const std::string& line) override {
        std::fwrite(line.data(), 1, line.size(), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
    }
};

struct LinuxDesktop {
    std::unique_ptr<XConnection> x;
    std::unique_ptr<FrontWindow> front;
    DesktopState state;
    std::unique_ptr<GLibMainLoop> loop;
    std::unique_ptr<LinuxAccessibility> accessibility;
    std::unique_ptr<LinuxWorkspace> workspace;
    std::unique_ptr<LinuxPasteboard> pasteboard;
    std::unique_ptr<LinuxKeyboard> keyboard;
    std::unique_ptr<LinuxWindows> windows;
    StdoutConsole console;
    std::unique_ptr<Platform> platform;
};

// Whether the accessibility bus answers: the registry's desktop can be asked for its children.
bool accessibilityBusAnswersOnce() {
    auto* desktop = atspi_get_desktop(0);
    if (!desktop) return false;
    GError* error = nullptr;
    atspi_accessible_get_child_count(desktop, &error);
    g_object_unref(desktop);
    if (error) {
        g_error_free(error);
        return false;
    }
    return true;
}

// A session that has only just started may still be activating its accessibility bus and
// registry. A host that asked for this backend by name (KORVALE_BACKEND=linux) waits for them a
// while; otherwise one answer decides, so that a desktop without accessibility costs no delay.
bool accessibilityBusAnswers() {
    const char* wanted = std::getenv("KORVALE_BACKEND");
    static bool firstAttempt = true;
    const bool insisted = firstAttempt && wanted && std::string(wanted) == "linux";
    firstAttempt = false;
    const gint64 deadline = g_get_monotonic_time() + (insisted ? 10 : 0) * G_USEC_PER_SEC;
    for (;;) {
        int init = atspi_init();  // 0 first time, 1 already done; more is a failure
        if (init <= 1 && accessibilityBusAnswersOnce()) return true;
        // libatspi keeps a failed start as done, and would then abort on its first call: undone,
        // so that the next attempt looks for the bus afresh (unless the host started it itself).
        if (init != 1) atspi_exit();
        if (g_get_monotonic_time() >= deadline) return false;
        g_usleep(200 * 1000);
    }
}

LinuxDesktop* make() {
    const char* display = std::getenv("DISPLAY");
    if (!display || !*display) return nullptr;
    auto x = XConnection::open();
    if (!x) return nullptr;
    if (!accessibilityBusAnswers()) return nullptr;
    // Kept for the life of the process, like the platform services it stands for.
    auto* d = new LinuxDesktop();
    d->x = std::move(x);
    d->loop = std::make_unique<GLibMainLoop>(d->x.get());
    d->front = std::make_unique<FrontWindow>(*d->x);
    d->accessibility = std::make_unique<LinuxAccessibility>(d->state, *d->x, *d->front);
    d->workspace = std::make_unique<LinuxWorkspace>(d->state, *d->x, *d->front);
    d->front->onChange = [a = d->accessibility.get()](pid_t pid) { a->onFrontChanged(pid); };
    d->front->onMapped = [a = d->accessibility.get()](pid_t pid, XWindow w) { a->onWindowMapped(pid, w); };
    d->accessibility->onApplicationEvent = [ws = d->workspace.get()](const std::string& name, pid_t pid) {
        ws->post(name, pid);
    };
    d->pasteboard = std::make_unique<LinuxPasteboard>(*d->x);
    d->keyboard = std::make_unique<LinuxKeyboard>(*d->x);
    d->keyboard->targetIsTerminal = [a = d->accessibility.get()] { return a->frontFocusIsTerminal(); };
    d->windows = std::make_unique<LinuxWindows>(*d->x, d->console);
    d->platform.reset(new Platform{*d->accessibility, *d->loop, *d->workspace, *d->pasteboard,
                                   *d->keyboard, *d->windows, d->console});
    return d;
}

}  // namespace

Platform* connect() {
    static LinuxDesktop* desktop = nullptr;
    if (!desktop) desktop = make();
    return desktop ? desktop->platform.get() : nullptr;
}

MainLoop* waitingLoop() {
    // Delayed work on the host's GLib loop needs no X display or bus.
    static GLibMainLoop loop(nullptr);
    return &loop;
}

}  // namespace korvale::platform::linuxdesk
