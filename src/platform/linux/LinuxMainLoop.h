// The main run loop of the Linux backend: the host's GLib main loop (the default main context).
// Delayed work and one-shot timers are GLib timeouts; the clock is GLib's monotonic clock.
#pragma once

#include <functional>
#include <vector>

#include "platform/Platform.h"

namespace korvale::platform::linuxdesk {

class XConnection;

class GLibMainLoop final : public MainLoop {
public:
    // `x` may be null; when present, blocking waits keep answering clipboard requests on it.
    explicit GLibMainLoop(XConnection* x) : x_(x) {}
    double now() override;
    void addSource(const RunLoopSourceRef& source, const std::string& mode) override;
    void removeSource(const RunLoopSourceRef& source, const std::string& mode) override;
    void asyncAfterOnMain(double deadline, std::function<void()> work) override;
    void scheduledTimer(double interval, std::function<void()> block) override;
    void blockUntil(double deadline) override;

    // Runs `work` on the main context after `seconds` (at least the next iteration).
    static void runAfter(double seconds, std::function<void()> work);

private:
    XConnection* x_;
    std::vector<RunLoopSourceRef> attached_;  // the loop keeps what it services alive
};

// A run-loop source of this backend: it delivers only once added to the loop in the default
// mode, which is the only mode a GLib loop has.
class GLibRunLoopSource final : public RunLoopSource {
public:
    // `valid` says whether anything can still signal the source (none: always).
    explicit GLibRunLoopSource(std::function<void()> onAttach, std::function<bool()> valid = nullptr)
        : onAttach_(std::move(onAttach)), valid_(std::move(valid)) {}
    void attach() {
        if (onAttach_) onAttach_();
    }
    bool isValid() const override { return !valid_ || valid_(); }

private:
    std::function<void()> onAttach_;
    std::function<bool()> valid_;
};

}  // namespace korvale::platform::linuxdesk
