// The accessibility service over AT-SPI (libatspi): elements are AT-SPI accessibles, attributes
// and parameterized attributes are answered from the Text, EditableText and state interfaces,
// and observers are fed from AT-SPI events (focus, selection, caret) and from X11 (window moves
// and resizes, which AT-SPI does not report), delivered on the host's GLib main loop.
//
// Offsets: AT-SPI counts Unicode code points, the library counts UTF-16 units; every range that
// crosses this interface is converted here. Text markers are offered over UTF-16 offsets, so the
// marker paths of the library work on labels as they do on other platforms.
#pragma once

#include <atspi/atspi.h>

#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/Platform.h"
#include "platform/linux/LinuxFrontWindow.h"
#include "platform/linux/LinuxHandles.h"
#include "platform/linux/XConnection.h"

namespace korvale::platform::linuxdesk {

// Whether process `pid` still runs (one that exists but is not ours to signal counts).
bool processExists(pid_t pid);

// One AT-SPI accessible. Two handles are the same element when they name the same object path
// on the same bus connection, whichever AtspiAccessible carries it.
class AtspiElement final : public UIElement {
public:
    AtspiElement(GRef<AtspiAccessible> accessible, pid_t pid, bool application);
    bool equals(const UIElement& other) const override;
    std::size_t hash() const override;
    pid_t processIdentifier() const override { return pid_; }
    std::string describe() const override { return bus_ + path_; }

    AtspiAccessible* accessible() const { return acc_.get(); }
    bool isApplication() const { return application_; }

private:
    GRef<AtspiAccessible> acc_;
    pid_t pid_;
    bool application_;
    std::string bus_, path_;
};

// What the accessibility service and the workspace both know of the desktop.
struct DesktopState {
    pid_t activePid = 0;                                     // the application in front, once accepted
    std::map<pid_t, std::shared_ptr<const AtspiElement>> lastFocused;  // from focus events
    std::map<pid_t, GRef<AtspiAccessible>> applications;     // the application accessible by pid
    std::map<pid_t, GRef<AtspiAccessible>> activeWindows;    // the window activated last, by pid
    std::set<pid_t> notOnBus;  // looked for and not found, until another application registers
    // The application accessible of `pid` on the bus (looked up on the desktop when unknown).
    GRef<AtspiAccessible> application(pid_t pid);
};

class LinuxAccessibility final : public AccessibilityService {
public:
    LinuxAccessibility(DesktopState& state, XConnection& x, FrontWindow& front);
    ~LinuxAccessibility() override;

    bool isProcessTrustedWithOptions(bool prompt) override;
    ElementRef createApplication(pid_t pid) override;
    AXError copyAttributeValue(const ElementRef& element, const std::string& attribute,
                               ObjectRef* value) override;
    AXError copyParameterizedAttributeValue(const ElementRef& element, const std::string& attribute,
                                            const ObjectRef& parameter, ObjectRef* value) override;
    AXError isAttributeSettable(const ElementRef& element, const std::string& attribute,
                                bool* settable) override;
    AXError setAttributeValue(const ElementRef& element, const std::string& attribute,
                              const ObjectRef& value) override;
    AXError copyAttributeNames(const ElementRef& element, ObjectRef* names) override;
    AXError observerCreate(pid_t pid, AXObserverCallback callback, AXObserverRef* observer) override;
    AXError observerAddNotification(const AXObserverRef& observer, const ElementRef& element,
                                    const std::string& notification, void* refcon) override;
    AXError observerRemoveNotification(const AXObserverRef& observer, const ElementRef& element,
                                       const std::string& notification) override;
    RunLoopSourceRef observerGetRunLoopSource(const AXObserverRef& observer) override;

    struct Observer;

    // Where application activations and launches go (the workspace posts them).
    std::function<void(const std::string& notificationName, pid_t pid)> onApplicationEvent;

    // An AT-SPI event (the listener's callback calls this).
    void onEvent(const AtspiEvent& event);
    // An X event (the toplevels of observed applications moved or were resized).
    void onXEvent(XEvent& event);
    // Starts watching the top-level windows of `pid` for moves and resizes, and those it maps
    // from then on.
    void watchWindowsOf(pid_t pid);
    // A client window of `pid` was mapped (the window system tells).
    void onWindowMapped(pid_t pid, XWindow window);
    // The window system says another process is in front.
    void onFrontChanged(pid_t pid);
    // Whether the element with the focus in the front application is a terminal.
    bool frontFocusIsTerminal();

private:
    void queue(pid_t pid, std::shared_ptr<const AtspiElement> element, const std::string& notification);
    // Registers for the events followed (again, after the bus came back).
    void listen();
    // The bus is gone: drops every AT-SPI object learnt from it.
    void forgetBus();
    void flush();
    ElementRef focusedElementOf(pid_t pid);
    void onWindowActivated(pid_t pid, AtspiAccessible* window);
    AXError boundsOfRange(const AtspiElement& e, AtspiText* text, int64_t start, int64_t end, ObjectRef* value);
    std::optional<CGRect> windowRelativeRangeBounds(AtspiAccessible* acc, AtspiText* text, int64_t start, int64_t end);
    std::optional<CGPoint> windowOriginOf(pid_t pid);
    void watchWindow(pid_t pid, XWindow window);
    // Makes `pid` the application in front and tells the workspace, once per switch.
    void activate(pid_t pid);
    // The window of `pid` that is active, when no activation event named it.
    GRef<AtspiAccessible> activeWindowOf(pid_t pid);

    DesktopState& state_;
    XConnection& x_;
    FrontWindow& front_;
    pid_t announced_ = 0;     // the application last reported as activated
    pid_t awaitingPid_ = 0;   // in front by X, its own activation event not yet come
    struct EarlyActivation {
        pid_t pid = 0;
        gint64 at = 0;
    } earlyActivation_;       // an activation read before the focus event that makes it a switch
    // An application with accessibility announces its activation itself, with the window that
    // has the focus, a few milliseconds after X moved the focus; when it does not (GTK 4 without
    // a window: listener, an application slow to answer), the switch is reported without it.
    static constexpr double kOwnActivationGraceSeconds = 0.25;
    static constexpr double kRegistrationGraceSeconds = 0.5;
    GRef<AtspiEventListener> listener_;
    std::vector<std::weak_ptr<Observer>> observers_;
    struct Pending {
        pid_t pid;
        std::shared_ptr<const AtspiElement> element;
        std::string notification;
    };
    std::vector<Pending> pending_;
    static constexpr double kCoalesceSeconds = 0.015;
    bool flushScheduled_ = false;
    // When each application's window was last activated: the focus GTK announces right after
    // belongs to the activation (measured: within a few milliseconds; 150 ms leaves a margin).
    static constexpr gint64 kActivationFocusWindowUs = 150000;
    std::map<pid_t, gint64> activatedAt_;
    std::set<pid_t> watchedPids_;
    std::map<XWindow, std::pair<pid_t, CGRect>> watchedWindows_;
};

}  // namespace korvale::platform::linuxdesk
