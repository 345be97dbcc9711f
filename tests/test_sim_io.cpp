// The simulated desktop's pasteboard, keyboard and host windows, driven at the platform
// interface: what the library can rely on from them (change counts, typed items, a Command-V that
// really pastes in the other application, handles that are looked up and never followed, mouse
// messages that never reach a released owner).
#include "TestSupport.h"
#include "platform/sim/SimPasteboard.h"
#include "platform/sim/SimWindows.h"

namespace korvale::testing {
namespace {

using platform::CGEvent;
using platform::NSPasteboardTypePNG;
using platform::NSPasteboardTypeString;
using platform::PasteboardFetch;
using platform::PasteboardItem;
using sim::Desktop;
using sim::SimPasteboard;

// One editor application in front, its text area focused with "hello world", "world" selected.
json editorWorld() {
    return {{"apps",
             {{{"pid", 42},
               {"bundle_id", "com.example.editor"},
               {"name", "Editor"},
               {"frontmost", true},
               {"focused", "doc"},
               {"elements",
                {{{"id", "doc"}, {"role", "AXTextArea"}, {"editable", true},
                  {"text", "hello world"}, {"selection", {6, 5}}}}}}}}};
}

class SimPasteboardTest : public DesktopTest {
protected:
    platform::Pasteboard& pasteboard() { return platform::current().pasteboard; }
    json pasteboardState() { return desktop().state()["pasteboard"]; }
};

TEST_F(SimPasteboardTest, EveryWriteMovesTheChangeCount) {
    long start = pasteboard().changeCount();
    EXPECT_EQ(pasteboard().clearContents(), start + 1);
    pasteboard().setString("abc", NSPasteboardTypeString);
    EXPECT_EQ(pasteboard().changeCount(), start + 2);
    pasteboard().writeObjects({PasteboardItem{{{NSPasteboardTypePNG, "png-bytes"}}}});
    EXPECT_EQ(pasteboard().changeCount(), start + 3);
    perform({{"action", "copy_text"}, {"text", "user"}});
    EXPECT_EQ(pasteboard().changeCount(), start + 4) << "a user's copy is a write too";
    // Reads leave it alone.
    pasteboard().pasteboardItems();
    pasteboard().stringForType(NSPasteboardTypeString);
    EXPECT_EQ(pasteboard().changeCount(), start + 4);
}

TEST_F(SimPasteboardTest, ItemsKeepEveryTypeAndPlainTextComesFromTheFirstItem) {
    perform({{"action", "set_pasteboard"},
             {"items", {{{"public.utf8-plain-text", "caption"}, {"public.rtf", "{\\rtf1 caption}"}},
                        {{"public.png", "PNG"}}}}});
    auto read = pasteboard().pasteboardItems();
    ASSERT_TRUE(read.has_value());
    const auto& items = *read;
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0].representations.size(), 2u);
    EXPECT_EQ(items[1].representations, (std::vector<std::pair<std::string, std::string>>{{"public.png", "PNG"}}));
    EXPECT_EQ(pasteboard().stringForType(NSPasteboardTypeString), "caption");

    // Clearing and writing the items back restores the same contents.
    pasteboard().clearContents();
    EXPECT_EQ(pasteboard().stringForType(NSPasteboardTypeString), std::nullopt);
    pasteboard().writeObjects(items);
    EXPECT_EQ(pasteboardState()["items"],
              (json{{{"public.rtf", "{\\rtf1 caption}"}, {"public.utf8-plain-text", "caption"}},
                    {{"public.png", "PNG"}}}));
}

TEST_F(SimPasteboardTest, SetStringWritesIntoTheFirstItemWithoutClearing) {
    perform({{"action", "set_pasteboard"}, {"items", {{{"public.png", "PNG"}}}}});
    pasteboard().setString("", NSPasteboardTypeString);
    EXPECT_EQ(pasteboardState()["items"], (json{{{"public.png", "PNG"}, {"public.utf8-plain-text", ""}}}));
}

