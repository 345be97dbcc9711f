// The user's clipboard through setText on a real X11 desktop, case by case: a host program that
// loads libKorvale-Project, follows the GTK3 test application and replaces its selection while
// the clipboard is held by real owners (xclip, and korvale-clipboard-owner with several targets,
// large data, a stopped or vanished owner, a clipboard manager). After each replacement it checks
// what the application received, the clipboard's bytes and targets as another client (xclip)
// reads them, the line the library printed and how long setText held the caller. Run by
// run-real-desktop.sh inside Xvfb and a private session bus; every wait is bounded.
#include <X11/Xlib.h>
#include <glib.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "DesktopDriver.h"
#include "Korvale.h"

using namespace korvale_linux_test;

namespace {

std::string ownerBinary;

const std::string kNotSaved = "setText: the clipboard could not be read in full; nothing was pasted";
const std::string kNotTaken = "setText: the text was not taken within 3 s";

std::string writeFile(const std::string& name, const std::string& bytes) {
    std::string path = testFile(name);
    g_file_set_contents(path.c_str(), bytes.data(), static_cast<gssize>(bytes.size()), nullptr);
    return path;
}

std::optional<std::string> readFile(const std::string& path) {
    gchar* data = nullptr;
    gsize size = 0;
    if (!g_file_get_contents(path.c_str(), &data, &size, nullptr)) return std::nullopt;
    std::string out(data, size);
    g_free(data);
    return out;
}

// The clipboard's data for `target` as another client reads it, byte for byte.
std::optional<std::string> clip(const std::string& target) {
    std::string out = testFile("clip.out");
    if (!run({"sh", "-c", "xclip -selection clipboard -o -t '" + target + "' > " + out}, 20)) return std::nullopt;
    return readFile(out);
}

std::string targets() { return clip("TARGETS").value_or("(unreadable)"); }

// An owner of the user's clipboard: korvale-clipboard-owner serving `data` (target, bytes).
std::unique_ptr<Child> startOwner(const std::vector<std::pair<std::string, std::string>>& data) {
    std::vector<std::string> argv{ownerBinary};
    int i = 0;
    for (const auto& [target, bytes] : data) argv.push_back(target + "=" + writeFile("t" + std::to_string(i++), bytes));
    auto owner = std::make_unique<Child>(argv);
    auto ready = owner->readLine(10);
    check(ready && *ready == "ready", "the user's clipboard owner starts", ready.value_or("(no answer)"));
    return owner;
}

// The clipboard's owner window, 0 for none.
unsigned long clipboardOwner() {
    Display* dpy = XOpenDisplay(nullptr);
    if (!dpy) return 0;
    unsigned long owner = XGetSelectionOwner(dpy, XInternAtom(dpy, "CLIPBOARD", False));
    XCloseDisplay(dpy);
    return owner;
}
bool clipboardHasOwner() { return clipboardOwner() != 0; }

// What setText printed on standard output (captured around the call) and how long it took.
struct Outcome {
    std::vector<std::string> lines;
    double seconds = 0;
};

Outcome replace(const std::string& text) {
    Outcome o;
    const std::string all = stdoutOf([&] {
        double t0 = now();
        setText(text.c_str());
        o.seconds = now() - t0;
    });
    std::size_t start = 0;
    while (start < all.size()) {
        auto end = all.find('\n', start);
        if (end == std::string::npos) end = all.size();
        o.lines.push_back(all.substr(start, end - start));
        start = end + 1;
    }
    std::printf("  setText took %.3f s, printed:", o.seconds);
    for (auto& l : o.lines) std::printf(" [%s]", l.c_str());
    std::printf("\n");
    return o;
}

std::string join(const std::vector<std::string>& v) {
    std::string s;
    for (auto& x : v) s += "[" + x + "]";
    return s;
}

std::string binary(std::size_t size, unsigned seed) {
    std::mt19937 gen(seed);
    std::string s(size, '\0');
    for (auto& c : s) c = static_cast<char>(gen() & 0xff);
    s[0] = '\x89';  // the start of a PNG signature, with NUL bytes further on
    s[10] = '\0';
    return s;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::printf("usage: %s TEST_APP_SCRIPT CLIPBOARD_OWNER\n", argv[0]);
        return 2;
    }
    ownerBinary = argv[2];
    quietEvents = true;
    if (!followDesktop()) return kSkipped;
    Child app(testAppCommand(argv[1]));
    auto ready = app.readLine(20);
    check(ready && *ready == "ready", "test application starts", ready.value_or("(no answer)"));
    if (!ready) return 1;
    auto window = visibleWindowOf(app.pid());
    if (!window) return 1;
    pump(0.7);
    auto followed = eventAfter([&] { focusWindow(*window); }, "app_changed", 5);
    check(followed.has_value(), "the test application is followed");

