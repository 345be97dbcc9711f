// The macOS backend's C-level half over the fake C functions: value conversion both ways with
// exact reference counts, the accessibility service's answers and error codes, observers that
// deliver only in the mode their source was added for, the messaging timeout, and the fake's own
// detection of an over-release or a leak (so that a mistake in the backend fails a test).
#include <gtest/gtest.h>

#include <ApplicationServices/ApplicationServices.h>

#include "FakeCF.h"
#include "platform/Platform.h"
#include "platform/macos/MacAxService.h"
#include "platform/macos/MacTextMarker.h"
#include "platform/macos/MacValues.h"
#include "platform/sim/SimDesktop.h"

namespace {

namespace pl = korvale::platform;
using korvale::macos::CFOwner;
using korvale::macos::toCF;
using korvale::macos::toPlatform;

pl::AccessibilityService& ax() { return pl::current().accessibility; }

const char* kWorld = R"({
  "apps": [{"pid": 101, "name": "Editor", "focused": "doc", "elements": [
    {"id": "win", "role": "AXWindow", "frame": [0, 0, 800, 600], "children": [
      {"id": "doc", "role": "AXTextArea", "text": "h\u00e9llo \ud83d\ude00 world", "selection": [0, 5],
       "editable": true, "frame": [10, 40, 600, 400]}]}]}]
})";

class MacFake : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(korvale::sim::Desktop::instance().loadWorld(nlohmann::json::parse(kWorld)), "");
        baseline_ = korvale::macfake::liveObjects();
    }
    // Every CF object a test made is gone once the platform values holding them are dropped.
    void expectNoObjectsLeft() {
        EXPECT_EQ(korvale::macfake::liveObjects(), baseline_)
            << "still alive: " << ::testing::PrintToString(korvale::macfake::describeLiveObjects());
    }
    long baseline_ = 0;
};

TEST_F(MacFake, StringsCrossAsUtf16WithoutLossAndWithoutLeaks) {
    {
        auto cf = toCF(pl::makeString("h\xC3\xA9llo \xF0\x9F\x98\x80"));
        ASSERT_TRUE(cf);
        EXPECT_EQ(CFStringGetLength(static_cast<CFStringRef>(cf.get())), 8) << "é is one unit, 😀 two";
        auto back = toPlatform(cf.get());
        EXPECT_EQ(static_cast<const pl::StringObject&>(*back).value, "h\xC3\xA9llo \xF0\x9F\x98\x80");
        EXPECT_EQ(CFGetRetainCount(cf.get()), 1) << "conversion must not keep or drop a reference";
        // An unpaired surrogate from another application becomes U+FFFD, not a failure.
        const UniChar lone[] = {u'a', 0xD800, u'b'};
        auto odd = CFOwner<CFStringRef>::adopt(CFStringCreateWithCharacters(kCFAllocatorDefault, lone, 3));
        EXPECT_EQ(static_cast<const pl::StringObject&>(*toPlatform(odd.get())).value, "a\xEF\xBF\xBD" "b");
    }
    expectNoObjectsLeft();
}

TEST_F(MacFake, NumbersBooleansArraysAndDictionariesConvertBothWays) {
    {
        auto integer = toCF(pl::makeInteger(42));
        auto real = toCF(pl::makeReal(2.5));
        EXPECT_FALSE(CFNumberIsFloatType(static_cast<CFNumberRef>(integer.get())));
        EXPECT_EQ(static_cast<const pl::NumberObject&>(*toPlatform(integer.get())).integerValue(), 42);
        EXPECT_DOUBLE_EQ(static_cast<const pl::NumberObject&>(*toPlatform(real.get())).real, 2.5);
        auto yes = toCF(pl::makeBoolean(true));
        EXPECT_EQ(yes.get(), static_cast<CFTypeRef>(kCFBooleanTrue));
        EXPECT_EQ(pl::CFGetTypeID(toPlatform(yes.get())), pl::TypeID::Boolean);

        auto array = std::make_shared<pl::ArrayObject>(std::vector<pl::ObjectRef>{pl::makeString("a"), pl::makeInteger(1)});
        auto cfArray = toCF(array);
        ASSERT_TRUE(cfArray);
        EXPECT_EQ(CFArrayGetCount(static_cast<CFArrayRef>(cfArray.get())), 2);
        auto back = std::static_pointer_cast<const pl::ArrayObject>(toPlatform(cfArray.get()));
        ASSERT_EQ(back->values.size(), 2u);
        EXPECT_EQ(static_cast<const pl::StringObject&>(*back->values[0]).value, "a");

        auto dict = std::make_shared<pl::DictionaryObject>(std::map<std::string, pl::ObjectRef>{
            {"AXTrustedCheckOptionPrompt", pl::makeBoolean(false)}, {"n", pl::makeInteger(7)}});
        auto cfDict = toCF(dict);
        auto dictBack = std::static_pointer_cast<const pl::DictionaryObject>(toPlatform(cfDict.get()));
        EXPECT_EQ(static_cast<const pl::NumberObject&>(*dictBack->get("n")).integerValue(), 7);
    }
    expectNoObjectsLeft();
}

