#include "rux_dp/oracle/traceback.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "oracle/oracle_fixtures.hpp"
#include "rux_dp/problems/nw_affine.hpp"
#include "support/score_dp_brute_force.hpp"

namespace rux_dp {
namespace {

using namespace oracle_test;
namespace ts = test_support;

constexpr std::string_view out_of_range =
    "alignment scores of this pair could exceed the exact 32-bit kernel range; use smaller "
    "scoring values";

SolveRequest affine_request(std::string query, std::string target, std::string backend,
                            std::uint64_t band, ProblemSpec problem = affine_problem()) {
    SolveRequest r = request_for(std::move(problem), std::move(query), std::move(target));
    r.backend = std::move(backend);
    r.band = band;
    return r;
}

std::int64_t reference_value(const SolveRequest& r) {
    const auto reference = reference_objective(r.problem, r.query, r.target);
    EXPECT_TRUE(reference.has_value()) << reference.error();
    return reference ? reference->value : 0;
}

// Plain Levenshtein distance, independent of the kernels.
std::int64_t levenshtein(std::string_view q, std::string_view t) {
    std::vector<std::int64_t> row(t.size() + 1);
    for (std::size_t j = 0; j <= t.size(); ++j)
        row[j] = static_cast<std::int64_t>(j);
    for (std::size_t i = 1; i <= q.size(); ++i) {
        std::int64_t diagonal = row[0];
        row[0] = static_cast<std::int64_t>(i);
        for (std::size_t j = 1; j <= t.size(); ++j) {
            const std::int64_t up = row[j];
            row[j] = std::min({up + 1, row[j - 1] + 1, diagonal + (q[i - 1] == t[j - 1] ? 0 : 1)});
            diagonal = up;
        }
    }
    return row[t.size()];
}

TEST(DefaultBlockSize, CeilingOfTheSquareRoot) {
    const std::vector<std::pair<std::uint64_t, std::uint64_t>> cases = {
        {0, 1},  {1, 1},  {2, 2},  {4, 2},  {5, 3},           {10, 4},
        {16, 4}, {17, 5}, {64, 8}, {65, 9}, {1'000'000, 1000}};
    for (const auto& [m, expected] : cases)
        EXPECT_EQ(default_block_size(m), expected) << m;
}

TEST(SolveTrace, EmptyEditDistance) {
    const auto traced = solve_trace(request_for(edit_problem(), "", ""));
    ASSERT_TRUE(traced.has_value()) << traced.error();
    EXPECT_EQ(traced->backend, "adaptive-banded");
    EXPECT_EQ(traced->objective, (Objective{.kind = ObjectiveKind::distance, .value = 0}));
    EXPECT_TRUE(traced->realized);
    EXPECT_TRUE(traced->trace.cigar.empty());
    EXPECT_EQ(traced->trace.query_span, (AlignmentSpan{0, 0}));
    EXPECT_EQ(traced->trace.target_span, (AlignmentSpan{0, 0}));
}

TEST(SolveTrace, ErrorTexts) {
    struct Case {
        std::string name;
        SolveRequest request;
        std::string message;
    };
    SolveRequest incompatible = request_for(edit_problem(), "A", "A");
    incompatible.problem.mode = AlignmentMode::local_linear;
    SolveRequest bad_matrix = request_for(
        ProblemSpec{.mode = AlignmentMode::global_affine,
                    .scoring = AffineScoring{.substitution = MatrixScheme{.name = "m",
                                                                          .alphabet = {},
                                                                          .scores = {},
                                                                          .source_sha256 = {}},
                                             .gap_open = -1,
                                             .gap_extend = -1}},
        "A", "A");
    const std::vector<Case> cases = {
        {"incompatible", incompatible, "problem mode and scoring model are incompatible"},
        {"conversion error", bad_matrix, "substitution matrix alphabet must not be empty"},
        {"unsupported affine backend", affine_request("AC", "AC", "myers", 64),
         "unsupported affine backend 'myers'"},
        {"banded-affine band too small", affine_request("ACGTACGTAC", "AC", "banded-affine", 3),
         "banded-affine did not find an optimum inside band 3; use --backend auto or increase "
         "--band"},
        {"range", request_for(linear_problem(AlignmentMode::local_linear, 1 << 26), "AC", "AC"),
         std::string(out_of_range)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto traced = solve_trace(c.request);
        ASSERT_FALSE(traced.has_value());
        EXPECT_EQ(traced.error(), c.message);
    }
}

// The refusal sits at (m + n) x largest absolute column score = 2^28, for traces and references.
TEST(SolveTrace, ExactRangeBoundary) {
    struct Case {
        ProblemSpec problem;
        std::string query;
        std::string target;
        bool refused;
    };
    const ProblemSpec big_matrix{
        .mode = AlignmentMode::semiglobal_linear,
        .scoring = LinearScoring{.substitution = MatrixScheme{.name = "big",
                                                              .alphabet = {"A", "C"},
                                                              .scores = {{1, -(1 << 26)}, {0, 1}},
                                                              .source_sha256 = {}},
                                 .gap = -1}};
    const std::vector<Case> cases = {
        {linear_problem(AlignmentMode::global_linear, 1 << 27), "A", "A", true},
        {linear_problem(AlignmentMode::global_linear, (1 << 27) - 1), "A", "A", false},
        {linear_problem(AlignmentMode::global_linear, 1, 1, -(1 << 26)), "AC", "AC", true},
        {linear_problem(AlignmentMode::global_linear, 1, 1, -(1 << 26)), "AC", "A", false},
        {affine_problem(-(1 << 25), -(1 << 25)), "ACGT", "", true},
        {affine_problem(-(1 << 25), -(1 << 25)), "ACG", "", false},
        {big_matrix, "AC", "AC", true},
        {big_matrix, "AC", "A", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(mode_name(c.problem.mode)) + " " + pair_text(c.query, c.target));
        const auto traced = solve_trace(request_for(c.problem, c.query, c.target));
        const auto reference = reference_objective(c.problem, c.query, c.target);
        if (c.refused) {
            ASSERT_FALSE(traced.has_value());
            EXPECT_EQ(traced.error(), out_of_range);
            ASSERT_FALSE(reference.has_value());
            EXPECT_EQ(reference.error(), out_of_range);
        } else {
            ASSERT_TRUE(traced.has_value()) << traced.error();
            ASSERT_TRUE(reference.has_value()) << reference.error();
            EXPECT_TRUE(traced->realized);
            EXPECT_EQ(traced->objective, *reference);
        }
    }
    // Edit distances are never refused.
    EXPECT_TRUE(solve_trace(request_for(edit_problem(), std::string(1000, 'A'), "C")).has_value());
}

TEST(ReferenceObjective, KnownValues) {
    struct Case {
        ProblemSpec problem;
        std::string query;
        std::string target;
        Objective expected;
    };
    const auto score = [](std::int64_t v) {
        return Objective{.kind = ObjectiveKind::score, .value = v};
    };
    const std::vector<Case> cases = {
        {edit_problem(), "", "", {.kind = ObjectiveKind::distance, .value = 0}},
        {edit_problem(), "", "ACGT", {.kind = ObjectiveKind::distance, .value = 4}},
        {edit_problem(), "ACGT", "AGT", {.kind = ObjectiveKind::distance, .value = 1}},
        {edit_problem(), "AC", "CA", {.kind = ObjectiveKind::distance, .value = 2}},
        {linear_problem(AlignmentMode::global_linear), "", "", score(0)},
        {linear_problem(AlignmentMode::global_linear), "ACGT", "", score(-8)},
        {linear_problem(AlignmentMode::global_linear), "ACGT", "ACT", score(4)},
        {affine_problem(), "ACGT", "", score(-8)},
        {affine_problem(), "AACCGGTT", "AAGGTT", score(6)},
        {linear_problem(AlignmentMode::local_linear), "TTTACGTTT", "GGACGGG", score(6)},
        {linear_problem(AlignmentMode::local_linear), "AAAA", "CCCC", score(0)},
        {linear_problem(AlignmentMode::semiglobal_linear), "ACG", "TTACGTT", score(6)},
        {linear_problem(AlignmentMode::semiglobal_linear), "ACG", "", score(-6)},
        {blosum_problem(AlignmentMode::global_linear), "wc", "WC", score(20)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(mode_name(c.problem.mode)) + " " + pair_text(c.query, c.target));
        EXPECT_EQ(reference_objective(c.problem, c.query, c.target), Result<Objective>(c.expected));
    }
    ProblemSpec incompatible = affine_problem();
    incompatible.mode = AlignmentMode::semiglobal_linear;
    EXPECT_EQ(reference_objective(incompatible, "A", "A").error(),
              "problem mode and scoring model are incompatible");
    ProblemSpec bad_symbol = linear_problem(AlignmentMode::local_linear);
    std::get<LinearScoring>(bad_symbol.scoring).substitution =
        MatrixScheme{.name = "m", .alphabet = {"AB"}, .scores = {{1}}, .source_sha256 = {}};
    EXPECT_EQ(reference_objective(bad_symbol, "A", "A").error(),
              "matrix alphabet symbol 'AB' must be one ASCII character");
}

// reference_objective and solve_trace against plain full-table DPs that share nothing with them.
TEST(ReferenceObjective, MatchesIndependentDynamicProgramming) {
    std::mt19937_64 rng(5301);
    const auto s = ts::match_mismatch_score(2, 3);
    for (int round = 0; round < 150; ++round) {
        const auto [query, target] = random_pair(rng, 40);
        SCOPED_TRACE(pair_text(query, target));
        const std::int64_t expected[] = {levenshtein(query, target),
                                         ts::bf_global_linear(query, target, s, -2),
                                         ts::bf_global_affine(query, target, s, -4, -1),
                                         ts::bf_local_linear(query, target, s, -2),
                                         ts::bf_semiglobal_linear(query, target, s, -2)};
        const auto problems = every_mode();
        for (std::size_t k = 0; k < problems.size(); ++k) {
            SCOPED_TRACE(std::string(mode_name(problems[k].mode)));
            const auto reference = reference_objective(problems[k], query, target);
            ASSERT_TRUE(reference.has_value()) << reference.error();
            EXPECT_EQ(reference->value, expected[k]);
            SolveRequest r = request_for(problems[k], query, target);
            r.block_size = 1 + rng() % 5;
            const auto traced = solve_trace(r);
            ASSERT_TRUE(traced.has_value()) << traced.error();
            EXPECT_TRUE(traced->realized);
            EXPECT_EQ(traced->objective.value, expected[k]);
        }
    }
}

TEST(TraceRecord, OperationsOnlyWhenIncluded) {
    const std::vector<PathCell> cells = {{0, 0}, {1, 1}, {2, 1}, {2, 2}, {3, 3}};
    const AlignmentTrace trace = AlignmentTrace::from_cells("ACGT", "AGTT", cells);
    const auto without = trace_record(trace, false);
    ASSERT_TRUE(without.has_value()) << without.error();
    EXPECT_EQ(without->cigar.text(), "1=1I1D1X");
    EXPECT_EQ(without->query_span, (AlignmentSpan{0, 3}));
    EXPECT_EQ(without->target_span, (AlignmentSpan{0, 3}));
    EXPECT_FALSE(without->operations.has_value());
    const auto with = trace_record(trace, true);
    ASSERT_TRUE(with.has_value()) << with.error();
    EXPECT_EQ(with->operations, trace.operations);
    EXPECT_EQ(with->operations->size(), 4u);
}

TEST(GlobalAffineAuto, BandTooNarrowIsWidened) {
    SolveRequest r = affine_request("ACGTACGTAC", "AC", "auto", 3);
    r.block_size = 7;  // not used by the banded kernel
    const auto traced = solve_trace(r);
    ASSERT_TRUE(traced.has_value()) << traced.error();
    EXPECT_EQ(traced->backend, "banded-affine");
    EXPECT_TRUE(traced->realized);
    EXPECT_EQ(traced->objective.value, reference_value(r));
}

TEST(GlobalAffineAuto, BandCoveringTheTableKeepsTheBandedResult) {
    std::mt19937_64 rng(77);
    for (int round = 0; round < 20; ++round) {
        // Unrelated pairs: only the band's coverage of the whole table proves them optimal.
        const std::string query = ts::random_sequence(rng, 1 + rng() % 50);
        const std::string target = ts::random_sequence(rng, 1 + rng() % 50);
        const SolveRequest r = affine_request(query, target, "auto", 64);
        const auto traced = solve_trace(r);
        ASSERT_TRUE(traced.has_value()) << traced.error();
        EXPECT_EQ(traced->backend, "banded-affine") << pair_text(query, target);
        EXPECT_EQ(traced->objective.value, reference_value(r)) << pair_text(query, target);
    }
}

// A pair whose optimum shifts 100 diagonals away and back: 300 symbols, a 100-symbol deletion
// and a 100-symbol insertion. The result inside the band of 64 is worse; auto must widen the band
// until the result is proved optimal.
TEST(GlobalAffineAuto, OptimumOutsideTheBandIsFoundExactly) {
    std::mt19937_64 rng(300100);
    for (int round = 0; round < 3; ++round) {
        const std::string prefix = ts::random_sequence(rng, 100);
        const std::string removed = ts::random_sequence(rng, 100);
        const std::string middle = ts::random_sequence(rng, 100);
        const std::string added = ts::random_sequence(rng, 100);
        const std::string query = prefix + removed + middle;
        const std::string target = mutated(rng, prefix, 20) + middle + added;
        SCOPED_TRACE(pair_text(query, target));
        const SolveRequest r = affine_request(query, target, "auto", 64);
        const std::int64_t optimum = reference_value(r);
        const auto traced = solve_trace(r);
        ASSERT_TRUE(traced.has_value()) << traced.error();
        EXPECT_EQ(traced->backend, "banded-affine");
        EXPECT_TRUE(traced->realized);
        EXPECT_EQ(traced->objective.value, optimum);
        const auto banded = solve_trace(affine_request(query, target, "banded-affine", 64));
        ASSERT_TRUE(banded.has_value()) << banded.error();
        EXPECT_LT(banded->objective.value, optimum);
    }
    // One long deletion alone: the end diagonal itself lies outside the band.
    const std::string source = ts::random_sequence(rng, 300);
    const std::string query = source;
    const std::string target = source.substr(0, 120) + source.substr(220);
    const SolveRequest r = affine_request(query, target, "auto", 64);
    const auto traced = solve_trace(r);
    ASSERT_TRUE(traced.has_value()) << traced.error();
    EXPECT_EQ(traced->backend, "banded-affine");
    EXPECT_EQ(traced->objective.value, reference_value(r));
    EXPECT_EQ(traced->objective.value, 200 * 2 - 4 - 100);
}

TEST(GlobalAffineAuto, SimilarLongPairsStayBanded) {
    std::mt19937_64 rng(4242);
    for (int round = 0; round < 4; ++round) {
        const std::string query = ts::random_sequence(rng, 300);
        std::string target = query;
        for (int k = 0; k < 6; ++k)
            target[rng() % target.size()] = "ACGT"[rng() % 4];
        target.erase(100 + rng() % 50, 1 + rng() % 3);
        SCOPED_TRACE(pair_text(query, target));
        const SolveRequest r = affine_request(query, target, "auto", 64);
        const auto traced = solve_trace(r);
        ASSERT_TRUE(traced.has_value()) << traced.error();
        EXPECT_EQ(traced->backend, "banded-affine");
        EXPECT_EQ(traced->objective.value, reference_value(r));
    }
}

// Positive gap values defeat the bound for leaving the band: only the whole table certifies.
TEST(GlobalAffineAuto, PositiveGapValuesWidenToTheWholeTable) {
    std::mt19937_64 rng(9);
    const std::string query = ts::random_sequence(rng, 100);
    const std::string target = mutated(rng, query, 10);
    const SolveRequest r = affine_request(query, target, "auto", 8, affine_problem(0, 1));
    const auto traced = solve_trace(r);
    ASSERT_TRUE(traced.has_value()) << traced.error();
    EXPECT_EQ(traced->backend, "banded-affine");
    EXPECT_EQ(traced->objective.value, reference_value(r));
    const auto whole = solve_trace(affine_request(query, target, "banded-affine", 200,
                                                  affine_problem(0, 1)));
    ASSERT_TRUE(whole.has_value()) << whole.error();
    EXPECT_EQ(traced->trace, whole->trace);
}

// Whatever the band, auto reports the optimum; a banded result at the band asked for is kept when
// it is the optimum.
TEST(GlobalAffineAuto, NarrowBandsOnRandomPairs) {
    std::mt19937_64 rng(123457);
    int banded_kept = 0;
    int widened = 0;
    for (int round = 0; round < 300; ++round) {
        const auto [query, target] = random_pair(rng, 60);
        const std::uint64_t band = rng() % 8;
        const ProblemSpec problem = affine_problem(-static_cast<std::int32_t>(rng() % 6),
                                                   -static_cast<std::int32_t>(rng() % 3),
                                                   1 + static_cast<std::int32_t>(rng() % 3));
        SCOPED_TRACE(pair_text(query, target) + " band " + std::to_string(band));
        const SolveRequest r = affine_request(query, target, "auto", band, problem);
        const std::int64_t optimum = reference_value(r);
        const auto traced = solve_trace(r);
        ASSERT_TRUE(traced.has_value()) << traced.error();
        EXPECT_TRUE(traced->realized);
        EXPECT_EQ(traced->objective.value, optimum);
        EXPECT_EQ(traced->backend, "banded-affine");
        const auto banded =
            solve_trace(affine_request(query, target, "banded-affine", band, problem));
        if (banded && banded->trace == traced->trace)
            ++banded_kept;
        else
            ++widened;
    }
    // Both outcomes are exercised.
    EXPECT_GT(banded_kept, 0);
    EXPECT_GT(widened, 0);
}

// With a score the band goes to the narrowest one where that score certifies; without one it
// doubles (at least to the length difference); it stops at the budget or the whole table.
TEST(GlobalAffineAuto, WidenedBand) {
    const std::string query(10'000, 'A');
    const std::string target(9'990, 'A');
    const auto gaps = std::get<AffineScoring>(affine_problem().scoring);
    NwAffineProblem problem{.scoring = SubstitutionScoring::match_mismatch(2, 3),
                            .query = query,
                            .target = target,
                            .gap_open = gaps.gap_open,
                            .gap_extend = gaps.gap_extend};
    // No result inside a band narrower than the length difference.
    EXPECT_EQ(widened_band(problem, 3, std::nullopt), std::optional<std::uint64_t>(10));
    EXPECT_EQ(widened_band(problem, 64, std::nullopt), std::optional<std::uint64_t>(128));
    // A score far below the perfect one needs a much wider band to certify.
    const std::optional<std::uint64_t> jump = widened_band(problem, 64, 19'000);
    ASSERT_TRUE(jump.has_value());
    EXPECT_GT(*jump, 64u);
    EXPECT_TRUE(banded_affine_certified(problem, *jump, 19'000));
    EXPECT_FALSE(banded_affine_certified(problem, *jump - 1, 19'000));
    // Past the budget, or at the whole table, nothing.
    EXPECT_EQ(widened_band(problem, 64, std::nullopt, 1'000'000), std::nullopt);
    EXPECT_EQ(widened_band(problem, 10'000, std::nullopt), std::nullopt);
    EXPECT_EQ(widened_band(problem, 6'000, std::nullopt), std::optional<std::uint64_t>(10'000));
    EXPECT_EQ(widened_band(problem, 6'000, std::nullopt, 100'000'000), std::nullopt);
}

}  // namespace
}  // namespace rux_dp