TEST_F(SimPasteboardTest, LibraryCallsAreLoggedUserCopiesAreNot) {
    desktop().clearRequests();
    perform({{"action", "copy_text"}, {"text", "secret"}});
    EXPECT_TRUE(desktop().requests().empty());
    pasteboard().pasteboardItems();
    pasteboard().clearContents();
    pasteboard().setString("xyz", NSPasteboardTypeString);
    pasteboard().changeCount();
    const json& log = desktop().requests();
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(log[0]["call"], "pasteboardItems");
    EXPECT_EQ(log[0]["types"], (json{{"public.utf8-plain-text"}})) << "types are logged, not contents";
    EXPECT_EQ(log[1]["call"], "clearContents");
    EXPECT_EQ(log[2]["call"], "setString:forType:");
    EXPECT_EQ(log[3]["call"], "changeCount");
}

TEST_F(SimPasteboardTest, AStoppedOwnerCostsTheReaderItsWaitAndGivesNothing) {
    perform({{"action", "copy_text"}, {"text", "held"}});
    perform({{"action", "pasteboard_owner"}, {"state", "stopped"}});
    desktop().clearRequests();
    EXPECT_EQ(pasteboard().pasteboardItems(), std::nullopt);
    EXPECT_DOUBLE_EQ(now(), SimPasteboard::kStoppedOwnerWait);
    EXPECT_EQ(pasteboard().stringForType(NSPasteboardTypeString), std::nullopt);
    EXPECT_DOUBLE_EQ(now(), 2 * SimPasteboard::kStoppedOwnerWait);
    EXPECT_EQ(desktop().requests()[0], (json{{"call", "pasteboardItems"}, {"answered", false}, {"t", 0.0}}));
    EXPECT_EQ(pasteboardState()["owner"], "stopped");
    // The data is still there: an owner that answers again gives it.
    perform({{"action", "pasteboard_owner"}, {"state", "running"}});
    EXPECT_EQ(pasteboard().stringForType(NSPasteboardTypeString), "held");
    // The library's own write replaces the stopped owner.
    perform({{"action", "pasteboard_owner"}, {"state", "stopped"}});
    pasteboard().clearContents();
    EXPECT_EQ(pasteboard().pasteboardItems(), std::vector<PasteboardItem>{});
}

TEST_F(SimPasteboardTest, AnOwnerThatQuitsTakesItsDataAlong) {
    perform({{"action", "copy_text"}, {"text", "held"}});
    long before = pasteboard().changeCount();
    perform({{"action", "pasteboard_owner"}, {"state", "gone"}});
    EXPECT_EQ(pasteboard().pasteboardItems(), std::vector<PasteboardItem>{});
    EXPECT_EQ(pasteboard().changeCount(), before + 1);
    EXPECT_NE(desktop().perform({{"action", "pasteboard_owner"}, {"state", "asleep"}}), "");
}

TEST_F(SimPasteboardTest, WaitForFetchEndsWhenTheLibrarysDataIsTaken) {
    pasteboard().clearContents();
    pasteboard().setString("mine", NSPasteboardTypeString);
    desktop().scheduleExternal(Desktop::toNs(0.7), [&] {
        EXPECT_EQ(desktop().pasteboard().takeData(NSPasteboardTypeString, 42), "mine");
    });
    // Another application's read does not count when the library waits for application 42.
    desktop().scheduleExternal(Desktop::toNs(0.3), [&] { desktop().pasteboard().takeData(NSPasteboardTypeString, 7); });
    desktop().clearRequests();
    EXPECT_EQ(pasteboard().waitForFetch(42, 2.0), PasteboardFetch::Taken);
    EXPECT_DOUBLE_EQ(now(), 0.7) << "the wait ends when the data is taken";
    EXPECT_EQ(desktop().requests()[0], (json{{"call", "waitForFetch"}, {"pid", 42}, {"result", "taken"}, {"t", 0.7}}));
    EXPECT_EQ(pasteboardState()["fetched_by"], (json{7, 42}));
    EXPECT_EQ(pasteboard().waitForFetch(42, 5.0), PasteboardFetch::Taken) << "taken already: at once";
    EXPECT_DOUBLE_EQ(now(), 0.7);

    // A new write starts over; the user's contents are not the library's to wait for.
    pasteboard().setString("again", NSPasteboardTypeString);
    EXPECT_EQ(pasteboard().waitForFetch(0, 1.5), PasteboardFetch::NotTaken);
    EXPECT_DOUBLE_EQ(now(), 1.5) << "nobody asked: the wait lasts to its deadline";
    perform({{"action", "copy_text"}, {"text", "user"}});
    desktop().pasteboard().takeData(NSPasteboardTypeString, 42);
    EXPECT_EQ(pasteboard().waitForFetch(0, 1.6), PasteboardFetch::NotTaken);
}

