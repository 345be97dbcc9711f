// The macOS main loop: the Core Foundation half (MacRunLoop) with delayed work on the main
// dispatch queue and NSTimer one-shots.
#pragma once

#include "platform/macos/MacRunLoop.h"

namespace korvale::macos {

class MacMainLoop final : public MacRunLoop {
public:
    void asyncAfterOnMain(double deadline, std::function<void()> work) override;
    void scheduledTimer(double interval, std::function<void()> block) override;
};

}  // namespace korvale::macos
