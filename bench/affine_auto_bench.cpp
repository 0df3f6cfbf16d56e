// solve in mode global-affine with backend "auto" on long related pairs: the banded kernel, its
// widening, and the fall-back to the engine.

#include "rux_dp/oracle/solve.hpp"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <string>
#include <utility>

namespace {

using namespace rux_dp;

// The target is the query with `percent`% edits: substitutions and 1-symbol indels.
std::pair<std::string, std::string> related_pair(std::size_t length, unsigned percent) {
    std::mt19937_64 rng(length * 131 + percent);
    std::string query(length, 'A');
    for (auto& c : query)
        c = "ACGT"[rng() % 4];
    std::string target;
    for (const char c : query) {
        if (rng() % 100 >= percent) {
            target.push_back(c);
            continue;
        }
        switch (rng() % 3) {
            case 0:
                target.push_back("ACGT"[(c == 'A' ? 1 : 0) + rng() % 2]);
                break;
            case 1:
                break;
            default:
                target.push_back(c);
                target.push_back("ACGT"[rng() % 4]);
                break;
        }
    }
    return {query, target};
}

void affine_auto(benchmark::State& state) {
    auto [query, target] = related_pair(static_cast<std::size_t>(state.range(0)),
                                        static_cast<unsigned>(state.range(1)));
    SolveRequest request;
    request.problem = ProblemSpec{
        .mode = AlignmentMode::global_affine,
        .scoring = AffineScoring{.substitution = MatchMismatchScheme{.match_score = 2,
                                                                     .mismatch_penalty = 4},
                                 .gap_open = -4,
                                 .gap_extend = -2}};
    request.scope = SolveScope::alignment;
    request.band = 64;
    request.query = std::move(query);
    request.target = std::move(target);
    std::string backend;
    for (auto _ : state) {
        auto record = solve(request);
        if (!record) {
            state.SkipWithError(record.error().c_str());
            return;
        }
        backend = record->producer.backend;
        benchmark::DoNotOptimize(record);
    }
    state.SetLabel(backend);
}

BENCHMARK(affine_auto)
    ->ArgsProduct({{1'000, 10'000}, {1, 5, 15}})
    ->Unit(benchmark::kMillisecond)
    ->MinTime(0.2);

}  // namespace

BENCHMARK_MAIN();