TEST_F(SimPasteboardTest, AClipboardManagerCopiesEveryChangeAndMayOfferItAgain) {
    perform({{"action", "clipboard_manager"}, {"pid", 77}, {"retake", true}, {"delay", 0.05}});
    pasteboard().clearContents();
    pasteboard().setString("ours", NSPasteboardTypeString);
    long ours = pasteboard().changeCount();
    EXPECT_EQ(pasteboard().waitForFetch(0, 1.0), PasteboardFetch::Taken) << "the manager's copy is a fetch";
    EXPECT_DOUBLE_EQ(now(), 0.05);
    EXPECT_EQ(pasteboard().waitForFetch(42, 1.0), PasteboardFetch::NotTaken) << "but not application 42's";
    EXPECT_EQ(pasteboard().changeCount(), ours + 1) << "offering the copy again is a write";
    EXPECT_EQ(pasteboard().stringForType(NSPasteboardTypeString), "ours");
    // Its own write does not wake it again; a read of what it offers is no fetch of ours.
    run(1.0);
    EXPECT_EQ(pasteboard().changeCount(), ours + 1);
    desktop().pasteboard().takeData(NSPasteboardTypeString, 42);
    EXPECT_EQ(pasteboard().waitForFetch(42, now()), PasteboardFetch::NotTaken);
    EXPECT_EQ(desktop().perform({{"action", "clipboard_manager"}, {"pid", 0}}), "");
    perform({{"action", "copy_text"}, {"text", "later"}});
    run(1.0);
    EXPECT_EQ(pasteboardState()["change_count"], ours + 2) << "a removed manager does nothing";
}

TEST_F(SimPasteboardTest, BadItemsAreRejected) {
    EXPECT_NE(desktop().perform({{"action", "set_pasteboard"}, {"items", {{{"public.png", 7}}}}}), "");
    EXPECT_NE(desktop().perform({{"action", "copy_text"}}), "");
    EXPECT_NE(desktop().loadWorld({{"pasteboard", {{"items", "text"}}}}), "");
}

class SimKeyboardTest : public DesktopTest {
protected:
    void post(uint16_t key, bool down, uint64_t flags) {
        auto& kb = platform::current().keyboard;
        auto event = kb.createKeyboardEvent(nullptr, key, down);
        ASSERT_NE(event, nullptr);
        platform::CGEventSetFlags(*event, flags);
        kb.post(0, *event);
    }
    void commandV(uint64_t vFlags = 0x100000) {
        post(55, true, 0x100000);
        post(9, true, vFlags);
        post(9, false, vFlags);
        post(55, false, 0x100000);
    }
    std::string docText() { return desktop().state()["elements"]["doc"]["text"]; }
};

TEST_F(SimKeyboardTest, CommandVPastesIntoTheFrontmostApplicationALittleLater) {
    loadWorld(editorWorld());
    perform({{"action", "copy_text"}, {"text", "there"}});
    commandV();
    EXPECT_EQ(docText(), "hello world") << "the other process pastes later, not during the post";
    // It happens while the main thread is held, and reads the pasteboard when it does.
    platform::current().mainLoop.blockUntil(now() + 0.005);
    perform({{"action", "copy_text"}, {"text", "friend"}});
    platform::current().mainLoop.blockUntil(now() + 0.1);
    EXPECT_EQ(docText(), "hello friend");
    json keys = desktop().state()["keystrokes"];
    ASSERT_EQ(keys.size(), 4u);
    EXPECT_EQ(keys[0], (json{{"key", 55}, {"down", true}, {"flags", 0x100000}, {"t", 0.0}}));
    EXPECT_EQ(keys[3]["key"], 55);
    EXPECT_EQ(keys[3]["down"], false);
}

