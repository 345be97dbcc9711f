// Requests per user action on the Linux backend, against the GTK 3 test application and l3afpad
// inside Xvfb and a private session bus (run by run-real-desktop.sh). Every AT-SPI read is a
// round trip to the other application, so these counts are the backend's speed; each action is
// done once to warm up (an element's static facts are asked once) and then counted, from the
// action until the main loop has been quiet for the delivery delay. The loop runs as a host's
// does (DesktopDriver's pumpUntil): a switch is handled before the application focused its widget.
#include <cstdio>
#include <string>

#include "DesktopDriver.h"
#include "Korvale.h"
#include "platform/Platform.h"
#include "platform/linux/AtspiCalls.h"
#include "platform/linux/LinuxAccessibility.h"
#include "platform/linux/XConnection.h"

using namespace korvale_linux_test;
using korvale::platform::linuxdesk::AtspiBus;
using korvale::platform::linuxdesk::XConnection;

namespace {

long utf16Length(const std::u32string& s, std::size_t codePoints) {
    long units = 0;
    for (std::size_t i = 0; i < codePoints && i < s.size(); ++i) units += s[i] >= 0x10000 ? 2 : 1;
    return units;
}

// Whether the platform's children of the focused element of `pid`, and theirs, are the ones the
// application gives when asked child by child.
bool childrenAsAsked(pid_t pid, std::string* detail) {
    using namespace korvale::platform;
    using korvale::platform::linuxdesk::AtspiElement;
    auto& ax = current().accessibility;
    ObjectRef focused;
    if (ax.copyAttributeValue(ax.createApplication(pid), "AXFocusedUIElement", &focused) != kAXErrorSuccess) return false;
    std::function<bool(const ObjectRef&, int)> same = [&](const ObjectRef& element, int depth) {
        auto e = std::dynamic_pointer_cast<const AtspiElement>(element);
        ObjectRef children;
        if (!e || ax.copyAttributeValue(e, "AXChildren", &children) != kAXErrorSuccess) return false;
        const auto& items = static_cast<const ArrayObject&>(*children).values;
        GError* error = nullptr;
        gint n = atspi_accessible_get_child_count(e->accessible(), &error);
        if (error) g_error_free(error);
        if (gint(items.size()) != n) {
            *detail = e->describe() + ": " + std::to_string(items.size()) + " children, asked " + std::to_string(n);
            return false;
        }
        for (gint i = 0; i < n; ++i) {
            AtspiAccessible* child = atspi_accessible_get_child_at_index(e->accessible(), i, nullptr);
            AtspiElement asked(korvale::platform::linuxdesk::GRef<AtspiAccessible>::adopt(child), e->processIdentifier(), false);
            auto item = std::dynamic_pointer_cast<const UIElement>(items[i]);
            if (!item || !item->equals(asked)) {
                *detail = "child " + std::to_string(i) + " differs";
                return false;
            }
            if (depth < 1 && !same(items[i], depth + 1)) return false;
        }
        return true;
    };
    return same(focused, 0);
}

// The selected range of the focused element of `pid` as the platform answers it, in UTF-16 units.
std::optional<korvale::platform::CFRange> selectedRange(pid_t pid) {
    using namespace korvale::platform;
    auto& ax = current().accessibility;
    ObjectRef focused, range;
    if (ax.copyAttributeValue(ax.createApplication(pid), "AXFocusedUIElement", &focused) != kAXErrorSuccess) return std::nullopt;
    auto element = std::dynamic_pointer_cast<const UIElement>(focused);
    if (!element || ax.copyAttributeValue(element, "AXSelectedTextRange", &range) != kAXErrorSuccess) return std::nullopt;
    CFRange r;
    if (!AXValueGetValue(range, AXValueType::CFRange, &r)) return std::nullopt;
    return r;
}

// Requests made by `action` and the handling of what it causes; `name` must arrive. The X
// requests of the library's own connection go to `xRequests` (every one of them, so none at all
// means no X round trip either).
long counted(const std::string& label, const std::string& name, const std::function<void()>& action,
             long* xRequests = nullptr) {
    pump(0.7);
    const long before = AtspiBus::instance().requests();
    const unsigned long xBefore = XConnection::requestsSent();
    const size_t seen = events.size();
    double t0 = now();
    action();
    auto e = waitEvent(name, t0, 4);
    pump(0.8);
    long n = AtspiBus::instance().requests() - before;
    const long x = long(XConnection::requestsSent() - xBefore);
    if (xRequests) *xRequests = x;
    int handled = 0;
    for (size_t i = seen; i < events.size(); ++i) handled += ("|" + name + "|").find("|" + events[i].name + "|") != std::string::npos;
    std::printf("figure requests %-34s %ld (%s x%d)\n", label.c_str(), n, name.c_str(), handled);
    std::printf("figure x-requests %-32s %ld\n", label.c_str(), x);
    check(e.has_value(), label + " is reported");
    return n;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    if (!followDesktop()) return kSkipped;
    auto command = testAppCommand(argv[1]);
    command.insert(command.end(), {"rows=1000", "scrolled=1"});
    Child app(command);
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
    long awayX = -1, backX = -1;
    long away = counted("switch to l3afpad (followed before)", "app_changed", [&] { focusWindow(*editorWindow); }, &awayX);
    long back = counted("switch back (followed before)", "app_changed", [&] { focusWindow(*appWindow); }, &backX);

    // A list of 1,000 rows: the focus handler's walk of the focused element's children.
    app.command("focus_entry");
    pump(0.5);
    counted("focus a 1,000-row list (first time)", "focused_changed", [&] { app.command("focus_list"); });
    app.command("focus_entry");
    long list = counted("focus a 1,000-row list", "focused_changed", [&] { app.command("focus_list"); });
    std::string detail;
    check(childrenAsAsked(app.pid(), &detail), "the list's children and theirs are the application's", detail);

    // The first switch to an application of 1,000 widgets, never followed before.
    // Under a window manager, not focused as it maps: the switch to it is the one counted.
    Child big({"/usr/bin/python3", argv[1], "300", "200", "widgets=1000", "unfocused=1"});
    if (!big.readLine(30)) return 1;
    auto bigWindow = visibleWindowOf(big.pid());
    if (!bigWindow) return 1;
    pump(1.0);
    long first = counted("first switch to 1,000 widgets", "app_changed", [&] { focusWindow(*bigWindow); });
    focusWindow(*appWindow);
    pump(0.8);

    // UTF-16 ranges beside code points: a text with emoji, and emoji inserted before the
    // selection after its layout was learnt (the change events keep it current).
    auto small = app.command("big_text 400");
    long smallChars = 0;
    if (small) std::sscanf(small->c_str(), "ok big_text %*f %ld", &smallChars);
    auto text = bigText(smallChars);
    // Code points [from, to) of `text` selected; the platform's range must be their UTF-16 units.
    auto checkRange = [&](long from, long to, const std::string& what) {
        app.command("select_view " + std::to_string(from) + " " + std::to_string(to));
        pump(0.8);
        auto r = selectedRange(app.pid());
        check(r && r->location == utf16Length(text, from) && r->length == utf16Length(text, to) - r->location, what,
              r ? std::to_string(r->location) + "+" + std::to_string(r->length) : "none");
    };
    checkRange(100, 110, "a range after emoji is counted in UTF-16 units");
    app.command("insert_emoji 50");
    app.command("insert_emoji 3");
    text.insert(50, U"\U0001F680\u00e9");
    text.insert(3, U"\U0001F680\u00e9");
    checkRange(120, 130, "after emoji were inserted before it, the range is still right");
    auto e2 = waitEvent("text_select", now() - 2, 2);

    // Editability is remembered per element: made read-only and editable again, the text view
    // is reported so at the next selection each time.
    auto editableAfter = [&](int on, int from) {
        app.command("editable_view " + std::to_string(on));
        const double t = now();
        app.command("select_view " + std::to_string(from) + " " + std::to_string(from + 5));
        auto e = waitEvent("text_select", t, 4);
        pump(0.8);
        return e ? e->data.value("is_editable", json()) : json();
    };
    check(editableAfter(0, 10) == json(false), "a text view made read-only is reported so");
    check(editableAfter(1, 20) == json(true), "made editable again, it is reported so");

    // A selection at the end of a document of 1 MB.
    auto loaded = app.command("big_text 1000000", 30);
    long chars = 0;
    if (loaded) std::sscanf(loaded->c_str(), "ok big_text %*f %ld", &chars);
    // Warm-up: the document's layout is learnt once (in full: 1 MB) by the first selections.
    for (long at : {chars - 60, chars - 40}) {
        app.command("select_view " + std::to_string(at) + " " + std::to_string(at + 10));
        pump(0.8);
    }
    const long bytesBefore = AtspiBus::instance().textBytes();
    long bigSelect = counted("select at the end of 1 MB", "text_select", [&] {
        app.command("select_view " + std::to_string(chars - 20) + " " + std::to_string(chars - 10));
    });
    const long bigBytes = AtspiBus::instance().textBytes() - bytesBefore;
    std::printf("figure text-bytes select at the end of 1 MB %ld\n", bigBytes);
    auto last = events.empty() ? nullptr : &events.back();
    auto whole = bigText(chars);
    std::string expected;
    for (long i = chars - 20; i < chars - 10; ++i) expected += char(whole[i]);  // ASCII there
    check(last && last->name == "text_select" && last->data.value("selected_text", "") == expected,
          "the selection at the end of 1 MB is reported with its text", last ? last->data.dump() : "none");
    check(bigBytes < 1000, "a selection at the end of 1 MB reads its own text only, not the document",
          std::to_string(bigBytes) + " bytes");

    check(select <= 4, "select text costs at most 4 requests", std::to_string(select));
    check(caret <= 2, "a caret move costs at most 2 requests", std::to_string(caret));
    check(focus <= 8, "focus moving to an entry costs at most 8 requests", std::to_string(focus));
    check(away <= 2 && back <= 2, "a switch costs at most 2 requests",
          std::to_string(away) + " and " + std::to_string(back));
    // The windows and the front one are known from X events already received: no X request.
    check(awayX == 0 && backX == 0, "a switch makes no X request",
          std::to_string(awayX) + " and " + std::to_string(backX));

    check(list <= 10, "focusing a 1,000-row list costs at most 10 requests", std::to_string(list));
    check(first <= 20, "the first switch to 1,000 widgets costs at most 20 requests", std::to_string(first));
    check(bigSelect <= 5, "a selection at the end of 1 MB costs at most 5 requests", std::to_string(bigSelect));

    app.send("quit");
    app.wait(3);
    return summary();
}
