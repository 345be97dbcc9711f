// Requests per user action on the Linux backend, against the GTK 3 test application and l3afpad
// inside Xvfb and a private session bus (run by run-real-desktop.sh). Every AT-SPI read is a
// round trip to the other application, so these counts are the backend's speed; each action is
// done once to warm up (an element's static facts are asked once) and then counted, from the
// action until the main loop has been quiet for the delivery delay.
#include <cstdio>
#include <string>

#include "DesktopDriver.h"
#include "Korvale.h"
#include "platform/linux/AtspiCalls.h"

using namespace korvale_linux_test;
using korvale::platform::linuxdesk::AtspiBus;

namespace {

// Requests made by `action` and the handling of what it causes; `name` must arrive.
long counted(const std::string& label, const std::string& name, const std::function<void()>& action) {
    pump(0.7);
    const long before = AtspiBus::instance().requests();
    const size_t seen = events.size();
    double t0 = now();
    action();
    auto e = waitEvent(name, t0, 4);
    pump(0.8);
    long n = AtspiBus::instance().requests() - before;
    int handled = 0;
    for (size_t i = seen; i < events.size(); ++i) handled += ("|" + name + "|").find("|" + events[i].name + "|") != std::string::npos;
    std::printf("figure requests %-34s %ld (%s x%d)\n", label.c_str(), n, name.c_str(), handled);
    check(e.has_value(), label + " is reported");
    return n;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    if (!followDesktop()) return kSkipped;
    Child app(testAppCommand(argv[1]));
    if (!app.readLine(20)) return 1;
    std::string doc = testFile("c.txt");
    g_file_set_contents(doc.c_str(), "alpha beta gamma", -1, nullptr);
    Child editor({"l3afpad", doc});
    auto appWindow = visibleWindowOf(app.pid());
    auto editorWindow = visibleWindowOf(editor.pid());
    if (!appWindow || !editorWindow) return 1;
    pump(0.8);

    // Warm-up: both applications followed once, the text view and the entry focused once.
    focusWindow(*editorWindow);
    pump(0.8);
    focusWindow(*appWindow);
    pump(0.8);
    app.command("focus_entry");
    pump(0.5);
    app.command("select_view 6 11");
    pump(0.8);

    long select = counted("select text", "text_select", [&] { app.command("select_view 0 5"); });
    long caret = counted("caret", "caret", [&] { app.command("caret_view 3"); });
    long focus = counted("focus moves to an entry", "focused_changed|caret|text_select", [&] { app.command("focus_entry"); });
    counted("focus moves back to the text view", "focused_changed|caret", [&] { app.command("caret_view 2"); });
    long away = counted("switch to l3afpad (followed before)", "app_changed", [&] { focusWindow(*editorWindow); });
    long back = counted("switch back (followed before)", "app_changed", [&] { focusWindow(*appWindow); });

    check(select <= 5, "select text costs at most 5 requests", std::to_string(select));
    check(caret <= 2, "a caret move costs at most 2 requests", std::to_string(caret));
    check(focus <= 8, "focus moving to an entry costs at most 8 requests", std::to_string(focus));
    check(away <= 2 && back <= 2, "a switch costs at most 2 requests",
          std::to_string(away) + " and " + std::to_string(back));

    app.send("quit");
    app.wait(3);
    return summary();
}
