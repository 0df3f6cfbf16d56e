#include "rux_dp/problems/nw_affine.hpp"

#include "rux_dp/base/invariant.hpp"
#include "rux_dp/engine/rux_engine.hpp"

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
using Path = std::vector<AffineCell>;
constexpr auto M = AffineState::match;
constexpr auto T = AffineState::gap_in_t;
constexpr auto S = AffineState::gap_in_s;

void expect_invariant(const auto& fn, const char* text) {
    try {
        fn();
        ADD_FAILURE() << "no invariant violation, expected: " << text;
    } catch (const InvariantViolation& e) {
        EXPECT_STREQ(e.what(), text);
    }
}

std::string show(const Path& path) {
    std::string out;
    for (const auto& c : path)
        out += "(" + std::to_string(c.row) + "," + std::to_string(c.col) + ","
               + std::to_string(static_cast<int>(c.state)) + ")";
    return out;
}

EngineRun<AffineCell> run_affine(const NwAffineProblem& problem, std::uint64_t block_size) {
    return RuxEngine<NwAffineProblem>::make(problem, block_size).run_with_stats();
}

const SubstitutionScoring mm23 = SubstitutionScoring::match_mismatch(2, 3);

NwAffineProblem affine(std::string_view q, std::string_view t, std::int32_t open = -3,
                       std::int32_t extend = -1) {
    return {.scoring = mm23, .query = q, .target = t, .gap_open = open, .gap_extend = extend};
}

// The path one leaf over the whole table returns: the three-state table traced back from the
// first of Match, GapInT, GapInS with the greatest end value; predecessors in that order, opening
// a gap before extending it.
Path bf_leaf_path(std::string_view q, std::string_view t, const ts::PairScore& s, std::int64_t open,
                  std::int64_t extend) {
    const std::size_t m = q.size(), n = t.size();
    const std::int64_t oe = open + extend, none = ts::bf_impossible;
    using Grid = std::vector<std::vector<std::int64_t>>;
    Grid v[3];
    for (auto& g : v)
        g.assign(m + 1, std::vector<std::int64_t>(n + 1, none));
    const auto ok = [&](std::int64_t x) { return x > none / 2; };
    v[0][0][0] = 0;
    for (std::size_t i = 0; i <= m; ++i)
        for (std::size_t j = 0; j <= n; ++j) {
            if (i && j) {
                const std::int64_t b =
                    std::max({v[0][i - 1][j - 1], v[1][i - 1][j - 1], v[2][i - 1][j - 1]});
                if (ok(b))
                    v[0][i][j] = b + s(q[i - 1], t[j - 1]);
            }
            if (i) {
                std::int64_t b = none;
                if (ok(v[0][i - 1][j]))
                    b = std::max(b, v[0][i - 1][j] + oe);
                if (ok(v[1][i - 1][j]))
                    b = std::max(b, v[1][i - 1][j] + extend);
                v[1][i][j] = b;
            }
            if (j) {
                std::int64_t b = none;
                if (ok(v[0][i][j - 1]))
                    b = std::max(b, v[0][i][j - 1] + oe);
                if (ok(v[2][i][j - 1]))
                    b = std::max(b, v[2][i][j - 1] + extend);
                v[2][i][j] = b;
            }
        }
    int state = 0;
    for (int k = 1; k < 3; ++k)
        if (v[k][m][n] > v[state][m][n])
            state = k;
    Path path{{m, n, static_cast<AffineState>(state)}};
    std::size_t i = m, j = n;
    while (i || j) {
        const std::int64_t cur = v[state][i][j];
        int pred = -1;
        if (state == 0) {
            const std::int64_t sc = s(q[i - 1], t[j - 1]);
            for (int k = 0; k < 3 && pred < 0; ++k)
                if (ok(v[k][i - 1][j - 1]) && v[k][i - 1][j - 1] + sc == cur)
                    pred = k;
            --i, --j;
        } else if (state == 1) {
            pred = ok(v[0][i - 1][j]) && v[0][i - 1][j] + oe == cur ? 0 : 1;
            --i;
        } else {
            pred = ok(v[0][i][j - 1]) && v[0][i][j - 1] + oe == cur ? 0 : 2;
            --j;
        }
        state = pred;
        path.push_back({i, j, static_cast<AffineState>(state)});
    }
    std::reverse(path.begin(), path.end());
    return path;
}

