// The clock, CFRunLoopAddSource in the mode asked for, and a wait that services nothing of the
// library's.
#include "platform/macos/MacRunLoop.h"

#include <CoreFoundation/CoreFoundation.h>

#include <algorithm>

#include "platform/macos/MacAxService.h"
#include "platform/macos/MacCF.h"

namespace korvale::macos {

namespace {

// Adds a source to the current run loop, or removes it (`change`), in the mode named `mode`.
void inMode(void (*change)(CFRunLoopRef, CFRunLoopSourceRef, CFRunLoopMode), CFRunLoopSourceRef source,
            const std::string& mode) {
    if (mode == platform::kCFRunLoopDefaultMode) {
        change(CFRunLoopGetCurrent(), source, kCFRunLoopDefaultMode);
    } else {
        auto name = makeCFString(mode);
        change(CFRunLoopGetCurrent(), source, name.get());
    }
}

}  // namespace

bool MacRunLoopSource::isValid() const { return ref_ && CFRunLoopSourceIsValid(ref_.get()); }

double MacRunLoop::now() { return CFAbsoluteTimeGetCurrent(); }

void MacRunLoop::addSource(const platform::RunLoopSourceRef& source, const std::string& mode) {
    auto* mac = dynamic_cast<MacRunLoopSource*>(source.get());
    if (!mac || !mac->ref()) return;
    inMode(CFRunLoopAddSource, mac->ref(), mode);
    attached_.push_back(source);
}

void MacRunLoop::removeSource(const platform::RunLoopSourceRef& source, const std::string& mode) {
    auto* mac = dynamic_cast<MacRunLoopSource*>(source.get());
    if (!mac || !mac->ref()) return;
    inMode(CFRunLoopRemoveSource, mac->ref(), mode);
    // The library adds its sources in one mode each: out of it, the loop no longer needs it.
    if (auto it = std::find(attached_.begin(), attached_.end(), source); it != attached_.end()) attached_.erase(it);
}

void MacRunLoop::blockUntil(double deadline) {
    // The run loop runs only in a private mode that holds none of the library's sources, timers
    // or main-queue work. Platform quirk: a mode with nothing in it returns at once, so on a Mac
    // this spins on the clock until the deadline.
    // Within a nanosecond counts as there: the clock cannot tell less apart.
    auto mode = makeCFString(kBlockingWaitMode);
    for (double left = deadline - now(); left > 1e-9; left = deadline - now())
        CFRunLoopRunInMode(mode.get(), left, true);
}

}  // namespace korvale::macos
