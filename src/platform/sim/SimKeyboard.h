// The simulated keyboard service (placeholder until its issue lands).
#pragma once

#include "platform/sim/SimDesktop.h"

namespace korvale::sim {

class SimKeyboard final : public KeyboardEvents {
public:
    explicit SimKeyboard(Desktop& desktop) : desktop_(desktop) {}
    void reset() {}
    std::unique_ptr<CGEventSource> createSource(int) override { return nullptr; }
    std::unique_ptr<CGEvent> createKeyboardEvent(const CGEventSource*, uint16_t, bool) override { return nullptr; }
    void post(int, const CGEvent&) override {}

private:
    Desktop& desktop_;
};

}  // namespace korvale::sim
