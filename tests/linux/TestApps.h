// Child processes the Linux test programs and benchmarks drive (the test applications, editors,
// command-line tools), the host-like main loop they are waited for in, and the text the test
// application's "big_text" command fills its text view with. Nothing here calls the library, so a
// program that loads the library at run time can use it too.
#pragma once

#include <glib.h>
#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace korvale_linux_test {

// Seconds on the monotonic clock.
double now();

// Runs the main loop until `done` holds or `seconds` pass, as a host's g_main_loop_run does:
// blocked until a source is ready and dispatched at once, so an event is handled before the
// application has finished what it does around it (a pause between iterations hid faults that
// only such a host sees). Woken every 10 ms at most to look at `done`, which may wait on things
// the loop does not watch, like a child's pipe.
bool pumpUntil(const std::function<bool()>& done, double seconds);
// A child process with pipes, killed and reaped when dropped.
class Child {
public:
    explicit Child(std::vector<std::string> argv);
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    pid_t pid() const { return pid_; }
    bool ok() const { return pid_ > 0; }
    void send(const std::string& line);
    void closeInput();
    // The next line of output, waiting at most `seconds` while the main loop runs.
    std::optional<std::string> readLine(double seconds);
    std::optional<std::string> command(const std::string& line, double seconds = 5);
    // Whether it exited within `seconds`; its status then.
    std::optional<int> wait(double seconds);
    std::string output();

private:
    GPid pid_ = 0;
    int in_ = -1, out_ = -1;
    std::string buffer_;
};

// The test application's "big_text" document: numbered lines with an accented letter and an
// emoji on each, its first `chars` code points.
std::u32string bigText(long chars);

}  // namespace korvale_linux_test
