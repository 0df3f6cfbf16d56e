// solve per mode and scope at read, gene and long lengths, and verify at levels score and optimal.

#include "rux_dp/oracle/solve.hpp"
#include "rux_dp/oracle/verify.hpp"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <string>
#include <utility>

namespace {

using namespace rux_dp;

// A related pair: the target is the query with about 10% edits (substitutions, 1-symbol indels).
std::pair<std::string, std::string> related_pair(std::size_t length) {
    std::mt19937_64 rng(length);
    std::string query(length, 'A');
    for (auto& c : query)
        c = "ACGT"[rng() % 4];
    std::string target;
    for (const char c : query) {
        if (rng() % 10 != 0) {
            target.push_back(c);
            continue;
        }
        switch (rng() % 3) {
            case 0:
                target.push_back("ACGT"[rng() % 4]);
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

ProblemSpec problem_for(AlignmentMode mode) {
    const MatchMismatchScheme mm{.match_score = 2, .mismatch_penalty = 3};
    switch (mode) {
        case AlignmentMode::edit_distance:
            return ProblemSpec{.mode = mode, .scoring = EditDistanceScoring{}};
        case AlignmentMode::global_affine:
            return ProblemSpec{
                .mode = mode,
                .scoring = AffineScoring{.substitution = mm, .gap_open = -4, .gap_extend = -1}};
        default:
            return ProblemSpec{.mode = mode,
                               .scoring = LinearScoring{.substitution = mm, .gap = -2}};
    }
}

SolveRequest request_for(AlignmentMode mode, std::size_t length, SolveScope scope) {
    auto [query, target] = related_pair(length);
    SolveRequest request;
    request.problem = problem_for(mode);
    request.scope = scope;
    request.query = std::move(query);
    request.target = std::move(target);
    return request;
}

void solve_bench(benchmark::State& state, AlignmentMode mode, SolveScope scope) {
    const SolveRequest request = request_for(mode, static_cast<std::size_t>(state.range(0)), scope);
    std::string backend;
    for (auto _ : state) {
        auto record = solve(request);
        if (!record) {
            state.SkipWithError(record.error().c_str());
            return;
        }
        backend = record->producer.backend;
        benchmark::DoNotOptimize(record->alignment.objective.value);
    }
    state.SetLabel(backend);
    state.SetItemsProcessed(
        state.iterations()
        * static_cast<std::int64_t>((request.query.size() + 1) * (request.target.size() + 1)));
}

void verify_bench(benchmark::State& state, AlignmentMode mode, VerificationLevel level) {
    const SolveRequest request =
        request_for(mode, static_cast<std::size_t>(state.range(0)), SolveScope::alignment);
    const auto record = solve(request);
    if (!record) {
        state.SkipWithError(record.error().c_str());
        return;
    }
    for (auto _ : state) {
        auto report = verify(VerificationRequest{.record = *record,
                                                 .query = request.query,
                                                 .target = request.target,
                                                 .max_cells = 0,
                                                 .level = level});
        if (report.verification.status != VerificationStatus::verified) {
            state.SkipWithError("record did not verify");
            return;
        }
        benchmark::DoNotOptimize(report.verification.checks.size());
    }
    state.SetItemsProcessed(
        state.iterations()
        * static_cast<std::int64_t>((request.query.size() + 1) * (request.target.size() + 1)));
}

void lengths(benchmark::internal::Benchmark* b) {
    b->Arg(150)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);
}

constexpr auto edit = AlignmentMode::edit_distance;
constexpr auto global_linear = AlignmentMode::global_linear;
constexpr auto global_affine = AlignmentMode::global_affine;
constexpr auto local_linear = AlignmentMode::local_linear;
constexpr auto semiglobal_linear = AlignmentMode::semiglobal_linear;
constexpr auto alignment = SolveScope::alignment;
constexpr auto score = SolveScope::score;

BENCHMARK_CAPTURE(solve_bench, edit_alignment, edit, alignment)->Apply(lengths);
BENCHMARK_CAPTURE(solve_bench, edit_score, edit, score)->Apply(lengths);
BENCHMARK_CAPTURE(solve_bench, global_linear_alignment, global_linear, alignment)->Apply(lengths);
BENCHMARK_CAPTURE(solve_bench, global_linear_score, global_linear, score)->Apply(lengths);
BENCHMARK_CAPTURE(solve_bench, global_affine_alignment, global_affine, alignment)->Apply(lengths);
BENCHMARK_CAPTURE(solve_bench, global_affine_score, global_affine, score)->Apply(lengths);
BENCHMARK_CAPTURE(solve_bench, local_linear_alignment, local_linear, alignment)->Apply(lengths);
BENCHMARK_CAPTURE(solve_bench, local_linear_score, local_linear, score)->Apply(lengths);
BENCHMARK_CAPTURE(solve_bench, semiglobal_linear_alignment, semiglobal_linear, alignment)
    ->Apply(lengths);
BENCHMARK_CAPTURE(solve_bench, semiglobal_linear_score, semiglobal_linear, score)->Apply(lengths);

BENCHMARK_CAPTURE(verify_bench, edit_optimal, edit, VerificationLevel::optimal)->Apply(lengths);
BENCHMARK_CAPTURE(verify_bench, edit_score, edit, VerificationLevel::score)->Apply(lengths);
BENCHMARK_CAPTURE(verify_bench, global_affine_optimal, global_affine, VerificationLevel::optimal)
    ->Apply(lengths);
BENCHMARK_CAPTURE(verify_bench, global_affine_score, global_affine, VerificationLevel::score)
    ->Apply(lengths);
BENCHMARK_CAPTURE(verify_bench, local_linear_optimal, local_linear, VerificationLevel::optimal)
    ->Apply(lengths);
BENCHMARK_CAPTURE(verify_bench, local_linear_score, local_linear, VerificationLevel::score)
    ->Apply(lengths);

}  // namespace

BENCHMARK_MAIN();
