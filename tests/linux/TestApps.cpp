#include "TestApps.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace korvale_linux_test {

double now() { return g_get_monotonic_time() / 1e6; }

bool pumpUntil(const std::function<bool()>& done, double seconds) {
    double deadline = now() + seconds;
    while (!done()) {
        const double left = deadline - now();
        if (left <= 0) return false;
        // The wait is bounded by a timeout source of our own, removed whatever woke the loop.
        GSource* bound = g_timeout_source_new(guint(std::min(10.0, std::ceil(left * 1000))));
        g_source_set_callback(bound, [](gpointer) -> gboolean { return G_SOURCE_REMOVE; }, nullptr, nullptr);
        g_source_attach(bound, nullptr);
        g_main_context_iteration(nullptr, TRUE);
        g_source_destroy(bound);
        g_source_unref(bound);
    }
    return true;
}

Child::Child(std::vector<std::string> argv) {
    std::vector<char*> args;
    for (auto& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    GError* error = nullptr;
    if (!g_spawn_async_with_pipes(nullptr, args.data(), nullptr,
                                  GSpawnFlags(G_SPAWN_SEARCH_PATH | G_SPAWN_DO_NOT_REAP_CHILD), nullptr,
                                  nullptr, &pid_, &in_, &out_, nullptr, &error)) {
        std::printf("cannot start %s: %s\n", argv[0].c_str(), error ? error->message : "?");
        if (error) g_error_free(error);
        pid_ = 0;
        return;
    }
    fcntl(out_, F_SETFL, O_NONBLOCK);
}

Child::~Child() {
    if (in_ >= 0) close(in_);
    if (out_ >= 0) close(out_);
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        int status;
        // Bounded: a child that ignores SIGTERM gets SIGKILL after two seconds.
        for (int i = 0; i < 200 && waitpid(pid_, &status, WNOHANG) == 0; ++i) g_usleep(10000);
        if (waitpid(pid_, &status, WNOHANG) == 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
        }
    }
}

void Child::send(const std::string& line) {
    std::string l = line + "\n";
    if (write(in_, l.data(), l.size()) < 0) std::printf("write to child failed\n");
}

void Child::closeInput() {
    if (in_ >= 0) close(in_);
    in_ = -1;
}

std::optional<std::string> Child::readLine(double seconds) {
    std::optional<std::string> line;
    pumpUntil([&] {
        char buf[512];
        ssize_t n;
        while ((n = read(out_, buf, sizeof buf)) > 0) buffer_.append(buf, n);
        auto nl = buffer_.find('\n');
        if (nl == std::string::npos) return false;
        line = buffer_.substr(0, nl);
        buffer_.erase(0, nl + 1);
        return true;
    }, seconds);
    return line;
}

std::optional<std::string> Child::command(const std::string& line, double seconds) {
    send(line);
    return readLine(seconds);
}

std::optional<int> Child::wait(double seconds) {
    std::optional<int> code;
    pumpUntil([&] {
        int status;
        if (waitpid(pid_, &status, WNOHANG) != pid_) return false;
        code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        pid_ = 0;
        return true;
    }, seconds);
    return code;
}

std::string Child::output() {
    char buf[512];
    ssize_t n;
    while ((n = read(out_, buf, sizeof buf)) > 0) buffer_.append(buf, n);
    return buffer_;
}

std::u32string bigText(long chars) {
    std::u32string text;
    for (int i = 0; long(text.size()) < chars; ++i) {
        char number[8];
        std::snprintf(number, sizeof number, "%06d", i);
        text += U"Line with caf\u00e9 and \U0001F600 in it, number ";
        for (const char* c = number; *c; ++c) text += char32_t(*c);
        text += U".\n";
    }
    return text;
}

}  // namespace korvale_linux_test
