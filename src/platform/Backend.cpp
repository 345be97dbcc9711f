// Chooses the platform backend once per process, from the table of backends built into the
// library (BackendTable.cpp):
//   - an entry marked onlyWhenAsked (the simulated desktop) runs only when asked for: by
//     KORVALE_BACKEND naming it, or by the control API before the first use;
//   - KORVALE_BACKEND naming another entry restricts the choice to that entry;
//   - otherwise every other entry, in table order; the first that connects serves the process.
// When none connects (no display, no accessibility bus), the process is served by a stand-in
// that answers like a desktop on which this process is not trusted: both trust checks false,
// nothing followed, nothing pasted. It tries the candidates again every few seconds on the
// host's loop and whenever the host asks for the trust, and hands the subscriptions made
// meanwhile to the backend that answers: a host started before its desktop session follows the
// desktop once it is there, without a restart. The choice of candidates is never made again.
#include "platform/Backend.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

namespace korvale::platform {

namespace {

class StdoutConsole final : public Console {
public:
    void writeLine(const std::string& line) override {
        std::fwrite(line.data(), 1, line.size(), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
    }
};

// Without any loop to run on, nothing delayed can run: it is dropped.
class InertLoop final : public MainLoop {
public:
    double now() override {
        using namespace std::chrono;
        return duration<double>(steady_clock::now().time_since_epoch()).count();
    }
    void addSource(const RunLoopSourceRef&, const std::string&) override {}
    void removeSource(const RunLoopSourceRef&, const std::string&) override {}
    void asyncAfterOnMain(double, std::function<void()>) override {}
    void scheduledTimer(double, std::function<void()>) override {}
    void blockUntil(double deadline) override {
        double left = deadline - now();
        if (left > 0) std::this_thread::sleep_for(std::chrono::duration<double>(left));
    }
};


// The accessibility service of a process that is not trusted: every request refused.
class UntrustedAccessibility final : public AccessibilityService {
public:
    explicit UntrustedAccessibility(BackendChoice& session) : session_(session) {}
    bool isProcessTrustedWithOptions(bool prompt) override;
    ElementRef createApplication(pid_t) override { return nullptr; }
    AXError copyAttributeValue(const ElementRef&, const std::string&, ObjectRef*) override {
        return kAXErrorAPIDisabled;
    }
    AXError copyParameterizedAttributeValue(const ElementRef&, const std::string&, const ObjectRef&,
                                            ObjectRef*) override {
        return kAXErrorAPIDisabled;
    }
    AXError isAttributeSettable(const ElementRef&, const std::string&, bool*) override {
        return kAXErrorAPIDisabled;
    }
    AXError setAttributeValue(const ElementRef&, const std::string&, const ObjectRef&) override {
        return kAXErrorAPIDisabled;
    }
    AXError copyAttributeNames(const ElementRef&, ObjectRef*) override { return kAXErrorAPIDisabled; }
    AXError observerCreate(pid_t, AXObserverCallback, AXObserverRef*) override { return kAXErrorAPIDisabled; }
    AXError observerAddNotification(const AXObserverRef&, const ElementRef&, const std::string&,
                                    void*) override {
        return kAXErrorAPIDisabled;
    }
    AXError observerRemoveNotification(const AXObserverRef&, const ElementRef&, const std::string&) override {
        return kAXErrorAPIDisabled;
    }
    RunLoopSourceRef observerGetRunLoopSource(const AXObserverRef&) override { return nullptr; }

private:
    BackendChoice& session_;
};

// Keeps the subscriptions until a backend answers, then hands them over. The subscriber keeps
// the observer this workspace gave it; removing it later removes the one handed over.
class WaitingWorkspace final : public Workspace {
public:
    struct Pending final : NotificationObserver {
        std::string name;
        std::function<void(const Notification&)> block;
        Workspace* handedTo = nullptr;
        NotificationObserverRef handedOver;
    };
    NotificationObserverRef addObserverForName(const std::string& name,
                                               std::function<void(const Notification&)> block) override {
        auto p = std::make_shared<Pending>();
        p->name = name;
        p->block = std::move(block);
        pending.push_back(p);
        return p;
    }
    void removeObserver(const NotificationObserverRef& observer) override {
        auto* p = dynamic_cast<Pending*>(observer.get());
        if (!p) return;
        if (p->handedTo) p->handedTo->removeObserver(p->handedOver);
        p->handedTo = nullptr;
        p->handedOver.reset();
        std::erase(pending, observer);
    }
    // Subscribes every waiting block on `workspace`.
    void handOver(Workspace& workspace) {
        auto waiting = std::move(pending);
        pending.clear();
        for (auto& p : waiting) {
            p->handedTo = &workspace;
            p->handedOver = workspace.addObserverForName(p->name, std::move(p->block));
            p->block = nullptr;
        }
    }
    RunningApplicationRef frontmostApplication() override { return nullptr; }
    std::vector<std::shared_ptr<Pending>> pending;
};

class EmptyPasteboard final : public Pasteboard {
public:
    long changeCount() override { return 0; }
    std::optional<std::string> stringForType(const std::string&) override { return std::nullopt; }
    long clearContents() override { return 0; }
    bool setString(const std::string&, const std::string&) override { return false; }
    std::optional<std::vector<PasteboardItem>> pasteboardItems() override { return std::vector<PasteboardItem>{}; }
    bool writeObjects(const std::vector<PasteboardItem>&) override { return false; }
};

class NoKeyboard final : public KeyboardEvents {
public:
    std::unique_ptr<CGEventSource> createSource(int) override { return nullptr; }
    std::unique_ptr<CGEvent> createKeyboardEvent(const CGEventSource*, uint16_t, bool) override {
        return nullptr;
    }
    void post(int, const CGEvent&) override {}
};

class NoWindows final : public WindowServer {
public:
    WindowRef windowForHandle(void*) override { return nullptr; }
    std::optional<CGRect> contentViewBounds(const WindowRef&) override { return std::nullopt; }
    TrackingAreaRef makeTrackingArea(CGRect, unsigned, std::weak_ptr<Responder>) override { return nullptr; }
    bool addTrackingArea(const WindowRef&, const TrackingAreaRef&) override { return false; }
    bool setActivationPolicy(int) override { return false; }
};

}  // namespace

class BackendChoice {
public:
    BackendChoice(std::span<const BackendEntry> table, bool simulatedRequested) : accessibility_(*this) {
        const char* wanted = std::getenv("KORVALE_BACKEND");
        const bool named = wanted && *wanted;
        for (const auto& entry : table) {
            bool candidate = named ? std::strcmp(wanted, entry.name) == 0
                                   : entry.onlyWhenAsked == simulatedRequested;
            if (candidate) candidates_.push_back(&entry);
        }
        for (const auto* entry : candidates_)
            if (entry->waitingLoop && (loop_ = entry->waitingLoop())) break;
        if (!loop_) loop_ = &inertLoop_;
        waiting_.reset(new Platform{accessibility_, *loop_, workspace_, pasteboard_, keyboard_,
                                    windows_, console_});
        if (!tryConnect()) scheduleRetry();
    }

