// The conformance suite (tests/conformance) on the Linux backend, against a real GTK 3
// application inside Xvfb and a private session bus (run by run-real-desktop.sh). The driver
// builds each case's starting state in korvale_test_app.py through its command channel: the
// entry holds the case's text and selection and has the focus, the text view is the text area,
// and the window is in front. The application is started again after a case made it hang or quit.
//   korvale-linux-conformance-test TEST_APP_SCRIPT [gtest options]
#include <signal.h>

#include <cstdio>

#include "Conformance.h"
#include "DesktopDriver.h"
#include "platform/Backend.h"

namespace korvale::conformance {

namespace {

namespace lt = korvale_linux_test;
using nlohmann::json;

std::string appScript;

// Code points before UTF-16 offset `units` of `utf8`: the application counts characters.
long codePoints(const std::string& utf8, long units) {
    long cps = 0, seen = 0;
    for (std::size_t i = 0; i < utf8.size() && seen < units;) {
        unsigned char c = utf8[i];
        int bytes = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
        seen += bytes == 4 ? 2 : 1;
        i += bytes;
        ++cps;
    }
    return cps;
}

class LinuxDriver final : public Driver {
public:
    pl::Platform& platform() override { return pl::current(); }

    std::string prepare(const Start& start) override {
        if (!subscribed_) {
            // The backend's own word that an application is in front: before it, the backend
            // takes selections of that application for leftovers of another one's.
            subscribed_ = true;
            platform().workspace.addObserverForName(pl::NSWorkspaceDidActivateApplicationNotification,
                                                    [this](const pl::Notification& n) {
                if (!n.userInfo) return;
                auto it = n.userInfo->values.find(pl::NSWorkspaceApplicationKey);
                if (it == n.userInfo->values.end() || pl::CFGetTypeID(it->second) != pl::TypeID::RunningApplication)
                    return;
                activated_ = static_cast<const pl::RunningApplication&>(*it->second).processIdentifier();
            });
        }
        if (!app_ || stopped_) {
            app_.reset();  // a hung or quit application is not used again
            stopped_ = false;
            app_ = std::make_unique<lt::Child>(lt::testAppCommand(appScript));
            auto ready = app_->readLine(20);
            if (!ready || *ready != "ready") return "the test application did not start";
            window_ = lt::visibleWindowOf(app_->pid());
            if (!window_) return "the test application's window was not found";
            x_ = 100, y_ = 120;
        }
        text_ = start.fieldText;
        if (!lt::focusWindow(*window_)) return "xdotool could not focus the window";
        if (!lt::pumpUntil([&] { return activated_ == app_->pid(); }, 10))
            return "the backend did not report the application's activation within 10 s";
        if (!ok(app_->command("entry_json " + json(start.fieldText).dump(-1, ' ', true)))) return "entry_json failed";
        const long s = codePoints(text_, start.selection.location);
        const long e = codePoints(text_, start.selection.location + start.selection.length);
        if (!ok(app_->command("entry_range " + std::to_string(s) + " " + std::to_string(e)))) return "entry_range failed";
        // The state holds once the backend sees it: the focused element of the application in
        // front holds the text with the selection.
        auto& ax = platform().accessibility;
        const pid_t pid = app_->pid();
        bool seen = lt::pumpUntil([&] {
            auto front = platform().workspace.frontmostApplication();
            if (!front || front->processIdentifier() != pid) return false;
            pl::ObjectRef focused, value, range;
            if (ax.copyAttributeValue(ax.createApplication(pid), "AXFocusedUIElement", &focused) != pl::kAXErrorSuccess ||
                pl::CFGetTypeID(focused) != pl::TypeID::UIElement)
                return false;
            auto element = std::static_pointer_cast<const pl::UIElement>(focused);
            pl::CFRange r{};
            return ax.copyAttributeValue(element, "AXValue", &value) == pl::kAXErrorSuccess &&
                   pl::CFGetTypeID(value) == pl::TypeID::String &&
                   static_cast<const pl::StringObject&>(*value).value == start.fieldText &&
                   ax.copyAttributeValue(element, "AXSelectedTextRange", &range) == pl::kAXErrorSuccess &&
                   pl::AXValueGetValue(range, pl::AXValueType::CFRange, &r) && r == start.selection;
        }, 10);
        if (!seen) return "the backend did not see the starting state within 10 s";
        // Events of the preparation still on their way are let through before a case observes
        // (and the focus events that come with an activation are behind).
        lt::pump(0.3);
        return "";
    }
    pid_t pid() override { return app_ ? app_->pid() : 0; }

    void selectInField(pl::CFRange r) override {
        send("entry_range " + std::to_string(codePoints(text_, r.location)) + " " +
             std::to_string(codePoints(text_, r.location + r.length)));
    }
    void focusTextArea() override { send("focus_view"); }
    // The text view holds ASCII only: units and characters agree.
    void selectInTextArea(pl::CFRange r) override {
        send("view_range " + std::to_string(r.location) + " " + std::to_string(r.location + r.length));
    }
    void moveWindowBy(double dx, double dy) override {
        x_ += long(dx), y_ += long(dy);
        send("move " + std::to_string(x_) + " " + std::to_string(y_));
    }
    void resizeWindowBy(double dw, double dh) override {
        auto frame = lt::frameOf(*app_);
        ASSERT_TRUE(frame.has_value());
        send("resize " + std::to_string(long(frame->w + dw)) + " " + std::to_string(long(frame->h + dh)));
    }
    void hang() override {
        stopped_ = true;
        kill(app_->pid(), SIGSTOP);
    }
    void resume() override { kill(app_->pid(), SIGCONT); }
    void quit() override {
        stopped_ = true;
        app_->send("quit");
        EXPECT_TRUE(app_->wait(5).has_value()) << "the test application did not quit";
    }
    bool runUntil(const std::function<bool()>& done, double seconds) override { return lt::pumpUntil(done, seconds); }

private:
    static bool ok(const std::optional<std::string>& answer) { return answer && answer->rfind("ok ", 0) == 0; }
    // A command the application has carried out when this returns (its answer read).
    void send(const std::string& line) { EXPECT_TRUE(ok(app_->command(line))) << line; }

    std::unique_ptr<lt::Child> app_;
    std::optional<std::string> window_;
    std::string text_;
    long x_ = 0, y_ = 0;
    bool stopped_ = false;
    bool subscribed_ = false;
    pid_t activated_ = 0;
};

Driver& linuxDriver() {
    static LinuxDriver driver;
    return driver;
}

}  // namespace

INSTANTIATE_TEST_SUITE_P(Backends, Conformance, ::testing::Values(Backend{"linux", &linuxDriver}), backendName);

}  // namespace korvale::conformance

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (argc < 2) {
        std::printf("usage: %s TEST_APP_SCRIPT [gtest options]\n", argv[0]);
        return 2;
    }
    korvale::conformance::appScript = argv[1];
    korvale::platform::current();
    if (std::string(korvale::platform::currentBackendName()) != "linux") {
        std::printf("SKIPPED: the Linux backend does not answer in this session (backend %s)\n",
                    korvale::platform::currentBackendName());
        return korvale_linux_test::kSkipped;
    }
    return RUN_ALL_TESTS();
}
