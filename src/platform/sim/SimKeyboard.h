// The simulated keyboard event service: every event posted is recorded in order with its key
// code, direction and flags, and the keys held down are tracked, so that Command-V reaching the
// frontmost application makes it paste the pasteboard's plain text into its focused text
// element, as a real application would, a little later and in its own process — or much later,
// when the application is busy (the slow-paste fault).
#pragma once

#include <map>
#include <set>

#include "platform/sim/SimDesktop.h"

namespace korvale::sim {

class SimKeyboard final : public KeyboardEvents {
public:
    static constexpr uint16_t kCommandKey = 55;
    static constexpr uint16_t kVKey = 9;
    static constexpr uint64_t kCommandFlag = 0x100000;

    explicit SimKeyboard(Desktop& desktop);
    void reset();

    std::unique_ptr<CGEventSource> createSource(int stateID) override;
    std::unique_ptr<CGEvent> createKeyboardEvent(const CGEventSource* source, uint16_t virtualKey,
                                                 bool keyDown) override;
    void post(int tap, const CGEvent& event) override;

private:
    void pasteInto(pid_t pid);

    Desktop& desktop_;
    json keystrokes_ = json::array();
    std::set<uint16_t> keysDown_;
    double pasteLatency_ = 0.01;  // how long the other application takes to handle the paste
    // Slow pastes: an application that is busy takes this much longer before it pastes.
    std::map<pid_t, double> pasteDelays_;
    bool sourceFails_ = false;    // "keyboard": {"source_fails": true}: CGEventSourceCreate fails
};

}  // namespace korvale::sim
