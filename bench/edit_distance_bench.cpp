// Edit distance, score only and with path, on pairs of 1,000 to 100,000 symbols at 1% and 15%
// divergence. Run: build-bench/bench/edit_distance_bench
#include "rux_dp/problems/edit_distance.hpp"
#include "rux_dp/problems/simd_dispatch.hpp"

#include <benchmark/benchmark.h>

#include <cstddef>
#include <map>
#include <string>
#include <utility>

#include "edit_pairs.hpp"

namespace {

using Pair = std::pair<std::string, std::string>;

const Pair& pair_for(const benchmark::State& state) {
    static std::map<std::pair<long, long>, Pair> cache;
    const auto key = std::make_pair(state.range(0), state.range(1));
    auto it = cache.find(key);
    if (it == cache.end()) {
        it = cache
                 .emplace(key, rux_bench::edit_pair(static_cast<std::size_t>(state.range(0)),
                                                    static_cast<double>(state.range(1)) / 100.0))
                 .first;
    }
    return it->second;
}

// The kernels with the vector instruction sets capped, to compare them with the widest.
template <auto Distance, rux_dp::simd::Isa Cap = rux_dp::simd::Isa::avx512bw>
void score_only(benchmark::State& state) {
    const rux_dp::simd::ScopedIsaCap cap(Cap);
    const auto& [query, target] = pair_for(state);
    std::uint32_t distance = 0;
    for (auto _ : state) {
        distance = Distance(query, target);
        benchmark::DoNotOptimize(distance);
    }
    state.counters["distance"] = distance;
}

template <auto Trace, rux_dp::simd::Isa Cap = rux_dp::simd::Isa::avx512bw>
void with_path(benchmark::State& state) {
    const rux_dp::simd::ScopedIsaCap cap(Cap);
    const auto& [query, target] = pair_for(state);
    rux_dp::BandedTrace trace;
    for (auto _ : state) {
        trace = Trace(query, target);
        benchmark::DoNotOptimize(trace.cells.data());
    }
    state.counters["distance"] = trace.distance;
    state.counters["band"] = static_cast<double>(trace.band);
}

void sizes(benchmark::internal::Benchmark* b) {
    for (const long length : {1000, 10000, 100000}) {
        for (const long percent : {1, 15})
            b->Args({length, percent});
    }
    b->ArgNames({"len", "div%"})->Unit(benchmark::kMicrosecond);
}

}  // namespace

BENCHMARK(score_only<&rux_dp::distance_myers>)->Name("distance_myers")->Apply(sizes);
BENCHMARK(with_path<&rux_dp::trace_adaptive_banded>)->Name("trace_adaptive_banded")->Apply(sizes);

BENCHMARK(score_only<&rux_dp::distance_myers, rux_dp::simd::Isa::avx2>)
    ->Name("distance_myers/isa:avx2")
    ->Apply(sizes);
BENCHMARK(with_path<&rux_dp::trace_adaptive_banded, rux_dp::simd::Isa::avx2>)
    ->Name("trace_adaptive_banded/isa:avx2")
    ->Apply(sizes);
BENCHMARK(score_only<&rux_dp::distance_myers, rux_dp::simd::Isa::scalar>)
    ->Name("distance_myers/isa:scalar")
    ->Apply(sizes);
BENCHMARK(with_path<&rux_dp::trace_adaptive_banded, rux_dp::simd::Isa::scalar>)
    ->Name("trace_adaptive_banded/isa:scalar")
    ->Apply(sizes);

BENCHMARK_MAIN();
