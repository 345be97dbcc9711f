// The main run loop over GLib: every piece of delayed work is a timeout on the default main
// context, so it runs on the host's main thread while the host runs its GLib loop (GTK, GApplication
// or a plain GMainLoop). GLib has no run-loop modes: the default mode is the loop itself.
#include "platform/linux/LinuxMainLoop.h"

#include <glib.h>

#include <algorithm>
#include <cmath>

#include "platform/linux/XConnection.h"

namespace korvale::platform::linuxdesk {

namespace {

gboolean runOnce(gpointer data) {
    auto* work = static_cast<std::function<void()>*>(data);
    // Nothing may be thrown into GLib's dispatch.
    try {
        (*work)();
    } catch (...) {
    }
    return G_SOURCE_REMOVE;
}

void dropWork(gpointer data) { delete static_cast<std::function<void()>*>(data); }

}  // namespace

double GLibMainLoop::now() { return static_cast<double>(g_get_monotonic_time()) / 1e6; }

void GLibMainLoop::runAfter(double seconds, std::function<void()> work) {
    guint ms = seconds <= 0 ? 0 : static_cast<guint>(std::ceil(seconds * 1000.0));
    g_timeout_add_full(G_PRIORITY_DEFAULT, ms, runOnce, new std::function<void()>(std::move(work)), dropWork);
}

void GLibMainLoop::addSource(const RunLoopSourceRef& source, const std::string& mode) {
    auto s = std::dynamic_pointer_cast<GLibRunLoopSource>(source);
    if (!s || mode != kCFRunLoopDefaultMode) return;
    s->attach();
    attached_.push_back(source);
}

void GLibMainLoop::removeSource(const RunLoopSourceRef& source, const std::string& mode) {
    // The one mode: the loop lets go of the source, and with it of its observer.
    if (mode == kCFRunLoopDefaultMode) std::erase(attached_, source);
}

void GLibMainLoop::asyncAfterOnMain(double deadline, std::function<void()> work) {
    runAfter(deadline - now(), std::move(work));
}

void GLibMainLoop::scheduledTimer(double interval, std::function<void()> block) {
    runAfter(interval, std::move(block));
}

void GLibMainLoop::blockUntil(double deadline) {
    // Nothing of the library runs meanwhile. Platform quirk: on X11 the pasteboard lives in our
    // own process, so while the other application pastes we must keep answering its clipboard
    // requests; only selection traffic is served, every other event stays queued.
    gint64 until = static_cast<gint64>(deadline * 1e6);
    if (x_) {
        x_->serveSelectionsUntil(until, nullptr);
        return;
    }
    gint64 left = until - g_get_monotonic_time();
    if (left > 0) g_usleep(static_cast<gulong>(left));
}

}  // namespace korvale::platform::linuxdesk
