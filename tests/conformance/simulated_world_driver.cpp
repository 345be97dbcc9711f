#include "SimulatedWorldDriver.h"

#include <map>
#include <memory>

#include "platform/sim/SimDesktop.h"

namespace korvale::conformance {

namespace {

using nlohmann::json;

class SimulatedWorldDriver final : public Driver {
public:
    explicit SimulatedWorldDriver(pl::Platform& (*platform)()) : platform_(platform) {}
    pl::Platform& platform() override { return platform_(); }
    std::string prepare(const Start& start) override {
        json world = {{"apps", {{{"pid", kPid}, {"name", "Notes"}, {"focused", "field"}, {"elements", {
            {{"id", "win"}, {"role", "AXWindow"}, {"frame", {0, 0, 500, 300}}, {"children", {
                {{"id", "field"}, {"role", "AXTextField"}, {"text", start.fieldText},
                 {"selection", {start.selection.location, start.selection.length}}, {"editable", true},
                 {"frame", {10, 10, 300, 20}}},
                {{"id", "area"}, {"role", "AXTextArea"}, {"text", "Hello brave new world"}, {"editable", true},
                 {"frame", {10, 40, 300, 200}}}}}}}}}}}};
        frame_ = {0, 0, 500, 300};
        return desktop().loadWorld(world);
    }
    pid_t pid() override { return kPid; }
    void selectInField(pl::CFRange r) override {
        act({{"action", "select"}, {"element", "field"}, {"range", {r.location, r.length}}});
    }
    void focusTextArea() override { act({{"action", "focus"}, {"element", "area"}}); }
    void selectInTextArea(pl::CFRange r) override {
        act({{"action", "select"}, {"element", "area"}, {"range", {r.location, r.length}}});
    }
    void moveWindowBy(double dx, double dy) override {
        frame_[0] = frame_[0].get<double>() + dx;
        frame_[1] = frame_[1].get<double>() + dy;
        act({{"action", "move_window"}, {"window", "win"}, {"frame", frame_}});
    }
    void resizeWindowBy(double dw, double dh) override {
        frame_[2] = frame_[2].get<double>() + dw;
        frame_[3] = frame_[3].get<double>() + dh;
        act({{"action", "resize_window"}, {"window", "win"}, {"frame", frame_}});
    }
    void hang() override { act({{"action", "app_ax_state"}, {"pid", kPid}, {"state", "hung"}}); }
    void resume() override { act({{"action", "app_ax_state"}, {"pid", kPid}, {"state", "ok"}}); }
    void quit() override { act({{"action", "quit"}, {"pid", kPid}}); }
    bool runUntil(const std::function<bool()>& done, double seconds) override {
        for (double waited = 0; waited <= seconds; waited += 0.01) {
            if (done()) return true;
            desktop().run(0.01);
        }
        return done();
    }

private:
    static constexpr pid_t kPid = 301;
    static sim::Desktop& desktop() { return sim::Desktop::instance(); }
    void act(const json& action) { EXPECT_EQ(desktop().perform(action), "") << action.dump(); }
    pl::Platform& (*platform_)();
    json frame_;
};

}  // namespace

Driver& simulatedWorldDriver(pl::Platform& (*platform)()) {
    static std::map<pl::Platform& (*)(), std::unique_ptr<SimulatedWorldDriver>> drivers;
    auto& driver = drivers[platform];
    if (!driver) driver = std::make_unique<SimulatedWorldDriver>(platform);
    return *driver;
}

pl::Platform& simulatedPlatform() { return sim::Desktop::instance().platform(); }

}  // namespace korvale::conformance
