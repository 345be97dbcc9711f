// Calls from a thread other than the library's: each export is refused with one line and changes
// nothing, while the library's own thread keeps running its loop and delivering events. Run under
// AddressSanitizer this is also the check that a refused call touches no state.
#include <atomic>
#include <thread>

#include "TestSupport.h"

namespace korvale::testing {
namespace {

class OtherThread : public DesktopTest {
protected:
    void SetUp() override {
        DesktopTest::SetUp();
        json app = {{"pid", 101}, {"bundle_id", "com.example.editor"}, {"name", "Editor"}, {"focused", "doc"},
                    {"elements", json::array({{{"id", "doc"}, {"role", "AXTextArea"}, {"text", "Hello world"},
                                               {"editable", true}, {"frame", {10, 40, 600, 400}}}})}};
        loadWorld({{"apps", json::array({app})}, {"trusted", true}});
        initMacAccessibility(&recordingCallback);
        start(R"({"com.keep": {"name": "AXRole"}})");
        addBlockedApps(R"(["com.keep"])");
    }
};

TEST_F(OtherThread, EveryExportIsRefusedWithOneLineAndChangesNothing) {
    auto monitor = macAccessibility;
    KorvaleHostCallback callback = observer_callback;
    std::atomic<bool> done{false};
    bool trusted = true, prompted = true;
    int mainResult = -1;

    ::testing::internal::CaptureStdout();
    std::thread other([&] {
        addBlockedApps(R"(["com.other"])");
        start(R"({"com.other": {"name": "AXRole"}})");
        setText("from the other thread");
        getDataForVelaAssist();
        addMouseTracker(nullptr);
        initMacAccessibility(nullptr);
        trusted = isAccessibiltyEnabled();
        prompted = showAccessibiltyPermisionPopup();
        mainResult = mainExport();
        done = true;
    });
    // The library's thread goes on meanwhile: its loop runs and its events arrive.
    perform({{"action", "activate"}, {"pid", 101}});
    while (!done) run(0.01);
    other.join();
    run(1.0);
    std::string out = ::testing::internal::GetCapturedStdout();

    const char* names[] = {"addBlockedApps", "start", "setText", "getDataForVelaAssist", "addMouseTracker",
                           "initMacAccessibility", "isAccessibiltyEnabled", "showAccessibiltyPermisionPopup",
                           "main"};
    std::string expected;
    for (const char* name : names)
        expected += std::string("refused: ") + name + " called from a thread other than the library's\n";
    EXPECT_EQ(out, expected);
    EXPECT_FALSE(trusted) << "the desktop trusts the process: only the refusal says false";
    EXPECT_FALSE(prompted);
    EXPECT_EQ(mainResult, 0);
    EXPECT_EQ(desktop().promptRequests, 0) << "a refused call reached the platform";
    EXPECT_EQ(macAccessibility, monitor);
    EXPECT_EQ(observer_callback, callback);
    EXPECT_EQ(monitor->blockedApps, std::vector<std::string>{"com.keep"});
    EXPECT_EQ(monitor->blockedFiledsList.count("com.other"), 0u);
    ASSERT_EQ(hostEvents().size(), 1u) << "the library's own thread stopped delivering";
    EXPECT_EQ(hostEvents()[0].name, "app_changed");

    // The library's thread is still served as before.
    addBlockedApps(R"(["com.next"])");
    EXPECT_EQ(monitor->blockedApps, std::vector<std::string>{"com.next"});
}

}  // namespace
}  // namespace korvale::testing
