// Ownership of Core Foundation objects for the macOS backend. A function whose name says Create
// or Copy hands out a reference the caller must release; a Get function does not. CFOwner holds
// exactly one reference: `adopt` takes over one that was handed out, `retain` takes one of its
// own. Dropping the owner is the release, on every path.
#pragma once

#include <CoreFoundation/CoreFoundation.h>

#include <string>
#include <utility>

namespace korvale::macos {

template <typename Ref>
class CFOwner {
public:
    CFOwner() = default;
    // For what a Create or Copy function returned.
    static CFOwner adopt(Ref ref) {
        CFOwner owner;
        owner.ref_ = ref;
        return owner;
    }
    // For what a Get function returned, or a reference someone else owns.
    static CFOwner retain(Ref ref) {
        if (ref) CFRetain(ref);
        return adopt(ref);
    }
    CFOwner(const CFOwner& other) : ref_(other.ref_) {
        if (ref_) CFRetain(ref_);
    }
    CFOwner(CFOwner&& other) noexcept : ref_(std::exchange(other.ref_, nullptr)) {}
    CFOwner& operator=(CFOwner other) noexcept {
        std::swap(ref_, other.ref_);
        return *this;
    }
    ~CFOwner() { reset(); }

    Ref get() const { return ref_; }
    explicit operator bool() const { return ref_ != nullptr; }
    void reset() {
        if (ref_) CFRelease(ref_);
        ref_ = nullptr;
    }
    // The slot a Copy function writes its result into; what the owner held is released first.
    Ref* out() {
        reset();
        return &ref_;
    }

private:
    Ref ref_ = nullptr;
};

// A CFString of UTF-8 text (ill-formed sequences become U+FFFD).
CFOwner<CFStringRef> makeCFString(const std::string& utf8);
// The UTF-8 text of a CFString (unpaired surrogates become U+FFFD).
std::string stringFrom(CFStringRef string);

}  // namespace korvale::macos
