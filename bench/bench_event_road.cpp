// The road of one event on the simulated desktop: the user selects a word in a text area of the
// followed application; the notification comes through the observer's run-loop source, the
// selected-text handler reads the selection through the access layer, the event waits its
// delivery, is encoded as JSON and reaches the host callback. BM_EventRoad measures all of it;
// BM_EventRoadPlatformShare repeats the simulated desktop's part alone (the same user action and
// the same accessibility requests, each logged), so the difference is the library's own time.
#include <benchmark/benchmark.h>

#include <nlohmann/json.hpp>

#include "Korvale.h"
#include "main.h"
#include "platform/sim/SimDesktop.h"
#include "utils.h"

namespace {

using json = nlohmann::json;
using korvale::sim::Desktop;

int delivered = 0;
void countingHost(const char*, const char* text) {
    benchmark::DoNotOptimize(text);
    ++delivered;
}

const json kWorld = {
    {"echo_stdout", false},
    {"apps", json::array({{{"pid", 101}, {"bundle_id", "com.example.editor"}, {"name", "Editor"},
                           {"focused", "doc"},
                           {"elements", json::array({{{"id", "doc"}, {"role", "AXTextArea"},
                                                      {"text", "Hello world, and more words"},
                                                      {"editable", true}, {"frame", {10, 40, 600, 400}}}})}}})}};

// A fresh desktop; with `track`, the library follows Editor and the host counts deliveries.
void setUpRoad(bool track) {
    korvale::mainExport();
    Desktop::instance().loadWorld(kWorld);
    if (!track) return;
    initMacAccessibility(&countingHost);
    start("{}");
    Desktop::instance().perform({{"action", "activate"}, {"pid", 101}});
    Desktop::instance().run(0.5);
    Desktop::instance().clearRequests();
    delivered = 0;
}

// Two selections in turn, so that each action really changes the selection.
const json kSelect[2] = {{{"action", "select"}, {"element", "doc"}, {"range", {6, 5}}},
                         {{"action", "select"}, {"element", "doc"}, {"range", {0, 5}}}};

// The request log grows with every request; it is emptied now and then outside the timing.
void trimLog(benchmark::State& state, int64_t i) {
    if (i % 4096 != 0) return;
    state.PauseTiming();
    Desktop::instance().clearRequests();
    state.ResumeTiming();
}

void BM_EventRoad(benchmark::State& state) {
    setUpRoad(true);
    auto& desktop = Desktop::instance();
    int64_t i = 0;
    for (auto _ : state) {
        desktop.perform(kSelect[i & 1]);
        desktop.run(0.5);  // handler at once, delivery 0.5 s later on the virtual clock
        trimLog(state, ++i);
    }
    if (delivered != static_cast<int>(i)) state.SkipWithError("not every selection reached the host");
    desktop.clearRequests();
    desktop.perform(kSelect[i & 1]);
    desktop.run(0.5);
    state.counters["requests_per_event"] = static_cast<double>(desktop.requests().size());
}
BENCHMARK(BM_EventRoad);

// The simulated desktop's share: the action, the six requests the handler makes, and the loop,
// with the library not tracking at all.
void BM_EventRoadPlatformShare(benchmark::State& state) {
    setUpRoad(false);
    auto& desktop = Desktop::instance();
    auto& ax = korvale::platform::current().accessibility;
    auto doc = korvale::getAttributeValue<korvale::ElementRef>(korvale::getAppRef(101), "AXFocusedUIElement")
                   .value_or(nullptr);
    korvale::platform::CFRange range{6, 5};
    auto rangeValue = korvale::platform::AXValueCreate(korvale::platform::AXValueType::CFRange, &range);
    desktop.clearRequests();
    int64_t i = 0;
    for (auto _ : state) {
        desktop.perform(kSelect[i & 1]);
        korvale::platform::ObjectRef v;
        bool settable = false;
        ax.copyAttributeValue(doc, "AXSelectedText", &v);
        ax.copyAttributeValue(doc, "AXRole", &v);
        ax.copyAttributeValue(doc, "AXSelectedTextRange", &v);
        ax.copyAttributeValue(doc, "AXSelectedText", &v);
        ax.isAttributeSettable(doc, "AXValue", &settable);
        ax.copyParameterizedAttributeValue(doc, "AXBoundsForRange", rangeValue, &v);
        benchmark::DoNotOptimize(v);
        desktop.run(0.5);
        trimLog(state, ++i);
    }
}
BENCHMARK(BM_EventRoadPlatformShare);

}  // namespace
