// Bounded host input: JSON nested without end, text of megabytes, and diagnostic lines that echo
// what the host sent. Each is refused with one short line, never a crash, a freeze or a line of
// megabytes; lists stay as they were; setText says when it did not paste.
#include <string>

#include "HostText.h"
#include "TestSupport.h"

namespace korvale::testing {
namespace {

class BoundedInput : public DesktopTest {
protected:
    void SetUp() override {
        DesktopTest::SetUp();
        initMacAccessibility(&recordingCallback);
    }
};

std::string nested(int levels, const char* open, const char* close, const std::string& inner = "") {
    std::string s;
    s.reserve(levels * 2 + inner.size());
    for (int i = 0; i < levels; ++i) s += open;
    s += inner;
    for (int i = 0; i < levels; ++i) s += close;
    return s;
}

const std::string kDepthLine = "Error deserializing JSON: nesting deeper than 100 levels";

TEST_F(BoundedInput, DeepNestingIsRefusedWithOneLineNotACrash) {
    addBlockedApps(R"(["com.keep"])");
    start(R"({"com.keep": {"name": "AXRole"}})");
    const std::string deepArray = nested(100000, "[", "]");  // about 200 KB
    addBlockedApps(deepArray.c_str());
    std::string deepObject = "{\"a\":" + nested(100000, "{\"a\":", "}", "1") + "}";
    start(deepObject.c_str());
    EXPECT_EQ(stdoutLines(), (std::vector<std::string>{"Accessibility is enabled", kDepthLine,
                                                       "Accessibility is enabled", kDepthLine}));
    EXPECT_EQ(macAccessibility->blockedApps, std::vector<std::string>{"com.keep"});
    ASSERT_EQ(macAccessibility->blockedFiledsList.size(), 1u);
    EXPECT_TRUE(macAccessibility->blockedFiledsList.count("com.keep"));
}

TEST_F(BoundedInput, NestingUpToTheLimitIsAccepted) {
    // A field rule may carry values of any shape; 100 levels in all still parse.
    start(("{\"com.a\": {\"name\": \"AXRole\", \"extra\": " + nested(98, "[", "]") + "}}").c_str());
    EXPECT_EQ(stdoutLines(), std::vector<std::string>{"Accessibility is enabled"});
    EXPECT_EQ(macAccessibility->blockedFiledsList.size(), 1u);
    start(("{\"com.b\": {\"name\": \"AXRole\", \"extra\": " + nested(99, "[", "]") + "}}").c_str());
    EXPECT_EQ(stdoutLines().back(), kDepthLine);
    EXPECT_EQ(macAccessibility->blockedFiledsList.count("com.a"), 1u) << "the list was replaced";
}

TEST_F(BoundedInput, ANumberTooLargeForADoubleIsAParseErrorWithItsLine) {
    addBlockedApps(R"(["com.keep"])");
    addBlockedApps("[1e99999]");
    ASSERT_EQ(stdoutLines().size(), 1u);
    EXPECT_EQ(stdoutLines()[0].rfind("Error deserializing JSON: ", 0), 0u) << stdoutLines()[0];
    EXPECT_NE(stdoutLines()[0].find("number overflow"), std::string::npos) << stdoutLines()[0];
    EXPECT_EQ(macAccessibility->blockedApps, std::vector<std::string>{"com.keep"});
}

TEST_F(BoundedInput, OversizedJSONIsRefusedBeforeItIsRead) {
    addBlockedApps(R"(["com.keep"])");
    // An unterminated string of 2 MB: refused for its size, in a line of ordinary length.
    std::string huge = "[\"" + std::string(2 << 20, 'x');
    addBlockedApps(huge.c_str());
    ASSERT_EQ(stdoutLines().size(), 1u);
    EXPECT_EQ(stdoutLines()[0], "Error deserializing JSON: the text is longer than 1048576 bytes");
    EXPECT_EQ(macAccessibility->blockedApps, std::vector<std::string>{"com.keep"});
}

TEST_F(BoundedInput, ParserMessagesEchoingTheInputAreCutShort) {
    // Under the size limit, but the parser's message quotes the whole bad token.
    std::string bad = "[\"" + std::string(500000, 'y');
    addBlockedApps(bad.c_str());
    std::string badNumber = "[" + std::string(199, '1') + "\xC3\xA9" + std::string(300, '1') + "]";
    addBlockedApps(badNumber.c_str());
    ASSERT_EQ(stdoutLines().size(), 2u);
    for (const auto& line : stdoutLines()) {
        EXPECT_EQ(line.rfind("Error deserializing JSON: [json.exception.parse_error", 0), 0u) << line;
        EXPECT_LE(line.size(), std::string("Error deserializing JSON: ").size() + kMaxDiagnosticEcho + 3);
        EXPECT_EQ(line.substr(line.size() - 3), "\xE2\x80\xA6") << "a cut line ends with an ellipsis";
        std::string copy = line;
        EXPECT_TRUE(decodeHostString(copy.c_str()) == copy) << "the cut split a character";
    }
}

TEST(DiagnosticText, ShortLinesStayAndLongOnesAreCutAtACharacter) {
    EXPECT_EQ(shortForDiagnostic("short"), "short");
    EXPECT_EQ(shortForDiagnostic(std::string(200, 'a')), std::string(200, 'a'));
    EXPECT_EQ(shortForDiagnostic(std::string(201, 'a')), std::string(200, 'a') + "\xE2\x80\xA6");
    // "é" is two bytes: a cut that would fall inside it goes before it.
    EXPECT_EQ(shortForDiagnostic("ab\xC3\xA9", 3), "ab\xE2\x80\xA6");
}

TEST(DiagnosticText, CanonicalKeysAgreeWithCanonicalEquality) {
    const std::vector<std::string> samples = {"com.example", "com.Example", "caf\xC3\xA9", "cafe\xCC\x81",
                                              "K", "\xE2\x84\xAA" /* KELVIN SIGN */, "bad\xFF",
                                              std::string("nul\0x", 5), ""};
    for (const auto& a : samples)
        for (const auto& b : samples)
            EXPECT_EQ(canonicalKey(a) == canonicalKey(b), canonicallyEqual(a, b)) << a << " / " << b;
}

TEST_F(BoundedInput, BlockedListsAreComparedUnderCanonicalEquivalence) {
    json world = {{"apps", json::array({{{"pid", 101},
                                         {"bundle_id", "com.caf\xC3\xA9"},
                                         {"name", "Cafe"},
                                         {"focused", "doc"},
                                         {"elements", json::array({{{"id", "doc"},
                                                                    {"role", "AXTextArea"},
                                                                    {"text", "Hello world"},
                                                                    {"editable", true}}})}}})}};
    loadWorld(world);
    initMacAccessibility(&recordingCallback);
    // Blocked under its decomposed spelling, among a long entry that every check used to normalise.
    std::string list = json::array({std::string(500000, 'q') + "\xC3\xA9", "com.cafe\xCC\x81"}).dump();
    addBlockedApps(list.c_str());
    start("{}");
    perform({{"action", "activate"}, {"pid", 101}});
    EXPECT_EQ(stdoutLines().back(), "blocked app com.caf\xC3\xA9");
}

TEST_F(BoundedInput, OversizedReplacementTextIsRefusedAndSaysSo) {
    loadWorld({{"pasteboard", {{"items", json::array({{{"public.utf8-plain-text", "kept"}}})}}}});
    initMacAccessibility(&recordingCallback);
    desktop().clearRequests();
    std::string huge(kMaxSetTextBytes + 1, 'w');
    setText(huge.c_str());
    EXPECT_EQ(stdoutLines(), std::vector<std::string>{"setText failed: the text is longer than 4194304 bytes"});
    EXPECT_TRUE(desktop().requests().empty()) << desktop().requests().dump();
    EXPECT_EQ(desktop().state()["pasteboard"]["items"][0]["public.utf8-plain-text"], "kept");
    // At the limit the text goes through to the pasteboard.
    huge.pop_back();
    setText(huge.c_str());
    EXPECT_EQ(stdoutLines().size(), 2u);
    EXPECT_EQ(stdoutLines().back().find("longer than"), std::string::npos);
    bool written = false;
    for (const auto& r : desktop().requests())
        written = written || (r.value("call", "") == "setString:forType:" && r.value("text", "").size() == huge.size());
    EXPECT_TRUE(written) << "the text at the limit did not reach the pasteboard";
}

}  // namespace
}  // namespace korvale::testing