TEST_F(SimKeyboardTest, NoPasteWithoutCommandHeldAndFlaggedOrWithoutPlainText) {
    loadWorld(editorWorld());
    perform({{"action", "copy_text"}, {"text", "X"}});
    post(9, true, 0x100000);  // flag without the Command key held
    post(9, false, 0x100000);
    commandV(0);  // Command held, V without the flag
    run(0.5);
    EXPECT_EQ(docText(), "hello world");
    EXPECT_EQ(desktop().state()["keystrokes"].size(), 6u) << "every event is recorded all the same";
    // A proper Command-V of a pasteboard without plain text pastes nothing either.
    perform({{"action", "set_pasteboard"}, {"items", {{{"public.png", "PNG"}}}}});
    commandV();
    run(0.5);
    EXPECT_EQ(docText(), "hello world");
}

TEST_F(SimKeyboardTest, ASlowPasteHappensLaterAndOnlyWhereAnEditableFieldHasTheFocus) {
    json world = editorWorld();
    world["apps"][0]["paste_delay"] = 2.0;
    loadWorld(world);
    perform({{"action", "copy_text"}, {"text", "there"}});
    commandV();
    platform::current().mainLoop.blockUntil(now() + 1.5);
    EXPECT_EQ(docText(), "hello world") << "a busy application pastes later";
    platform::current().mainLoop.blockUntil(now() + 1.0);
    EXPECT_EQ(docText(), "hello there");
    EXPECT_EQ(desktop().state()["pasteboard"]["fetched_by"], json::array()) << "the user's data, not the library's";

    // The library's data, taken when the paste happens; prompt again once the fault is lifted.
    perform({{"action", "slow_paste"}, {"pid", 42}, {"delay", 0}});
    auto& pasteboard = platform::current().pasteboard;
    pasteboard.clearContents();
    pasteboard.setString("!", NSPasteboardTypeString);
    commandV();
    EXPECT_EQ(pasteboard.waitForFetch(42, now() + 3), PasteboardFetch::Taken);
    EXPECT_EQ(docText(), "hello there!");

    // A field that is not editable asks for nothing: the data is not taken.
    world["apps"][0]["elements"][0]["editable"] = false;
    loadWorld(world);
    pasteboard.clearContents();
    pasteboard.setString("!", NSPasteboardTypeString);
    commandV();
    EXPECT_EQ(pasteboard.waitForFetch(42, now() + 3), PasteboardFetch::NotTaken);
    EXPECT_EQ(docText(), "hello world");
}

// A responder that counts what reaches it and notices being reached after destruction.
struct CountingResponder : platform::Responder {
    explicit CountingResponder(int* destroyedFlag = nullptr) : destroyed(destroyedFlag) {}
    ~CountingResponder() override {
        if (destroyed) *destroyed = 1;
    }
    void mouseEntered() override { ++entered; }
    void mouseExited() override { ++exited; }
    void mouseDown() override { ++downs; }
    int entered = 0, exited = 0, downs = 0;
    int* destroyed;
};

class SimWindowsTest : public DesktopTest {
protected:
    void SetUp() override {
        DesktopTest::SetUp();
        loadWorld({{"windows",
                    {{{"id", "assistant"}, {"content_view", true}, {"frame", {100, 100, 200, 150}}},
                     {{"id", "bare"}, {"content_view", false}, {"frame", {400, 100, 100, 100}}}}},
                   {"pointer", {0, 0}}});
    }
    platform::WindowServer& windows() { return platform::current().windows; }
    platform::WindowRef window(const std::string& id) {
        return windows().windowForHandle(desktop().windows().handleFor(id));
    }
    platform::TrackingAreaRef track(const platform::WindowRef& w, const std::shared_ptr<platform::Responder>& owner,
                                    unsigned options = 0x281) {
        auto area = windows().makeTrackingArea(*windows().contentViewBounds(w), options, owner);
        windows().addTrackingArea(w, area);
        return area;
    }
    // A counting owner of an area on the assistant's window.
    std::shared_ptr<CountingResponder> tracked(unsigned options = 0x281) {
        auto owner = std::make_shared<CountingResponder>();
        track(window("assistant"), owner, options);
        return owner;
    }
    void movePointer(double x, double y) { perform({{"action", "move_pointer"}, {"to", {x, y}}}); }
};

