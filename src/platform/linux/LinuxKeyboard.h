// Synthesized keystrokes of the Linux backend (XTest).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "platform/Platform.h"
#include "platform/linux/XConnection.h"

namespace korvale::platform::linuxdesk {

class LinuxKeyboard final : public KeyboardEvents {
public:
    explicit LinuxKeyboard(XConnection& x);
    std::unique_ptr<CGEventSource> createSource(int stateID) override;
    std::unique_ptr<CGEvent> createKeyboardEvent(const CGEventSource* source, uint16_t virtualKey,
                                                 bool keyDown) override;
    void post(int tap, const CGEvent& event) override;

    // Whether the keystroke's target is a terminal, where Control+V is a character of its own
    // and the paste shortcut is Shift+Control+V.
    std::function<bool()> targetIsTerminal;

private:
    XConnection& x_;
    bool xtest_ = false;
    bool shiftAdded_ = false;  // Shift pressed with Command, released with it
};

}  // namespace korvale::platform::linuxdesk
