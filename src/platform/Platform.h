// The platform layer: one narrow interface per platform service the library calls, in the
// platform's own vocabulary (elements and attributes, observers and run-loop sources, running
// applications, the pasteboard, keyboard events, windows and tracking areas, the main loop).
// Backends implement them: the simulated desktop now, a Linux accessibility service and macOS
// later. The layers above include this header only, never a backend's.
//
// Threading: every call comes from the host's main thread, and every callback a backend makes
// (observer callbacks, workspace notifications, delayed work, timers, mouse messages) runs there.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Values.h"

namespace korvale::platform {

// ---------------------------------------------------------------------------------------------
// Main run loop, delayed work and the clock.

inline const std::string kCFRunLoopDefaultMode = "kCFRunLoopDefaultMode";
inline const std::string NSEventTrackingRunLoopMode = "NSEventTrackingRunLoopMode";
inline const std::string NSModalPanelRunLoopMode = "NSModalPanelRunLoopMode";

// Something a run loop services, such as the source of an accessibility observer.
class RunLoopSource {
public:
    virtual ~RunLoopSource() = default;
    // CFRunLoopSourceIsValid: false once the platform will never signal the source again (its
    // observer went with a quit application, a lost accessibility service or a replaced desktop).
    virtual bool isValid() const { return true; }
};
using RunLoopSourceRef = std::shared_ptr<RunLoopSource>;

class MainLoop {
public:
    virtual ~MainLoop() = default;
    // Seconds on this loop's clock (`Date()`): wall time, or virtual time in a simulation.
    virtual double now() = 0;
    // CFRunLoopAddSource on the current (main) run loop: the source is serviced only while the
    // loop runs in `mode`.
    virtual void addSource(const RunLoopSourceRef& source, const std::string& mode) = 0;
    // CFRunLoopRemoveSource: the source is no longer serviced in `mode`; once it is in no mode,
    // the loop lets go of it.
    virtual void removeSource(const RunLoopSourceRef& source, const std::string& mode) = 0;
    // DispatchQueue.main.asyncAfter: run `work` on the main thread at `deadline`.
    virtual void asyncAfterOnMain(double deadline, std::function<void()> work) = 0;
    // NSTimer scheduledTimerWithTimeInterval:repeats:NO on the current run loop, default mode.
    virtual void scheduledTimer(double interval, std::function<void()> block) = 0;
    // Hold the calling thread until `deadline` without servicing anything of the library's (no
    // timer, source or delayed work of this thread runs meanwhile). A backend may go on with its
    // own platform duties, such as answering clipboard requests for data it owns.
    virtual void blockUntil(double deadline) = 0;
};

// ---------------------------------------------------------------------------------------------
// Accessibility service.

class AXObserver {
public:
    virtual ~AXObserver() = default;
};
using AXObserverRef = std::shared_ptr<AXObserver>;

// The observer callback type: observer, element concerned, notification name, context pointer.
using AXObserverCallback = void (*)(const AXObserverRef& observer, const ElementRef& element,
                                    const std::string& notification, void* refcon);

inline const std::string kAXTrustedCheckOptionPrompt = "AXTrustedCheckOptionPrompt";

class AccessibilityService {
public:
    virtual ~AccessibilityService() = default;
    virtual bool isProcessTrustedWithOptions(bool prompt) = 0;
    virtual ElementRef createApplication(pid_t pid) = 0;
    virtual AXError copyAttributeValue(const ElementRef& element, const std::string& attribute,
                                       ObjectRef* value) = 0;
    virtual AXError copyParameterizedAttributeValue(const ElementRef& element,
                                                    const std::string& attribute,
                                                    const ObjectRef& parameter, ObjectRef* value) = 0;
    // Writes the flag only when the platform answers; callers start it at false.
    virtual AXError isAttributeSettable(const ElementRef& element, const std::string& attribute,
                                        bool* settable) = 0;
    virtual AXError setAttributeValue(const ElementRef& element, const std::string& attribute,
                                      const ObjectRef& value) = 0;
    virtual AXError copyAttributeNames(const ElementRef& element, ObjectRef* names) = 0;
    // May leave `observer` empty (for example when the process has gone).
    virtual AXError observerCreate(pid_t pid, AXObserverCallback callback, AXObserverRef* observer) = 0;
    virtual AXError observerAddNotification(const AXObserverRef& observer, const ElementRef& element,
                                            const std::string& notification, void* refcon) = 0;
    // AXObserverRemoveNotification: the observer delivers `notification` for `element` no more.
    virtual AXError observerRemoveNotification(const AXObserverRef& observer, const ElementRef& element,
                                               const std::string& notification) = 0;
    virtual RunLoopSourceRef observerGetRunLoopSource(const AXObserverRef& observer) = 0;
};

// ---------------------------------------------------------------------------------------------
// Workspace and running applications.

class RunningApplication : public Object {
public:
    TypeID typeID() const override { return TypeID::RunningApplication; }
    virtual std::optional<std::string> localizedName() const = 0;
    virtual std::optional<std::string> bundleIdentifier() const = 0;
    virtual pid_t processIdentifier() const = 0;
    virtual bool isFinishedLaunching() const = 0;
    // terminated: the process has quit (a handle kept from before says so; a relaunch is
    // another process, even with the same identifier).
    virtual bool isTerminated() const = 0;
    virtual bool activateWithOptions(unsigned options) const = 0;
};
using RunningApplicationRef = std::shared_ptr<const RunningApplication>;

inline const std::string NSWorkspaceDidActivateApplicationNotification =
    "NSWorkspaceDidActivateApplicationNotification";
inline const std::string NSWorkspaceDidLaunchApplicationNotification =
    "NSWorkspaceDidLaunchApplicationNotification";
inline const std::string NSWorkspaceApplicationKey = "NSWorkspaceApplicationKey";

struct Notification {
    std::string name;
    ObjectRef object;
    std::shared_ptr<const DictionaryObject> userInfo;  // may be absent
};

// The opaque object addObserverForName returns: it names the subscription to removeObserver.
class NotificationObserver {
public:
    virtual ~NotificationObserver() = default;
};
using NotificationObserverRef = std::shared_ptr<NotificationObserver>;

class Workspace {
public:
    virtual ~Workspace() = default;
    // addObserverForName:object:nil queue:nil usingBlock: on the workspace's notification centre.
    // The block runs synchronously on the posting (main) thread until the subscription is
    // removed.
    virtual NotificationObserverRef addObserverForName(const std::string& name,
                                                       std::function<void(const Notification&)> block) = 0;
    // removeObserver: the block is not called again, not even by a notification being posted.
    // An observer the centre no longer knows (a replaced desktop) is ignored.
    virtual void removeObserver(const NotificationObserverRef& observer) = 0;
    virtual RunningApplicationRef frontmostApplication() = 0;
};

// ---------------------------------------------------------------------------------------------
// The general pasteboard.

inline const std::string NSPasteboardTypeString = "public.utf8-plain-text";
inline const std::string NSPasteboardTypeRTF = "public.rtf";
inline const std::string NSPasteboardTypePNG = "public.png";
inline const std::string NSPasteboardTypeFileURL = "public.file-url";

// One pasteboard item: its data under each type it offers, in the order offered.
struct PasteboardItem {
    std::vector<std::pair<std::string, std::string>> representations;
    bool operator==(const PasteboardItem&) const = default;
};

// Whether another application took the data of the library's latest write (see waitForFetch).
enum class PasteboardFetch {
    Unknown,   // the backend cannot tell
    NotTaken,  // nobody asked for it before the deadline
    Taken,     // the data was handed over
};

class Pasteboard {
public:
    virtual ~Pasteboard() = default;
    virtual long changeCount() = 0;
    // None also when the data could not be read (an owner that does not answer).
    virtual std::optional<std::string> stringForType(const std::string& type) = 0;
    virtual long clearContents() = 0;  // returns the new change count; empties the pasteboard
    virtual bool setString(const std::string& text, const std::string& type) = 0;
    // A copy of every item with every type, byte for byte and in the order offered; an empty
    // list for an empty pasteboard; none when the contents could not be read in full (an owner
    // that stopped answering, a transfer cut short), so that nobody replaces what was not saved.
    virtual std::optional<std::vector<PasteboardItem>> pasteboardItems() = 0;
    virtual bool writeObjects(const std::vector<PasteboardItem>& items) = 0;
    // Holds the calling thread like MainLoop::blockUntil until an application has taken the data
    // of the library's latest write (clearContents, setString:forType:, writeObjects:), or until
    // `deadline` on the main loop's clock. `by` narrows it to one application's requests where the
    // backend can tell who asks (0: anyone's). Returns at once when the data was taken already.
    // Backends that hand the data over themselves know when it is fetched: on X11 the library
    // serves CLIPBOARD; on macOS it writes promised data and its provider is asked. A backend that
    // cannot tell returns Unknown at once, without waiting.
    virtual PasteboardFetch waitForFetch(pid_t by, double deadline) {
        (void)by;
        (void)deadline;
        return PasteboardFetch::Unknown;
    }
};

// ---------------------------------------------------------------------------------------------
// Synthesized keyboard events.

struct CGEventSource {
    int stateID = 0;
};
struct CGEvent {
    uint16_t keyCode = 0;
    bool keyDown = false;
    uint64_t flags = 0;
};
inline void CGEventSetFlags(CGEvent& event, uint64_t flags) { event.flags = flags; }

class KeyboardEvents {
public:
    virtual ~KeyboardEvents() = default;
    virtual std::unique_ptr<CGEventSource> createSource(int stateID) = 0;  // may be empty
    virtual std::unique_ptr<CGEvent> createKeyboardEvent(const CGEventSource* source,
                                                         uint16_t virtualKey, bool keyDown) = 0;
    virtual void post(int tap, const CGEvent& event) = 0;
};

// ---------------------------------------------------------------------------------------------
// Host windows, mouse tracking and the shared application object.

// NSResponder: the owner of a tracking area receives the window system's mouse messages.
class Responder {
public:
    virtual ~Responder() = default;
    virtual void mouseEntered() = 0;
    virtual void mouseExited() = 0;
    virtual void mouseDown() = 0;
};

inline constexpr unsigned NSTrackingMouseEnteredAndExited = 0x1;
inline constexpr unsigned NSTrackingActiveAlways = 0x80;
inline constexpr unsigned NSTrackingInVisibleRect = 0x200;

class TrackingArea {
public:
    virtual ~TrackingArea() = default;
};
using TrackingAreaRef = std::shared_ptr<TrackingArea>;

class Window {
public:
    virtual ~Window() = default;
};
using WindowRef = std::shared_ptr<Window>;

inline constexpr int NSApplicationActivationPolicyAccessory = 1;

class WindowServer {
public:
    virtual ~WindowServer() = default;
    // The live window that `handle` denotes, or none. The handle is looked up, never dereferenced.
    virtual WindowRef windowForHandle(void* handle) = 0;
    // Bounds of the content view, or none when the window has no content view.
    virtual std::optional<CGRect> contentViewBounds(const WindowRef& window) = 0;
    // initWithRect:options:owner:userInfo:nil. The area refers to its owner without keeping it.
    virtual TrackingAreaRef makeTrackingArea(CGRect rect, unsigned options,
                                             std::weak_ptr<Responder> owner) = 0;
    // addTrackingArea: on the content view; false when there is no content view.
    virtual bool addTrackingArea(const WindowRef& window, const TrackingAreaRef& area) = 0;
    // NSApp setActivationPolicy:; false when there is no shared application object.
    virtual bool setActivationPolicy(int policy) = 0;
};

// ---------------------------------------------------------------------------------------------
// Standard output, where the library's diagnostic lines go.

class Console {
public:
    virtual ~Console() = default;
    virtual void writeLine(const std::string& line) = 0;
};

// ---------------------------------------------------------------------------------------------

struct Platform {
    AccessibilityService& accessibility;
    MainLoop& mainLoop;
    Workspace& workspace;
    Pasteboard& pasteboard;
    KeyboardEvents& keyboard;
    WindowServer& windows;
    Console& console;
};

// The backend chosen for this process, once, at first use (KORVALE_BACKEND may name one).
Platform& current();
// Asks for the simulated desktop; effective only before the first use of current().
void requestSimulatedBackend();

}  // namespace korvale::platform
