#include "rux_dp/alignment/trace.hpp"
#include "rux_dp/base/invariant.hpp"
#include "rux_dp/engine/rux_engine.hpp"
#include "rux_dp/engine/summary_tree.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <tuple>
#include <utility>
#include <vector>

namespace rux_dp {
namespace {

using Rows = std::pair<std::uint64_t, std::uint64_t>;

// What the engine asked of the problem, in order.
struct CallLog {
    std::vector<Rows> summarized;
    std::vector<std::tuple<std::uint64_t, std::uint64_t, std::uint64_t>> splits;
    std::vector<Rows> leaves;
};

struct RecordingFrontier {
    std::vector<Rows> applied;  // the row intervals applied so far, in order
};

struct RecordingSummary {
    std::uint64_t start_row = 0;
    std::uint64_t end_row = 0;
    RecordingFrontier apply(const RecordingFrontier& frontier) const {
        RecordingFrontier next = frontier;
        next.applied.emplace_back(start_row, end_row);
        return next;
    }
};

// A problem whose boundaries are row numbers and whose leaves return their two end cells on
// column 0, so that the joined path lists every split row.
struct RecordingProblem {
    using Frontier = RecordingFrontier;
    using Summary = RecordingSummary;
    using Boundary = std::uint64_t;
    using PathElement = PathCell;

    std::uint64_t m = 0;
    std::shared_ptr<CallLog> log = std::make_shared<CallLog>();
    bool break_joins = false;