TEST_F(SimWindowsTest, HandlesAreLookedUpAmongLiveWindowsOnly) {
    EXPECT_NE(window("assistant"), nullptr);
    EXPECT_EQ(desktop().windows().handleFor("nowhere"), nullptr);
    int local = 0;
    EXPECT_EQ(windows().windowForHandle(&local), nullptr);
    EXPECT_EQ(windows().windowForHandle(reinterpret_cast<void*>(uintptr_t{0x10})), nullptr);
    EXPECT_EQ(windows().windowForHandle(nullptr), nullptr);
    void* stale = desktop().windows().handleFor("assistant");
    perform({{"action", "close_host_window"}, {"window", "assistant"}});
    EXPECT_EQ(windows().windowForHandle(stale), nullptr) << "a closed window's handle still answered";
    // A new window of the same name gets a new handle; the old one stays dead.
    perform({{"action", "open_host_window"}, {"id", "assistant"}, {"frame", {0, 0, 10, 10}}});
    EXPECT_EQ(windows().windowForHandle(stale), nullptr);
}

TEST_F(SimWindowsTest, EnterAndExitReachTheOwnerOnTheMainLoopOnly) {
    auto owner = tracked();
    movePointer(150, 150);
    EXPECT_EQ(owner->entered, 0) << "delivered on the mover's stack instead of the main loop";
    platform::current().mainLoop.blockUntil(now() + 1);
    EXPECT_EQ(owner->entered, 0) << "delivered while the main thread was held";
    run(0);
    EXPECT_EQ(owner->entered, 1);
    movePointer(160, 160);  // still inside: nothing
    movePointer(500, 500);
    run(0);
    EXPECT_EQ(owner->entered, 1);
    EXPECT_EQ(owner->exited, 1);
}

TEST_F(SimWindowsTest, AnAreaFollowsTheVisibleRectOnlyWhenAskedTo) {
    auto follows = tracked(0x281);
    auto fixed = tracked(0x81);
    perform({{"action", "resize_host_window"}, {"window", "assistant"}, {"size", {400, 300}}});
    movePointer(350, 350);  // inside the new size only
    run(0);
    EXPECT_EQ(follows->entered, 1);
    EXPECT_EQ(fixed->entered, 0);
}

TEST_F(SimWindowsTest, WithoutAlwaysActiveAnInactiveHostGetsNoMessages) {
    auto owner = tracked(0x201);
    movePointer(150, 150);
    run(0);
    EXPECT_EQ(owner->entered, 0);
    perform({{"action", "set_host_active"}, {"active", true}});
    movePointer(0, 0);
    run(0);
    EXPECT_EQ(owner->exited, 1);
}

TEST_F(SimWindowsTest, NoContentViewNoArea) {
    auto w = window("bare");
    EXPECT_EQ(windows().contentViewBounds(w), std::nullopt);
    auto owner = std::make_shared<CountingResponder>();
    auto area = windows().makeTrackingArea({}, 0x281, owner);
    EXPECT_FALSE(windows().addTrackingArea(w, area));
    movePointer(450, 150);
    run(0);
    EXPECT_EQ(owner->entered, 0);
}

TEST_F(SimWindowsTest, ClosingReleasesTheAreasAndTheirOwnersAndDropsPendingMessages) {
    int destroyed = 0;
    auto w = window("assistant");
    {
        auto owner = std::make_shared<CountingResponder>(&destroyed);
        track(w, owner);
        movePointer(150, 150);  // a message is now waiting on the main loop
        perform({{"action", "close_host_window"}, {"window", "assistant"}});
    }
    w.reset();
    EXPECT_EQ(destroyed, 1) << "the window kept what it refers to";
    run(0);  // the waiting message finds its window gone and is dropped
    EXPECT_EQ(desktop().state()["mouse_messages"], json::array());
}

TEST_F(SimWindowsTest, ReleasedOwnerGetsNothing) {
    auto owner = tracked();
    std::weak_ptr<CountingResponder> weak = owner;
    owner.reset();
    movePointer(150, 150);
    run(0);
    EXPECT_TRUE(weak.expired());
    EXPECT_EQ(desktop().state()["mouse_messages"], json::array());
    EXPECT_EQ(desktop().state()["windows"][0]["tracking_areas"][0]["owner_alive"], false);
}

