// The simulated windows service (placeholder until its issue lands).
#pragma once

#include "platform/sim/SimDesktop.h"

namespace korvale::sim {

class SimWindows final : public WindowServer {
public:
    explicit SimWindows(Desktop& desktop) : desktop_(desktop) {}
    void reset() {}
    // The opaque handle of host window `id`, or null when there is none.
    void* handleFor(const std::string&) { return nullptr; }
    WindowRef windowForHandle(void*) override { return nullptr; }
    void setDelegate(const WindowRef&, std::shared_ptr<Responder>) override {}
    std::optional<CGRect> contentViewBounds(const WindowRef&) override { return std::nullopt; }
    TrackingAreaRef makeTrackingArea(CGRect, unsigned, std::weak_ptr<Responder>) override { return nullptr; }
    bool addTrackingArea(const WindowRef&, const TrackingAreaRef&) override { return false; }
    bool setActivationPolicy(int) override { return false; }

private:
    Desktop& desktop_;
};

}  // namespace korvale::sim