// The affine score of a path whose states agree with its moves, or nullopt.
std::optional<std::int64_t> bf_rescore_affine(const Path& path, std::string_view q,
                                              std::string_view t, const ts::PairScore& s,
                                              std::int64_t open, std::int64_t extend) {
    std::int64_t total = 0;
    for (std::size_t k = 1; k < path.size(); ++k) {
        const auto& a = path[k - 1];
        const auto& b = path[k];
        if (b.row == a.row + 1 && b.col == a.col + 1 && b.state == M) {
            total += s(q[a.row], t[a.col]);
        } else if ((b.row == a.row + 1 && b.col == a.col && b.state == T)
                   || (b.row == a.row && b.col == a.col + 1 && b.state == S)) {
            if (a.state == b.state)
                total += extend;
            else if (a.state == M)
                total += open + extend;
            else
                return std::nullopt;
        } else {
            return std::nullopt;
        }
    }
    return total;
}

TEST(NwAffineProblem, Arithmetic) {
    EXPECT_EQ(neg_inf, -536'870'912);
    EXPECT_EQ(affine_add(-268'435'455, 0), -268'435'455);
    EXPECT_EQ(affine_add(-268'435'456, 1'000'000'000), neg_inf);
    EXPECT_EQ(affine_add(5, -268'435'456), neg_inf);
    EXPECT_EQ(affine_add(2'000'000'000, 2'000'000'000), 2'147'483'647);
    EXPECT_EQ(affine_add(-200'000'000, -200'000'000), -400'000'000);
    EXPECT_EQ(affine_normalise(-536'870'911), -536'870'911);
    EXPECT_EQ(affine_normalise(-536'870'912), neg_inf);
    EXPECT_EQ(affine_normalise(-2'000'000'000), neg_inf);
    EXPECT_EQ(affine_normalise(-300'000'000), -300'000'000);
}

TEST(NwAffineProblem, StartFrontierAndRowAdvance) {
    const auto start = constrained_start_frontier(3, state_bit(M), -3, -1);
    const std::int32_t N = neg_inf;
    EXPECT_EQ(start.match, (std::vector<std::int32_t>{0, N, N, N}));
    EXPECT_EQ(start.gap_in_t, (std::vector<std::int32_t>{N, N, N, N}));
    EXPECT_EQ(start.gap_in_s, (std::vector<std::int32_t>{N, -4, -5, -6}));
    // A start in GapInT cannot continue along the row.
    const auto in_t = constrained_start_frontier(2, state_bit(T), -3, -1);
    EXPECT_EQ(in_t.gap_in_t, (std::vector<std::int32_t>{0, N, N}));
    EXPECT_EQ(in_t.gap_in_s, (std::vector<std::int32_t>{N, N, N}));

    const auto row1 = advance_affine_row('A', "AC", mm23, -3, -1,
                                         constrained_start_frontier(2, state_bit(M), -3, -1));
    EXPECT_EQ(row1.match, (std::vector<std::int32_t>{N, 2, -7}));
    EXPECT_EQ(row1.gap_in_t, (std::vector<std::int32_t>{-4, N, N}));
    EXPECT_EQ(row1.gap_in_s, (std::vector<std::int32_t>{N, N, -2}));
    expect_invariant([] { (void)constrained_start_frontier(2, 0, -3, -1); },
                     "affine start frontier needs at least one state");
    expect_invariant(
        [] { (void)advance_affine_row('A', "AC", mm23, -3, -1, NwAffineFrontier::filled(2)); },
        "affine frontier width mismatch");
}

TEST(NwAffineProblem, KnownPaths) {
    struct Case {
        std::string query, target;
        std::uint64_t block_size;
        std::int32_t score;
        Path path;
    };
    const Case cases[] = {
        // Two matches and one gap of two symbols: 4 - 5.
        {"AAAA", "AA", 2, -1, {{0, 0, M}, {1, 0, T}, {2, 0, T}, {3, 1, M}, {4, 2, M}}},
        {"ACGT", "AGT", 1, 2, {{0, 0, M}, {1, 1, M}, {2, 1, T}, {3, 2, M}, {4, 3, M}}},
        {"ACGT", "AGT", 4, 2, {{0, 0, M}, {1, 1, M}, {2, 1, T}, {3, 2, M}, {4, 3, M}}},
        {"", "", 1, 0, {{0, 0, M}}},
        {"", "ACG", 1, -6, {{0, 0, M}, {0, 1, S}, {0, 2, S}, {0, 3, S}}},
        {"ACG", "", 2, -6, {{0, 0, M}, {1, 0, T}, {2, 0, T}, {3, 0, T}}},
        // Match and GapInS tie at the end: the leaf ends in Match.
        {"A", "AA", 1, -2, {{0, 0, M}, {0, 1, S}, {1, 2, M}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.query + " | " + c.target + " block " + std::to_string(c.block_size));
        const auto problem = affine(c.query, c.target);
        const auto run = run_affine(problem, c.block_size);
        EXPECT_EQ(run.score, c.score);
        EXPECT_EQ(show(run.path), show(c.path));
        EXPECT_EQ(problem.score_path(run.path), (PathScore{true, c.score}));
        EXPECT_EQ(problem.full_table_score(), c.score);
    }
}

TEST(NwAffineProblem, TerminalSetHoldsEveryBestState) {
    const auto problem = affine("A", "AA");
    auto frontier = problem.summarize_block(0, 1).apply(problem.init_frontier());
    const auto terminal = problem.terminal_boundary(frontier);
    EXPECT_EQ(terminal, (NwAffineBoundary{.row = 1, .col = 2, .states = 1 | 4}));
    EXPECT_EQ(problem.terminal_score(frontier, terminal), -2);
    EXPECT_EQ(problem.terminal_score(frontier, {.row = 1, .col = 2, .states = 0}), neg_inf);
}

TEST(NwAffineProblem, ScorePath) {
    const auto problem = affine("AC", "AG");
    struct Case {
        Path path;
        PathScore expected;
    };
    const Case cases[] = {
        {{}, {true, 0}},
        {{{0, 0, M}, {1, 1, M}, {2, 2, M}}, {true, -1}},
        {{{0, 0, M}, {1, 0, T}, {2, 0, T}, {2, 1, S}}, {false, -5}},  // GapInS after GapInT
        {{{0, 0, M}, {0, 1, S}, {1, 1, T}}, {false, -4}},             // GapInT after GapInS
        {{{0, 0, M}, {0, 1, S}, {0, 2, S}, {1, 2, M}}, {false, -5}},  // a vertical into Match
        {{{0, 0, M}, {1, 1, T}}, {false, 0}},                         // a diagonal into GapInT
        {{{1, 1, M}, {2, 2, M}, {3, 3, M}}, {false, -3}},             // past the sequences
        {{{0, 0, M}, {1, 1, M}, {1, 2, S}, {2, 2, T}}, {false, -2}},
        {{{0, 0, M}, {1, 1, M}, {1, 2, S}, {2, 3, M}}, {false, -2}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(show(c.path));
        EXPECT_EQ(problem.score_path(c.path), c.expected);
    }
    // A gap value that counts as impossible makes every gap step invalid.
    const auto huge = affine("AC", "AG", 0, -300'000'000);
    EXPECT_EQ(huge.score_path(Path{{0, 0, M}, {1, 0, T}}), (PathScore{false, 0}));
}

struct Scheme {
    const char* name;
    SubstitutionScoring scoring;
    ts::PairScore score;
    std::int32_t open, extend;
    std::string_view alphabet;
};

std::vector<Scheme> schemes() {
    const auto blosum = SubstitutionScoring::matrix(SubstitutionMatrix::blosum62());
    const ts::PairScore blosum_score = [blosum](char a, char b) { return blosum.score(a, b); };
    return {
        {"match 2 mismatch 3 open -3 extend -1", mm23, ts::match_mismatch_score(2, 3), -3, -1,
         "ACGT"},
        {"open 0 extend -2", mm23, ts::match_mismatch_score(2, 3), 0, -2, "ACGT"},
        {"match 1 mismatch 1 open -2 extend -1", SubstitutionScoring::match_mismatch(1, 1),
         ts::match_mismatch_score(1, 1), -2, -1, "ACGT"},
        {"positive extend", mm23, ts::match_mismatch_score(2, 3), -5, 1, "ACGT"},
        {"positive open", mm23, ts::match_mismatch_score(2, 3), 3, -2, "ACGT"},
        {"BLOSUM62 open -11 extend -1", blosum, blosum_score, -11, -1, "AWCH"},
    };
}

std::vector<std::uint64_t> block_sizes_for(std::uint64_t m) {
    const auto root = static_cast<std::uint64_t>(std::ceil(std::sqrt(static_cast<double>(m))));
    return {1, 2, 3, std::max<std::uint64_t>(root, 1), std::max<std::uint64_t>(m, 1), m + 5};
}

TEST(NwAffineProblem, RandomPairsAgreeWithFullTables) {
    std::mt19937_64 rng(4242);
    for (const auto& scheme : schemes()) {
        for (int round = 0; round < 50; ++round) {
            const std::string q = ts::random_sequence(rng, rng() % 41, scheme.alphabet);
            const std::string t = ts::random_sequence(rng, rng() % 41, scheme.alphabet);
            SCOPED_TRACE(std::string(scheme.name) + ": " + q + " | " + t);
            const NwAffineProblem problem{.scoring = scheme.scoring,
                                          .query = q,
                                          .target = t,
                                          .gap_open = scheme.open,
                                          .gap_extend = scheme.extend};
            const std::int64_t expected =
                ts::bf_global_affine(q, t, scheme.score, scheme.open, scheme.extend);
            EXPECT_EQ(problem.full_table_score(), expected);
            const Path leaf = bf_leaf_path(q, t, scheme.score, scheme.open, scheme.extend);
            for (const std::uint64_t block_size : block_sizes_for(q.size())) {
                SCOPED_TRACE(block_size);
                const auto run = run_affine(problem, block_size);
                ASSERT_EQ(run.score, expected);
                ASSERT_FALSE(run.path.empty());
                EXPECT_EQ(run.path.front(), (AffineCell{0, 0, M}));
                EXPECT_EQ(run.path.back().row, q.size());
                EXPECT_EQ(run.path.back().col, t.size());
                EXPECT_EQ(
                    bf_rescore_affine(run.path, q, t, scheme.score, scheme.open, scheme.extend),
                    std::optional<std::int64_t>(expected));
                EXPECT_EQ(problem.score_path(run.path), (PathScore{true, run.score}));
                if (block_size >= q.size()) {
                    EXPECT_EQ(show(run.path), show(leaf));
                }
            }
            // The whole table as the band: the engine's score and the single leaf's path.
            const auto banded = trace_banded_affine(problem, std::max(q.size(), t.size()));
            ASSERT_TRUE(banded.has_value());
            EXPECT_EQ(banded->score, expected);
            EXPECT_EQ(show(banded->path), show(leaf));
        }
    }
}

TEST(NwAffineProblem, TinyPairsAgreeWithEveryAlignment) {
    std::mt19937_64 rng(99);
    const auto score = ts::match_mismatch_score(2, 3);
    for (int round = 0; round < 150; ++round) {
        const std::string q = ts::random_sequence(rng, rng() % 6);
        const std::string t = ts::random_sequence(rng, rng() % 6);
        SCOPED_TRACE(q + " | " + t);
        for (const auto& [open, extend] : {std::pair{-3, -1}, std::pair{0, -1}, std::pair{-1, 1}}) {
            const auto problem = affine(q, t, open, extend);
            const std::int64_t expected = ts::bf_enumerate_global(q, t, score, extend, true, open);
            for (const std::uint64_t block_size : {1u, 2u, 6u})
                EXPECT_EQ(run_affine(problem, block_size).score, expected);
        }
    }
}

TEST(NwAffineProblem, ExtremeGapValuesMakeGapsImpossible) {
    const auto problem = affine("ACGT", "ACG", -2'000'000'000, -2'000'000'000);
    EXPECT_EQ(problem.full_table_score(), neg_inf);
    const auto same_length = affine("ACGT", "ACGA", -2'000'000'000, -2'000'000'000);
    EXPECT_EQ(same_length.full_table_score(), 3);
    const auto run = run_affine(same_length, 2);
    EXPECT_EQ(run.score, 3);
    EXPECT_EQ(run.path.size(), 5u);
}

TEST(NwAffineProblem, InvariantTexts) {
    const std::string q = "ACGT", t = "AGT", other_q = "ACGT";
    const auto problem = affine(q, t);
    const auto other = affine(other_q, t);
    const auto other_open = affine(q, t, -4, -1);
    const auto s01 = problem.summarize_block(0, 1);
    const auto s24 = problem.summarize_block(2, 4);
    const NwAffineBoundary a0{.row = 0, .col = 0, .states = 1};
    const NwAffineBoundary b4{.row = 4, .col = 3, .states = 1};
    expect_invariant([&] { (void)problem.summarize_block(3, 2); }, "invalid affine NW interval");
    expect_invariant([&] { (void)s01.apply(NwAffineFrontier::filled(3)); },
                     "affine NW frontier width mismatch");
    expect_invariant([&] { (void)problem.merge_summary(s01, s24); },
                     "affine NW summaries must be adjacent");
    expect_invariant([&] { (void)problem.merge_summary(s01, other.summarize_block(1, 2)); },
                     "affine NW summaries must belong to the same problem");
    expect_invariant([&] { (void)problem.merge_summary(s01, other_open.summarize_block(1, 2)); },
                     "affine NW summaries must belong to the same problem");
    expect_invariant([&] { (void)problem.choose_split(1, 2, 4, a0, b4, s01, s24); },
                     "left boundary row must match interval start");
    expect_invariant([&] { (void)problem.choose_split(0, 2, 3, a0, b4, s01, s24); },
                     "right boundary row must match interval end");
    expect_invariant([&] { (void)problem.choose_split(0, 5, 4, a0, b4, s01, s24); },
                     "split must lie inside interval");
    expect_invariant(
        [&] {
            (void)problem.choose_split(0, 2, 4, {.row = 0, .col = 0, .states = 0}, b4, s01, s24);
        },
        "affine boundaries must allow at least one state");
    expect_invariant(
        [&] {
            (void)problem.choose_split(0, 2, 4, {.row = 0, .col = 2, .states = 1},
                                       {.row = 4, .col = 1, .states = 1}, s01, s24);
        },
        "invalid affine NW boundary columns");
    // From GapInS on row 0 no path goes down.
    expect_invariant(
        [&] {
            (void)problem.choose_split(0, 0, 1, {.row = 0, .col = 0, .states = 4},
                                       {.row = 1, .col = 0, .states = 4}, s01, s24);
        },
        "affine split must find a feasible midpoint state");
    expect_invariant(
        [&] {
            (void)problem.reconstruct_leaf(0, 2, {.row = 1, .col = 0, .states = 1},
                                           {.row = 2, .col = 1, .states = 1});
        },
        "leaf start row must match beta_a");
    expect_invariant([&] { (void)problem.reconstruct_leaf(0, 2, a0, b4); },
                     "leaf end row must match beta_b");
    expect_invariant(
        [&] { (void)problem.reconstruct_leaf(0, 2, a0, {.row = 2, .col = 1, .states = 0}); },
        "affine leaf boundaries must allow at least one state");
    expect_invariant(
        [&] { (void)problem.reconstruct_leaf(0, 2, a0, {.row = 2, .col = 4, .states = 1}); },
        "invalid affine NW leaf columns");
    expect_invariant(
        [&] {
            (void)problem.reconstruct_leaf(0, 0, {.row = 0, .col = 0, .states = 2},
                                           {.row = 0, .col = 1, .states = 7});
        },
        "affine leaf must have a feasible endpoint");
}

TEST(TraceBandedAffine, KnownCases) {
    struct Case {
        std::string query, target;
        std::uint64_t band;
        std::optional<std::int32_t> score;
        Path path;
    };
    const Case cases[] = {
        {"ACGT", "AGT", 1, 2, {{0, 0, M}, {1, 1, M}, {2, 1, T}, {3, 2, M}, {4, 3, M}}},
        {"ACGT", "AGT", 0, std::nullopt, {}},
        {"AAAAAAAA",
         "AAAATTTT",
         0,
         -4,
         {{0, 0, M},
          {1, 1, M},
          {2, 2, M},
          {3, 3, M},
          {4, 4, M},
          {5, 5, M},
          {6, 6, M},
          {7, 7, M},
          {8, 8, M}}},
        {"", "", 0, 0, {{0, 0, M}}},
        {"", "AC", 2, -5, {{0, 0, M}, {0, 1, S}, {0, 2, S}}},
        {"", "AC", 1, std::nullopt, {}},
        {"AC", "", 2, -5, {{0, 0, M}, {1, 0, T}, {2, 0, T}}},
        // One gap run of four query symbols, then four matches: -7 + 8.
        {"AAAATTTT",
         "TTTT",
         4,
         1,
         {{0, 0, M},
          {1, 0, T},
          {2, 0, T},
          {3, 0, T},
          {4, 0, T},
          {5, 1, M},
          {6, 2, M},
          {7, 3, M},
          {8, 4, M}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.query + " | " + c.target + " band " + std::to_string(c.band));
        const auto problem = affine(c.query, c.target);
        const auto result = trace_banded_affine(problem, c.band);
        ASSERT_EQ(result.has_value(), c.score.has_value());
        if (!result)
            continue;
        EXPECT_EQ(result->score, *c.score);
        EXPECT_EQ(show(result->path), show(c.path));
        EXPECT_EQ(problem.score_path(result->path), (PathScore{true, *c.score}));
    }
}

TEST(TraceBandedAffine, NarrowBandsStayInsideAndNeverBeatTheOptimum) {
    std::mt19937_64 rng(31337);
    for (int round = 0; round < 200; ++round) {
        const std::string q = ts::random_sequence(rng, rng() % 30);
        const std::string t = ts::random_sequence(rng, rng() % 30);
        const std::uint64_t band = rng() % 12;
        SCOPED_TRACE(q + " | " + t + " band " + std::to_string(band));
        const auto problem = affine(q, t);
        const auto result = trace_banded_affine(problem, band);
        const std::uint64_t diff = q.size() > t.size() ? q.size() - t.size() : t.size() - q.size();
        ASSERT_EQ(result.has_value(), band >= diff);
        if (!result)
            continue;
        EXPECT_LE(result->score, problem.full_table_score());
        EXPECT_EQ(problem.score_path(result->path), (PathScore{true, result->score}));
        EXPECT_EQ(result->path.front(), (AffineCell{0, 0, M}));
        EXPECT_EQ(result->path.back().row, q.size());
        EXPECT_EQ(result->path.back().col, t.size());
        for (const auto& cell : result->path) {
            const std::uint64_t off =
                cell.row > cell.col ? cell.row - cell.col : cell.col - cell.row;
            EXPECT_LE(off, band);
        }
    }
}

TEST(TraceBandedAffine, NoCompleteAlignmentInsideTheBand) {
    // Gaps cost too much to be usable, so a length difference leaves no alignment at all.
    const auto problem = affine("ACGT", "ACG", -300'000'000, -1);
    EXPECT_FALSE(trace_banded_affine(problem, 4).has_value());
}

}  // namespace
}  // namespace rux_dp
