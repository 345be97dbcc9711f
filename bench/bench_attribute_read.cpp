// The library-side cost of one attribute read with conversion, for each type a caller can ask
// for, on the simulated accessibility service (which answers from memory, so what is measured is
// the access layer, the value boxes and the simulated service's bookkeeping, not another
// process). The request log is cleared between batches so that it does not grow without bound.
#include <benchmark/benchmark.h>

#include <nlohmann/json.hpp>

#include "platform/sim/SimDesktop.h"
#include "utils.h"

namespace {

using namespace korvale;
using json = nlohmann::json;

ElementRef setUpWorld() {
    auto& d = sim::Desktop::instance();
    json world = {{"echo_stdout", false},
                  {"apps", json::array({{{"pid", 77}, {"focused", "doc"},
                                         {"elements", json::array({{
                                             {"id", "doc"}, {"role", "AXTextArea"}, {"editable", true},
                                             {"text", "The quick brown fox\njumps over the lazy dog"},
                                             {"selection", {4, 5}}, {"frame", {10, 20, 400, 300}},
                                             {"attributes", {{"KPoint", {{"point", {3, 4}}}},
                                                             {"KRect", {{"rect", {1, 2, 3, 4}}}},
                                                             {"KElem", {{"element", "doc"}}}}}}})}}})}};
    d.loadWorld(world);
    return *getAttributeValue<ElementRef>(getAppRef(77), "AXFocusedUIElement");
}

template <typename T>
void readAttribute(benchmark::State& state, const char* attribute) {
    ElementRef doc = setUpWorld();
    auto& d = sim::Desktop::instance();
    int n = 0;
    for (auto _ : state) {
        auto v = getAttributeValue<T>(doc, attribute);
        benchmark::DoNotOptimize(v);
        if (++n == 4096) {
            state.PauseTiming();
            d.clearRequests();
            n = 0;
            state.ResumeTiming();
        }
    }
}

void BM_Read_String(benchmark::State& s) { readAttribute<std::string>(s, "AXRole"); }
void BM_Read_Int64(benchmark::State& s) { readAttribute<int64_t>(s, "AXNumberOfCharacters"); }
void BM_Read_CGPoint(benchmark::State& s) { readAttribute<CGPoint>(s, "KPoint"); }
void BM_Read_CGRect(benchmark::State& s) { readAttribute<CGRect>(s, "KRect"); }
void BM_Read_CFRange(benchmark::State& s) { readAttribute<CFRange>(s, "AXSelectedTextRange"); }
void BM_Read_Element(benchmark::State& s) { readAttribute<ElementRef>(s, "KElem"); }
void BM_Read_TextMarkerRange(benchmark::State& s) { readAttribute<TextMarkerRangeRef>(s, "AXSelectedTextMarkerRange"); }
// A mismatch: the value is read and converted, and the conversion gives nothing.
void BM_Read_Mismatch(benchmark::State& s) { readAttribute<CGPoint>(s, "AXRole"); }

// The conversion alone, without the service, for comparison.
void BM_Convert_CGRect(benchmark::State& state) {
    ObjectRef box = platform::makeRect({{1, 2}, {3, 4}});
    for (auto _ : state) {
        auto v = axValueToNative<CGRect>(box);
        benchmark::DoNotOptimize(v);
    }
}

BENCHMARK(BM_Read_String);
BENCHMARK(BM_Read_Int64);
BENCHMARK(BM_Read_CGPoint);
BENCHMARK(BM_Read_CGRect);
BENCHMARK(BM_Read_CFRange);
BENCHMARK(BM_Read_Element);
BENCHMARK(BM_Read_TextMarkerRange);
BENCHMARK(BM_Read_Mismatch);
BENCHMARK(BM_Convert_CGRect);

}  // namespace
