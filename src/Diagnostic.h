// The library's diagnostic lines on standard output, and the thread the library runs on. Every
// line goes out through diagnostic(), whichever layer says it.
#pragma once

#include <string_view>

namespace korvale {

// Claims the library for the calling thread if no thread has it yet; whether the calling thread
// is the library's. Everything the library keeps belongs to that thread alone (no locks).
bool claimLibraryThread() noexcept;

// Writes `line` and a newline to standard output. On the library's thread (or before any thread
// has claimed it) through the platform's console, which the simulated desktop records; from any
// other thread, which must not touch the platform, straight to standard output in one write.
void diagnostic(std::string_view line) noexcept;

}  // namespace korvale
