// Keystrokes: each platform event becomes a CGEvent at the moment it is posted, with its flags,
// and is released right after CGEventPost.
#include "platform/macos/MacKeyboard.h"

namespace korvale::macos {

std::unique_ptr<platform::CGEventSource> MacKeyboard::createSource(int stateID) {
    auto it = sources_.find(stateID);
    if (it == sources_.end())
        it = sources_.emplace(stateID, CFOwner<CGEventSourceRef>::adopt(
                                           CGEventSourceCreate(static_cast<CGEventSourceStateID>(stateID))))
                 .first;
    if (!it->second) return nullptr;  // the events are then made without a source
    current_ = it->second.get();
    auto source = std::make_unique<platform::CGEventSource>();
    source->stateID = stateID;
    return source;
}

std::unique_ptr<platform::CGEvent> MacKeyboard::createKeyboardEvent(const platform::CGEventSource* source,
                                                                    uint16_t virtualKey, bool keyDown) {
    if (!source) current_ = nullptr;
    auto event = std::make_unique<platform::CGEvent>();
    event->keyCode = virtualKey;
    event->keyDown = keyDown;
    return event;
}

void MacKeyboard::post(int tap, const platform::CGEvent& event) {
    auto cg = CFOwner<CGEventRef>::adopt(
        CGEventCreateKeyboardEvent(current_, static_cast<CGKeyCode>(event.keyCode), event.keyDown));
    if (!cg) return;  // an event that cannot be made is skipped, as the library expects
    CGEventSetFlags(cg.get(), static_cast<CGEventFlags>(event.flags));
    CGEventPost(static_cast<CGEventTapLocation>(tap), cg.get());
}

}  // namespace korvale::macos