TEST_F(MacFake, ValueBoxesKeepTheirKindAndMarkersTheirBytes) {
    {
        pl::CFRange range{3, 0};
        auto box = toCF(pl::AXValueCreate(pl::AXValueType::CFRange, &range));
        EXPECT_EQ(AXValueGetType(static_cast<AXValueRef>(box.get())), kAXValueTypeCFRange);
        pl::CFRange out{};
        EXPECT_TRUE(pl::AXValueGetValue(toPlatform(box.get()), pl::AXValueType::CFRange, &out));
        EXPECT_EQ(out, range) << "a zero length survives";
        auto size = toPlatform(toCF(pl::makeSize({3, 4})).get());
        EXPECT_EQ(pl::AXValueGetType(size), pl::AXValueType::CGSize);
        auto rect = toPlatform(toCF(pl::makeRect({{1, 2}, {3, 4}})).get());
        pl::CGPoint notAPoint{};
        EXPECT_FALSE(pl::AXValueGetValue(rect, pl::AXValueType::CGPoint, &notAPoint));

        auto start = std::make_shared<pl::TextMarker>(std::string("\x00\x01start", 7));
        auto end = std::make_shared<pl::TextMarker>(std::string("end\xff", 4));
        auto cfRange = toCF(std::make_shared<pl::TextMarkerRange>(start, end));
        ASSERT_EQ(CFGetTypeID(cfRange.get()), AXTextMarkerRangeGetTypeID());
        auto back = std::static_pointer_cast<const pl::TextMarkerRange>(toPlatform(cfRange.get()));
        EXPECT_EQ(back->start->data, start->data);
        EXPECT_EQ(back->end->data, end->data);
    }
    expectNoObjectsLeft();
}

// The attribute answers, UTF-16 offsets and error codes are the conformance cases
// (test_backend_conformance.cpp); here what is the macOS service's own.
TEST_F(MacFake, TheServiceAnswersWithThePlatformsCodesAndValues) {
    {
        pl::ElementRef app = ax().createApplication(101);
        ASSERT_TRUE(app);
        EXPECT_EQ(app->processIdentifier(), 101);
        EXPECT_FLOAT_EQ(korvale::macfake::messagingTimeoutFor(101), korvale::macos::kMessagingTimeoutSeconds);
        pl::ObjectRef focused;
        ASSERT_EQ(ax().copyAttributeValue(app, "AXFocusedUIElement", &focused), pl::kAXErrorSuccess);
        auto doc = std::static_pointer_cast<const pl::UIElement>(focused);
        pl::ObjectRef again;
        ax().copyAttributeValue(app, "AXFocusedUIElement", &again);
        EXPECT_TRUE(pl::CFEqual(doc, std::static_pointer_cast<const pl::UIElement>(again)))
            << "two handles of one element compare equal";
        EXPECT_EQ(doc->hash(), std::static_pointer_cast<const pl::UIElement>(again)->hash());

        pl::ObjectRef none;
        EXPECT_EQ(ax().copyAttributeValue(doc, "AXNoSuchAttribute", &none), pl::kAXErrorAttributeUnsupported);
        EXPECT_FALSE(none);
        EXPECT_TRUE(ax().isProcessTrustedWithOptions(false));
        // Every other kind of answer once: none may keep or drop a reference.
        pl::ObjectRef out;
        bool settable = false;
        ax().copyAttributeValue(doc, "AXSelectedTextRange", &out);
        ax().copyAttributeValue(doc, "AXNumberOfCharacters", &out);
        ax().copyParameterizedAttributeValue(doc, "AXStringForRange", pl::makeRange({6, 2}), &out);
        ax().copyAttributeNames(doc, &out);
        ax().isAttributeSettable(doc, "AXSelectedTextRange", &settable);
        EXPECT_EQ(ax().setAttributeValue(doc, "AXSelectedTextRange", pl::makeRange({1, 2})), pl::kAXErrorSuccess);
    }
    expectNoObjectsLeft();
}

