#include "rux_dp/problems/semiglobal.hpp"

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

EngineRun<PathCell> run_semiglobal(const SemiGlobalProblem& problem, std::uint64_t block_size) {
    return RuxEngine<SemiGlobalProblem>::make(problem, block_size).run_with_stats();
}

const SubstitutionScoring mm23 = SubstitutionScoring::match_mismatch(2, 3);

// The first column of the last row holding the best semiglobal score.
std::uint64_t bf_best_end_column(std::string_view q, std::string_view t, const ts::PairScore& s,
                                 std::int64_t gap) {
    const std::size_t m = q.size(), n = t.size();
    std::vector<std::vector<std::int64_t>> d(m + 1, std::vector<std::int64_t>(n + 1, 0));
    for (std::size_t i = 1; i <= m; ++i) {
        d[i][0] = d[i - 1][0] + gap;
        for (std::size_t j = 1; j <= n; ++j)
            d[i][j] = std::max(
                {d[i - 1][j - 1] + s(q[i - 1], t[j - 1]), d[i - 1][j] + gap, d[i][j - 1] + gap});
    }
    return static_cast<std::uint64_t>(std::max_element(d[m].begin(), d[m].end()) - d[m].begin());
}

TEST(SemiGlobalProblem, KnownCases) {
    struct Case {
        std::string query, target;
        std::uint64_t block_size;
        std::int32_t score;
        Cells path;
    };
    const Case cases[] = {
        {"ACG", "TTACGTT", 1, 6, {{0, 2}, {1, 3}, {2, 4}, {3, 5}}},
        {"ACG", "TTACGTT", 2, 6, {{0, 2}, {1, 3}, {2, 4}, {3, 5}}},
        {"ACG", "TTACGTT", 3, 6, {{0, 2}, {1, 3}, {2, 4}, {3, 5}}},
        {"", "", 1, 0, {{0, 0}}},
        {"", "ACG", 1, 0, {{0, 0}}},
        {"ACG", "", 2, -6, {{0, 0}, {1, 0}, {2, 0}, {3, 0}}},
        // Two end columns score 2: the smaller is selected.
        {"A", "AA", 1, 2, {{0, 0}, {1, 1}}},
        {"ACGT", "TTACTT", 2, 4, {{0, 2}, {1, 3}, {2, 4}, {3, 4}, {4, 5}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.query + " | " + c.target + " block " + std::to_string(c.block_size));
        const SemiGlobalProblem problem{
            .scoring = mm23, .query = c.query, .target = c.target, .gap = -2};
        const auto run = run_semiglobal(problem, c.block_size);
        EXPECT_EQ(run.score, c.score);
        EXPECT_EQ(run.path, c.path);
        EXPECT_EQ(problem.score_path(run.path), (PathScore{true, c.score}));
        EXPECT_EQ(problem.full_table_score(), c.score);
    }
}

TEST(SemiGlobalProblem, TerminalBoundarySelectsTheFirstBestColumn) {
    const std::string q = "ACG", t = "TTACGTT";
    const SemiGlobalProblem problem{.scoring = mm23, .query = q, .target = t, .gap = -2};
    const auto frontier = problem.summarize_block(0, 3).apply(problem.init_frontier());
    const auto terminal = problem.terminal_boundary(frontier);
    EXPECT_EQ(terminal,
              (SemiGlobalBoundary{
                  .selection = SemiGlobalSelection{.start = {0, 2}, .end = {3, 5}, .score = 6},
                  .row = 3,
                  .col = 5}));
    EXPECT_EQ(problem.terminal_score(frontier, terminal), 6);
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
        {"positive gap 1", SubstitutionScoring::match_mismatch(1, 2),
         ts::match_mismatch_score(1, 2), 1, "ACGT"},
        {"negative match", SubstitutionScoring::match_mismatch(-1, 2),
         ts::match_mismatch_score(-1, 2), -3, "ACGT"},
        {"BLOSUM62 gap -4", blosum, blosum_score, -4, "AWCH"},
        // A positive gap with substitutions worth more than two gap symbols: starting further
        // along row 0 can beat gap steps, which the forward pass does not take on row 0.
        {"BLOSUM62 positive gap 1", blosum, blosum_score, 1, "RDFWPC"},
    };
}

