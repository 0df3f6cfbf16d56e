#include "rux_dp/problems/nw_align.hpp"

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

EngineRun<PathCell> run_nw(const NwProblem& problem, std::uint64_t block_size) {
    return RuxEngine<NwProblem>::make(problem, block_size).run_with_stats();
}

// The path a single leaf returns: the full table traced back from (m, n), preferring diagonal,
// then vertical, then horizontal.
Cells bf_leaf_path(std::string_view q, std::string_view t, const ts::PairScore& s,
                   std::int64_t gap) {
    const std::size_t m = q.size(), n = t.size();
    std::vector<std::vector<std::int64_t>> d(m + 1, std::vector<std::int64_t>(n + 1));
    for (std::size_t i = 0; i <= m; ++i)
        for (std::size_t j = 0; j <= n; ++j) {
            if (i == 0 && j == 0)
                continue;
            std::int64_t best = ts::bf_impossible;
            if (i && j)
                best = std::max(best, d[i - 1][j - 1] + s(q[i - 1], t[j - 1]));
            if (i)
                best = std::max(best, d[i - 1][j] + gap);
            if (j)
                best = std::max(best, d[i][j - 1] + gap);
            d[i][j] = best;
        }
    Cells path{{m, n}};
    std::size_t i = m, j = n;
    while (i || j) {
        if (i && j && d[i][j] == d[i - 1][j - 1] + s(q[i - 1], t[j - 1])) {
            --i, --j;
        } else if (i && d[i][j] == d[i - 1][j] + gap) {
            --i;
        } else {
            --j;
        }
        path.emplace_back(i, j);
    }
    std::reverse(path.begin(), path.end());
    return path;
}

const SubstitutionScoring mm23 = SubstitutionScoring::match_mismatch(2, 3);

TEST(NwProblem, KnownPaths) {
    struct Case {
        std::string query, target;
        std::int32_t gap;
        std::uint64_t block_size;
        std::int32_t score;
        Cells path;
    };
    const Case cases[] = {
        // Two insertions, then the match.
        {"AAA", "A", -2, 1, -2, {{0, 0}, {1, 0}, {2, 0}, {3, 1}}},
        {"AAA", "A", -2, 2, -2, {{0, 0}, {1, 0}, {2, 0}, {3, 1}}},
        {"AAA", "A", -2, 3, -2, {{0, 0}, {1, 0}, {2, 0}, {3, 1}}},
        {"", "", -2, 1, 0, {{0, 0}}},
        {"", "ACG", -2, 1, -6, {{0, 0}, {0, 1}, {0, 2}, {0, 3}}},
        {"ACG", "", -3, 2, -9, {{0, 0}, {1, 0}, {2, 0}, {3, 0}}},
        {"ACGT", "ACGT", -2, 2, 8, {{0, 0}, {1, 1}, {2, 2}, {3, 3}, {4, 4}}},
        // One leaf puts the gap first; a split on row 1 takes the first optimal column there.
        {"AA", "AAA", -2, 2, 2, {{0, 0}, {0, 1}, {1, 2}, {2, 3}}},
        {"AA", "AAA", -2, 1, 2, {{0, 0}, {1, 1}, {1, 2}, {2, 3}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.query + " | " + c.target + " block " + std::to_string(c.block_size));
        const NwProblem problem{
            .scoring = mm23, .query = c.query, .target = c.target, .gap = c.gap};
        const auto run = run_nw(problem, c.block_size);
        EXPECT_EQ(run.score, c.score);
        EXPECT_EQ(run.path, c.path);
        EXPECT_EQ(problem.score_path(run.path), (PathScore{true, c.score}));
    }
}

TEST(NwProblem, ScorePathRejectsIllegalMoves) {
    const std::string q = "AC", t = "AG";
    const NwProblem problem{.scoring = mm23, .query = q, .target = t, .gap = -2};
    struct Case {
        Cells cells;
        PathScore expected;
    };
    const Case cases[] = {
        {{}, {true, 0}},
        {{{1, 1}}, {true, 0}},
        {{{0, 0}, {1, 1}, {2, 2}}, {true, -1}},
        {{{0, 0}, {1, 0}, {1, 1}, {2, 2}}, {true, -7}},
        {{{0, 0}, {1, 1}, {1, 1}, {2, 2}}, {false, 2}},  // repeated cell
        {{{0, 0}, {0, 2}, {2, 2}}, {false, 0}},          // two columns at once
        {{{0, 0}, {1, 1}, {0, 1}}, {false, 2}},          // back up a row
        {{{1, 1}, {2, 2}, {3, 3}}, {false, -3}},         // diagonal past the sequences
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.cells.size());
        EXPECT_EQ(problem.score_path(c.cells), c.expected);
    }
}

