// Wires the macOS services together. They live for the rest of the process, like the platform
// services they stand for; diagnostics go to standard output.
#include "platform/macos/MacBackend.h"

#import <Foundation/Foundation.h>

#include <cstdio>

#include "platform/macos/MacAppKit.h"
#include "platform/macos/MacAxService.h"
#include "platform/macos/MacKeyboard.h"
#include "platform/macos/MacMainLoop.h"

namespace korvale::macos {

namespace {

class StdoutConsole final : public platform::Console {
public:
    void writeLine(const std::string& line) override {
        std::fwrite(line.data(), 1, line.size(), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
    }
};

struct MacDesktop {
    MacAxService accessibility;
    MacMainLoop loop;
    std::unique_ptr<platform::Workspace> workspace = makeWorkspace();
    std::unique_ptr<platform::Pasteboard> pasteboard = makePasteboard();
    MacKeyboard keyboard;
    std::unique_ptr<platform::WindowServer> windows = makeWindowServer();
    StdoutConsole console;
    platform::Platform platform{accessibility, loop, *workspace, *pasteboard, keyboard, *windows, console};
};

}  // namespace

platform::Platform* macPlatform() {
    // Kept for the life of the process: the library may be called while statics are torn down.
    static MacDesktop* desktop = new MacDesktop();
    return &desktop->platform;
}

}  // namespace korvale::macos
