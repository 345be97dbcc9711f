// The simulated accessibility service: applications with element trees, attributes of every
// kind, parameterized attributes computed from a text model and a glyph-grid layout, settable
// flags and writes, scripted answers and injected errors, applications that hang or quit, and
// observers whose notifications reach the main run loop through run-loop sources (so they are
// delivered only while the loop runs in a mode the source was added for). Every request goes to
// the desktop's request log with its arguments and answer. The world format and the actions are
// described in docs/scenarios.md, section "Applications and elements".
#pragma once

#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/sim/SimAxText.h"
#include "platform/sim/SimDesktop.h"

namespace korvale::sim {

class SimAccessibility final : public AccessibilityService {
public:
    explicit SimAccessibility(Desktop& desktop);
    ~SimAccessibility() override;
    void reset();

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

    // ----- for other parts of the simulated desktop -----
    // The user pastes `text` into the focused element of `pid`: replaces its selection if it is
    // editable text, puts the caret after it, posts "AXValueChanged" then "AXSelectedTextChanged".
    bool pasteIntoFocused(pid_t pid, const std::string& text);
    // Whether the application would take a paste now: running, with an editable text element
    // focused. An application that would not does not ask the pasteboard for anything.
    bool acceptsPaste(pid_t pid) const;
    // The application quit: its elements answer kAXErrorInvalidUIElement, its observers stop.
    void forgetApplication(pid_t pid);
    std::optional<std::string> textOf(const std::string& elementId);
    // Posts `notification` from element `elementId` to every matching registration.
    void postNotification(const std::string& elementId, const std::string& notification);

    struct Element;
    struct App;
    struct Observer;

private:
    void loadWorld(const json& world);
    void loadElement(App& app, const json& desc, const std::string& parent, const std::string& fallbackId,
                     std::vector<std::pair<Element*, const json*>>& pending, CGPoint origin);
    void loadValues(Element& e, const json& desc);
    void registerActions();
    void report(json& state) const;

    Element& element(const std::string& id);  // throws SimError when unknown
    App& app(pid_t pid);                      // throws SimError when unknown
    ObjectRef handle(const std::string& id) const;
    ObjectRef typed(const json& value, const std::string& holderId);
    // The element behind a handle with its application's state checked, or an error code.
    AXError resolve(const ElementRef& ref, Element*& out);
    AXError readAttribute(Element& e, const std::string& attribute, ObjectRef* value);
    AXError readParameterized(Element& e, const std::string& attribute, const ObjectRef& parameter,
                              ObjectRef* value);
    bool settableByDefault(const Element& e, const std::string& attribute) const;
    bool setSelectionIfChanged(Element& e, CFRange range);  // clamped; whether it moved
    void replaceText(Element& e, const std::u16string& text, bool notify);
    void logElementCall(json entry, const ElementRef& ref);

    Desktop& desktop_;
    std::map<std::string, std::unique_ptr<Element>> elements_;
    std::map<pid_t, std::unique_ptr<App>> apps_;
    std::vector<std::weak_ptr<Observer>> observers_;
    int observersCreated_ = 0;
    int registrations_ = 0;      // made since the world was loaded
    int heldRegistrations_ = 0;  // made and not removed
    uint64_t nextRegistration_ = 0;
    struct AddFailure {
        std::optional<std::string> element, notification;
        AXError code;
        int remaining;  // -1: every time
    };
    std::vector<AddFailure> addFailures_;
};

}  // namespace korvale::sim