TEST(NwProblem, LastRow) {
    EXPECT_EQ(nw_last_row("", "ACG", mm23, -2), (std::vector<std::int32_t>{0, -2, -4, -6}));
    EXPECT_EQ(nw_last_row("ACG", "", mm23, -2), (std::vector<std::int32_t>{-6}));
    EXPECT_EQ(nw_last_row("AC", "AC", mm23, -2), (std::vector<std::int32_t>{-4, 0, 4}));
    EXPECT_EQ(linear_last_row("AC", "AC", mm23, -2), nw_last_row("AC", "AC", mm23, -2));
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
        {"match 0 mismatch 1 gap -1 (edit-like)", SubstitutionScoring::match_mismatch(0, 1),
         ts::match_mismatch_score(0, 1), -1, "ACGT"},
        {"positive gap 1", mm23, ts::match_mismatch_score(2, 3), 1, "ACGT"},
        {"negative match", SubstitutionScoring::match_mismatch(-1, 2),
         ts::match_mismatch_score(-1, 2), -3, "ACGT"},
        {"BLOSUM62 gap -4", blosum, blosum_score, -4, "AWCH"},
        {"BLOSUM62 lower case gap -1", blosum, blosum_score, -1, "awCh"},
    };
}

std::vector<std::uint64_t> block_sizes_for(std::uint64_t m) {
    const auto root = static_cast<std::uint64_t>(std::ceil(std::sqrt(static_cast<double>(m))));
    return {1, 2, 3, std::max<std::uint64_t>(root, 1), std::max<std::uint64_t>(m, 1), m + 5};
}

TEST(NwProblem, RandomPairsAgreeWithFullTables) {
    std::mt19937_64 rng(20261211);
    for (const auto& scheme : schemes()) {
        for (int round = 0; round < 60; ++round) {
            const std::string q = ts::random_sequence(rng, rng() % 41, scheme.alphabet);
            const std::string t = ts::random_sequence(rng, rng() % 41, scheme.alphabet);
            SCOPED_TRACE(std::string(scheme.name) + ": " + q + " | " + t);
            const NwProblem problem{
                .scoring = scheme.scoring, .query = q, .target = t, .gap = scheme.gap};
            const std::int64_t expected = ts::bf_global_linear(q, t, scheme.score, scheme.gap);
            EXPECT_EQ(nw_last_row(q, t, scheme.scoring, scheme.gap).back(), expected);
            for (const std::uint64_t block_size : block_sizes_for(q.size())) {
                SCOPED_TRACE(block_size);
                const auto run = run_nw(problem, block_size);
                ASSERT_EQ(run.score, expected);
                ASSERT_FALSE(run.path.empty());
                EXPECT_EQ(run.path.front(), PathCell(0, 0));
                EXPECT_EQ(run.path.back(), PathCell(q.size(), t.size()));
                EXPECT_TRUE(ts::bf_connected(run.path));
                EXPECT_EQ(ts::bf_rescore_linear(run.path, q, t, scheme.score, scheme.gap),
                          expected);
                EXPECT_EQ(problem.score_path(run.path), (PathScore{true, run.score}));
                if (block_size >= q.size()) {
                    EXPECT_EQ(run.path, bf_leaf_path(q, t, scheme.score, scheme.gap));
                }
            }
        }
    }
}

