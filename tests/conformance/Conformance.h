// What every backend must answer, as one parameterised GoogleTest suite (conformance_cases.cpp):
// the attribute and notification names the library uses with the kinds it expects, UTF-16
// offsets, the platform's error codes, and observer delivery in the order the application posted.
//
// The cases name no backend. Each backend brings a Driver that puts its desktop into the state a
// case starts from and performs the user's actions there: the simulated desktop and the macOS
// backend over the fake C functions build the state as a simulated world; the Linux backend's
// driver builds it in a real GTK 3 application under Xvfb through the application's command
// channel; a Mac's driver would do the same with a real application. A test binary compiles the
// cases and instantiates them with its backends (INSTANTIATE_TEST_SUITE_P(..., Conformance, ...)).
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "platform/Platform.h"

namespace korvale::conformance {

namespace pl = korvale::platform;

// The desktop a case starts from: one application with one window holding a single-line text
// field, which has the focus and holds `fieldText` with `selection` (UTF-16 units) selected, and
// a multi-line text area below it that holds some text of its own.
struct Start {
    std::string fieldText;  // UTF-8
    pl::CFRange selection;
};

class Driver {
public:
    virtual ~Driver() = default;
    virtual pl::Platform& platform() = 0;
    // Builds the starting state; an empty string when it holds, else what went wrong.
    virtual std::string prepare(const Start& start) = 0;
    virtual pid_t pid() = 0;
    // The user's actions. Each returns once the application has acted; its notifications may
    // still be on their way (runUntil lets them arrive).
    virtual void selectInField(pl::CFRange range) = 0;  // UTF-16 units
    virtual void focusTextArea() = 0;
    virtual void selectInTextArea(pl::CFRange range) = 0;
    virtual void moveWindowBy(double dx, double dy) = 0;
    virtual void resizeWindowBy(double dw, double dh) = 0;
    // The application stops answering, and goes on again.
    virtual void hang() = 0;
    virtual void resume() = 0;
    // The application quits.
    virtual void quit() = 0;
    // Runs the platform's main loop until `done` holds or `seconds` pass (on the backend's clock).
    virtual bool runUntil(const std::function<bool()>& done, double seconds) = 0;
};

struct Backend {
    const char* name;
    Driver& (*driver)();
};

inline void PrintTo(const Backend& backend, std::ostream* os) { *os << backend.name; }

inline std::string backendName(const ::testing::TestParamInfo<Backend>& info) { return info.param.name; }

class Conformance : public ::testing::TestWithParam<Backend> {
protected:
    void SetUp() override;
    void TearDown() override;
    Driver& driver() { return GetParam().driver(); }
    pl::ObjectRef read(const pl::ElementRef& element, const std::string& attribute,
                       pl::AXError expected = pl::kAXErrorSuccess);
    pl::ObjectRef read(const std::string& attribute, pl::AXError expected = pl::kAXErrorSuccess) {
        return read(field_, attribute, expected);
    }
    static std::string text(const pl::ObjectRef& v);
    pl::AccessibilityService* ax_ = nullptr;
    pl::ElementRef app_, field_;
};

}  // namespace korvale::conformance
