// Synthesized keystrokes through Core Graphics events posted at a tap.
#pragma once

#include <CoreGraphics/CoreGraphics.h>

#include <map>

#include "platform/Platform.h"
#include "platform/macos/MacCF.h"

namespace korvale::macos {

class MacKeyboard final : public platform::KeyboardEvents {
public:
    std::unique_ptr<platform::CGEventSource> createSource(int stateID) override;
    std::unique_ptr<platform::CGEvent> createKeyboardEvent(const platform::CGEventSource* source,
                                                           uint16_t virtualKey, bool keyDown) override;
    void post(int tap, const platform::CGEvent& event) override;

private:
    // One event source per state, made on first use and kept; events made afterwards use the
    // source of the state asked for last.
    std::map<int, CFOwner<CGEventSourceRef>> sources_;
    CGEventSourceRef current_ = nullptr;
};

}  // namespace korvale::macos