// The whole-table run must be the engine's run to the byte: the same score and the same path,
// ties included, for every block size and on every instruction set (the predecessor bits of the
// AVX-512 passes, the values elsewhere). Two-letter alphabets, zero and positive gaps make
// ties common; long runs of gaps make block rectangles wider than one word of bits; large
// scores leave the 16-bit lanes.
TEST(NwProblem, WholeTableRunIsTheEngineRun) {
    std::mt19937_64 rng(11);
    auto tie_schemes = schemes();
    tie_schemes.push_back({"two letters gap 0", SubstitutionScoring::match_mismatch(1, 1),
                           ts::match_mismatch_score(1, 1), 0, "AC"});
    tie_schemes.push_back({"two letters gap -1", SubstitutionScoring::match_mismatch(2, 2),
                           ts::match_mismatch_score(2, 2), -1, "AC"});
    tie_schemes.push_back({"32-bit scores", SubstitutionScoring::match_mismatch(300, 200),
                           ts::match_mismatch_score(300, 200), -250, "ACGT"});
    std::vector<std::pair<std::string, std::string>> pairs_of_scheme;
    for (const auto& scheme : tie_schemes) {
        pairs_of_scheme.clear();
        for (int round = 0; round < 40; ++round) {
            const std::size_t scale = round % 8 == 0 ? 200 : 45;
            std::string q = ts::random_sequence(rng, 1 + rng() % scale, scheme.alphabet);
            std::string t = ts::random_sequence(rng, rng() % scale, scheme.alphabet);
            if (round % 10 == 3)
                t = q.substr(0, q.size() / 3) + ts::random_sequence(rng, 90, scheme.alphabet)
                    + q.substr(q.size() / 3);
            pairs_of_scheme.emplace_back(std::move(q), std::move(t));
        }
        for (const simd::Isa isa : {simd::Isa::avx512bw, simd::Isa::avx2, simd::Isa::scalar}) {
            const simd::ScopedIsaCap cap(isa);
            for (const auto& [q, t] : pairs_of_scheme) {
                SCOPED_TRACE(std::string(scheme.name) + ": " + q + " | " + t);
                const NwProblem problem{
                    .scoring = scheme.scoring, .query = q, .target = t, .gap = scheme.gap};
                for (const std::uint64_t block_size : block_sizes_for(q.size())) {
                    SCOPED_TRACE(block_size);
                    const auto whole = nw_whole_table_run(problem, block_size);
                    ASSERT_TRUE(whole.has_value());
                    const auto run = run_nw(problem, block_size);
                    EXPECT_EQ(whole->score, run.score);
                    EXPECT_EQ(whole->path, run.path);
                }
            }
        }
    }
    // An empty query, and tables past the size kept whole, are left to the engine: values up to
    // 2^18 cells, predecessor bits (AVX-512 passes) up to 2^22.
    const NwProblem empty{.scoring = mm23, .query = "", .target = "ACG", .gap = -2};
    EXPECT_FALSE(nw_whole_table_run(empty, 1).has_value());
    const std::string long_q = ts::random_sequence(rng, 600, "ACGT");
    const std::string long_t = long_q.substr(0, 200) + long_q.substr(230);
    const NwProblem large{.scoring = mm23, .query = long_q, .target = long_t, .gap = -2};
    {
        const simd::ScopedIsaCap cap(simd::Isa::avx2);
        EXPECT_FALSE(nw_whole_table_run(large, 25).has_value());
    }
    if (simd::machine_isa() == simd::Isa::avx512bw) {
        const auto whole = nw_whole_table_run(large, 25);
        ASSERT_TRUE(whole.has_value());
        EXPECT_EQ(whole->path, run_nw(large, 25).path);
    }
    const std::string huge_q(2100, 'A');
    const std::string huge_t(2100, 'C');
    const NwProblem huge{.scoring = mm23, .query = huge_q, .target = huge_t, .gap = -2};
    EXPECT_FALSE(nw_whole_table_run(huge, 46).has_value());
}

