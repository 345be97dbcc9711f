// The simulated workspace service (placeholder until its issue lands).
#pragma once

#include "platform/sim/SimDesktop.h"

namespace korvale::sim {

class SimWorkspace final : public Workspace {
public:
    explicit SimWorkspace(Desktop& desktop) : desktop_(desktop) {}
    void reset() {}
    void addObserverForName(const std::string&, std::function<void(const Notification&)>) override {}
    RunningApplicationRef frontmostApplication() override { return nullptr; }

private:
    Desktop& desktop_;
};

}  // namespace korvale::sim
