// Global affine rows, score only, on pairs of 1,000 and 10,000 symbols at 10% divergence: the
// full-table score on each instruction set (the lane width follows from the bound of the pass),
// the whole engine run with its path, and parasail's striped scan kernels on the same pairs when
// parasail is installed. Run: build-bench/bench/simd_affine_bench
#include "rux_dp/engine/rux_engine.hpp"
#include "rux_dp/problems/nw_affine.hpp"
#include "rux_dp/problems/nw_affine_simd.hpp"
#include "rux_dp/problems/simd_dispatch.hpp"

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <utility>

#include "edit_pairs.hpp"

#ifdef RUX_BENCH_PARASAIL
#include <parasail.h>
#endif

namespace {

using rux_dp::simd::Isa;
using rux_dp::simd::Lanes;
using Pair = std::pair<std::string, std::string>;

struct Scoring {
    std::int32_t match;
    std::int32_t mismatch_penalty;
    std::int32_t gap_open;
    std::int32_t gap_extend;
};

// Scoring 0 keeps a 1,000-symbol pass inside the 16-bit bound, scoring 1 does not; at 10,000
// symbols both need 32-bit lanes. Each costs the same per cell.
constexpr Scoring scorings[] = {{1, 1, -1, -1}, {2, 3, -3, -1}};

const Pair& pair_for(std::size_t length) {
    static std::map<std::size_t, Pair> cache;
    auto it = cache.find(length);
    if (it == cache.end())
        it = cache.emplace(length, rux_bench::edit_pair(length, 0.10)).first;
    return it->second;
}

rux_dp::NwAffineProblem problem_for(const Pair& pair, const Scoring& s) {
    return {.scoring = rux_dp::SubstitutionScoring::match_mismatch(s.match, s.mismatch_penalty),
            .query = pair.first,
            .target = pair.second,
            .gap_open = s.gap_open,
            .gap_extend = s.gap_extend};
}

const char* lanes_name(const rux_dp::NwAffineProblem& p) {
    if (rux_dp::simd::active_isa() == Isa::scalar)
        return "scalar";
    switch (
        rux_dp::detail::affine_pass_lanes(p.init_frontier(), p.query, p.target, p.scoring,
                                          rux_dp::detail::affine_gaps(p.gap_open, p.gap_extend))) {
        case Lanes::bits16:
            return "16-bit";
        case Lanes::bits32:
            return "32-bit";
        case Lanes::scalar:
            break;
    }
    return "scalar";
}

double cells_of(const Pair& pair) {
    return static_cast<double>(pair.first.size() + 1) * static_cast<double>(pair.second.size() + 1);
}

void set_rate(benchmark::State& state, const Pair& pair) {
    state.counters["cells/s"] =
        benchmark::Counter(cells_of(pair), benchmark::Counter::kIsIterationInvariantRate);
}

// Arguments: length, instruction set (0 scalar, 1 AVX2, 2 AVX-512BW), scoring index.
void full_table_score(benchmark::State& state) {
    const auto isa = static_cast<Isa>(state.range(1));
    if (static_cast<int>(isa) > static_cast<int>(rux_dp::simd::machine_isa())) {
        state.SkipWithError("instruction set not available");
        return;
    }
    const rux_dp::simd::ScopedIsaCap cap(isa);
    const Pair& pair = pair_for(static_cast<std::size_t>(state.range(0)));
    const rux_dp::NwAffineProblem p = problem_for(pair, scorings[state.range(2)]);
    std::int32_t score = 0;
    for (auto _ : state) {
        score = p.full_table_score();
        benchmark::DoNotOptimize(score);
    }
    state.SetLabel(lanes_name(p));
    state.counters["score"] = score;
    set_rate(state, pair);
}

// The engine with its default block size: forward pass, splits and leaves, score and path.
void engine_path(benchmark::State& state) {
    const auto isa = static_cast<Isa>(state.range(1));
    if (static_cast<int>(isa) > static_cast<int>(rux_dp::simd::machine_isa())) {
        state.SkipWithError("instruction set not available");
        return;
    }
    const rux_dp::simd::ScopedIsaCap cap(isa);
    const Pair& pair = pair_for(static_cast<std::size_t>(state.range(0)));
    const rux_dp::NwAffineProblem p = problem_for(pair, scorings[state.range(2)]);
    const auto block = static_cast<std::uint64_t>(std::ceil(std::sqrt(pair.first.size())));
    std::int32_t score = 0;
    for (auto _ : state) {
        const auto run =
            rux_dp::RuxEngine<rux_dp::NwAffineProblem>::make(p, block).run_with_stats();
        score = run.score;
        benchmark::DoNotOptimize(run.path.data());
    }
    state.counters["score"] = score;
    set_rate(state, pair);
}

void ours(benchmark::internal::Benchmark* b) {
    for (const long length : {1000, 10000})
        for (const long isa : {0, 1, 2})
            for (const long scoring : {0, 1})
                b->Args({length, isa, scoring});
    b->ArgNames({"len", "isa", "scoring"})->Unit(benchmark::kMillisecond);
}

#ifdef RUX_BENCH_PARASAIL
// parasail charges a gap of k symbols open + (k - 1) * extend, both positive; ours adds
// gap_open + k * gap_extend. parasail's model also lets a gap in one sequence follow a gap in the
// other directly, which ours does not, so scores can differ where that pays; the check below
// counts how often it happens on small pairs.
struct ParasailGaps {
    int open;
    int extend;
};
ParasailGaps parasail_gaps(const Scoring& s) {
    return {-(s.gap_open + s.gap_extend), -s.gap_extend};
}

int parasail_score(const Pair& pair, const Scoring& s, const parasail_matrix_t* matrix) {
    const ParasailGaps g = parasail_gaps(s);
    parasail_result_t* r = parasail_nw_scan_32(
        pair.first.data(), static_cast<int>(pair.first.size()), pair.second.data(),
        static_cast<int>(pair.second.size()), g.open, g.extend, matrix);
    const int score = parasail_result_get_score(r);
    parasail_result_free(r);
    return score;
}

// Arguments: length, 0 for nw_scan_16 or 1 for nw_scan_profile_16 (profile built once, outside the
// timing), scoring index.
void parasail_nw(benchmark::State& state) {
    const Pair& pair = pair_for(static_cast<std::size_t>(state.range(0)));
    const Scoring& s = scorings[state.range(2)];
    const ParasailGaps g = parasail_gaps(s);
    parasail_matrix_t* matrix = parasail_matrix_create("ACGT", s.match, -s.mismatch_penalty);
    const int m = static_cast<int>(pair.first.size());
    const int n = static_cast<int>(pair.second.size());
    parasail_profile_t* profile =
        state.range(1) == 1 ? parasail_profile_create_16(pair.first.data(), m, matrix) : nullptr;
    int score = 0;
    bool saturated = false;
    for (auto _ : state) {
        parasail_result_t* r =
            profile ? parasail_nw_scan_profile_16(profile, pair.second.data(), n, g.open, g.extend)
                    : parasail_nw_scan_16(pair.first.data(), m, pair.second.data(), n, g.open,
                                          g.extend, matrix);
        score = parasail_result_get_score(r);
        saturated = parasail_result_is_saturated(r) != 0;
        parasail_result_free(r);
        benchmark::DoNotOptimize(score);
    }
    const std::int32_t expected = problem_for(pair, s).full_table_score();
    if (saturated)
        state.SkipWithError("parasail 16-bit result saturated");
    else if (score != expected)
        state.SkipWithError(("parasail score " + std::to_string(score) + " differs from "
                             + std::to_string(expected))
                                .c_str());
    if (profile)
        parasail_profile_free(profile);
    parasail_matrix_free(matrix);
    state.SetLabel(profile ? "nw_scan_profile_16" : "nw_scan_16");
    state.counters["score"] = score;
    set_rate(state, pair);
}

// The gap convention on small pairs: random pairs of 1 to 60 symbols, and pairs where the target
// is the query with about one symbol in five edited.
void parasail_agreement(benchmark::State& state) {
    const Scoring& s = scorings[state.range(0)];
    parasail_matrix_t* matrix = parasail_matrix_create("ACGT", s.match, -s.mismatch_penalty);
    std::mt19937_64 rng(42);
    const auto random = [&](std::size_t length) {
        std::string out(length, 'A');
        for (char& c : out)
            c = "ACGT"[rng() % 4];
        return out;
    };
    int pairs = 0;
    int differ = 0;
    for (auto _ : state) {
        pairs = differ = 0;
        for (int k = 0; k < 400; ++k) {
            Pair pair{random(1 + rng() % 60), ""};
            if (k % 2 == 0) {
                pair.second = random(1 + rng() % 60);
            } else {
                for (const char c : pair.first) {
                    const auto roll = rng() % 15;
                    if (roll == 0)
                        continue;
                    pair.second += roll == 1 ? "ACGT"[rng() % 4] : c;
                    if (roll == 2)
                        pair.second += "ACGT"[rng() % 4];
                }
            }
            ++pairs;
            if (parasail_score(pair, s, matrix) != problem_for(pair, s).full_table_score())
                ++differ;
        }
    }
    parasail_matrix_free(matrix);
    state.counters["pairs"] = pairs;
    state.counters["differ"] = differ;
}

void theirs(benchmark::internal::Benchmark* b) {
    for (const long length : {1000, 10000})
        for (const long profile : {0, 1})
            for (const long scoring : {0, 1})
                b->Args({length, profile, scoring});
    b->ArgNames({"len", "profile", "scoring"})->Unit(benchmark::kMillisecond);
}
#endif

}  // namespace

BENCHMARK(full_table_score)->Apply(ours);
BENCHMARK(engine_path)->Apply(ours);
#ifdef RUX_BENCH_PARASAIL
BENCHMARK(parasail_nw)->Apply(theirs);
BENCHMARK(parasail_agreement)->Arg(0)->Arg(1)->Iterations(1);
#endif

BENCHMARK_MAIN();
