// The vector row kernels of the linear-gap problems against the plain references, on every
// instruction set this machine has and every lane width.

#include "rux_dp/engine/rux_engine.hpp"
#include "rux_dp/problems/kernel_detail.hpp"
#include "rux_dp/problems/linear_rows_detail.hpp"
#include "rux_dp/problems/nw_align.hpp"
#include "rux_dp/problems/semiglobal.hpp"
#include "rux_dp/problems/simd_dispatch.hpp"
#include "rux_dp/problems/smith_waterman.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "support/score_dp_brute_force.hpp"

namespace rux_dp {
namespace {

namespace ts = test_support;
using detail::LinearKernel;
using detail::LinearStart;
using simd::Isa;
using simd::Lanes;

constexpr std::string_view kDna = "ACGT";
constexpr std::string_view kProtein = "ARNDCQEGHILKMFPSTWYVBZX*";

std::vector<Isa> machine_isas() {
    std::vector<Isa> isas;
    for (const Isa isa : {Isa::scalar, Isa::avx2, Isa::avx512bw})
        if (static_cast<std::uint8_t>(isa) <= static_cast<std::uint8_t>(simd::machine_isa()))
            isas.push_back(isa);
    return isas;
}

const char* isa_name(Isa isa) {
    return isa == Isa::scalar ? "scalar" : isa == Isa::avx2 ? "avx2" : "avx512bw";
}

const char* lanes_name(Lanes lanes) {
    return lanes == Lanes::bits16 ? "bits16" : lanes == Lanes::bits32 ? "bits32" : "scalar";
}

struct ScoringCase {
    const char* name;
    SubstitutionScoring scoring;
    std::int32_t gap;
    std::string_view alphabet;
};

std::vector<ScoringCase> scoring_cases() {
    const auto blosum = SubstitutionScoring::matrix(SubstitutionMatrix::blosum62());
    const std::int32_t big = std::int32_t{1} << 20;
    const std::int32_t huge = std::int32_t{1} << 28;
    return {
        {"mm 2/3 gap -2", SubstitutionScoring::match_mismatch(2, 3), -2, kDna},
        {"mm 1/1 gap -1", SubstitutionScoring::match_mismatch(1, 1), -1, kDna},
        // Values near the 16-bit limit for a few hundred rows, and past it beyond.
        {"mm 40/40 gap -40", SubstitutionScoring::match_mismatch(40, 40), -40, kDna},
        // Local values up to 31,700 at 317 rows: 16-bit local lanes, 32-bit global ones.
        {"mm 100/100 gap -100", SubstitutionScoring::match_mismatch(100, 100), -100, kDna},
        {"mm 3/2 gap +1", SubstitutionScoring::match_mismatch(3, 2), 1, kDna},
        {"mm 1/5 gap +60", SubstitutionScoring::match_mismatch(1, 5), 60, kDna},
        {"mm 0/0 gap 0", SubstitutionScoring::match_mismatch(0, 0), 0, kDna},
        {"blosum62 gap -4", blosum, -4, kProtein},
        {"blosum62 gap +2", blosum, 2, kProtein},
        // 32-bit lanes only.
        {"mm 2^20 gap -2^19", SubstitutionScoring::match_mismatch(big, big / 2), -big / 2, kDna},
        // Beyond the 32-bit vector bound (and wrapping in the reference): the scalar kernel.
        {"mm 2^28 gap -2^28", SubstitutionScoring::match_mismatch(huge, huge), -huge, kDna},
        {"mm extreme",
         SubstitutionScoring::match_mismatch(std::numeric_limits<std::int32_t>::max(),
                                             std::numeric_limits<std::int32_t>::min()),
         std::numeric_limits<std::int32_t>::min(), kDna},
    };
}

constexpr std::size_t kLengths[] = {0,  1,  7,  8,  9,   15,  16,  17,  31, 32,
                                    33, 63, 64, 65, 127, 128, 129, 200, 317};

// Related or unrelated pairs, in turn: related ones have long diagonals, unrelated ones gaps.
std::string mutate(std::mt19937_64& rng, std::string s, std::string_view alphabet) {
    for (auto& c : s)
        if (rng() % 8 == 0)
            c = alphabet[rng() % alphabet.size()];
    return s;
}

struct Pair {
    std::string query, target;
};

std::vector<Pair> pairs_for(std::mt19937_64& rng, std::string_view alphabet) {
    std::vector<Pair> pairs;
    const std::size_t count = std::size(kLengths);
    for (std::size_t k = 0; k < count; ++k) {
        const std::size_t n = kLengths[k];
        const std::size_t m = kLengths[(k * 7 + 3) % count];
        const std::string target = ts::random_sequence(rng, n, alphabet);
        std::string query = k % 2 == 0 ? mutate(rng, target, alphabet).substr(0, m)
                                       : ts::random_sequence(rng, m, alphabet);
        if (query.size() < m)
            query += ts::random_sequence(rng, m - query.size(), alphabet);
        pairs.push_back({std::move(query), target});
    }
    return pairs;
}

// Every row of the reference after each query symbol, from `first`.
std::vector<std::int32_t> reference_rows(std::vector<std::int32_t> row, std::string_view query,
                                         std::string_view target,
                                         const SubstitutionScoring& scoring, std::int32_t gap) {
    const std::size_t n = target.size();
    std::vector<std::int32_t> all;
    std::vector<std::int32_t> next(n + 1);
    std::vector<std::int32_t> srow(n);
    for (const char symbol : query) {
        for (std::size_t j = 0; j < n; ++j)
            srow[j] = scoring.score(symbol, target[j]);
        detail::advance_nw_row_reference(row.data(), next.data(), srow.data(), n, gap);
        all.insert(all.end(), next.begin(), next.end());
        std::swap(row, next);
    }
    return all;
}

std::vector<std::int32_t> origin_row(std::size_t n, std::int32_t gap) {
    std::vector<std::int32_t> row(n + 1, 0);
    for (std::size_t j = 1; j <= n; ++j)
        row[j] = static_cast<std::int32_t>(static_cast<std::uint32_t>(row[j - 1])
                                           + static_cast<std::uint32_t>(gap));
    return row;
}

std::string describe(const ScoringCase& c, const Pair& p, Isa isa, Lanes lanes) {
    return std::string(c.name) + " isa " + isa_name(isa) + " lanes>=" + lanes_name(lanes) + " m "
           + std::to_string(p.query.size()) + " n " + std::to_string(p.target.size()) + "\nquery "
           + p.query + "\ntarget " + p.target;
}

// Every kernel of this machine ran at least once.
void expect_every_kernel_ran(const std::set<std::pair<Isa, Lanes>>& ran) {
    EXPECT_TRUE(ran.contains({Isa::scalar, Lanes::scalar}));
    for (const Isa isa : machine_isas()) {
        if (isa == Isa::scalar)
            continue;
        EXPECT_TRUE(ran.contains({isa, Lanes::bits16})) << isa_name(isa);
        EXPECT_TRUE(ran.contains({isa, Lanes::bits32})) << isa_name(isa);
    }
}

// Substitution rows are the input of every kernel and of the references alike, so they are held
// against the model itself: every length around the vector widths, offsets into the target, and
// nothing written past the end.
template <class T>
void expect_rows_match_model(const SubstitutionScoring& scoring, const std::string& target) {
    const detail::SubstitutionRows rows(scoring, target);
    for (std::size_t begin = 0; begin < 4 && begin <= target.size(); ++begin) {
        for (std::size_t end = begin; end <= target.size(); ++end) {
            for (const char symbol : {'A', 'C', 'g'}) {
                constexpr T guard = 12345;
                std::vector<T> out(end - begin + 1, guard);
                rows.fill(symbol, out.data(), begin, end);
                for (std::size_t k = 0; k < end - begin; ++k)
                    ASSERT_EQ(out[k], static_cast<T>(scoring.score(symbol, target[begin + k])))
                        << begin << " " << end << " " << k;
                ASSERT_EQ(out.back(), guard) << begin << " " << end;
            }
        }
    }
}

TEST(SimdKernels, SubstitutionRowsMatchTheModelOnEveryIsa) {
    std::mt19937_64 rng(99);
    const std::string target = ts::random_sequence(rng, 140, "ACGTg");
    for (const Isa isa : machine_isas()) {
        SCOPED_TRACE(isa_name(isa));
        const simd::ScopedIsaCap cap(isa);
        for (const auto& scoring :
             {SubstitutionScoring::match_mismatch(2, 4), SubstitutionScoring::match_mismatch(-1, 0),
              SubstitutionScoring::matrix(SubstitutionMatrix::blosum62())}) {
            expect_rows_match_model<std::int16_t>(scoring, target);
            expect_rows_match_model<std::int32_t>(scoring, target);
        }
    }
}

// The 64-bit local origins (tables past 2^32 cells) against the 32-bit ones, which the problem
// tests hold to the scalar rows: the same cell numbers from any bits, widths around the vectors.
TEST(SimdKernels, LocalOriginsAgreeInBothWidths) {
    if (simd::machine_isa() != Isa::avx512bw)
        GTEST_SKIP() << "no AVX-512BW";
    std::mt19937_64 rng(77);
    for (const std::size_t n : {1, 7, 8, 9, 15, 16, 17, 31, 32, 33, 63, 64, 65, 200}) {
        for (int round = 0; round < 20; ++round) {
            std::vector<std::uint32_t> bits(3 * detail::tight_words(n));
            // Long runs of horizontal cells as well as scattered ones.
            for (auto& word : bits)
                word = round % 2 == 0 ? static_cast<std::uint32_t>(rng())
                                      : static_cast<std::uint32_t>(rng() | rng() | rng());
            std::vector<std::uint32_t> above32(n + 1);
            for (auto& v : above32)
                v = static_cast<std::uint32_t>(rng());
            const std::vector<std::uint64_t> above64(above32.begin(), above32.end());
            const auto base = static_cast<std::uint32_t>(rng() % 1000000);
            std::vector<std::uint32_t> out32(n + 1);
            std::vector<std::uint64_t> out64(n + 1);
            ASSERT_TRUE(detail::carry_local_origins(bits.data(), n, above32.data(), out32.data(),
                                                    base));
            ASSERT_TRUE(detail::carry_local_origins(bits.data(), n, above64.data(), out64.data(),
                                                    std::uint64_t{base}));
            EXPECT_EQ(std::vector<std::uint64_t>(out32.begin(), out32.end()), out64) << n;
        }
    }
}

TEST(SimdKernels, GlobalRowsMatchReferenceOnEveryIsaAndLaneWidth) {
    std::mt19937_64 rng(20240611);
    std::set<std::pair<Isa, Lanes>> ran;
    for (const ScoringCase& c : scoring_cases()) {
        const std::vector<Pair> pairs = pairs_for(rng, c.alphabet);
        for (const Isa isa : machine_isas()) {
            const simd::ScopedIsaCap cap(isa);
            for (const Lanes narrowest : {Lanes::bits16, Lanes::bits32, Lanes::scalar}) {
                for (const Pair& p : pairs) {
                    SCOPED_TRACE(describe(c, p, isa, narrowest));
                    const std::size_t n = p.target.size();
                    const std::size_t width = n + 1;

                    // From row 0 of the table, keeping every row.
                    const std::vector<std::int32_t> expected =
                        reference_rows(origin_row(n, c.gap), p.query, p.target, c.scoring, c.gap);
                    std::vector<std::int32_t> row = origin_row(n, c.gap);
                    std::vector<std::int32_t> table(p.query.size() * width, -7);
                    const LinearKernel kernel = detail::advance_linear_rows(
                        row, p.query, p.target, c.scoring, c.gap, LinearStart::global_origin,
                        table.data(), narrowest);
                    ran.insert({kernel.isa, kernel.lanes});
                    ASSERT_EQ(table, expected);
                    const std::vector<std::int32_t> last =
                        nw_last_row_reference(p.query, p.target, c.scoring, c.gap);
                    ASSERT_EQ(row, last);

                    // From an arbitrary row, as a summary of the engine starts.
                    std::vector<std::int32_t> start(width);
                    for (auto& v : start)
                        v = static_cast<std::int32_t>(rng() % 2001) - 1000;
                    const std::vector<std::int32_t> from_any =
                        reference_rows(start, p.query, p.target, c.scoring, c.gap);
                    detail::advance_linear_rows(start, p.query, p.target, c.scoring, c.gap,
                                                LinearStart::any_row, nullptr, narrowest);
                    if (!p.query.empty()) {
                        ASSERT_TRUE(
                            std::equal(start.begin(), start.end(),
                                       from_any.end() - static_cast<std::ptrdiff_t>(width)));
                    }
                }
            }
        }
    }
    expect_every_kernel_ran(ran);
}

TEST(SimdKernels, LocalBestMatchesReferenceOnEveryIsaAndLaneWidth) {
    std::mt19937_64 rng(77);
    std::set<std::pair<Isa, Lanes>> ran;
    for (const ScoringCase& c : scoring_cases()) {
        const std::vector<Pair> pairs = pairs_for(rng, c.alphabet);
        for (const Isa isa : machine_isas()) {
            const simd::ScopedIsaCap cap(isa);
            for (const Lanes narrowest : {Lanes::bits16, Lanes::bits32, Lanes::scalar}) {
                for (const Pair& p : pairs) {
                    SCOPED_TRACE(describe(c, p, isa, narrowest));
                    LinearKernel kernel;
                    ASSERT_EQ(
                        detail::local_linear_best(p.query, p.target, c.scoring, c.gap, narrowest,
                                                  &kernel),
                        detail::local_linear_best_reference(p.query, p.target, c.scoring, c.gap));
                    ran.insert({kernel.isa, kernel.lanes});
                }
            }
        }
    }
    expect_every_kernel_ran(ran);
}

// The last vector of a row runs over columns that do not exist, on buffers that a wider pass
// filled before: nothing of it may reach a value or the local best. Each narrow pass follows a
// wide one of high scores, at every width around the vector widths.
TEST(SimdKernels, LanesPastTheLastColumnLeaveNoTrace) {
    std::mt19937_64 rng(314);
    const auto scoring = SubstitutionScoring::match_mismatch(5, 4);
    const std::int32_t gap = -3;
    const std::string wide(300, 'A');
    for (const Isa isa : machine_isas()) {
        const simd::ScopedIsaCap cap(isa);
        for (const Lanes narrowest : {Lanes::bits16, Lanes::bits32}) {
            for (std::size_t n = 16; n <= 70; ++n) {
                SCOPED_TRACE(std::string(isa_name(isa)) + " lanes>=" + lanes_name(narrowest) + " n "
                             + std::to_string(n));
                ASSERT_EQ(detail::local_linear_best(wide, wide, scoring, gap, narrowest), 5 * 300);
                const std::string target = ts::random_sequence(rng, n, "CG");
                const std::string query = ts::random_sequence(rng, 1 + rng() % 40, "CGT");
                ASSERT_EQ(detail::local_linear_best(query, target, scoring, gap, narrowest),
                          detail::local_linear_best_reference(query, target, scoring, gap));

                std::vector<std::int32_t> wide_row = origin_row(wide.size(), gap);
                detail::advance_linear_rows(wide_row, wide, wide, scoring, gap,
                                            LinearStart::global_origin, nullptr, narrowest);
                std::vector<std::int32_t> row = origin_row(n, gap);
                std::vector<std::int32_t> table(query.size() * (n + 1));
                detail::advance_linear_rows(row, query, target, scoring, gap,
                                            LinearStart::global_origin, table.data(), narrowest);
                ASSERT_EQ(table, reference_rows(origin_row(n, gap), query, target, scoring, gap));
            }
        }
    }
}

// Local passes use the whole 16-bit range: up to a best cell of 32,767 (reached exactly by
// identical sequences), scores and gap multiples down to -32,767; one step past either edge runs
// 32-bit lanes. Every instruction set gives the reference's value.
TEST(SimdKernels, LocalBestAtTheSixteenBitEdge) {
    std::mt19937_64 rng(2718);
    const std::string related = ts::random_sequence(rng, 300, kDna);
    struct Case {
        const char* name;
        std::string query, target;
        std::int32_t match, mismatch, gap;
        Lanes lanes;
    };
    // 32,767 = 151 x 217 = 200 x 151 + 2,567 x 1.
    const Case cases[] = {
        {"identical 151, match 217", std::string(151, 'A'), std::string(151, 'A'), 217, 217, -100,
         Lanes::bits16},
        {"identical 152, match 217", std::string(152, 'A'), std::string(152, 'A'), 217, 217, -100,
         Lanes::bits32},
        {"200 in 2,767, gap +1", std::string(200, 'A'), std::string(2767, 'A'), 151, 1, 1,
         Lanes::bits16},
        {"200 in 2,768, gap +1", std::string(200, 'A'), std::string(2768, 'A'), 151, 1, 1,
         Lanes::bits32},
        {"related 300, match 109", mutate(rng, related, kDna), related, 109, 109, -109,
         Lanes::bits16},
        {"related 300, match 110", mutate(rng, related, kDna), related, 110, 110, -110,
         Lanes::bits32},
        {"mismatch 32,703, gap -1", ts::random_sequence(rng, 200, kDna), related, 5, 32703, -1,
         Lanes::bits16},
        {"mismatch 32,704, gap -1", ts::random_sequence(rng, 200, kDna), related, 5, 32704, -1,
         Lanes::bits32},
        {"gap -511", mutate(rng, related, kDna), related, 3, 3, -511, Lanes::bits16},
        {"gap -512", mutate(rng, related, kDna), related, 3, 3, -512, Lanes::bits32},
    };
    for (const Isa isa : machine_isas()) {
        const simd::ScopedIsaCap cap(isa);
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.name) + " isa " + isa_name(isa));
            const auto scoring = SubstitutionScoring::match_mismatch(c.match, c.mismatch);
            LinearKernel kernel;
            ASSERT_EQ(detail::local_linear_best(c.query, c.target, scoring, c.gap, Lanes::bits16,
                                                &kernel),
                      detail::local_linear_best_reference(c.query, c.target, scoring, c.gap));
            const LinearKernel expected = isa == Isa::scalar
                                              ? LinearKernel{Isa::scalar, Lanes::scalar}
                                              : LinearKernel{isa, c.lanes};
            EXPECT_EQ(kernel, expected);
        }
        // The two edges themselves: the best cells are exactly 32,767.
        EXPECT_EQ(detail::local_linear_best(cases[0].query, cases[0].target,
                                            SubstitutionScoring::match_mismatch(217, 217), -100),
                  32767);
        EXPECT_EQ(detail::local_linear_best(cases[2].query, cases[2].target,
                                            SubstitutionScoring::match_mismatch(151, 1), 1),
                  32767);
    }
}

