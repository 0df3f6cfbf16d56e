// The summary-tree engine on each score-based problem, and the rolling-row references beside it.

#include "rux_dp/engine/rux_engine.hpp"
#include "rux_dp/problems/nw_affine.hpp"
#include "rux_dp/problems/nw_align.hpp"
#include "rux_dp/problems/semiglobal.hpp"
#include "rux_dp/problems/smith_waterman.hpp"

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <string>

namespace {

using namespace rux_dp;

// A pair of related sequences: the target is the query with about 10% substitutions.
std::pair<std::string, std::string> related_pair(std::size_t length) {
    std::mt19937_64 rng(length);
    std::string query(length, 'A');
    for (auto& c : query)
        c = "ACGT"[rng() % 4];
    std::string target = query;
    for (auto& c : target)
        if (rng() % 10 == 0)
            c = "ACGT"[rng() % 4];
    return {query, target};
}

std::uint64_t default_block_size(std::size_t m) {
    return m < 2 ? 1 : static_cast<std::uint64_t>(std::ceil(std::sqrt(static_cast<double>(m))));
}

const SubstitutionScoring scoring = SubstitutionScoring::match_mismatch(2, 3);

template <class Problem>
void run_engine(benchmark::State& state, const Problem& problem, std::size_t length) {
    for (auto _ : state) {
        auto run = RuxEngine<Problem>(problem, default_block_size(length)).run_with_stats();
        benchmark::DoNotOptimize(run.score);
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(length * length));
}

void BM_NwEngine(benchmark::State& state) {
    const auto length = static_cast<std::size_t>(state.range(0));
    const auto [q, t] = related_pair(length);
    run_engine(state, NwProblem{.scoring = scoring, .query = q, .target = t, .gap = -2}, length);
}

void BM_NwLastRow(benchmark::State& state) {
    const auto length = static_cast<std::size_t>(state.range(0));
    const auto [q, t] = related_pair(length);
    for (auto _ : state)
        benchmark::DoNotOptimize(nw_last_row(q, t, scoring, -2).back());
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(length * length));
}

void BM_NwAffineEngine(benchmark::State& state) {
    const auto length = static_cast<std::size_t>(state.range(0));
    const auto [q, t] = related_pair(length);
    run_engine(state,
               NwAffineProblem{
                   .scoring = scoring, .query = q, .target = t, .gap_open = -3, .gap_extend = -1},
               length);
}

void BM_BandedAffine(benchmark::State& state) {
    const auto length = static_cast<std::size_t>(state.range(0));
    const auto [q, t] = related_pair(length);
    const NwAffineProblem problem{
        .scoring = scoring, .query = q, .target = t, .gap_open = -3, .gap_extend = -1};
    for (auto _ : state)
        benchmark::DoNotOptimize(trace_banded_affine(problem, 64));
}

void BM_SmithWatermanEngine(benchmark::State& state) {
    const auto length = static_cast<std::size_t>(state.range(0));
    const auto [q, t] = related_pair(length);
    run_engine(state, SmithWatermanProblem{.scoring = scoring, .query = q, .target = t, .gap = -2},
               length);
}

void BM_SemiGlobalEngine(benchmark::State& state) {
    const auto length = static_cast<std::size_t>(state.range(0));
    const auto [q, t] = related_pair(length);
    run_engine(state, SemiGlobalProblem{.scoring = scoring, .query = q, .target = t, .gap = -2},
               length);
}

BENCHMARK(BM_NwEngine)->Arg(1000)->Arg(4000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_NwLastRow)->Arg(1000)->Arg(4000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_NwAffineEngine)->Arg(1000)->Arg(4000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BandedAffine)->Arg(1000)->Arg(4000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SmithWatermanEngine)->Arg(1000)->Arg(4000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SemiGlobalEngine)->Arg(1000)->Arg(4000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
