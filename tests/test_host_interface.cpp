// The C interface: the permission exports, the blocked-application list, host strings and JSON
// (bad text, wrong shapes, top-level scalars, ill-formed UTF-8, NULL pointers), calls before
// initMacAccessibility, and `main` between calls.
#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "HostText.h"
#include "TestSupport.h"

namespace korvale::testing {
namespace {

class HostInterface : public DesktopTest {};

const std::string kParseErrorPrefix = "Error deserializing JSON: ";

bool startsWith(const std::string& s, const std::string& prefix) { return s.rfind(prefix, 0) == 0; }

// An untrusted process's checks (the prompt only when asked) are played in
// host_lists_and_permission.json.
TEST_F(HostInterface, ATrustedProcessIsNeverPromptedAndNeedsNoMonitor) {
    EXPECT_EQ(macAccessibility, nullptr);
    EXPECT_TRUE(isAccessibiltyEnabled());
    loadWorld({{"trusted", true}});
    EXPECT_TRUE(isAccessibiltyEnabled());
    EXPECT_TRUE(showAccessibiltyPermisionPopup());
    EXPECT_EQ(desktop().promptRequests, 0) << "a trusted process needs no prompt";
}

TEST_F(HostInterface, BlockedAppsReplaceTheWholeList) {
    initMacAccessibility(&recordingCallback);
    addBlockedApps(R"(["com.a", "com.b"])");
    EXPECT_EQ(macAccessibility->blockedApps, (std::vector<std::string>{"com.a", "com.b"}));
    addBlockedApps(R"(["com.c"])");
    EXPECT_EQ(macAccessibility->blockedApps, (std::vector<std::string>{"com.c"}));
    addBlockedApps("[]");
    EXPECT_TRUE(macAccessibility->blockedApps.empty());
    EXPECT_TRUE(stdoutLines().empty());
}

// Wrong shapes change the list silently not at all; text that is not a JSON array or object prints
// one line with the parser's message, and keeps the list too.
TEST_F(HostInterface, BadBlockedAppsTextKeepsTheList) {
    initMacAccessibility(&recordingCallback);
    addBlockedApps(R"(["com.keep"])");
    const std::pair<const char*, bool> table[] = {  // text, prints a parse error
        {R"([1, "com.x"])", false}, {R"({"com.x": true})", false}, {R"([["nested"]])", false},
        {R"([null])", false},       {"not json", true},           {"[\"unterminated", true},
        {"", true},                 {"[1,]", true},               {"{\"a\":1} trailing", true},
        {"42", true},               {"\"com.x\"", true},          {"true", true},
        {"null", true}};
    for (const auto& [text, printsError] : table) {
        SCOPED_TRACE(text);
        std::size_t before = stdoutLines().size();
        addBlockedApps(text);
        ASSERT_EQ(stdoutLines().size(), before + (printsError ? 1 : 0));
        if (printsError) {
            EXPECT_TRUE(startsWith(stdoutLines().back(), kParseErrorPrefix)) << stdoutLines().back();
            EXPECT_GT(stdoutLines().back().size(), kParseErrorPrefix.size()) << "no parser message";
        }
        EXPECT_EQ(macAccessibility->blockedApps, (std::vector<std::string>{"com.keep"}));
    }
}

TEST_F(HostInterface, IllFormedUTF8BecomesReplacementCharacters) {
    initMacAccessibility(&recordingCallback);
    addBlockedApps("[\"com.\xFF\xC3x\"]");
    ASSERT_EQ(macAccessibility->blockedApps.size(), 1u);
    EXPECT_EQ(macAccessibility->blockedApps[0], "com.\xEF\xBF\xBD\xEF\xBF\xBDx");
    EXPECT_EQ(decodeHostString("ok \xF0\x9F\x98\x80"), "ok \xF0\x9F\x98\x80") << "valid text is kept";
    EXPECT_FALSE(decodeHostString(nullptr).has_value());
}

TEST_F(HostInterface, NullStringsAreIgnored) {
    initMacAccessibility(&recordingCallback);
    addBlockedApps(R"(["com.keep"])");
    addBlockedApps(nullptr);
    start(nullptr);
    setText(nullptr);
    EXPECT_EQ(macAccessibility->blockedApps, (std::vector<std::string>{"com.keep"}));
    // start runs before its argument is looked at; a NULL list prints nothing of its own.
    EXPECT_EQ(stdoutLines(), (std::vector<std::string>{"Accessibility is enabled"}));
}

TEST_F(HostInterface, ExportsBeforeInitDoNothingAndNeverEndTheProcess) {
    addBlockedApps(R"(["com.a"])");
    start("{}");
    setText("replacement");
    getDataForVelaAssist();
    int notAWindow = 0;
    addMouseTracker(&notAWindow);
    addMouseTracker(nullptr);
    run(1.0);
    EXPECT_EQ(macAccessibility, nullptr);
    EXPECT_TRUE(hostEvents().empty());
    EXPECT_TRUE(stdoutLines().empty());
    EXPECT_DOUBLE_EQ(now(), 1.0) << "setText before init must not block";
}

TEST_F(HostInterface, MainResetsTheGlobalsAndLaterCallsAreSafe) {
    initMacAccessibility(&recordingCallback);
    callbackWraper("caret", json::object());
    EXPECT_EQ(mainExport(), 0);
    EXPECT_EQ(macAccessibility, nullptr);
    EXPECT_EQ(observer_callback, nullptr);
    EXPECT_FALSE(eventParams.has_value());
    run(0.5);  // the pending delivery finds an empty slot
    EXPECT_TRUE(hostEvents().empty());
    addBlockedApps(R"(["com.a"])");
    getDataForVelaAssist();
    initMacAccessibility(&recordingCallback);
    callbackWraper("caret", json::object());
    run(0.2);
    EXPECT_EQ(hostEvents().size(), 1u);
}

TEST_F(HostInterface, SecondInitReplacesMonitorAndCallback) {
    initMacAccessibility(&recordingCallback);
    auto first = macAccessibility;
    initMacAccessibility(&recordingCallback);
    EXPECT_NE(macAccessibility, first);
    EXPECT_TRUE(macAccessibility->blockedApps.empty());
    EXPECT_TRUE(macAccessibility->getBasicAppInfo().empty());
}

TEST(HostText, CanonicallyEquivalentStringsAreEqualButCaseMatters) {
    EXPECT_TRUE(canonicallyEqual("caf\xC3\xA9", "cafe\xCC\x81"));  // precomposed vs combining
    EXPECT_FALSE(canonicallyEqual("com.Example", "com.example"));
    EXPECT_FALSE(canonicallyEqual("a", "b"));
    EXPECT_TRUE(canonicallyEqual("", ""));
}

std::vector<std::string> dynamicSymbols(const char* lib) {
    std::string command = std::string("nm -D --defined-only ") + lib + " | awk '{print $3}'";
    FILE* pipe = popen(command.c_str(), "r");
    std::vector<std::string> symbols;
    if (!pipe) return symbols;
    char line[512];
    while (std::fgets(line, sizeof line, pipe)) {
        std::string s(line);
        while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
        if (!s.empty()) symbols.push_back(s);
    }
    EXPECT_EQ(pclose(pipe), 0);
    return symbols;
}

const std::vector<std::string> kNineExports = {
    "main", "initMacAccessibility", "isAccessibiltyEnabled", "showAccessibiltyPermisionPopup",
    "addBlockedApps", "start", "setText", "getDataForVelaAssist", "addMouseTracker"};

// The production library exports the nine functions and nothing else: a host cannot switch itself
// onto the simulated desktop, which is not in it.
TEST(Exports, ProductionLibraryExportsExactlyTheNine) {
    auto symbols = dynamicSymbols(KORVALE_LIBRARY_PATH);
    std::sort(symbols.begin(), symbols.end());
    auto nine = kNineExports;
    std::sort(nine.begin(), nine.end());
    EXPECT_EQ(symbols, nine);
}

// The simulated desktop's library adds its control API, nothing else.
TEST(Exports, SimulatorLibraryAddsOnlyTheControlAPI) {
    auto symbols = dynamicSymbols(KORVALE_SIM_LIBRARY_PATH);
    for (const auto& name : kNineExports)
        EXPECT_NE(std::find(symbols.begin(), symbols.end(), name), symbols.end()) << name << " missing";
    for (const auto& s : symbols)
        EXPECT_TRUE(std::find(kNineExports.begin(), kNineExports.end(), s) != kNineExports.end() ||
                    startsWith(s, "ksim_"))
            << "unexpected export " << s;
    EXPECT_NE(std::find(symbols.begin(), symbols.end(), "ksim_backend"), symbols.end());
}

}  // namespace
}  // namespace korvale::testing