// The references themselves against the test's own 64-bit tables, where nothing wraps.
TEST(SimdKernels, ScoresMatchIndependentTables) {
    std::mt19937_64 rng(5);
    const ts::PairScore mm = ts::match_mismatch_score(2, 3);
    const SubstitutionScoring scoring = SubstitutionScoring::match_mismatch(2, 3);
    for (const std::int32_t gap : {-2, 1}) {
        for (const Pair& p : pairs_for(rng, kDna)) {
            SCOPED_TRACE(p.query + " | " + p.target + " gap " + std::to_string(gap));
            const auto row = nw_last_row(p.query, p.target, scoring, gap);
            EXPECT_EQ(row.back(), ts::bf_global_linear(p.query, p.target, mm, gap));
            EXPECT_EQ((SmithWatermanProblem{
                          .scoring = scoring, .query = p.query, .target = p.target, .gap = gap}
                           .full_table_score()),
                      ts::bf_local_linear(p.query, p.target, mm, gap));
            EXPECT_EQ((SemiGlobalProblem{
                          .scoring = scoring, .query = p.query, .target = p.target, .gap = gap}
                           .full_table_score()),
                      ts::bf_semiglobal_linear(p.query, p.target, mm, gap));
        }
    }
}

// The lane width follows the bound: 16 bits while every value fits, then 32, then the scalar
// kernel; rows narrower than a vector or no instruction set stay scalar.
TEST(SimdKernels, LaneWidthFollowsTheBound) {
    if (simd::machine_isa() == Isa::scalar)
        GTEST_SKIP() << "no vector instruction set on this machine";
    const Isa isa = simd::machine_isa();
    struct Case {
        std::size_t m, n;
        std::int32_t match, mismatch, gap;
        LinearKernel expected;
    };
    const Case cases[] = {
        {1000, 1000, 1, 1, -1, {isa, Lanes::bits16}},
        {10000, 10000, 1, 1, -1, {isa, Lanes::bits16}},
        {10000, 10000, 2, 3, -2, {isa, Lanes::bits32}},
        {100, 100, 1 << 20, 1 << 20, -(1 << 20), {Isa::scalar, Lanes::scalar}},
        {100, 15, 1, 1, -1, {Isa::scalar, Lanes::scalar}},
        {0, 100, 1, 1, -1, {Isa::scalar, Lanes::scalar}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.m) + " x " + std::to_string(c.n));
        const std::string query(c.m, 'A');
        const std::string target(c.n, 'C');
        const auto scoring = SubstitutionScoring::match_mismatch(c.match, c.mismatch);
        std::vector<std::int32_t> row = origin_row(c.n, c.gap);
        EXPECT_EQ(detail::advance_linear_rows(row, query, target, scoring, c.gap,
                                              LinearStart::global_origin),
                  c.expected);
    }
    // Local passes: the benchmark's pair (best cell at most 20,000) runs 16-bit lanes.
    const Case local_cases[] = {
        {10000, 10000, 2, 4, -4, {isa, Lanes::bits16}},
        {10000, 10000, 4, 4, -4, {isa, Lanes::bits32}},
        {100, 15, 2, 4, -4, {Isa::scalar, Lanes::scalar}},
    };
    for (const Case& c : local_cases) {
        SCOPED_TRACE("local " + std::to_string(c.m) + " x " + std::to_string(c.n));
        LinearKernel kernel;
        EXPECT_EQ(
            detail::local_linear_best(std::string(c.m, 'A'), std::string(c.n, 'C'),
                                      SubstitutionScoring::match_mismatch(c.match, c.mismatch),
                                      c.gap, Lanes::bits16, &kernel),
            0);
        EXPECT_EQ(kernel, c.expected);
    }
    const simd::ScopedIsaCap cap(Isa::scalar);
    std::vector<std::int32_t> row = origin_row(100, -1);
    EXPECT_EQ(detail::advance_linear_rows(row, std::string(100, 'A'), std::string(100, 'A'),
                                          SubstitutionScoring::match_mismatch(1, 1), -1,
                                          LinearStart::global_origin),
              (LinearKernel{Isa::scalar, Lanes::scalar}));
}

