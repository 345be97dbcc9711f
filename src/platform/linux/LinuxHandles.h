// RAII owners for the handles the Linux backend gets from GLib, libatspi and Xlib: a GObject
// reference, a GError, a g_malloc'd string, an AT-SPI event handed over in full. Each releases
// what it holds exactly once, on every path, so no platform handle is ever left to a caller.
#pragma once

#include <glib-object.h>

#include <utility>

namespace korvale::platform::linuxdesk {

// One strong reference to a GObject (g_object_unref when dropped).
template <typename T>
class GRef {
public:
    GRef() = default;
    // Takes over a reference the caller already owns (a "transfer full" return).
    static GRef adopt(T* p) {
        GRef r;
        r.p_ = p;
        return r;
    }
    // Takes a reference of its own to an object someone else owns.
    static GRef retain(T* p) {
        if (p) g_object_ref(p);
        return adopt(p);
    }
    GRef(const GRef& o) : p_(o.p_) {
        if (p_) g_object_ref(p_);
    }
    GRef(GRef&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    GRef& operator=(GRef o) noexcept {
        std::swap(p_, o.p_);
        return *this;
    }
    ~GRef() {
        if (p_) g_object_unref(p_);
    }
    T* get() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }

private:
    T* p_ = nullptr;
};

// The GError slot of one call; `out()` hands its address to the call.
class GErrorOwner {
public:
    GErrorOwner() = default;
    GErrorOwner(const GErrorOwner&) = delete;
    GErrorOwner& operator=(const GErrorOwner&) = delete;
    ~GErrorOwner() {
        if (e_) g_error_free(e_);
    }
    GError** out() {
        if (e_) g_clear_error(&e_);
        return &e_;
    }
    const GError* get() const { return e_; }
    explicit operator bool() const { return e_ != nullptr; }

private:
    GError* e_ = nullptr;
};

// A string allocated with g_malloc (g_free when dropped).
class GCharOwner {
public:
    explicit GCharOwner(gchar* s = nullptr) : s_(s) {}
    GCharOwner(const GCharOwner&) = delete;
    GCharOwner& operator=(const GCharOwner&) = delete;
    ~GCharOwner() { g_free(s_); }
    const gchar* get() const { return s_; }
    explicit operator bool() const { return s_ != nullptr; }

private:
    gchar* s_;
};

}  // namespace korvale::platform::linuxdesk
