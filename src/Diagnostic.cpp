// Diagnostic lines and the library's thread (Diagnostic.h).
#include "Diagnostic.h"

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>

#include "platform/Platform.h"

namespace korvale {

namespace {

// The thread that made the first call of an export.
std::atomic<std::thread::id> libraryThread{};

bool onAnotherThread() noexcept {
    const std::thread::id owner = libraryThread.load();
    return owner != std::thread::id{} && owner != std::this_thread::get_id();
}

}  // namespace

bool claimLibraryThread() noexcept {
    const std::thread::id self = std::this_thread::get_id();
    std::thread::id owner{};
    return libraryThread.compare_exchange_strong(owner, self) || owner == self;
}

void diagnostic(std::string_view line) noexcept {
    try {
        if (onAnotherThread()) {
            std::string out(line);
            out += '\n';
            std::fwrite(out.data(), 1, out.size(), stdout);
            std::fflush(stdout);
            return;
        }
        platform::current().console.writeLine(std::string(line));
    } catch (...) {
        // A line that cannot be written is lost; the call that said it goes on.
    }
}

}  // namespace korvale