// A symbol outside the matrix raises the same violation on every instruction set.
TEST(SimdKernels, MissingMatrixSymbolRaisesTheSameViolation) {
    const auto blosum = SubstitutionScoring::matrix(SubstitutionMatrix::blosum62());
    const std::string target(40, 'A');
    for (const Isa isa : machine_isas()) {
        const simd::ScopedIsaCap cap(isa);
        SCOPED_TRACE(isa_name(isa));
        try {
            (void)nw_last_row("AAJA", target, blosum, -4);
            ADD_FAILURE() << "no invariant violation";
        } catch (const std::logic_error& e) {
            EXPECT_STREQ(e.what(),
                         "substitution matrix 'BLOSUM62' does not contain symbol pair 'J'/'A'");
        }
    }
}

// The engines' scores and paths do not depend on the instruction set.
TEST(SimdKernels, EnginePathsIdenticalAcrossIsas) {
    std::mt19937_64 rng(99);
    const auto blosum = SubstitutionScoring::matrix(SubstitutionMatrix::blosum62());
    struct Setting {
        SubstitutionScoring scoring;
        std::int32_t gap;
        std::string_view alphabet;
    };
    const Setting settings[] = {
        {SubstitutionScoring::match_mismatch(2, 3), -2, kDna},
        {SubstitutionScoring::match_mismatch(1, 1), 1, kDna},
        {blosum, -4, kProtein},
    };
    for (const Setting& s : settings) {
        for (const std::size_t length : {65u, 200u, 333u}) {
            const std::string target = ts::random_sequence(rng, length, s.alphabet);
            const std::string query = mutate(rng, target.substr(length / 10), s.alphabet);
            const std::uint64_t block = 1 + rng() % 20;
            SCOPED_TRACE("length " + std::to_string(length) + " block " + std::to_string(block));
            const NwProblem nw{
                .scoring = s.scoring, .query = query, .target = target, .gap = s.gap};
            const SmithWatermanProblem sw{
                .scoring = s.scoring, .query = query, .target = target, .gap = s.gap};
            const SemiGlobalProblem sg{
                .scoring = s.scoring, .query = query, .target = target, .gap = s.gap};
            std::vector<PathCell> nw_path, sw_path, sg_path;
            std::int32_t nw_score = 0, sw_score = 0, sg_score = 0;
            for (const Isa isa : machine_isas()) {
                SCOPED_TRACE(isa_name(isa));
                const simd::ScopedIsaCap cap(isa);
                const auto a = RuxEngine<NwProblem>(nw, block).run_with_stats();
                const auto b = RuxEngine<SmithWatermanProblem>(sw, block).run_with_stats();
                const auto c = RuxEngine<SemiGlobalProblem>(sg, block).run_with_stats();
                if (isa == Isa::scalar) {
                    nw_path = a.path, sw_path = b.path, sg_path = c.path;
                    nw_score = a.score, sw_score = b.score, sg_score = c.score;
                    continue;
                }
                EXPECT_EQ(a.path, nw_path);
                EXPECT_EQ(a.score, nw_score);
                EXPECT_EQ(b.path, sw_path);
                EXPECT_EQ(b.score, sw_score);
                EXPECT_EQ(c.path, sg_path);
                EXPECT_EQ(c.score, sg_score);
                EXPECT_EQ(nw_last_row(query, target, s.scoring, s.gap).back(), nw_score);
                EXPECT_EQ(sw.full_table_score(), sw_score);
                EXPECT_EQ(sg.full_table_score(), sg_score);
            }
        }
    }
}

}  // namespace
}  // namespace rux_dp