std::vector<std::uint64_t> block_sizes_for(std::uint64_t m) {
    const auto root = static_cast<std::uint64_t>(std::ceil(std::sqrt(static_cast<double>(m))));
    return {1, 2, 3, std::max<std::uint64_t>(root, 1), std::max<std::uint64_t>(m, 1), m + 5};
}

TEST(SemiGlobalProblem, RandomPairsAgreeWithFullTables) {
    std::mt19937_64 rng(8086);
    for (const auto& scheme : schemes()) {
        for (int round = 0; round < 60; ++round) {
            const std::string q = ts::random_sequence(rng, rng() % 41, scheme.alphabet);
            const std::string t = ts::random_sequence(rng, rng() % 41, scheme.alphabet);
            SCOPED_TRACE(std::string(scheme.name) + ": " + q + " | " + t);
            const SemiGlobalProblem problem{
                .scoring = scheme.scoring, .query = q, .target = t, .gap = scheme.gap};
            const std::int64_t expected = ts::bf_semiglobal_linear(q, t, scheme.score, scheme.gap);
            const std::uint64_t end_col = bf_best_end_column(q, t, scheme.score, scheme.gap);
            EXPECT_EQ(problem.full_table_score(), expected);
            std::optional<PathCell> first_start;
            for (const std::uint64_t block_size : block_sizes_for(q.size())) {
                SCOPED_TRACE(block_size);
                const auto run = run_semiglobal(problem, block_size);
                ASSERT_EQ(run.score, expected);
                ASSERT_FALSE(run.path.empty());
                EXPECT_EQ(run.path.front().first, 0u);
                EXPECT_EQ(run.path.back(), PathCell(q.size(), end_col));
                if (!first_start)
                    first_start = run.path.front();
                EXPECT_EQ(run.path.front(), *first_start);  // the selection, whatever the splits
                EXPECT_TRUE(ts::bf_connected(run.path));
                EXPECT_EQ(ts::bf_rescore_linear(run.path, q, t, scheme.score, scheme.gap),
                          expected);
                EXPECT_EQ(problem.score_path(run.path), (PathScore{true, run.score}));
            }
        }
    }
}

