#pragma once

#include "rux_dp/engine/rux_problem.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace rux_dp {

/// The summary of one block of rows [start_row, end_row).
template <class Summary>
struct BlockSummary {
    Summary summary;
    std::uint64_t start_row = 0;
    std::uint64_t end_row = 0;
};

/// The number of blocks of `block_size` rows that cover m rows: ceil(m / block_size).
inline std::uint64_t block_count(std::uint64_t m, std::uint64_t block_size) {
    return m / block_size + (m % block_size != 0 ? 1 : 0);
}

/// A binary tree of merged block summaries. Nodes are stored children before parents, in the order
/// construction finishes them; the root is the last node.
template <RuxProblem Problem>
struct SummaryTree {
    using Summary = typename Problem::Summary;

    struct Node {
        std::optional<std::size_t> left;
        std::optional<std::size_t> right;
        Summary summary;
        std::uint64_t lo = 0;  // first block index covered
        std::uint64_t hi = 0;  // one past the last block index covered
    };

    std::vector<Node> nodes;
    std::optional<std::size_t> root;

    /// The tree over all of `blocks` (no root when there are none).
    static SummaryTree over(const Problem& problem, std::span<const BlockSummary<Summary>> blocks) {
        SummaryTree tree;
        if (blocks.empty())
            return tree;
        tree.nodes.reserve(2 * blocks.size() - 1);
        tree.root = tree.build(problem, blocks, 0, blocks.size());
        return tree;
    }

    /// Appends the nodes for blocks [lo, hi) (lo < hi) and returns the index of their top node.
    std::size_t build(const Problem& problem, std::span<const BlockSummary<Summary>> blocks,
                      std::uint64_t lo, std::uint64_t hi) {
        if (hi == lo + 1) {
            nodes.push_back(Node{.left = std::nullopt,
                                 .right = std::nullopt,
                                 .summary = blocks[lo].summary,
                                 .lo = lo,
                                 .hi = hi});
            return nodes.size() - 1;
        }
        // Halving the block indexes here and in the reconstruction makes every reconstructed
        // interval exactly one node.
        const std::uint64_t mid = lo + (hi - lo) / 2;
        const std::size_t left = build(problem, blocks, lo, mid);
        const std::size_t right = build(problem, blocks, mid, hi);
        Summary merged = problem.merge_summary(nodes[left].summary, nodes[right].summary);
        nodes.push_back(
            Node{.left = left, .right = right, .summary = std::move(merged), .lo = lo, .hi = hi});
        return nodes.size() - 1;
    }

    /// The summary covering blocks [a, b) intersected with the node's blocks, if they overlap.
    std::optional<Summary> query_node(const Problem& problem, std::size_t node, std::uint64_t a,
                                      std::uint64_t b) const {
        const Node& n = nodes[node];
        if (n.hi <= a || n.lo >= b)
            return std::nullopt;
        if (a <= n.lo && n.hi <= b)
            return n.summary;
        std::optional<Summary> left;
        std::optional<Summary> right;
        if (n.left)
            left = query_node(problem, *n.left, a, b);
        if (n.right)
            right = query_node(problem, *n.right, a, b);
        if (left && right)
            return problem.merge_summary(*left, *right);
        if (left)
            return left;
        if (right)
            return right;
        return std::nullopt;
    }
};

}  // namespace rux_dp