    Platform& platform() { return active_ ? *active_ : *waiting_; }
    const char* name() const { return active_ ? activeName_ : "none"; }

    // Tries each candidate once; true when one serves the process (now or before).
    bool tryConnect() {
        if (active_) return true;
        for (const auto* entry : candidates_) {
            Platform* platform = entry->connect();
            if (!platform) continue;
            active_ = platform;
            activeName_ = entry->name;
            // Subscriptions made while waiting now listen to the desktop that answered.
            workspace_.handOver(active_->workspace);
            return true;
        }
        return false;
    }

private:
    void scheduleRetry() {
        if (candidates_.empty()) return;  // nothing could ever answer
        loop_->asyncAfterOnMain(loop_->now() + kBackendRetryInterval, [this] {
            if (!tryConnect()) scheduleRetry();
        });
    }

    std::vector<const BackendEntry*> candidates_;
    Platform* active_ = nullptr;
    const char* activeName_ = "none";
    InertLoop inertLoop_;
    MainLoop* loop_ = nullptr;
    UntrustedAccessibility accessibility_;
    WaitingWorkspace workspace_;
    EmptyPasteboard pasteboard_;
    NoKeyboard keyboard_;
    NoWindows windows_;
    StdoutConsole console_;
    std::unique_ptr<Platform> waiting_;
};

bool UntrustedAccessibility::isProcessTrustedWithOptions(bool prompt) {
    // Asking for the trust is a moment to look again: the desktop may have come up meanwhile.
    if (session_.tryConnect()) return session_.platform().accessibility.isProcessTrustedWithOptions(prompt);
    return false;
}

namespace {
// Asked for before the first use: the simulated desktop is then among the candidates.
bool simulatedRequested = false;
}  // namespace

BackendChoice* chooseBackend(std::span<const BackendEntry> table, bool simulatedAsked) {
    return new BackendChoice(table, simulatedAsked);
}

// Never destroyed: platform objects may be referred to until the process ends.
BackendChoice*& processChoice() {
    static BackendChoice* chosen = nullptr;
    return chosen;
}

Platform& current() {
    auto& choice = processChoice();
    if (!choice) choice = chooseBackend(backendTable(), simulatedRequested);
    return choice->platform();
}

const char* currentBackendName() {
    current();
    return processChoice()->name();
}

// Called by the control API: once a backend is chosen, the choice stands.
void requestSimulatedBackend() { simulatedRequested = true; }

}  // namespace korvale::platform