// The host's own delegate: named by the world, it hears its window's moves, resizes, clicks and
// closing, whatever the tracking areas on the window.
TEST_F(SimWindowsTest, TheHostsDelegateHearsItsWindow) {
    loadWorld({{"windows", {{{"id", "assistant"}, {"delegate", "Controller"}, {"frame", {100, 100, 200, 150}}},
                            {{"id", "plain"}, {"frame", {400, 100, 100, 100}}}}},
               {"pointer", {0, 0}}});
    auto owner = tracked();
    EXPECT_EQ(desktop().state()["windows"][0]["delegate"], "Controller");
    EXPECT_EQ(desktop().state()["windows"][1]["delegate"], nullptr);
    perform({{"action", "mouse_down"}});  // outside every window
    movePointer(120, 120);
    perform({{"action", "mouse_down"}});
    EXPECT_EQ(desktop().state()["delegate_messages"], json::array()) << "a click delivered off the main loop";
    run(0);
    perform({{"action", "resize_host_window"}, {"window", "assistant"}, {"size", {300, 200}}});
    perform({{"action", "resize_host_window"}, {"window", "assistant"}, {"frame", {110, 100, 300, 200}}});
    perform({{"action", "resize_host_window"}, {"window", "plain"}, {"size", {10, 10}}});  // no delegate
    perform({{"action", "close_host_window"}, {"window", "assistant"}});
    std::vector<std::string> heard;
    const json state = desktop().state();
    for (const auto& m : state["delegate_messages"]) {
        EXPECT_EQ(m["window"], "assistant");
        EXPECT_EQ(m["delegate"], "Controller");
        heard.push_back(m["message"]);
    }
    EXPECT_EQ(heard, (std::vector<std::string>{"mouseDown:", "windowDidResize:", "windowDidMove:", "windowWillClose:"}));
    EXPECT_EQ(owner->downs, 0) << "a click reached a tracking area's owner";
    EXPECT_EQ(owner->entered, 1);
    EXPECT_NE(desktop().loadWorld({{"windows", {{{"id", "w"}, {"delegate", 3}}}}}), "");
}

// Displays: the main one starts at the screen origin; things placed on another display are kept
// in screen points, negative left of and above the main display.
TEST_F(SimWindowsTest, ADisplayLeftOfAndAboveTheMainOnePlacesWindowsAtNegativeCoordinates) {
    const json displays = {{{"id", "main"}, {"frame", {0, 0, 1440, 900}}},
                           {{"id", "left"}, {"frame", {-1280, -1024, 1280, 1024}}}};
    loadWorld({{"displays", displays},
               {"windows", {{{"id", "assistant"}, {"display", "left"}, {"frame", {100, 200, 300, 200}}}}}});
    EXPECT_EQ(desktop().state()["displays"], displays);
    EXPECT_EQ(desktop().state()["windows"][0]["frame"], json({-1180, -824, 300, 200}));
    auto owner = tracked();
    perform({{"action", "move_pointer"}, {"display", "left"}, {"to", {150, 250}}});
    run(0);
    EXPECT_EQ(owner->entered, 1);
    EXPECT_EQ(desktop().state()["pointer"], json({-1130, -774}));
    movePointer(150, 250);  // the same numbers on the main display: outside
    run(0);
    EXPECT_EQ(owner->exited, 1);
    perform({{"action", "resize_host_window"}, {"window", "assistant"}, {"display", "main"},
             {"frame", {10, 20, 30, 40}}});
    EXPECT_EQ(desktop().state()["windows"][0]["frame"], json({10, 20, 30, 40}));
}

