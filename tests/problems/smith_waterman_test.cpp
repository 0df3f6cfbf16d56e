#include "rux_dp/problems/smith_waterman.hpp"

#include "rux_dp/base/invariant.hpp"
#include "rux_dp/engine/rux_engine.hpp"
#include "rux_dp/problems/simd_dispatch.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "support/score_dp_brute_force.hpp"

namespace rux_dp {
namespace {

namespace ts = test_support;
using Cells = std::vector<PathCell>;

void expect_invariant(const auto& fn, const char* text) {
    try {
        fn();
        ADD_FAILURE() << "no invariant violation, expected: " << text;
    } catch (const InvariantViolation& e) {
        EXPECT_STREQ(e.what(), text);
    }
}

EngineRun<PathCell> run_sw(const SmithWatermanProblem& problem, std::uint64_t block_size) {
    return RuxEngine<SmithWatermanProblem>::make(problem, block_size).run_with_stats();
}

const SubstitutionScoring mm23 = SubstitutionScoring::match_mismatch(2, 3);

SwBoundary terminal_of(const SmithWatermanProblem& problem) {
    return problem.terminal_boundary(
        problem.summarize_block(0, problem.query.size()).apply(problem.init_frontier()));
}

// The first cell in row-major order holding the best local score, and that score.
std::pair<PathCell, std::int64_t> bf_best_end(std::string_view q, std::string_view t,
                                              const ts::PairScore& s, std::int64_t gap) {
    const std::size_t m = q.size(), n = t.size();
    std::vector<std::vector<std::int64_t>> d(m + 1, std::vector<std::int64_t>(n + 1, 0));
    PathCell at{0, 0};
    std::int64_t best = 0;
    for (std::size_t i = 1; i <= m; ++i)
        for (std::size_t j = 1; j <= n; ++j) {
            d[i][j] = std::max({std::int64_t{0}, d[i - 1][j - 1] + s(q[i - 1], t[j - 1]),
                                d[i - 1][j] + gap, d[i][j - 1] + gap});
            if (d[i][j] > best)
                best = d[i][j], at = {i, j};
        }
    return {at, best};
}

TEST(SmithWatermanProblem, KnownCases) {
    struct Case {
        std::string query, target;
        std::uint64_t block_size;
        std::int32_t score;
        Cells path;
    };
    const Case cases[] = {
        {"TTACGTT", "CACGA", 2, 6, {{2, 1}, {3, 2}, {4, 3}, {5, 4}}},
        {"TTACGTT", "CACGA", 1, 6, {{2, 1}, {3, 2}, {4, 3}, {5, 4}}},
        {"TTACGTT", "CACGA", 7, 6, {{2, 1}, {3, 2}, {4, 3}, {5, 4}}},
        {"A", "C", 1, 0, {}},
        {"", "", 1, 0, {}},
        {"", "ACGT", 1, 0, {}},
        {"ACGT", "", 3, 0, {}},
        // Two equally good alignments: the end cell first in row-major order wins.
        {"AC", "ACTTAC", 1, 4, {{0, 0}, {1, 1}, {2, 2}}},
        {"ACTTAC", "AC", 2, 4, {{0, 0}, {1, 1}, {2, 2}}},
        // A gap inside the local alignment.
        {"ACGTTACGT",
         "ACGTACGT",
         3,
         14,
         {{0, 0}, {1, 1}, {2, 2}, {3, 3}, {4, 3}, {5, 4}, {6, 5}, {7, 6}, {8, 7}, {9, 8}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.query + " | " + c.target + " block " + std::to_string(c.block_size));
        const SmithWatermanProblem problem{
            .scoring = mm23, .query = c.query, .target = c.target, .gap = -2};
        const auto run = run_sw(problem, c.block_size);
        EXPECT_EQ(run.score, c.score);
        EXPECT_EQ(run.path, c.path);
        EXPECT_EQ(problem.score_path(run.path), (PathScore{true, c.score}));
        EXPECT_EQ(problem.full_table_score(), c.score);
    }
}

TEST(SmithWatermanProblem, TerminalBoundaryCarriesTheSelection) {
    const std::string q = "TTACGTT", t = "CACGA";
    const SmithWatermanProblem problem{.scoring = mm23, .query = q, .target = t, .gap = -2};
    EXPECT_EQ(terminal_of(problem), (SwBoundary{.row = 7,
                                                .col = 4,
                                                .start = {2, 1},
                                                .end = {5, 4},
                                                .score = 6,
                                                .state = SwState::after}));
    const std::string a = "A", c = "C";
    const SmithWatermanProblem none{.scoring = mm23, .query = a, .target = c, .gap = -2};
    EXPECT_EQ(terminal_of(none), (SwBoundary{.row = 1, .col = 0, .state = SwState::before}));
}

TEST(SmithWatermanProblem, TiesBetweenCandidatesKeepTheGapOrigin) {
    // With gap 0, cell (2, 1) of AA against A is reached as well by the diagonal from (1, 0) as
    // by the vertical from (1, 1); the vertical candidate's origin (0, 0) is kept.
    const std::string q = "AA", t = "A";
    const SmithWatermanProblem problem{.scoring = mm23, .query = q, .target = t, .gap = 0};
    const SwFrontier row1 = advance_sw_row('A', 1, t, mm23, 0, problem.init_frontier());
    EXPECT_EQ(row1.H, (std::vector<std::int32_t>{0, 2}));
    EXPECT_EQ(row1.origins, (Cells{{1, 0}, {0, 0}}));
    const SwFrontier row2 = advance_sw_row('A', 2, t, mm23, 0, row1);
    EXPECT_EQ(row2.H, (std::vector<std::int32_t>{0, 2}));
    EXPECT_EQ(row2.origins, (Cells{{2, 0}, {0, 0}}));
    // The first cell to reach the best score stays selected.
    EXPECT_EQ(row2.best_end, PathCell(1, 1));
    EXPECT_EQ(row2.best_start, PathCell(0, 0));
}

struct Scheme {
    const char* name;
    SubstitutionScoring scoring;
    ts::PairScore score;
    std::int32_t gap;
    std::string_view alphabet;
};

std::vector<Scheme> schemes() {
    const auto blosum = SubstitutionScoring::matrix(SubstitutionMatrix::blosum62());
    const ts::PairScore blosum_score = [blosum](char a, char b) { return blosum.score(a, b); };
    return {
        {"match 2 mismatch 3 gap -2", mm23, ts::match_mismatch_score(2, 3), -2, "ACGT"},
        {"match 1 mismatch 1 gap -1", SubstitutionScoring::match_mismatch(1, 1),
         ts::match_mismatch_score(1, 1), -1, "ACGT"},
        {"gap 0", mm23, ts::match_mismatch_score(2, 3), 0, "ACGT"},
        {"positive gap 1", SubstitutionScoring::match_mismatch(1, 2),
         ts::match_mismatch_score(1, 2), 1, "ACGT"},
        {"BLOSUM62 gap -4", blosum, blosum_score, -4, "AWCH"},
        // A positive gap with substitutions worth more than two gap symbols: every path starts on
        // row 0 or column 0, along which the forward pass takes no gap step.
        {"BLOSUM62 positive gap 1", blosum, blosum_score, 1, "RDFWPC"},
    };
}

std::vector<std::uint64_t> block_sizes_for(std::uint64_t m) {
    const auto root = static_cast<std::uint64_t>(std::ceil(std::sqrt(static_cast<double>(m))));
    return {1, 2, 3, std::max<std::uint64_t>(root, 1), std::max<std::uint64_t>(m, 1), m + 5};
}

TEST(SmithWatermanProblem, RandomPairsAgreeWithFullTables) {
    std::mt19937_64 rng(5150);
    for (const auto& scheme : schemes()) {
        for (int round = 0; round < 60; ++round) {
            const std::string q = ts::random_sequence(rng, rng() % 41, scheme.alphabet);
            const std::string t = ts::random_sequence(rng, rng() % 41, scheme.alphabet);
            SCOPED_TRACE(std::string(scheme.name) + ": " + q + " | " + t);
            const SmithWatermanProblem problem{
                .scoring = scheme.scoring, .query = q, .target = t, .gap = scheme.gap};
            const auto [end, expected] = bf_best_end(q, t, scheme.score, scheme.gap);
            EXPECT_EQ(expected, ts::bf_local_linear(q, t, scheme.score, scheme.gap));
            EXPECT_EQ(problem.full_table_score(), expected);
            const SwBoundary terminal = terminal_of(problem);
            if (expected > 0) {
                EXPECT_EQ(terminal.end, end);
            }
            for (const std::uint64_t block_size : block_sizes_for(q.size())) {
                SCOPED_TRACE(block_size);
                const auto run = run_sw(problem, block_size);
                ASSERT_EQ(run.score, expected);
                if (expected == 0) {
                    EXPECT_TRUE(run.path.empty());
                    continue;
                }
                ASSERT_FALSE(run.path.empty());
                EXPECT_EQ(run.path.front(), terminal.start);
                EXPECT_EQ(run.path.back(), end);
                EXPECT_TRUE(ts::bf_connected(run.path));
                EXPECT_EQ(ts::bf_rescore_linear(run.path, q, t, scheme.score, scheme.gap),
                          expected);
                EXPECT_EQ(problem.score_path(run.path), (PathScore{true, run.score}));
            }
        }
    }
}

// The vector rows carry origins and the best cell from predecessor bits; they must give the
// scalar rows' frontiers exactly (origins, ties and the first best cell in row-major order), from
// row 0 and from a row inside the table, in 16-bit and 32-bit lanes, and the engine the same
// paths.
TEST(SmithWatermanProblem, FrontiersAreTheSameOnEveryInstructionSet) {
    std::mt19937_64 rng(4343);
    auto cases = schemes();
    cases.push_back({"two letters gap 0", SubstitutionScoring::match_mismatch(1, 1),
                     ts::match_mismatch_score(1, 1), 0, "AC"});
    cases.push_back({"32-bit scores", SubstitutionScoring::match_mismatch(300, 200),
                     ts::match_mismatch_score(300, 200), -250, "ACGT"});
    const std::vector<std::size_t> lengths = {1, 2, 7, 8, 9, 15, 16, 17, 33, 64, 65, 100, 170};
    for (const auto& scheme : cases) {
        for (int round = 0; round < 12; ++round) {
            const std::string q = ts::random_sequence(rng, 1 + rng() % 200, scheme.alphabet);
            const std::string t = ts::vector_rows_target(rng, q, round, scheme.alphabet, lengths);
            SCOPED_TRACE(std::string(scheme.name) + ": " + q + " | " + t);
            const SmithWatermanProblem problem{
                .scoring = scheme.scoring, .query = q, .target = t, .gap = scheme.gap};
            const std::uint64_t mid = q.size() / 3;
            const auto frontiers = [&] {
                const SwFrontier first =
                    problem.summarize_block(0, mid).apply(problem.init_frontier());
                return std::pair(first, problem.summarize_block(mid, q.size()).apply(first));
            };
            const auto path = [&] {
                return RuxEngine<SmithWatermanProblem>::make(problem, 7).run_with_stats().path;
            };
            simd::ScopedIsaCap scalar(simd::Isa::scalar);
            const auto expected = frontiers();
            const auto expected_path = path();
            for (const simd::Isa isa : {simd::Isa::avx2, simd::Isa::avx512bw}) {
                const simd::ScopedIsaCap cap(isa);
                SCOPED_TRACE(static_cast<int>(isa));
                EXPECT_EQ(frontiers(), expected);
                EXPECT_EQ(path(), expected_path);
            }
        }
    }
}

TEST(SmithWatermanProblem, InvariantTexts) {
    const std::string q = "ACGT", t = "AGT", other_q = "ACGT";
    const SmithWatermanProblem problem{.scoring = mm23, .query = q, .target = t, .gap = -2};
    const SmithWatermanProblem other{.scoring = mm23, .query = other_q, .target = t, .gap = -2};
    const SmithWatermanProblem other_scoring{
        .scoring = SubstitutionScoring::match_mismatch(2, 2), .query = q, .target = t, .gap = -2};
    const auto s01 = problem.summarize_block(0, 1);
    const auto s24 = problem.summarize_block(2, 4);
    expect_invariant([&] { (void)problem.summarize_block(1, 0); }, "invalid SW interval");
    expect_invariant(
        [&] {
            (void)s01.apply(SwFrontier{.H = {0}, .origins = {{0, 0}}});
        },
        "SW frontier width mismatch");
    expect_invariant(
        [&] {
            (void)advance_sw_row('A', 1, t, mm23, -2,
                                 SwFrontier{.H = {0, 0, 0, 0}, .origins = {{0, 0}}});
        },
        "SW frontier start width mismatch");
    expect_invariant([&] { (void)problem.merge_summary(s01, s24); },
                     "SW summaries must be adjacent");
    expect_invariant([&] { (void)problem.merge_summary(s01, other.summarize_block(1, 2)); },
                     "SW summaries must belong to the same problem");
    expect_invariant([&] { (void)problem.merge_summary(s01, other_scoring.summarize_block(1, 2)); },
                     "SW summaries must belong to the same problem");

    const SwBoundary a0{};
    const SwBoundary b4{
        .row = 4, .col = 3, .start = {1, 1}, .end = {3, 3}, .score = 4, .state = SwState::after};
    expect_invariant([&] { (void)problem.choose_split(1, 2, 4, a0, b4, s01, s24); },
                     "left boundary row must match interval start");
    expect_invariant([&] { (void)problem.choose_split(0, 2, 3, a0, b4, s01, s24); },
                     "right boundary row must match interval end");
    expect_invariant([&] { (void)problem.choose_split(0, 5, 4, a0, b4, s01, s24); },
                     "split must lie inside interval");
    const SwBoundary crossed{
        .row = 4, .col = 0, .start = {1, 3}, .end = {4, 0}, .score = 5, .state = SwState::inside};
    expect_invariant([&] { (void)problem.choose_split(0, 2, 4, a0, crossed, s01, s24); },
                     "invalid SW selected target interval");
    expect_invariant([&] { (void)problem.reconstruct_leaf(0, 4, {.row = 1}, b4); },
                     "leaf start row must match beta_a");
    expect_invariant([&] { (void)problem.reconstruct_leaf(0, 3, a0, b4); },
                     "leaf end row must match beta_b");
    const SwBoundary backwards{
        .row = 4, .col = 1, .start = {1, 3}, .end = {2, 1}, .score = 5, .state = SwState::after};
    expect_invariant([&] { (void)problem.reconstruct_leaf(0, 4, a0, backwards); },
                     "SW endpoint out of bounds");
}

}  // namespace
}  // namespace rux_dp