    std::uint64_t query_length() const { return m; }
    RecordingFrontier init_frontier() const { return {}; }
    RecordingSummary summarize_block(std::uint64_t a, std::uint64_t b) const {
        log->summarized.emplace_back(a, b);
        return {a, b};
    }
    RecordingSummary merge_summary(const RecordingSummary& l, const RecordingSummary& r) const {
        invariant(l.end_row == r.start_row, "test summaries must be adjacent");
        return {l.start_row, r.end_row};
    }
    std::uint64_t start_boundary() const { return 0; }
    std::uint64_t terminal_boundary(const RecordingFrontier&) const { return m; }
    // The number of rows the frontier went through, each once and in order (-1 otherwise).
    std::int32_t terminal_score(const RecordingFrontier& f, const std::uint64_t&) const {
        std::uint64_t next = 0;
        for (const auto& [a, b] : f.applied) {
            if (a != next || b < a)
                return -1;
            next = b;
        }
        return static_cast<std::int32_t>(next);
    }
    std::uint64_t choose_split(std::uint64_t a, std::uint64_t mid, std::uint64_t c,
                               const std::uint64_t& alpha, const std::uint64_t& beta,
                               const RecordingSummary& left, const RecordingSummary& right) const {
        EXPECT_EQ(alpha, a);
        EXPECT_EQ(beta, c);
        EXPECT_EQ(Rows(left.start_row, left.end_row), Rows(a, mid));
        EXPECT_EQ(Rows(right.start_row, right.end_row), Rows(mid, c));
        log->splits.emplace_back(a, mid, c);
        return mid;
    }
    std::vector<PathCell> reconstruct_leaf(std::uint64_t a, std::uint64_t b,
                                           const std::uint64_t& alpha,
                                           const std::uint64_t& beta) const {
        EXPECT_EQ(alpha, a);
        EXPECT_EQ(beta, b);
        log->leaves.emplace_back(a, b);
        const std::uint64_t shift = break_joins ? 1 : 0;
        if (a == b)
            return {{a, 0}};
        return {{a, shift}, {b, 0}};
    }
};

static_assert(RuxProblem<RecordingProblem>);

void expect_invariant(const auto& fn, const char* text) {
    try {
        fn();
        ADD_FAILURE() << "no invariant violation, expected: " << text;
    } catch (const InvariantViolation& e) {
        EXPECT_STREQ(e.what(), text);
    }
}

// One-row blocks reach the frontier in runs of rows, whatever the block size; the blocks, the tree
// and the splits stay those of the block size.
TEST(RuxEngine, SmallBlocksAreAppliedInRuns) {
    RecordingProblem problem{.m = 1000};
    const auto log = problem.log;
    const auto run = RuxEngine<RecordingProblem>::make(problem, 1).run_with_stats();
    EXPECT_EQ(log->summarized.size(), 1000u);
    EXPECT_EQ(log->leaves.size(), 1000u);
    EXPECT_EQ(run.score, 1000);
}

TEST(RuxEngine, TenRowsInBlocksOfThree) {
    RecordingProblem problem{.m = 10};
    const auto log = problem.log;
    const auto run = RuxEngine<RecordingProblem>::make(problem, 3).run_with_stats();

    const std::vector<Rows> blocks = {{0, 3}, {3, 6}, {6, 9}, {9, 10}};
    EXPECT_EQ(log->summarized, blocks);
    EXPECT_EQ(run.score, 10);  // every row applied to the frontier once, in order
    using Split = std::tuple<std::uint64_t, std::uint64_t, std::uint64_t>;
    EXPECT_EQ(log->splits, (std::vector<Split>{{0, 6, 10}, {0, 3, 6}, {6, 9, 10}}));
    EXPECT_EQ(log->leaves, blocks);
    EXPECT_EQ(run.path, (std::vector<PathCell>{{0, 0}, {3, 0}, {6, 0}, {9, 0}, {10, 0}}));
    EXPECT_GE(run.forward_ms, 0.0);
    EXPECT_GE(run.traceback_ms, 0.0);
}

TEST(RuxEngine, SplitRowsByBlockSize) {
    using Split = std::tuple<std::uint64_t, std::uint64_t, std::uint64_t>;
    struct Case {
        std::uint64_t m, block_size;
        std::vector<Split> splits;
        std::vector<Rows> leaves;
    };
    const Case cases[] = {
        {5,
         1,
         {{0, 2, 5}, {0, 1, 2}, {2, 3, 5}, {3, 4, 5}},
         {{0, 1}, {1, 2}, {2, 3}, {3, 4}, {4, 5}}},
        {7, 7, {}, {{0, 7}}},
        {7, 100, {}, {{0, 7}}},
        {7, 6, {{0, 6, 7}}, {{0, 6}, {6, 7}}},
        {1, 1, {}, {{0, 1}}},
        {0, 3, {}, {{0, 0}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "m=" << c.m << " block_size=" << c.block_size);
        RecordingProblem problem{.m = c.m};
        const auto run = RuxEngine<RecordingProblem>(problem, c.block_size).run_with_stats();
        EXPECT_EQ(problem.log->splits, c.splits);
        EXPECT_EQ(problem.log->leaves, c.leaves);
        ASSERT_FALSE(run.path.empty());
        EXPECT_EQ(run.path.front(), PathCell(0, 0));
        EXPECT_EQ(run.path.back(), PathCell(c.m, 0));
    }
}

TEST(RuxEngine, EmptyQueryBuildsNoBlocks) {
    RecordingProblem problem{.m = 0};
    const auto run = RuxEngine<RecordingProblem>(problem, 1).run_with_stats();
    EXPECT_TRUE(problem.log->summarized.empty());
    EXPECT_EQ(problem.log->leaves, (std::vector<Rows>{{0, 0}}));
    EXPECT_EQ(run.path, (std::vector<PathCell>{{0, 0}}));
    EXPECT_EQ(run.score, 0);
}

TEST(RuxEngine, RejectsBlockSizeZero) {
    expect_invariant([] { RuxEngine<RecordingProblem>(RecordingProblem{.m = 4}, 0); },
                     "block_size must be positive");
    expect_invariant([] { (void)RuxEngine<RecordingProblem>::make(RecordingProblem{.m = 4}, 0); },
                     "block_size must be positive");
}

TEST(RuxEngine, SegmentsThatDoNotJoinAreAViolation) {
    RecordingProblem problem{.m = 4, .break_joins = true};
    expect_invariant([&] { (void)RuxEngine<RecordingProblem>(problem, 2).run_with_stats(); },
                     "reconstructed path segments must join at the split boundary");
}

std::vector<BlockSummary<RecordingSummary>> blocks_of(std::uint64_t m, std::uint64_t size) {
    std::vector<BlockSummary<RecordingSummary>> blocks;
    for (std::uint64_t k = 0; k < block_count(m, size); ++k) {
        const std::uint64_t a = k * size, b = std::min(a + size, m);
        blocks.push_back({.summary = {a, b}, .start_row = a, .end_row = b});
    }
    return blocks;
}

TEST(SummaryTree, NodesAreStoredChildrenFirst) {
    const RecordingProblem problem{.m = 10};
    const auto blocks = blocks_of(10, 3);
    const auto tree = SummaryTree<RecordingProblem>::over(problem, blocks);
    struct Expected {
        std::uint64_t lo, hi;
        Rows rows;
    };
    const std::vector<Expected> expected = {{0, 1, {0, 3}}, {1, 2, {3, 6}},  {0, 2, {0, 6}},
                                            {2, 3, {6, 9}}, {3, 4, {9, 10}}, {2, 4, {6, 10}},
                                            {0, 4, {0, 10}}};
    ASSERT_EQ(tree.nodes.size(), expected.size());
    ASSERT_EQ(tree.root, std::optional<std::size_t>(6));
    for (std::size_t k = 0; k < expected.size(); ++k) {
        SCOPED_TRACE(k);
        const auto& node = tree.nodes[k];
        EXPECT_EQ(node.lo, expected[k].lo);
        EXPECT_EQ(node.hi, expected[k].hi);
        EXPECT_EQ(Rows(node.summary.start_row, node.summary.end_row), expected[k].rows);
        EXPECT_EQ(node.left.has_value(), node.hi - node.lo > 1);
        EXPECT_EQ(node.right.has_value(), node.hi - node.lo > 1);
    }
    EXPECT_EQ(tree.nodes[2].left, std::optional<std::size_t>(0));
    EXPECT_EQ(tree.nodes[2].right, std::optional<std::size_t>(1));
    EXPECT_EQ(tree.nodes[6].left, std::optional<std::size_t>(2));
    EXPECT_EQ(tree.nodes[6].right, std::optional<std::size_t>(5));
}

TEST(SummaryTree, QueriesMergeCoveringNodes) {
    const RecordingProblem problem{.m = 10};
    const auto blocks = blocks_of(10, 3);
    const auto tree = SummaryTree<RecordingProblem>::over(problem, blocks);
    struct Case {
        std::uint64_t a, b;
        std::optional<Rows> rows;
    };
    const Case cases[] = {{0, 4, Rows{0, 10}}, {1, 3, Rows{3, 9}},   {3, 4, Rows{9, 10}},
                          {1, 4, Rows{3, 10}}, {4, 4, std::nullopt}, {2, 2, std::nullopt}};
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "[" << c.a << ", " << c.b << ")");
        const auto summary = tree.query_node(problem, *tree.root, c.a, c.b);
        ASSERT_EQ(summary.has_value(), c.rows.has_value());
        if (summary) {
            EXPECT_EQ(Rows(summary->start_row, summary->end_row), *c.rows);
        }
    }
}

TEST(SummaryTree, HoldsAtMostTwiceTheBlocks) {
    const RecordingProblem problem{.m = 0};
    for (std::uint64_t count = 1; count <= 17; ++count) {
        const auto tree = SummaryTree<RecordingProblem>::over(problem, blocks_of(count, 1));
        EXPECT_EQ(tree.nodes.size(), 2 * count - 1);
        EXPECT_EQ(tree.root, std::optional<std::size_t>(tree.nodes.size() - 1));
    }
    EXPECT_FALSE(SummaryTree<RecordingProblem>::over(problem, {}).root.has_value());
}

}  // namespace
}  // namespace rux_dp