// The vector rows carry the origins from predecessor bits; they must give the scalar rows'
// frontiers exactly, origins and ties included, from row 0 and from a row inside the table, in
// 16-bit and 32-bit lanes, and the engine the same paths.
TEST(SemiGlobalProblem, FrontiersAreTheSameOnEveryInstructionSet) {
    std::mt19937_64 rng(4242);
    auto cases = schemes();
    cases.push_back({"two letters gap 0", SubstitutionScoring::match_mismatch(1, 1),
                     ts::match_mismatch_score(1, 1), 0, "AC"});
    cases.push_back({"32-bit scores", SubstitutionScoring::match_mismatch(300, 200),
                     ts::match_mismatch_score(300, 200), -250, "ACGT"});
    const std::vector<std::size_t> lengths = {1, 2, 15, 16, 17, 31, 32, 33, 64, 65, 100, 170};
    for (const auto& scheme : cases) {
        for (int round = 0; round < 12; ++round) {
            const std::string q = ts::random_sequence(rng, 1 + rng() % 200, scheme.alphabet);
            const std::string t = ts::vector_rows_target(rng, q, round, scheme.alphabet, lengths);
            SCOPED_TRACE(std::string(scheme.name) + ": " + q + " | " + t);
            const SemiGlobalProblem problem{
                .scoring = scheme.scoring, .query = q, .target = t, .gap = scheme.gap};
            const std::uint64_t mid = q.size() / 3;
            const auto frontiers = [&] {
                const SemiGlobalFrontier first =
                    problem.summarize_block(0, mid).apply(problem.init_frontier());
                return std::pair(first, problem.summarize_block(mid, q.size()).apply(first));
            };
            const auto path = [&] {
                return RuxEngine<SemiGlobalProblem>::make(problem, 7).run_with_stats().path;
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

TEST(SemiGlobalProblem, InvariantTexts) {
    const std::string q = "ACGT", t = "AGT", other_q = "ACGT";
    const SemiGlobalProblem problem{.scoring = mm23, .query = q, .target = t, .gap = -2};
    const SemiGlobalProblem other{.scoring = mm23, .query = other_q, .target = t, .gap = -2};
    const SemiGlobalProblem other_gap{.scoring = mm23, .query = q, .target = t, .gap = -3};
    const auto s01 = problem.summarize_block(0, 1);
    const auto s24 = problem.summarize_block(2, 4);
    expect_invariant([&] { (void)problem.summarize_block(2, 1); }, "invalid semi-global interval");
    expect_invariant(
        [&] {
            (void)s01.apply(SemiGlobalFrontier{.H = {0}, .origins = {{0, 0}}});
        },
        "semi-global frontier width mismatch");
    expect_invariant(
        [&] {
            (void)advance_semiglobal_row('A', t, mm23, -2,
                                         SemiGlobalFrontier{.H = {0, 0, 0, 0}, .origins = {}});
        },
        "semi-global start width mismatch");
    expect_invariant([&] { (void)problem.merge_summary(s01, s24); },
                     "semi-global summaries must be adjacent");
    expect_invariant([&] { (void)problem.merge_summary(s01, other.summarize_block(1, 2)); },
                     "semi-global summaries must belong to the same problem");
    expect_invariant([&] { (void)problem.merge_summary(s01, other_gap.summarize_block(1, 2)); },
                     "semi-global summaries must belong to the same problem");
    expect_invariant([&] { (void)problem.terminal_score(problem.init_frontier(), {}); },
                     "semi-global terminal boundary must carry selection");

    const SemiGlobalSelection selection{.start = {0, 0}, .end = {4, 3}, .score = 1};
    const SemiGlobalBoundary a0{};
    const SemiGlobalBoundary b4{.selection = selection, .row = 4, .col = 3};
    expect_invariant([&] { (void)problem.choose_split(1, 2, 4, a0, b4, s01, s24); },
                     "left boundary row must match interval start");
    expect_invariant([&] { (void)problem.choose_split(0, 2, 3, a0, b4, s01, s24); },
                     "right boundary row must match interval end");
    expect_invariant([&] { (void)problem.choose_split(0, 5, 4, a0, b4, s01, s24); },
                     "split must lie inside interval");
    expect_invariant(
        [&] {
            (void)problem.choose_split(0, 2, 4, a0, {.selection = std::nullopt, .row = 4, .col = 3},
                                       s01, s24);
        },
        "semi-global reconstruction requires a selected interval");
    expect_invariant(
        [&] {
            (void)problem.choose_split(0, 2, 4, {.selection = selection, .row = 0, .col = 3},
                                       {.selection = selection, .row = 4, .col = 1}, s01, s24);
        },
        "invalid semi-global selected target interval");
    expect_invariant(
        [&] { (void)problem.reconstruct_leaf(0, 4, {.selection = std::nullopt, .row = 1}, b4); },
        "leaf start row must match beta_a");
    expect_invariant([&] { (void)problem.reconstruct_leaf(0, 3, a0, b4); },
                     "leaf end row must match beta_b");
    expect_invariant(
        [&] {
            (void)problem.reconstruct_leaf(0, 2, {.selection = selection, .row = 0, .col = 3},
                                           {.selection = selection, .row = 2, .col = 1});
        },
        "semi-global leaf boundaries must be ordered");
    expect_invariant(
        [&] {
            (void)problem.reconstruct_leaf(0, 2, a0, {.selection = selection, .row = 2, .col = 5});
        },
        "semi-global endpoint out of bounds");
}

}  // namespace
}  // namespace rux_dp