int deliveries = 0;
std::string lastNotification;
void countDelivery(const pl::AXObserverRef&, const pl::ElementRef& element, const std::string& name, void* refcon) {
    ++deliveries;
    lastNotification = name + "@" + std::to_string(element->processIdentifier()) +
                       (refcon == &deliveries ? "" : " (wrong context)");
}

TEST_F(MacFake, ObserversDeliverOnlyInTheModeTheirSourceWasAddedFor) {
    deliveries = 0;
    auto& desktop = korvale::sim::Desktop::instance();
    {
        pl::ElementRef app = ax().createApplication(101);
        pl::AXObserverRef observer;
        ASSERT_EQ(ax().observerCreate(101, &countDelivery, &observer), pl::kAXErrorSuccess);
        ASSERT_EQ(ax().observerAddNotification(observer, app, "AXSelectedTextChanged", &deliveries), pl::kAXErrorSuccess);
        EXPECT_EQ(ax().observerAddNotification(observer, app, "AXSelectedTextChanged", &deliveries),
                  pl::kAXErrorNotificationAlreadyRegistered);
        pl::current().mainLoop.addSource(ax().observerGetRunLoopSource(observer), pl::kCFRunLoopDefaultMode);
        ASSERT_EQ(desktop.perform({{"action", "select"}, {"element", "doc"}, {"range", {0, 3}}}), "");
        desktop.run(0.01, pl::NSEventTrackingRunLoopMode);
        EXPECT_EQ(deliveries, 0) << "not while the loop tracks events";
        desktop.run(0.01);
        EXPECT_EQ(deliveries, 1);
        EXPECT_EQ(lastNotification, "AXSelectedTextChanged@101");
        pl::AXObserverRef gone;
        EXPECT_NE(ax().observerCreate(999, &countDelivery, &gone), pl::kAXErrorSuccess);
        EXPECT_FALSE(gone);
    }
    // The loop keeps the attached source (and so its observer) until the world is replaced.
}

int faults = 0;
std::string lastFault;
void recordFault(const std::string& message) {
    ++faults;
    lastFault = message;
}

TEST_F(MacFake, TheFakeReportsAGetResultReleasedAsIfCopiedAndACopyNeverReleased) {
    faults = 0;
    korvale::macfake::setFaultHandler(&recordFault);
    {
        pl::AXObserverRef observer;
        ASSERT_EQ(ax().observerCreate(101, &countDelivery, &observer), pl::kAXErrorSuccess);
        auto* mac = dynamic_cast<korvale::macos::MacObserver*>(observer.get());
        ASSERT_NE(mac, nullptr);
        // A Get result adopted as if it were a copy: the owner releases what it never retained.
        { auto wrong = CFOwner<CFRunLoopSourceRef>::adopt(AXObserverGetRunLoopSource(mac->ref())); }
        EXPECT_EQ(faults, 0) << "the reference the observer held was spent by the wrong owner";
    }
    // The observer goes, and releases its source once more than it was retained.
    EXPECT_EQ(faults, 1);
    EXPECT_NE(lastFault.find("over-release"), std::string::npos) << lastFault;
    korvale::macfake::setFaultHandler(nullptr);

    // A copy nobody releases stays on the fake's list of live objects.
    long before = korvale::macfake::liveObjects();
    CFTypeRef leaked = nullptr;
    {
        pl::ElementRef app = ax().createApplication(101);
        auto* mac = dynamic_cast<const korvale::macos::MacElement*>(app.get());
        ASSERT_EQ(AXUIElementCopyAttributeValue(mac->ref(), CFSTR("AXRole"), &leaked), kAXErrorSuccess);
    }
    EXPECT_EQ(korvale::macfake::liveObjects(), before + 1);
    CFRelease(leaked);
    EXPECT_EQ(korvale::macfake::liveObjects(), before);
}

}  // namespace
