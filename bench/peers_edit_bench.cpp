// edlib and WFA2-lib on the pairs of edit_distance_bench, with their distances checked against
// ours. Built only when both libraries are installed. Run: build-bench/bench/peers_edit_bench
#include "rux_dp/problems/edit_distance.hpp"

#include <benchmark/benchmark.h>
#include <edlib.h>

#include <bindings/cpp/WFAligner.hpp>
#include <cstddef>
#include <map>
#include <string>
#include <utility>

#include "edit_pairs.hpp"

namespace {

struct Case {
    std::string query;
    std::string target;
    int distance;  // ours
};

const Case& case_for(const benchmark::State& state) {
    static std::map<std::pair<long, long>, Case> cache;
    const auto key = std::make_pair(state.range(0), state.range(1));
    auto it = cache.find(key);
    if (it == cache.end()) {
        auto [query, target] = rux_bench::edit_pair(static_cast<std::size_t>(state.range(0)),
                                                    static_cast<double>(state.range(1)) / 100.0);
        const auto distance = static_cast<int>(rux_dp::distance_myers(query, target));
        it = cache.emplace(key, Case{std::move(query), std::move(target), distance}).first;
    }
    return it->second;
}

// A peer's distance that differs from ours is a bug in one of us, not a figure.
void check(benchmark::State& state, const Case& c, int distance) {
    state.counters["distance"] = distance;
    if (distance != c.distance)
        state.SkipWithError(("distance " + std::to_string(distance) + " differs from ours, "
                             + std::to_string(c.distance))
                                .c_str());
}

template <EdlibAlignTask Task>
void edlib(benchmark::State& state) {
    const Case& c = case_for(state);
    const EdlibAlignConfig config = edlibNewAlignConfig(-1, EDLIB_MODE_NW, Task, nullptr, 0);
    int distance = -1;
    for (auto _ : state) {
        EdlibAlignResult result =
            edlibAlign(c.query.data(), static_cast<int>(c.query.size()), c.target.data(),
                       static_cast<int>(c.target.size()), config);
        distance = result.editDistance;
        benchmark::DoNotOptimize(result.alignment);
        edlibFreeAlignResult(result);
    }
    check(state, c, distance);
}

template <wfa::WFAligner::AlignmentScope Scope>
void wfa2(benchmark::State& state) {
    const Case& c = case_for(state);
    wfa::WFAlignerEdit aligner(Scope, wfa::WFAligner::MemoryHigh);
    int distance = -1;
    for (auto _ : state) {
        aligner.alignEnd2End(c.query.data(), static_cast<int>(c.query.size()), c.target.data(),
                             static_cast<int>(c.target.size()));
        distance = aligner.getAlignmentScore();
        if constexpr (Scope == wfa::WFAligner::Alignment) {
            std::string cigar = aligner.getAlignmentCigar();
            benchmark::DoNotOptimize(cigar.data());
        }
    }
    // WFA2 reports the edit score as a penalty count.
    check(state, c, distance < 0 ? -distance : distance);
}

void sizes(benchmark::internal::Benchmark* b) {
    for (const long length : {1000, 10000, 100000}) {
        for (const long percent : {1, 15})
            b->Args({length, percent});
    }
    b->ArgNames({"len", "div%"})->Unit(benchmark::kMicrosecond);
}

}  // namespace

BENCHMARK(edlib<EDLIB_TASK_DISTANCE>)->Name("edlib_distance")->Apply(sizes);
BENCHMARK(edlib<EDLIB_TASK_PATH>)->Name("edlib_path")->Apply(sizes);
BENCHMARK(wfa2<wfa::WFAligner::Score>)->Name("wfa2_score")->Apply(sizes);
BENCHMARK(wfa2<wfa::WFAligner::Alignment>)->Name("wfa2_alignment")->Apply(sizes);

BENCHMARK_MAIN();
