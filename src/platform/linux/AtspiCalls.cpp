// The call layer: bounded requests, hung applications left alone for a while, the accessibility
// bus watched and joined again when it comes back. libatspi keeps its connection and its tables
// in process-wide state, so this is one object for the process; everything runs on the main
// thread.
#include "platform/linux/AtspiCalls.h"

#include <sys/time.h>

#include <algorithm>

namespace korvale::platform::linuxdesk {

AtspiBus& AtspiBus::instance() {
    // Kept for the life of the process, like libatspi's own state it mirrors.
    static auto* bus = new AtspiBus();
    return *bus;
}

void AtspiBus::start() {
    if (started_) return;
    started_ = true;
    useTimeoutFor(kRegistry);
    // atspi_init has joined the bus: this hands back that very connection.
    connection_ = atspi_get_a11y_bus();
    if (!connection_) {
        down_ = true;
        return;
    }
    dbus_connection_ref(connection_);
    dbus_connection_add_filter(connection_, &AtspiBus::filter, this, nullptr);
    // The registry's application object is the one libatspi cannot rebuild by itself after a
    // loss (see revive): we keep it to give it back its tables.
    if (auto desktop = GRef<AtspiAccessible>::adopt(atspi_get_desktop(0))) {
        auto* app = reinterpret_cast<AtspiObject*>(desktop.get())->app;
        if (app) registry_ = static_cast<AtspiApplication*>(g_object_ref(app));
    }
}

bool AtspiBus::up() {
    if (down_) return false;
    if (connection_ && dbus_connection_get_is_connected(connection_)) return true;
    // Found gone before the connection's own notice was dispatched.
    down_ = true;
    g_idle_add_full(G_PRIORITY_HIGH, [](gpointer self) -> gboolean {
        static_cast<AtspiBus*>(self)->lost();
        return G_SOURCE_REMOVE;
    }, this, nullptr);
    return false;
}

DBusHandlerResult AtspiBus::filter(DBusConnection*, DBusMessage* message, void* self) {
    if (dbus_message_is_signal(message, DBUS_INTERFACE_LOCAL, "Disconnected")) {
        // Inside libdbus's dispatch: libatspi is let go of from the main loop, not from here.
        static_cast<AtspiBus*>(self)->up();
    }
    return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
}

void AtspiBus::lost() {
    if (lostHandled_) return;
    lostHandled_ = true;
    if (onLost) onLost();
    if (connection_) {
        dbus_connection_remove_filter(connection_, &AtspiBus::filter, this);
        dbus_connection_unref(connection_);
        connection_ = nullptr;
    }
    // libatspi drops its objects and its dead connection; nothing may call into it until it has
    // joined a bus again (it would try to join one by itself, and abort if that failed).
    atspi_exit();
    hungUntil_.clear();
    rejoinWaitMs_ = kRejoinFirstMs;
    scheduleRejoin(rejoinWaitMs_);
}

void AtspiBus::scheduleRejoin(guint ms) {
    if (rejoinSource_) return;
    rejoinSource_ = g_timeout_add(ms, [](gpointer data) -> gboolean {
        auto* self = static_cast<AtspiBus*>(data);
        self->rejoinSource_ = 0;
        if (!self->rejoin()) {
            self->rejoinWaitMs_ = std::min(self->rejoinWaitMs_ * 2, kRejoinLongestMs);
            self->scheduleRejoin(self->rejoinWaitMs_);
        }
        return G_SOURCE_REMOVE;
    }, this);
}

bool AtspiBus::rejoin() {
    // A connection first: atspi_init without one would leave libatspi half-initialised.
    DBusConnection* c = atspi_get_a11y_bus();
    if (!c || !dbus_connection_get_is_connected(c)) return false;
    if (atspi_init() > 1) {
        atspi_exit();
        return false;
    }
    connection_ = dbus_connection_ref(c);
    dbus_connection_add_filter(connection_, &AtspiBus::filter, this, nullptr);
    useTimeoutFor(kRegistry);
    ++rejoins_;
    reviveApplication(registry_);
    for (auto* app : seen_) reviveApplication(app);
    down_ = false;
    lostHandled_ = false;
    // The registry must answer on the new bus, or this was not a bus yet.
    bool answers = false;
    if (auto desktop = GRef<AtspiAccessible>::adopt(atspi_get_desktop(0))) {
        GErrorOwner err;
        ++requests_;
        atspi_accessible_get_child_count(desktop.get(), err.out());
        answers = !err;
    }
    if (!answers) {
        down_ = true;
        lostHandled_ = true;  // lost() already done its part: let libatspi go and try again
        dbus_connection_remove_filter(connection_, &AtspiBus::filter, this);
        dbus_connection_unref(connection_);
        connection_ = nullptr;
        atspi_exit();
        return false;
    }
    if (onBack) onBack();
    return true;
}

void AtspiBus::useTimeoutFor(const std::string& busName) {
    // The registry may still be starting (the bus starts it on first use) and is no application
    // that could hang on the user: it gets longer.
    atspi_set_timeout(busName == kRegistry ? kRegistryTimeoutMs : kCallTimeoutMs, 0);
}

void AtspiBus::reviveApplication(AtspiApplication* app) {
    if (!app || !connection_) return;
    // One in use on the current connection (its own or the bus) is left as it is.
    if (app->bus && app->hash && dbus_connection_get_is_connected(app->bus)) return;
    if (app->bus) dbus_connection_unref(app->bus);
    app->bus = dbus_connection_ref(connection_);
    if (app->hash) g_hash_table_unref(app->hash);
    app->hash = g_hash_table_new_full(g_str_hash, g_str_equal, g_free, g_object_unref);
    g_clear_object(&app->root);
    app->cache = ATSPI_CACHE_UNDEFINED;
    gettimeofday(&app->time_added, nullptr);
}

void AtspiBus::revive(AtspiAccessible* acc) {
    if (!acc) return;
    auto* app = reinterpret_cast<AtspiObject*>(acc)->app;
    if (!app) return;
    // Every application seen is remembered (libatspi keeps them all too), so that after a loss
    // those whose names come back are made usable before anything of them arrives.
    if (seen_.insert(app).second) g_object_ref(app);
    if (rejoins_ > 0 && !down_) reviveApplication(app);
}

bool AtspiBus::hung(const std::string& busName) {
    auto it = hungUntil_.find(busName);
    if (it == hungUntil_.end()) return false;
    if (g_get_monotonic_time() < it->second) return true;
    // Time is up: the next request finds out whether it answers again.
    hungUntil_.erase(it);
    return false;
}

void AtspiBus::heardFrom(AtspiAccessible* acc) {
    if (!acc || hungUntil_.empty()) return;
    auto* app = reinterpret_cast<AtspiObject*>(acc)->app;
    if (app && app->bus_name) hungUntil_.erase(app->bus_name);
}

void AtspiBus::failedAfter(const char* busName, gint64 elapsedUs) {
    if (elapsedUs < kTimedOutUs) return;
    ++timeouts_;
    if (busName && *busName) hungUntil_[busName] = g_get_monotonic_time() + kHungMemoryUs;
}

AtspiCall::AtspiCall(AtspiAccessible* target) {
    auto& bus = AtspiBus::instance();
    if (!bus.up()) return;
    if (target) {
        auto* app = reinterpret_cast<AtspiObject*>(target)->app;
        if (app && app->bus_name) busName_ = app->bus_name;
        if (!busName_.empty() && bus.hung(busName_)) return;
    }
    bus.useTimeoutFor(busName_);
    allowed_ = true;
    bus.counted();
    began_ = g_get_monotonic_time();
}

bool AtspiCall::okIf(bool answered) {
    if (!allowed_) return false;
    if (answered && !error_) return true;
    AtspiBus::instance().failedAfter(busName_.c_str(), g_get_monotonic_time() - began_);
    return false;
}

}  // namespace korvale::platform::linuxdesk