TEST(NwProblem, TinyPairsAgreeWithEveryAlignment) {
    std::mt19937_64 rng(7);
    const auto score = ts::match_mismatch_score(2, 3);
    for (int round = 0; round < 150; ++round) {
        const std::string q = ts::random_sequence(rng, rng() % 6);
        const std::string t = ts::random_sequence(rng, rng() % 6);
        SCOPED_TRACE(q + " | " + t);
        const NwProblem problem{.scoring = mm23, .query = q, .target = t, .gap = -2};
        const std::int64_t expected = ts::bf_enumerate_global(q, t, score, -2);
        for (const std::uint64_t block_size : {1, 2, 6})
            EXPECT_EQ(run_nw(problem, static_cast<std::uint64_t>(block_size)).score, expected);
    }
}

TEST(NwProblem, InvariantTexts) {
    const std::string q = "ACGT", t = "AGT", other_q = "ACGT";
    const NwProblem problem{.scoring = mm23, .query = q, .target = t, .gap = -2};
    const NwProblem other{.scoring = mm23, .query = other_q, .target = t, .gap = -2};
    const NwProblem other_gap{.scoring = mm23, .query = q, .target = t, .gap = -1};
    const NwSummary s01 = problem.summarize_block(0, 1);
    const NwSummary s12 = problem.summarize_block(1, 2);
    const NwSummary s24 = problem.summarize_block(2, 4);
    expect_invariant([&] { (void)problem.summarize_block(2, 1); }, "invalid NW interval");
    expect_invariant([&] { (void)s01.apply(NwFrontier{{0, 1}}); }, "NW frontier width mismatch");
    expect_invariant([&] { (void)problem.merge_summary(s01, s24); },
                     "NW summaries must be adjacent");
    expect_invariant([&] { (void)problem.merge_summary(s01, other.summarize_block(1, 2)); },
                     "NW summaries must belong to the same problem");
    expect_invariant([&] { (void)problem.merge_summary(s01, other_gap.summarize_block(1, 2)); },
                     "NW summaries must belong to the same problem");
    EXPECT_EQ(problem.merge_summary(s01, s12).end_row, 2u);

    expect_invariant(
        [&] {
            (void)problem.choose_split(0, 2, 4, {1, 0}, {4, 3}, s01, s24);
        },
        "left boundary row must match interval start");
    expect_invariant(
        [&] {
            (void)problem.choose_split(0, 2, 4, {0, 0}, {3, 3}, s01, s24);
        },
        "right boundary row must match interval end");
    expect_invariant(
        [&] {
            (void)problem.choose_split(0, 5, 4, {0, 0}, {4, 3}, s01, s24);
        },
        "split must lie inside interval");
    expect_invariant(
        [&] {
            (void)problem.choose_split(0, 2, 4, {0, 2}, {4, 1}, s01, s24);
        },
        "invalid NW boundary columns");
    expect_invariant(
        [&] {
            (void)problem.reconstruct_leaf(0, 2, {1, 0}, {2, 1});
        },
        "leaf start row must match beta_a");
    expect_invariant(
        [&] {
            (void)problem.reconstruct_leaf(0, 2, {0, 0}, {1, 1});
        },
        "leaf end row must match beta_b");
    expect_invariant(
        [&] {
            (void)problem.reconstruct_leaf(0, 2, {0, 0}, {2, 4});
        },
        "invalid NW leaf columns");
}

TEST(NwProblem, MatrixSymbolOutsideTheAlphabetIsAViolation) {
    const std::string q = "AJ", t = "AW";
    const NwProblem problem{.scoring = SubstitutionScoring::matrix(SubstitutionMatrix::blosum62()),
                            .query = q,
                            .target = t,
                            .gap = -4};
    expect_invariant([&] { (void)run_nw(problem, 1); },
                     "substitution matrix 'BLOSUM62' does not contain symbol pair 'J'/'A'");
}

}  // namespace
}  // namespace rux_dp