TEST_F(SimWindowsTest, DisplaysAreCheckedWhenTheWorldLoads) {
    EXPECT_EQ(desktop().state()["displays"], json({{{"id", "main"}, {"frame", {0, 0, 1440, 900}}}}));
    auto error = [&](const json& world) { return desktop().loadWorld(world); };
    EXPECT_NE(error({{"displays", {{{"id", "side"}, {"frame", {-10, 0, 100, 100}}}}}}), "")
        << "a main display away from the origin was accepted";
    EXPECT_NE(error({{"displays", json::array()}}), "");
    EXPECT_NE(error({{"displays", {{{"id", "a"}, {"frame", {0, 0, 10, 10}}}, {{"id", "a"}, {"frame", {10, 0, 10, 10}}}}}}), "");
    EXPECT_NE(error({{"displays", {{{"id", "a"}, {"frame", {0, 0, 0, 10}}}}}}), "");
    EXPECT_NE(error({{"windows", {{{"id", "w"}, {"display", "nowhere"}}}}}), "");
    EXPECT_NE(error({{"apps", {{{"pid", 5}, {"elements", {{{"id", "e"}, {"display", "nowhere"}, {"frame", {0, 0, 1, 1}}}}}}}}}), "");
    // An element's display reaches its children; a child may name its own.
    ASSERT_EQ(error({{"displays", {{{"id", "main"}, {"frame", {0, 0, 100, 100}}},
                                   {{"id", "up"}, {"frame", {0, -50, 100, 50}}}}},
                     {"apps", {{{"pid", 5}, {"elements", {{{"id", "w"}, {"display", "up"}, {"frame", {1, 2, 50, 40}},
                        {"children", {{{"id", "c"}, {"frame", {3, 4, 5, 6}}},
                                      {{"id", "m"}, {"display", "main"}, {"frame", {7, 8, 9, 10}}}}}}}}}}}}),
              "");
    auto& ax = platform::current().accessibility;
    auto children = [&](const platform::ElementRef& element) {
        platform::ObjectRef value;
        EXPECT_EQ(ax.copyAttributeValue(element, "AXChildren", &value), platform::kAXErrorSuccess);
        std::vector<platform::ElementRef> out;
        if (auto array = std::dynamic_pointer_cast<const platform::ArrayObject>(value))
            for (const auto& v : array->values)
                out.push_back(std::dynamic_pointer_cast<const platform::UIElement>(v));
        return out;
    };
    auto frame = [&](const platform::ElementRef& element) {
        platform::ObjectRef value;
        platform::CGRect r{};
        EXPECT_EQ(ax.copyAttributeValue(element, "AXFrame", &value), platform::kAXErrorSuccess);
        EXPECT_TRUE(platform::AXValueGetValue(value, platform::AXValueType::CGRect, &r));
        return json{r.origin.x, r.origin.y, r.size.width, r.size.height};
    };
    auto roots = children(ax.createApplication(5));
    ASSERT_EQ(roots.size(), 1u);
    auto inner = children(roots[0]);
    ASSERT_EQ(inner.size(), 2u);
    EXPECT_EQ(frame(roots[0]), json({1, -48, 50, 40}));
    EXPECT_EQ(frame(inner[0]), json({3, -46, 5, 6}));
    EXPECT_EQ(frame(inner[1]), json({7, 8, 9, 10}));
}

TEST_F(SimWindowsTest, ActivationPolicyNeedsTheSharedApplication) {
    EXPECT_TRUE(windows().setActivationPolicy(1));
    EXPECT_EQ(desktop().state()["activation_policy"], 1);
    loadWorld({{"shared_application", false}});
    EXPECT_FALSE(windows().setActivationPolicy(1));
    EXPECT_EQ(desktop().state()["activation_policy"], nullptr);
}

TEST_F(SimWindowsTest, ScheduledUserActionsHappenAtTheirTimeEvenWhileTheMainThreadIsHeld) {
    perform({{"action", "at"}, {"time", 0.5}, {"do", {{"action", "copy_text"}, {"text", "later"}}}});
    platform::current().mainLoop.blockUntil(0.49);
    EXPECT_EQ(desktop().state()["pasteboard"]["items"], json::array());
    platform::current().mainLoop.blockUntil(0.5);
    EXPECT_EQ(desktop().state()["pasteboard"]["items"], (json{{{"public.utf8-plain-text", "later"}}}));
    EXPECT_NE(desktop().perform({{"action", "at"}, {"time", 1}, {"do", 3}}), "");
}

}  // namespace
}  // namespace korvale::testing
