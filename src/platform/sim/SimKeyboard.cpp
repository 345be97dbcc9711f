// The simulated keyboard event service. Events are recorded as posted; a V key pressed with the
// Command flag while the Command key is held is a paste for the frontmost application. The paste
// happens in that application's process, so it is scheduled on the external timeline: it takes
// place as the clock passes, even while the library holds the main thread in a busy wait, and it
// reads the pasteboard at that moment, not at the moment of posting.
#include "platform/sim/SimKeyboard.h"

#include "platform/sim/SimAccessibility.h"
#include "platform/sim/SimPasteboard.h"
#include "platform/sim/SimWorkspace.h"

namespace korvale::sim {

SimKeyboard::SimKeyboard(Desktop& desktop) : desktop_(desktop) {
    desktop_.registerWorldLoader([this](const json& world) {
        if (!world.contains("keyboard")) return;
        const json& k = world.at("keyboard");
        pasteLatency_ = k.value("paste_latency", pasteLatency_);
        sourceFails_ = k.value("source_fails", false);
    });
    desktop_.registerWorldLoader([this](const json& world) {
        if (!world.contains("apps") || !world["apps"].is_array()) return;
        for (const auto& app : world["apps"])
            if (app.is_object() && app.contains("paste_delay"))
                pasteDelays_[app.at("pid").get<pid_t>()] = app["paste_delay"].get<double>();
    });
    // {"action": "slow_paste", "pid", "delay"}: the application is busy; a paste it receives
    // from now on happens `delay` seconds later than usual (0: prompt again).
    desktop_.registerAction("slow_paste", [this](const json& a) {
        pasteDelays_[a.at("pid").get<pid_t>()] = a.at("delay").get<double>();
    });
    desktop_.registerStateReporter([this](json& s) { s["keystrokes"] = keystrokes_; });
}

void SimKeyboard::reset() {
    keystrokes_ = json::array();
    keysDown_.clear();
    pasteLatency_ = 0.01;
    sourceFails_ = false;
    pasteDelays_.clear();
}

std::unique_ptr<CGEventSource> SimKeyboard::createSource(int stateID) {
    desktop_.logRequest({{"call", "CGEventSourceCreate"}, {"state", stateID}, {"result", !sourceFails_}});
    if (sourceFails_) return nullptr;
    auto source = std::make_unique<CGEventSource>();
    source->stateID = stateID;
    return source;
}

std::unique_ptr<CGEvent> SimKeyboard::createKeyboardEvent(const CGEventSource* source,
                                                          uint16_t virtualKey, bool keyDown) {
    desktop_.logRequest({{"call", "CGEventCreateKeyboardEvent"}, {"source", source != nullptr},
                         {"key", virtualKey}, {"down", keyDown}});
    auto event = std::make_unique<CGEvent>();
    event->keyCode = virtualKey;
    event->keyDown = keyDown;
    return event;
}

void SimKeyboard::post(int tap, const CGEvent& event) {
    desktop_.logRequest({{"call", "CGEventPost"}, {"tap", tap}, {"key", event.keyCode},
                         {"down", event.keyDown}, {"flags", event.flags}});
    keystrokes_.push_back({{"key", event.keyCode}, {"down", event.keyDown}, {"flags", event.flags},
                           {"t", desktop_.nowSeconds()}});
    const bool commandHeld = keysDown_.count(kCommandKey) > 0;
    if (event.keyDown) keysDown_.insert(event.keyCode);
    else keysDown_.erase(event.keyCode);
    if (event.keyDown && event.keyCode == kVKey && (event.flags & kCommandFlag) && commandHeld) {
        // The keystroke belongs to the application in front when it is posted.
        pid_t pid = desktop_.workspace().frontmostPid();
        if (pid == 0) return;
        double delay = pasteLatency_;
        if (auto d = pasteDelays_.find(pid); d != pasteDelays_.end()) delay += d->second;
        desktop_.scheduleExternal(desktop_.nowNs() + Desktop::toNs(delay), [this, pid] { pasteInto(pid); });
    }
}

// What an application does with Command-V: if an editable text element has its focus, it takes
// the pasteboard's plain text and puts it in place of the selection. An application that quit
// meanwhile, or whose focus is not editable text, asks the pasteboard for nothing.
void SimKeyboard::pasteInto(pid_t pid) {
    if (!desktop_.accessibility().acceptsPaste(pid)) return;
    auto text = desktop_.pasteboard().takeData(NSPasteboardTypeString, pid);
    if (!text) return;
    desktop_.accessibility().pasteIntoFocused(pid, *text);
}

}  // namespace korvale::sim
