// The cases of the conformance suite (Conformance.h). They name no backend: every state they
// need comes from the driver, every answer from the platform's accessibility service.
#include "Conformance.h"

#include <vector>

namespace korvale::conformance {

namespace {

// "a", an emoji (two UTF-16 units), "b café": nine units, eight code points, eleven bytes.
const Start kStart{"a\xF0\x9F\x98\x80" "b caf\xC3\xA9", {1, 2}};

struct Delivery {
    pl::ElementRef element;
    std::string notification;
};
std::vector<Delivery> delivered;

void record(const pl::AXObserverRef&, const pl::ElementRef& element, const std::string& name, void*) {
    delivered.push_back({element, name});
}

std::vector<std::string> names() {
    std::vector<std::string> out;
    for (const auto& d : delivered) out.push_back(d.notification);
    return out;
}

bool same(const pl::ElementRef& a, const pl::ElementRef& b) { return a && b && a->equals(*b); }

}  // namespace

void Conformance::SetUp() {
    delivered.clear();
    const std::string problem = driver().prepare(kStart);
    ASSERT_EQ(problem, "");
    ax_ = &driver().platform().accessibility;
    app_ = ax_->createApplication(driver().pid());
    ASSERT_TRUE(app_);
    pl::ObjectRef focused;
    ASSERT_EQ(ax_->copyAttributeValue(app_, "AXFocusedUIElement", &focused), pl::kAXErrorSuccess);
    ASSERT_EQ(pl::CFGetTypeID(focused), pl::TypeID::UIElement);
    field_ = std::static_pointer_cast<const pl::UIElement>(focused);
}

void Conformance::TearDown() { delivered.clear(); }

pl::ObjectRef Conformance::read(const pl::ElementRef& element, const std::string& attribute, pl::AXError expected) {
    pl::ObjectRef value;
    EXPECT_EQ(ax_->copyAttributeValue(element, attribute, &value), expected) << attribute;
    return value;
}

std::string Conformance::text(const pl::ObjectRef& v) {
    return pl::CFGetTypeID(v) == pl::TypeID::String ? static_cast<const pl::StringObject&>(*v).value : "<not text>";
}

TEST_P(Conformance, AnswersTheAttributeNamesTheLibraryReadsWithTheKindsItExpects) {
    EXPECT_EQ(text(read("AXRole")), "AXTextField");
    EXPECT_EQ(text(read("AXSelectedText")), "\xF0\x9F\x98\x80");
    EXPECT_EQ(text(read("AXValue")), kStart.fieldText);
    EXPECT_EQ(pl::AXValueGetType(read("AXSelectedTextRange")), pl::AXValueType::CFRange);
    EXPECT_EQ(pl::CFGetTypeID(read("AXNumberOfCharacters")), pl::TypeID::Number);
    EXPECT_EQ(pl::CFGetTypeID(read("AXSelectedTextMarkerRange")), pl::TypeID::TextMarkerRange);
    pl::ObjectRef bounds;
    EXPECT_EQ(ax_->copyParameterizedAttributeValue(field_, "AXBoundsForRange", pl::makeRange({1, 2}), &bounds),
              pl::kAXErrorSuccess);
    EXPECT_EQ(pl::AXValueGetType(bounds), pl::AXValueType::CGRect);
    EXPECT_EQ(text(read(app_, "AXRole")), "AXApplication");
    bool settable = false;
    EXPECT_EQ(ax_->isAttributeSettable(field_, "AXSelectedTextRange", &settable), pl::kAXErrorSuccess);
    EXPECT_TRUE(settable);
    pl::ObjectRef names;
    ASSERT_EQ(ax_->copyAttributeNames(field_, &names), pl::kAXErrorSuccess);
    ASSERT_EQ(pl::CFGetTypeID(names), pl::TypeID::Array);
    std::vector<std::string> listed;
    for (const auto& n : static_cast<const pl::ArrayObject&>(*names).values) listed.push_back(text(n));
    for (const char* wanted : {"AXRole", "AXValue", "AXSelectedText", "AXSelectedTextRange", "AXNumberOfCharacters"})
        EXPECT_NE(std::find(listed.begin(), listed.end(), wanted), listed.end()) << wanted;
}

TEST_P(Conformance, CountsOffsetsInUtf16Units) {
    pl::CFRange range{};
    ASSERT_TRUE(pl::AXValueGetValue(read("AXSelectedTextRange"), pl::AXValueType::CFRange, &range));
    EXPECT_EQ(range, (pl::CFRange{1, 2})) << "the emoji is two units";
    auto count = read("AXNumberOfCharacters");
    ASSERT_EQ(pl::CFGetTypeID(count), pl::TypeID::Number);
    EXPECT_EQ(static_cast<const pl::NumberObject&>(*count).integerValue(), 9);
    pl::ObjectRef piece;
    ASSERT_EQ(ax_->copyParameterizedAttributeValue(field_, "AXStringForRange", pl::makeRange({5, 4}), &piece),
              pl::kAXErrorSuccess);
    EXPECT_EQ(text(piece), "caf\xC3\xA9");
    // A selection the library sets is counted the same way, and reads back at once.
    ASSERT_EQ(ax_->setAttributeValue(field_, "AXSelectedTextRange", pl::makeRange({3, 3})), pl::kAXErrorSuccess);
    EXPECT_EQ(text(read("AXSelectedText")), "b c");
    ASSERT_TRUE(pl::AXValueGetValue(read("AXSelectedTextRange"), pl::AXValueType::CFRange, &range));
    EXPECT_EQ(range, (pl::CFRange{3, 3}));
}

TEST_P(Conformance, ReportsThePlatformsErrorCodes) {
    read("AXNoSuchAttribute", pl::kAXErrorAttributeUnsupported);
    // An attribute the element has without a value: a field that is not secret has no subrole.
    read("AXSubrole", pl::kAXErrorNoValue);
    pl::ObjectRef value;
    EXPECT_EQ(ax_->copyParameterizedAttributeValue(field_, "AXNoSuchParameterizedAttribute", pl::makeRange({0, 1}),
                                                   &value),
              pl::kAXErrorParameterizedAttributeUnsupported);
    // A range that does not lie in the text is refused, not cut to fit.
    EXPECT_EQ(ax_->copyParameterizedAttributeValue(field_, "AXStringForRange", pl::makeRange({7, 5}), &value),
              pl::kAXErrorIllegalArgument);
    EXPECT_EQ(ax_->copyParameterizedAttributeValue(field_, "AXStringForRange", pl::makeRange({-1, 2}), &value),
              pl::kAXErrorIllegalArgument);
    // The application stops answering: its elements cannot complete a request, until it goes on.
    driver().hang();
    read("AXValue", pl::kAXErrorCannotComplete);
    driver().resume();
    EXPECT_TRUE(driver().runUntil([&] {
        pl::ObjectRef v;
        return ax_->copyAttributeValue(field_, "AXValue", &v) == pl::kAXErrorSuccess;
    }, 10)) << "answers again once the application goes on";
}

TEST_P(Conformance, AnElementOfAQuitApplicationIsInvalid) {
    driver().quit();
    EXPECT_TRUE(driver().runUntil([&] {
        pl::ObjectRef v;
        return ax_->copyAttributeValue(field_, "AXValue", &v) == pl::kAXErrorInvalidUIElement;
    }, 5));
    read("AXSelectedTextRange", pl::kAXErrorInvalidUIElement);
}

TEST_P(Conformance, DeliversNotificationsInTheOrderPosted) {
    auto& loop = driver().platform().mainLoop;
    pl::AXObserverRef observer;
    ASSERT_EQ(ax_->observerCreate(driver().pid(), &record, &observer), pl::kAXErrorSuccess);
    for (const char* name : {"AXSelectedTextChanged", "AXFocusedUIElementChanged", "AXWindowMoved", "AXWindowResized"})
        ASSERT_EQ(ax_->observerAddNotification(observer, app_, name, nullptr), pl::kAXErrorSuccess) << name;
    loop.addSource(ax_->observerGetRunLoopSource(observer), pl::kCFRunLoopDefaultMode);

    // Three posted together by the application, in this order.
    driver().selectInField({0, 1});
    driver().focusTextArea();
    driver().selectInTextArea({0, 5});
    driver().runUntil([] { return delivered.size() >= 3; }, 5);
    // The window's own notifications come through another channel on some desktops (X11 on
    // Linux): each is let arrive before the next action.
    driver().moveWindowBy(30, 20);
    driver().runUntil([] { return delivered.size() >= 4; }, 5);
    driver().resizeWindowBy(40, 30);
    driver().runUntil([] { return delivered.size() >= 5; }, 5);
    driver().runUntil([] { return false; }, 0.3);  // nothing more follows
    ASSERT_EQ(names(), (std::vector<std::string>{"AXSelectedTextChanged", "AXFocusedUIElementChanged",
                                                 "AXSelectedTextChanged", "AXWindowMoved", "AXWindowResized"}));
    // Each names the element it concerns.
    EXPECT_TRUE(same(delivered[0].element, field_));
    pl::ObjectRef focused;
    ASSERT_EQ(ax_->copyAttributeValue(app_, "AXFocusedUIElement", &focused), pl::kAXErrorSuccess);
    auto area = std::static_pointer_cast<const pl::UIElement>(focused);
    EXPECT_EQ(text(read(area, "AXRole")), "AXTextArea");
    EXPECT_TRUE(same(delivered[1].element, area));
    EXPECT_TRUE(same(delivered[2].element, area));
    EXPECT_EQ(text(read(area, "AXSelectedText")).size(), 5u);
}

}  // namespace korvale::conformance
