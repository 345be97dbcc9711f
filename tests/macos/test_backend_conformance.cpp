// What every backend must answer, as one parameterised suite: the attribute and notification
// names the library uses, UTF-16 offsets, the platform's error codes, and observer delivery in
// the order the application posted. Each backend comes with a driver that sets up the same small
// world and performs user actions on it; here the simulated desktop and the macOS backend over
// the fake C functions (which share the simulated desktop as their world). The cases name no
// backend, so the same file serves a backend whose driver acts on real applications.
#include <gtest/gtest.h>

#include "FakeMacPlatform.h"
#include "platform/Platform.h"
#include "platform/sim/SimDesktop.h"

namespace {

namespace pl = korvale::platform;
using nlohmann::json;

struct Backend {
    const char* name;
    pl::Platform& (*platform)();
};

void PrintTo(const Backend& backend, std::ostream* os) { *os << backend.name; }

pl::Platform& simulated() { return korvale::sim::Desktop::instance().platform(); }
pl::Platform& fakeMac() { return korvale::macfake::fakeMacPlatform(); }

const char* kWorld = R"({
  "apps": [{"pid": 301, "name": "Notes", "focused": "field", "elements": [
    {"id": "win", "role": "AXWindow", "frame": [0, 0, 500, 300], "children": [
      {"id": "field", "role": "AXTextField", "text": "a\ud83d\ude00b caf\u00e9", "selection": [1, 2],
       "editable": true, "frame": [10, 10, 300, 20]}]}]}]
})";

class Conformance : public ::testing::TestWithParam<Backend> {
protected:
    void SetUp() override {
        ASSERT_EQ(korvale::sim::Desktop::instance().loadWorld(json::parse(kWorld)), "");
        ax_ = &GetParam().platform().accessibility;
        app_ = ax_->createApplication(301);
        ASSERT_TRUE(app_);
        pl::ObjectRef focused;
        ASSERT_EQ(ax_->copyAttributeValue(app_, "AXFocusedUIElement", &focused), pl::kAXErrorSuccess);
        ASSERT_EQ(pl::CFGetTypeID(focused), pl::TypeID::UIElement);
        field_ = std::static_pointer_cast<const pl::UIElement>(focused);
    }
    void act(const json& action) { ASSERT_EQ(korvale::sim::Desktop::instance().perform(action), ""); }
    void run() { korvale::sim::Desktop::instance().run(0.05); }
    pl::ObjectRef read(const std::string& attribute, pl::AXError expected = pl::kAXErrorSuccess) {
        pl::ObjectRef value;
        EXPECT_EQ(ax_->copyAttributeValue(field_, attribute, &value), expected) << attribute;
        return value;
    }
    std::string text(const pl::ObjectRef& v) {
        return pl::CFGetTypeID(v) == pl::TypeID::String ? static_cast<const pl::StringObject&>(*v).value : "<not text>";
    }
    pl::AccessibilityService* ax_ = nullptr;
    pl::ElementRef app_, field_;
};

TEST_P(Conformance, AnswersTheAttributeNamesTheLibraryReadsWithTheKindsItExpects) {
    EXPECT_EQ(text(read("AXRole")), "AXTextField");
    EXPECT_EQ(text(read("AXSelectedText")), "\xF0\x9F\x98\x80");
    EXPECT_EQ(text(read("AXValue")), "a\xF0\x9F\x98\x80" "b caf\xC3\xA9");
    EXPECT_EQ(pl::AXValueGetType(read("AXSelectedTextRange")), pl::AXValueType::CFRange);
    EXPECT_EQ(pl::CFGetTypeID(read("AXNumberOfCharacters")), pl::TypeID::Number);
    pl::ObjectRef role;
    EXPECT_EQ(ax_->copyAttributeValue(app_, "AXRole", &role), pl::kAXErrorSuccess);
    EXPECT_EQ(text(role), "AXApplication");
    bool settable = false;
    ax_->isAttributeSettable(field_, "AXSelectedTextRange", &settable);
    EXPECT_TRUE(settable);
}

TEST_P(Conformance, CountsOffsetsInUtf16Units) {
    pl::CFRange range{};
    ASSERT_TRUE(pl::AXValueGetValue(read("AXSelectedTextRange"), pl::AXValueType::CFRange, &range));
    EXPECT_EQ(range, (pl::CFRange{1, 2})) << "the emoji is two units";
    auto count = read("AXNumberOfCharacters");
    EXPECT_EQ(static_cast<const pl::NumberObject&>(*count).integerValue(), 9);
    pl::ObjectRef piece;
    ASSERT_EQ(ax_->copyParameterizedAttributeValue(field_, "AXStringForRange", pl::makeRange({5, 4}), &piece),
              pl::kAXErrorSuccess);
    EXPECT_EQ(text(piece), "caf\xC3\xA9");
}

TEST_P(Conformance, ReportsThePlatformsErrorCodes) {
    read("AXNoSuchAttribute", pl::kAXErrorAttributeUnsupported);
    act({{"action", "script"}, {"element", "field"}, {"attribute", "AXSelectedText"}, {"answer", nullptr}});
    EXPECT_FALSE(read("AXSelectedText", pl::kAXErrorNoValue));
    act({{"action", "inject_error"}, {"element", "field"}, {"attribute", "AXRole"}, {"code", -25204}});
    read("AXRole", pl::kAXErrorCannotComplete);
    act({{"action", "app_ax_state"}, {"pid", 301}, {"state", "gone"}});
    read("AXValue", pl::kAXErrorInvalidUIElement);
}

std::vector<std::string> delivered;
void record(const pl::AXObserverRef&, const pl::ElementRef&, const std::string& name, void*) {
    delivered.push_back(name);
}

TEST_P(Conformance, DeliversNotificationsInTheOrderPosted) {
    delivered.clear();
    auto& loop = GetParam().platform().mainLoop;
    for (const char* name : {"AXSelectedTextChanged", "AXValueChanged"}) {
        pl::AXObserverRef observer;
        ASSERT_EQ(ax_->observerCreate(301, &record, &observer), pl::kAXErrorSuccess);
        ASSERT_EQ(ax_->observerAddNotification(observer, app_, name, nullptr), pl::kAXErrorSuccess);
        loop.addSource(ax_->observerGetRunLoopSource(observer), pl::kCFRunLoopDefaultMode);
    }
    act({{"action", "edit"}, {"element", "field"}, {"text", "xy"}});
    act({{"action", "select"}, {"element", "field"}, {"range", {0, 1}}});
    run();
    EXPECT_EQ(delivered, (std::vector<std::string>{"AXValueChanged", "AXSelectedTextChanged", "AXSelectedTextChanged"}));
}

INSTANTIATE_TEST_SUITE_P(Backends, Conformance,
                         ::testing::Values(Backend{"sim", &simulated}, Backend{"macos_fake", &fakeMac}),
                         [](const ::testing::TestParamInfo<Backend>& info) { return std::string(info.param.name); });

}  // namespace
