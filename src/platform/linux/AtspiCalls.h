// The call layer of the Linux backend: every libatspi request that may leave this process goes
// through here. It keeps the host's main thread safe from the other side of the bus:
//   - each request waits at most 250 ms (libatspi's own default is 15 s for an application that
//     registered recently, then 0.8 s);
//   - an application that let a request run into the timeout is remembered as hung for a while,
//     and requests to it fail at once meanwhile (the library sees "cannot complete"), so a burst
//     of its events costs one bounded request, not one per read; anything heard from it ends that;
//   - the accessibility bus going away is noticed (the connection reports it), nothing is asked
//     of libatspi while it is gone, and the backend joins the bus again once one answers.
// It also counts the requests made, for the figures and the request-count tests.
#pragma once

#include <atspi/atspi.h>
#include <dbus/dbus.h>

#include <functional>
#include <map>
#include <set>
#include <string>

#include "platform/Values.h"
#include "platform/linux/LinuxHandles.h"

namespace korvale::platform::linuxdesk {

class AtspiBus {
public:
    // GNOME Shell caps its accessibility calls at 250 ms; so do we. Platform quirk: libatspi's
    // wait loop polls again when its first wait ends on the dot of the timeout, so a request
    // may wait twice what it is given (measured: 500 ms for 250): it is given half.
    static constexpr int kCallTimeoutMs = 125;
    // The registry's requests (joining, listening, the list of applications).
    static constexpr int kRegistryTimeoutMs = 2000;
    static constexpr const char* kRegistry = "org.a11y.atspi.Registry";
    // A request that failed after this long ran into the timeout.
    static constexpr gint64 kTimedOutUs = kCallTimeoutMs * 800;
    // How long an application that did not answer is left alone.
    static constexpr gint64 kHungMemoryUs = 3 * G_USEC_PER_SEC;
    // Waits between attempts to join a bus that came back: from the first to the longest.
    static constexpr guint kRejoinFirstMs = 250, kRejoinLongestMs = 4000;

    static AtspiBus& instance();

    // Takes over a joined bus (atspi_init done): sets the timeout and watches the connection.
    void start();
    // Whether the bus is there (no round trip).
    bool up();
    // How many times the bus has been joined again since start.
    int rejoins() const { return rejoins_; }

    // Told when the bus is gone (before libatspi lets go of its objects) and when it is back.
    std::function<void()> onLost;
    std::function<void()> onBack;

    // ---- requests ----
    long requests() const { return requests_; }
    // Bytes of text the applications sent in answer to text reads.
    long textBytes() const { return textBytes_; }
    void textReceived(std::size_t bytes) { textBytes_ += long(bytes); }
    long timeouts() const { return timeouts_; }
    // Whether `busName` did not answer recently.
    bool hung(const std::string& busName);
    // Something arrived from the application behind `acc`: it is not hung.
    void heardFrom(AtspiAccessible* acc);
    // An accessible handed over by libatspi. Platform quirk: libatspi keeps the applications of
    // a lost bus in its own table, emptied or on the dead connection, and a new bus daemon gives
    // out the same unique names again, so a new application may arrive attached to one of them.
    // Such an application is given fresh tables and the new connection, so requests reach it.
    void revive(AtspiAccessible* acc);
    // Sets libatspi's timeout for the next request, to the application on `busName`.
    void useTimeoutFor(const std::string& busName);

private:
    friend class AtspiCall;
    AtspiBus() = default;
    void counted() { ++requests_; }
    void failedAfter(const char* busName, gint64 elapsedUs);
    static DBusHandlerResult filter(DBusConnection*, DBusMessage* message, void* self);
    void lost();
    void scheduleRejoin(guint ms);
    bool rejoin();
    void reviveApplication(AtspiApplication* app);

    DBusConnection* connection_ = nullptr;  // our reference to libatspi's connection
    AtspiApplication* registry_ = nullptr;  // our reference to the registry's application
    bool started_ = false, down_ = false, lostHandled_ = false;
    guint rejoinSource_ = 0, rejoinWaitMs_ = kRejoinFirstMs;
    int rejoins_ = 0;
    long requests_ = 0, timeouts_ = 0, textBytes_ = 0;
    std::map<std::string, gint64> hungUntil_;  // bus name -> monotonic time
    std::set<AtspiApplication*> seen_;         // a reference to each application seen
};

// One request to the application behind `target` (to the bus itself when null):
//   AtspiCall call(acc);
//   if (!call) return kAXErrorCannotComplete;        // bus gone or application hung: not made
//   auto v = atspi_something(acc, call.err());
//   if (!call.ok()) return call.code();
class AtspiCall {
public:
    explicit AtspiCall(AtspiAccessible* target);
    AtspiCall(const AtspiCall&) = delete;
    AtspiCall& operator=(const AtspiCall&) = delete;
    explicit operator bool() const { return allowed_; }
    GError** err() { return error_.out(); }
    // Whether the request succeeded (its GError is clear). A failure that lasted the timeout
    // marks the application hung.
    bool ok() { return okIf(true); }
    // The same for a request that tells its failure by its result (`answered` false), not a GError.
    bool okIf(bool answered);
    // Whether the request lasted the whole timeout. Some libatspi reads hide a timeout: a state
    // set then comes back as the last one known, as if answered.
    bool ranOut() const { return g_get_monotonic_time() - began_ >= AtspiBus::kTimedOutUs; }
    AXError code() const { return kAXErrorCannotComplete; }

private:
    std::string busName_;
    bool allowed_ = false;
    gint64 began_ = 0;
    GErrorOwner error_;
};

}  // namespace korvale::platform::linuxdesk
