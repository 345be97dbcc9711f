// XTest keystrokes mapped by key position.
#include "platform/linux/LinuxKeyboard.h"

#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>

#include <map>

namespace korvale::platform::linuxdesk {

// Keystrokes through XTest, by key position: a macOS virtual key code names a place on the
// keyboard, which is the same place on an evdev keyboard whatever the layout. Command becomes
// Control, so Command-V is the paste shortcut of X11 toolkits.

namespace {

KeyCode positionKeycode(Display* dpy, uint16_t mac) {
    switch (mac) {
        case 55: return XKeysymToKeycode(dpy, XK_Control_L);  // Command
        case 56: return XKeysymToKeycode(dpy, XK_Shift_L);
        case 58: return XKeysymToKeycode(dpy, XK_Alt_L);      // Option
        case 59: return XKeysymToKeycode(dpy, XK_Control_L);
        case 36: return XKeysymToKeycode(dpy, XK_Return);
        default: break;
    }
    // ANSI letter positions: macOS code -> Linux evdev code; X keycodes are evdev codes + 8.
    static const std::map<uint16_t, int> evdev = {
        {0, 30}, {1, 31}, {2, 32}, {3, 33}, {4, 35}, {5, 34}, {6, 44}, {7, 45}, {8, 46},
        {9, 47}, {11, 48}, {12, 16}, {13, 17}, {14, 18}, {15, 19}, {16, 21}, {17, 20}};
    auto it = evdev.find(mac);
    return it == evdev.end() ? 0 : KeyCode(it->second + 8);
}

}  // namespace

LinuxKeyboard::LinuxKeyboard(XConnection& x) : x_(x) {
    int event, error, major, minor;
    xtest_ = XTestQueryExtension(x_.display(), &event, &error, &major, &minor);
}

std::unique_ptr<CGEventSource> LinuxKeyboard::createSource(int stateID) {
    if (!xtest_) return nullptr;
    auto s = std::make_unique<CGEventSource>();
    s->stateID = stateID;
    return s;
}

std::unique_ptr<CGEvent> LinuxKeyboard::createKeyboardEvent(const CGEventSource*, uint16_t virtualKey,
                                                            bool keyDown) {
    if (!xtest_ || !positionKeycode(x_.display(), virtualKey)) return nullptr;
    auto e = std::make_unique<CGEvent>();
    e->keyCode = virtualKey;
    e->keyDown = keyDown;
    return e;
}

void LinuxKeyboard::post(int, const CGEvent& event) {
    // The flags are not turned into extra key presses: the library posts the modifier itself.
    KeyCode code = positionKeycode(x_.display(), event.keyCode);
    if (!xtest_ || !code) return;
    constexpr uint16_t kCommand = 55;
    const KeyCode shift = XKeysymToKeycode(x_.display(), XK_Shift_L);
    if (event.keyCode == kCommand && !event.keyDown && shiftAdded_) {
        XTestFakeKeyEvent(x_.display(), shift, False, CurrentTime);
        shiftAdded_ = false;
    }
    XTestFakeKeyEvent(x_.display(), code, event.keyDown ? True : False, CurrentTime);
    // Command-V is the paste shortcut everywhere but in terminals.
    if (event.keyCode == kCommand && event.keyDown && !shiftAdded_ && targetIsTerminal && targetIsTerminal()) {
        XTestFakeKeyEvent(x_.display(), shift, True, CurrentTime);
        shiftAdded_ = true;
    }
    XFlush(x_.display());
}

}  // namespace korvale::platform::linuxdesk