    // Before each replacement: the original text, "brave" selected.
    auto prepare = [&] {
        app.command("reset");
        app.command("select_view 6 11");
        pump(0.4);
    };
    auto viewText = [&] {
        auto line = app.command("text");
        return line && line->rfind("text ", 0) == 0 ? line->substr(5) : std::string("(none)");
    };
    const std::string replaced = "Hello OMEGA new world\\nsecond line of text";
    const std::string untouched = "Hello brave new world\\nsecond line of text";
    // A replacement that went through: the selection replaced, "Task ended" and nothing else
    // printed, and (unless `before` is empty) the clipboard offering the targets it offered before.
    auto replacedAndEnded = [&](const std::string& label, const Outcome& o, const std::string& before) {
        check(viewText() == replaced, label + ": the selection is replaced", viewText());
        if (!before.empty()) check(targets() == before, label + ": the same targets", targets() + " vs " + before);
        check(o.lines == std::vector<std::string>{"Task ended"}, label + ": Task ended", join(o.lines));
    };
    // A replacement that did not go through: `line` printed, the text untouched, and the clipboard
    // still holding `kept`.
    auto refusedAndKept = [&](const std::string& label, const Outcome& o, const std::string& line,
                              const std::string& kept) {
        check(o.lines == std::vector<std::string>{line}, label + ": said so", join(o.lines));
        check(viewText() == untouched, label + ": nothing changed", viewText());
        check(clip("UTF8_STRING") == std::optional<std::string>(kept), label + ": the clipboard comes back");
    };

