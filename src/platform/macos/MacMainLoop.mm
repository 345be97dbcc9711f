// Delayed work with dispatch_after on the main queue, one-shot NSTimers on the current run loop
// (default mode), and private serial queues that target the main queue, so that every piece of
// the library's work runs on the host's main thread and nothing needs a lock.
#include "platform/macos/MacMainLoop.h"

#import <Foundation/Foundation.h>
#include <dispatch/dispatch.h>

#include <memory>

namespace korvale::macos {

namespace {

using Work = std::shared_ptr<std::function<void()>>;

void runGuarded(const Work& work) {
    // Nothing may be thrown into the run loop or the dispatch machinery.
    try {
        if (work && *work) (*work)();
    } catch (...) {
    }
}

dispatch_time_t timeAfter(double seconds) {
    if (seconds < 0) seconds = 0;
    return dispatch_time(DISPATCH_TIME_NOW, static_cast<int64_t>(seconds * static_cast<double>(NSEC_PER_SEC)));
}

}  // namespace

void MacMainLoop::asyncAfterOnMain(double deadline, std::function<void()> work) {
    Work shared = std::make_shared<std::function<void()>>(std::move(work));
    dispatch_after(timeAfter(deadline - now()), dispatch_get_main_queue(), ^{
      runGuarded(shared);
    });
}

void MacMainLoop::scheduledTimer(double interval, std::function<void()> block) {
    Work shared = std::make_shared<std::function<void()>>(std::move(block));
    [NSTimer scheduledTimerWithTimeInterval:interval
                                    repeats:NO
                                      block:^(NSTimer *) {
                                        runGuarded(shared);
                                      }];
}

}  // namespace korvale::macos
