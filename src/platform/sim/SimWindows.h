// The simulated window server: the host application's own windows (with or without a content
// view), the host's own delegates and the messages they hear (moves, resizes, clicks, closing),
// tracking areas with their options and owners, a pointer that moves in and out of windows and
// sends mouse-entered and mouse-exited messages on the main loop, and the shared application object with its activation policy. A window is named to the
// host by an opaque handle that is looked up among live windows, never dereferenced.
#pragma once

#include <map>

#include "platform/sim/SimDesktop.h"

namespace korvale::sim {

class SimWindows final : public WindowServer {
public:
    explicit SimWindows(Desktop& desktop);
    ~SimWindows() override;
    void reset();

    // The opaque handle of host window `id`, or null when there is none. A closed window's handle
    // is kept, so that a host holding it on can be tested: it no longer denotes a window.
    void* handleFor(const std::string& id);

    WindowRef windowForHandle(void* handle) override;
    std::optional<CGRect> contentViewBounds(const WindowRef& window) override;
    TrackingAreaRef makeTrackingArea(CGRect rect, unsigned options,
                                     std::weak_ptr<Responder> owner) override;
    bool addTrackingArea(const WindowRef& window, const TrackingAreaRef& area) override;
    bool setActivationPolicy(int policy) override;

    struct SimTrackingArea;
    struct SimWindow;

private:
    void loadWorld(const json& world);
    void addWindow(const json& description);
    void closeWindow(const std::string& id);
    void movePointer(CGPoint to);
    // Sends enter and exit messages for every area whose containment of the pointer changed.
    void updateHover();
    void mouseDown();
    void tellDelegate(const SimWindow& w, const std::string& message);
    std::shared_ptr<SimWindow> find(const std::string& id) const;
    std::string nameOf(const WindowRef& window) const;
    json report() const;

    Desktop& desktop_;
    std::map<std::string, std::shared_ptr<SimWindow>> windows_;  // live windows by id
    std::map<std::string, uintptr_t> handles_;                   // every id ever given one
    uintptr_t nextHandle_;
    CGPoint pointer_{-1e9, -1e9};
    bool sharedApplication_ = true;
    bool hostActive_ = false;
    int activationPolicy_ = 0;  // NSApplicationActivationPolicyRegular
    json messages_ = json::array();  // mouse messages that reached a live owner
    json delegateMessages_ = json::array();  // messages that reached the host's own delegates
};

}  // namespace korvale::sim
