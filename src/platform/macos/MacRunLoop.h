// The Core Foundation half of the macOS main loop: the clock, run-loop sources added in a mode,
// and the blocking wait. Delayed work, timers and serial queues come from libdispatch and
// Foundation (MacMainLoop.mm), which derives from this class.
#pragma once

#include <vector>

#include "platform/Platform.h"

namespace korvale::macos {

class MacRunLoop : public platform::MainLoop {
public:
    double now() override;
    void addSource(const platform::RunLoopSourceRef& source, const std::string& mode) override;
    void removeSource(const platform::RunLoopSourceRef& source, const std::string& mode) override;
    void blockUntil(double deadline) override;

    // The mode the blocking wait runs the loop in: nothing of the library's is ever added to it.
    static constexpr const char* kBlockingWaitMode = "KorvaleBlockingWaitMode";

private:
    std::vector<platform::RunLoopSourceRef> attached_;  // the run loop keeps what it services
};

}  // namespace korvale::macos