    // 1. Small text, held by xclip.
    {
        prepare();
        Child keeper({"xclip", "-selection", "clipboard", "-i"});
        keeper.send("KEEP-ME");
        keeper.closeInput();
        keeper.wait(5);
        std::string before = targets();
        auto o = replace("OMEGA");
        replacedAndEnded("small text", o, before);
        check(clip("UTF8_STRING") == std::optional<std::string>("KEEP-ME\n"), "small text: the clipboard comes back",
              clip("UTF8_STRING").value_or("(none)"));
        check(o.seconds >= 1.15 && o.seconds < 2.0, "small text: setText holds about 1.2 s", std::to_string(o.seconds));
    }
    // 2. A 5 MB text, served in INCR pieces both ways.
    {
        prepare();
        std::string big;
        for (int i = 0; big.size() < 5 * 1024 * 1024; ++i) big += "line " + std::to_string(i) + " of a large text\n";
        auto owner = startOwner({{"UTF8_STRING", big}});
        std::string before = targets();
        auto o = replace("OMEGA");
        replacedAndEnded("5 MB text", o, before);
        auto after = clip("UTF8_STRING");
        check(after && *after == big, "5 MB text: every byte comes back",
              after ? std::to_string(after->size()) + " bytes" : "(none)");
        std::printf("figure setText_5MB_seconds %.3f\n", o.seconds);
    }
    // 3. An image alone.
    {
        prepare();
        const std::string png = binary(300 * 1024, 1);
        auto owner = startOwner({{"image/png", png}});
        std::string before = targets();
        auto o = replace("OMEGA");
        replacedAndEnded("image (no text added)", o, before);
        check(clip("image/png") == std::optional<std::string>(png), "image: image/png comes back byte for byte");
    }
    // 4. Several types: rich text, plain text and an image, in the owner's order.
    {
        prepare();
        const std::string png = binary(20 * 1024, 2);
        auto owner = startOwner({{"text/html", "<b>KEEP</b>"}, {"UTF8_STRING", "KEEP"}, {"image/png", png}});
        std::string before = targets();
        auto o = replace("OMEGA");
        replacedAndEnded("several types (in the same order)", o, before);
        check(clip("text/html") == std::optional<std::string>("<b>KEEP</b>") &&
                  clip("UTF8_STRING") == std::optional<std::string>("KEEP") &&
                  clip("image/png") == std::optional<std::string>(png),
              "several types: every type comes back byte for byte");
    }
    // 5. The owner quit before setText: an empty clipboard, which stays empty.
    {
        prepare();
        {
            auto owner = startOwner({{"UTF8_STRING", "GONE"}});
        }
        pumpUntil([] { return !clipboardHasOwner(); }, 3);
        check(!clipboardHasOwner(), "owner gone: the clipboard has no owner before");
        auto o = replace("OMEGA");
        replacedAndEnded("owner gone", o, "");
        check(!clipboardHasOwner(), "owner gone: the clipboard has no owner after (the library does not stay an empty owner)",
              "owner " + std::to_string(clipboardOwner()) + " offering " + targets());
    }
    // 7. A clipboard manager that copies every change and takes the clipboard over.
    {
        prepare();
        auto owner = startOwner({{"UTF8_STRING", "USER-DATA"}, {"text/html", "<i>USER</i>"}});
        Child manager({ownerBinary, "--manager", "300"});
        check(manager.readLine(10) == std::optional<std::string>("ready"), "manager: starts");
        std::string before = targets();
        auto o = replace("OMEGA");
        // It copies our text, then the restored clipboard, and offers each as its own.
        std::optional<std::string> line;
        int retakes = 0;
        pumpUntil([&] {
            while ((line = manager.readLine(0.05)))
                if (line->rfind("retook", 0) == 0) ++retakes;
            return retakes >= 2;
        }, 4);
        pump(0.5);
        replacedAndEnded("manager", o, "");
        check(clip("UTF8_STRING") == std::optional<std::string>("USER-DATA") &&
                  clip("text/html") == std::optional<std::string>("<i>USER</i>"),
              "manager: the user's clipboard comes back although the manager offered our text as its own",
              clip("UTF8_STRING").value_or("(none)"));
        std::printf("  manager took the clipboard over %d times; targets before %s after %s\n", retakes,
                    before.c_str(), targets().c_str());
    }
    // 8. The owner of the user's clipboard quits during the paste: the library still has it all.
    {
        prepare();
        auto owner = startOwner({{"UTF8_STRING", "OWNER-QUITS"}, {"text/html", "<p>q</p>"}});
        std::string before = targets();
        Child killer({"sh", "-c", "sleep 0.6; kill -9 " + std::to_string(owner->pid())});
        auto o = replace("OMEGA");
        replacedAndEnded("owner quits during the paste", o, before);
        check(clip("UTF8_STRING") == std::optional<std::string>("OWNER-QUITS") &&
                  clip("text/html") == std::optional<std::string>("<p>q</p>"),
              "owner quits during the paste: the clipboard comes back, served by the library");
    }
    // 9. A stopped owner: nothing replaced, after a short wait, and it keeps its clipboard.
    {
        prepare();
        auto owner = startOwner({{"UTF8_STRING", "STOPPED"}});
        kill(owner->pid(), SIGSTOP);
        auto o = replace("OMEGA");
        kill(owner->pid(), SIGCONT);
        refusedAndKept("stopped owner", o, kNotSaved, "STOPPED");
        check(o.seconds < 0.8, "stopped owner: costs at most 0.5 s", std::to_string(o.seconds));
    }
    // 6. A late paste: the application is busy for 2.5 s when Command-V comes (slow_paste stays on
    // for the rest of the run: the later cases paste late, or not at all).
    {
        prepare();
        auto owner = startOwner({{"UTF8_STRING", "SECRET"}});
        app.command("slow_paste 2500");
        auto o = replace("OMEGA");
        pump(0.3);
        check(viewText() == replaced, "late paste: the busy application pastes the replacement, not the old clipboard",
              viewText());
        check(clip("UTF8_STRING") == std::optional<std::string>("SECRET"), "late paste: the clipboard comes back");
        check(o.lines == std::vector<std::string>{"Task ended"}, "late paste: Task ended", join(o.lines));
        check(o.seconds > 2.6 && o.seconds < 3.2, "late paste: setText waits for the paste, and no longer",
              std::to_string(o.seconds));
        std::printf("figure setText_late_paste_seconds %.3f\n", o.seconds);
    }
    // 10. A target that is not editable (the selectable label): nothing takes the text.
    {
        app.command("reset");
        auto owner = startOwner({{"UTF8_STRING", "KEEP-LABEL"}});
        app.command("select_label 11 16");
        pump(0.4);
        auto o = replace("OMEGA");
        refusedAndKept("non-editable target", o, kNotTaken, "KEEP-LABEL");
        check(o.seconds > 3.0 && o.seconds < 4.0, "non-editable target: the wait ends at 3 s", std::to_string(o.seconds));
    }
    // 11. A paste that never lands: the application swallows the keystroke.
    {
        prepare();
        auto owner = startOwner({{"UTF8_STRING", "KEEP-NOWHERE"}});
        app.command("ignore_keys");
        auto o = replace("OMEGA");
        refusedAndKept("paste never lands", o, kNotTaken, "KEEP-NOWHERE");
    }
    // 12. The application quits during the paste (killed while busy, before it pasted).
    {
        prepare();
        auto owner = startOwner({{"UTF8_STRING", "KEEP-QUIT"}});
        std::string before = targets();
        app.command("busy 2500");
        Child killer({"sh", "-c", "sleep 1; kill -9 " + std::to_string(app.pid())});
        auto o = replace("OMEGA");
        check(o.lines == std::vector<std::string>{kNotTaken}, "application quits during the paste: said so", join(o.lines));
        check(clip("UTF8_STRING") == std::optional<std::string>("KEEP-QUIT") && targets() == before,
              "application quits during the paste: the clipboard comes back with its targets");
    }
    return summary();
}
