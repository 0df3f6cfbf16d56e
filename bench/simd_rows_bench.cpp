// The global linear last row and the local best cell (score only) on each instruction set and
// lane width, against the plain reference and, where it is installed, parasail's scan kernels on
// the same pairs.

#include "rux_dp/engine/rux_engine.hpp"
#include "rux_dp/problems/linear_rows_detail.hpp"
#include "rux_dp/problems/nw_align.hpp"
#include "rux_dp/problems/simd_dispatch.hpp"

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#ifdef RUX_HAVE_PARASAIL
#include <parasail.h>
#endif

namespace {

using namespace rux_dp;
using simd::Isa;
using simd::Lanes;

// Unit scores keep every value of a 10,000 x 10,000 table inside 16 bits, for both kernels.
constexpr std::int32_t kMatch = 1;
constexpr std::int32_t kMismatchPenalty = 1;
constexpr std::int32_t kGap = -1;

// A pair of related sequences over `alphabet`: the target is the query with about 10%
// substitutions.
std::pair<std::string, std::string> related_pair(std::size_t length,
                                                 std::string_view alphabet = "ACGT") {
    std::mt19937_64 rng(length);
    std::string query(length, 'A');
    for (auto& c : query)
        c = alphabet[rng() % alphabet.size()];
    std::string target = query;
    for (auto& c : target)
        if (rng() % 10 == 0)
            c = alphabet[rng() % alphabet.size()];
    return {query, target};
}

const SubstitutionScoring& scoring() {
    static const SubstitutionScoring s =
        SubstitutionScoring::match_mismatch(kMatch, kMismatchPenalty);
    return s;
}

void set_cells(benchmark::State& state, std::size_t m, std::size_t n) {
    state.counters["cells/s"] = benchmark::Counter(
        static_cast<double>(m) * static_cast<double>(n) * static_cast<double>(state.iterations()),
        benchmark::Counter::kIsRate);
}

void BM_LastRow(benchmark::State& state, Isa isa, Lanes lanes, std::size_t length) {
    if (static_cast<std::uint8_t>(isa) > static_cast<std::uint8_t>(simd::machine_isa())) {
        state.SkipWithError("instruction set not available on this machine");
        return;
    }
    const auto [q, t] = related_pair(length);
    const simd::ScopedIsaCap cap(isa);
    std::vector<std::int32_t> row(t.size() + 1);
    detail::LinearKernel kernel;
    for (auto _ : state) {
        for (std::size_t j = 0; j < row.size(); ++j)
            row[j] = static_cast<std::int32_t>(j) * kGap;
        kernel = detail::advance_linear_rows(row, q, t, scoring(), kGap,
                                             detail::LinearStart::global_origin, nullptr, lanes);
        benchmark::DoNotOptimize(row.back());
    }
    if (kernel.lanes != lanes || (lanes != Lanes::scalar && kernel.isa != isa)) {
        state.SkipWithError("the pass ran on another kernel than asked for");
        return;
    }
    if (row != nw_last_row_reference(q, t, scoring(), kGap)) {
        state.SkipWithError("last row differs from the reference");
        return;
    }
    set_cells(state, q.size(), t.size());
}

void BM_LastRowReference(benchmark::State& state, std::size_t length) {
    const auto [q, t] = related_pair(length);
    for (auto _ : state)
        benchmark::DoNotOptimize(nw_last_row_reference(q, t, scoring(), kGap).back());
    set_cells(state, q.size(), t.size());
}

// The local best cell (Smith-Waterman, score only) with the peer table's scores: match 2,
// mismatch -4, gap -4, whose best cell at 10,000 x 10,000 may reach 20,000.
void BM_LocalBest(benchmark::State& state, Isa isa, Lanes lanes, std::size_t length) {
    if (static_cast<std::uint8_t>(isa) > static_cast<std::uint8_t>(simd::machine_isa())) {
        state.SkipWithError("instruction set not available on this machine");
        return;
    }
    const auto [q, t] = related_pair(length);
    const auto local_scoring = SubstitutionScoring::match_mismatch(2, 4);
    const simd::ScopedIsaCap cap(isa);
    detail::LinearKernel kernel;
    std::int32_t best = 0;
    for (auto _ : state) {
        best = detail::local_linear_best(q, t, local_scoring, -4, lanes, &kernel);
        benchmark::DoNotOptimize(best);
    }
    if (kernel.lanes != lanes || (lanes != Lanes::scalar && kernel.isa != isa)) {
        state.SkipWithError("the pass ran on another kernel than asked for");
        return;
    }
    if (best != detail::local_linear_best_reference(q, t, local_scoring, -4)) {
        state.SkipWithError("best cell differs from the reference");
        return;
    }
    set_cells(state, q.size(), t.size());
}

// The whole engine (forward pass, splits, leaf tables and tracebacks) on one instruction set:
// DNA with unit scores, or protein with BLOSUM62 and gap -4.
void BM_NwEngine(benchmark::State& state, Isa isa, bool protein, std::size_t length) {
    if (static_cast<std::uint8_t>(isa) > static_cast<std::uint8_t>(simd::machine_isa())) {
        state.SkipWithError("instruction set not available on this machine");
        return;
    }
    const auto [q, t] = related_pair(length, protein ? "ARNDCQEGHILKMFPSTWYV" : "ACGT");
    const NwProblem problem{
        .scoring =
            protein ? SubstitutionScoring::matrix(SubstitutionMatrix::blosum62()) : scoring(),
        .query = q,
        .target = t,
        .gap = protein ? -4 : kGap};
    const auto block =
        static_cast<std::uint64_t>(std::ceil(std::sqrt(static_cast<double>(length))));
    const simd::ScopedIsaCap cap(isa);
    for (auto _ : state) {
        auto run = RuxEngine<NwProblem>(problem, block).run_with_stats();
        benchmark::DoNotOptimize(run.score);
    }
    set_cells(state, q.size(), t.size());
}

#ifdef RUX_HAVE_PARASAIL

// parasail takes positive penalties; a gap of k symbols costs open + (k - 1) extend, so a linear
// gap has open = extend = -gap (checked against nw_last_row below).
constexpr int kParasailGap = -kGap;

parasail_matrix_t* parasail_scoring() {
    static parasail_matrix_t* matrix = parasail_matrix_create("ACGT", kMatch, -kMismatchPenalty);
    return matrix;
}

int parasail_score(const std::string& q, const std::string& t) {
    parasail_result_t* result = parasail_nw_scan_16(q.data(), static_cast<int>(q.size()), t.data(),
                                                    static_cast<int>(t.size()), kParasailGap,
                                                    kParasailGap, parasail_scoring());
    const int score = parasail_result_is_saturated(result) ? std::numeric_limits<int>::min()
                                                           : parasail_result_get_score(result);
    parasail_result_free(result);
    return score;
}

// The two scores agree on small random pairs and on the benchmark's pairs.
bool parasail_agrees(std::size_t length) {
    std::mt19937_64 rng(3);
    for (int k = 0; k < 200; ++k) {
        std::string q(1 + rng() % 40, 'A');
        std::string t(1 + rng() % 40, 'A');
        for (auto& c : q)
            c = "ACGT"[rng() % 4];
        for (auto& c : t)
            c = "ACGT"[rng() % 4];
        if (parasail_score(q, t) != nw_last_row(q, t, scoring(), kGap).back())
            return false;
    }
    const auto [q, t] = related_pair(length);
    return parasail_score(q, t) == nw_last_row(q, t, scoring(), kGap).back();
}

void BM_ParasailScan16(benchmark::State& state, std::size_t length) {
    if (!parasail_agrees(length)) {
        state.SkipWithError("parasail and nw_last_row disagree");
        return;
    }
    const auto [q, t] = related_pair(length);
    for (auto _ : state) {
        parasail_result_t* result = parasail_nw_scan_16(
            q.data(), static_cast<int>(q.size()), t.data(), static_cast<int>(t.size()),
            kParasailGap, kParasailGap, parasail_scoring());
        benchmark::DoNotOptimize(parasail_result_get_score(result));
        parasail_result_free(result);
    }
    set_cells(state, q.size(), t.size());
}

void BM_ParasailScanProfile16(benchmark::State& state, std::size_t length) {
    const auto [q, t] = related_pair(length);
    parasail_profile_t* profile =
        parasail_profile_create_16(q.data(), static_cast<int>(q.size()), parasail_scoring());
    int score = 0;
    for (auto _ : state) {
        parasail_result_t* result = parasail_nw_scan_profile_16(
            profile, t.data(), static_cast<int>(t.size()), kParasailGap, kParasailGap);
        score = parasail_result_get_score(result);
        benchmark::DoNotOptimize(score);
        parasail_result_free(result);
    }
    parasail_profile_free(profile);
    if (score != nw_last_row(q, t, scoring(), kGap).back()) {
        state.SkipWithError("parasail and nw_last_row disagree");
        return;
    }
    set_cells(state, q.size(), t.size());
}

#endif  // RUX_HAVE_PARASAIL

const bool registered = [] {
    struct Variant {
        const char* name;
        Isa isa;
        Lanes lanes;
    };
    const Variant variants[] = {
        {"avx512bw_16", Isa::avx512bw, Lanes::bits16},
        {"avx512bw_32", Isa::avx512bw, Lanes::bits32},
        {"avx2_16", Isa::avx2, Lanes::bits16},
        {"avx2_32", Isa::avx2, Lanes::bits32},
        {"scalar", Isa::scalar, Lanes::scalar},
    };
    for (const std::size_t length : {std::size_t{1000}, std::size_t{10000}}) {
        const std::string size = "/" + std::to_string(length);
        for (const Variant& v : variants)
            benchmark::RegisterBenchmark(("BM_NwLastRow/" + std::string(v.name) + size).c_str(),
                                         BM_LastRow, v.isa, v.lanes, length)
                ->Unit(benchmark::kMillisecond);
        for (const Variant& v : variants)
            benchmark::RegisterBenchmark(("BM_LocalBest/" + std::string(v.name) + size).c_str(),
                                         BM_LocalBest, v.isa, v.lanes, length)
                ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("BM_NwLastRow/reference" + size).c_str(), BM_LastRowReference,
                                     length)
            ->Unit(benchmark::kMillisecond);
#ifdef RUX_HAVE_PARASAIL
        benchmark::RegisterBenchmark(("BM_Parasail/nw_scan_16" + size).c_str(), BM_ParasailScan16,
                                     length)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("BM_Parasail/nw_scan_profile_16" + size).c_str(),
                                     BM_ParasailScanProfile16, length)
            ->Unit(benchmark::kMillisecond);
#endif
        for (const bool protein : {false, true})
            for (const Isa isa : {Isa::avx512bw, Isa::avx2, Isa::scalar})
                benchmark::RegisterBenchmark(
                    ("BM_NwEngine/" + std::string(protein ? "protein_" : "dna_")
                     + (isa == Isa::scalar ? "scalar"
                        : isa == Isa::avx2 ? "avx2"
                                           : "avx512bw")
                     + size)
                        .c_str(),
                    BM_NwEngine, isa, protein, length)
                    ->Unit(benchmark::kMillisecond);
    }
    return true;
}();

}  // namespace

BENCHMARK_MAIN();
