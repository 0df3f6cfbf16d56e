#pragma once

#include "rux_dp/base/invariant.hpp"
#include "rux_dp/engine/rux_problem.hpp"
#include "rux_dp/engine/summary_tree.hpp"

#include <chrono>
#include <optional>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

namespace rux_dp {

/// The result of one engine run.
template <class PathElement>
struct EngineRun {
    std::vector<PathElement> path;  // from the start boundary's cell to the terminal one's
    std::int32_t score = 0;
    double forward_ms = 0.0;    // wall-clock time of the forward pass
    double traceback_ms = 0.0;  // wall-clock time of the reconstruction
};

/// An optimal path through blocks [start, end) from `alpha` (on block start's first row) to `beta`
/// (on block end - 1's last row): split at the middle block boundary, recurse, trace single blocks.
template <RuxProblem Problem>
std::vector<typename Problem::PathElement> reconstruct_path_on_blocks(
    const Problem& problem, std::span<const BlockSummary<typename Problem::Summary>> blocks,
    const SummaryTree<Problem>& tree, std::uint64_t start, std::uint64_t end,
    const typename Problem::Boundary& alpha, const typename Problem::Boundary& beta) {
    if (start >= end)
        return {};
    if (end == start + 1)
        return problem.reconstruct_leaf(blocks[start].start_row, blocks[start].end_row, alpha,
                                        beta);
    invariant(tree.root.has_value(), "left interval must be non-empty");
    const std::uint64_t mid = start + (end - start) / 2;
    auto left = tree.query_node(problem, *tree.root, start, mid);
    invariant(left.has_value(), "left interval must be non-empty");
    auto right = tree.query_node(problem, *tree.root, mid, end);
    invariant(right.has_value(), "right interval must be non-empty");

    const auto split = problem.choose_split(blocks[start].start_row, blocks[mid - 1].end_row,
                                            blocks[end - 1].end_row, alpha, beta, *left, *right);
    auto lhs = reconstruct_path_on_blocks(problem, blocks, tree, start, mid, alpha, split);
    auto rhs = reconstruct_path_on_blocks(problem, blocks, tree, mid, end, split, beta);
    if (lhs.empty())
        return rhs;
    if (rhs.empty())
        return lhs;
    invariant(lhs.back() == rhs.front(),
              "reconstructed path segments must join at the split boundary");
    lhs.insert(lhs.end(), std::make_move_iterator(rhs.begin() + 1),
               std::make_move_iterator(rhs.end()));
    return lhs;
}

/// Solves one problem exactly: a forward pass over blocks of `block_size` query rows gives the
/// score, and a divide-and-conquer over a summary tree of the blocks gives an optimal path, in
/// memory for one frontier plus one block's table.
template <RuxProblem Problem>
class RuxEngine {
public:
    using PathElement = typename Problem::PathElement;
    using Summary = typename Problem::Summary;

    /// `block_size` rows per block; 0 is an invariant violation.
    RuxEngine(Problem problem, std::uint64_t block_size)
        : problem_(std::move(problem)), block_size_(block_size) {
        invariant(block_size_ > 0, "block_size must be positive");
    }
    static RuxEngine make(Problem problem, std::uint64_t block_size) {
        return RuxEngine(std::move(problem), block_size);
    }

    const Problem& problem() const { return problem_; }
    std::uint64_t block_size() const { return block_size_; }

    /// Runs the forward pass and the reconstruction once.
    EngineRun<PathElement> run_with_stats() const {
        using Clock = std::chrono::steady_clock;
        const auto forward_start = Clock::now();
        const std::uint64_t m = problem_.query_length();
        const std::uint64_t count = block_count(m, block_size_);

        std::vector<BlockSummary<Summary>> blocks;
        blocks.reserve(count);
        auto frontier = problem_.init_frontier();
        // Small blocks are applied to the frontier a run at a time, through their merged summary:
        // the frontier is the same, and each apply has a set-up cost of the order of one row.
        constexpr std::uint64_t rows_per_apply = 256;
        std::optional<Summary> pending;
        std::uint64_t pending_start = 0;
        for (std::uint64_t k = 0; k < count; ++k) {
            const std::uint64_t start_row = k * block_size_;
            const std::uint64_t end_row =
                m - start_row <= block_size_ ? m : start_row + block_size_;
            Summary summary = problem_.summarize_block(start_row, end_row);
            if (pending) {
                pending = problem_.merge_summary(*pending, summary);
            } else {
                pending = summary;
                pending_start = start_row;
            }
            if (end_row - pending_start >= rows_per_apply || k + 1 == count) {
                frontier = pending->apply(frontier);
                pending.reset();
            }
            blocks.push_back(BlockSummary<Summary>{
                .summary = std::move(summary), .start_row = start_row, .end_row = end_row});
        }
        const auto tree = SummaryTree<Problem>::over(problem_, blocks);
        const auto forward_end = Clock::now();

        const auto alpha = problem_.start_boundary();
        const auto beta = problem_.terminal_boundary(frontier);
        EngineRun<PathElement> run;
        run.score = problem_.terminal_score(frontier, beta);

        const auto traceback_start = Clock::now();
        if (count > 0)
            run.path =
                reconstruct_path_on_blocks(problem_, std::span<const BlockSummary<Summary>>(blocks),
                                           tree, 0, count, alpha, beta);
        else
            run.path = problem_.reconstruct_leaf(0, 0, alpha, beta);
        const auto traceback_end = Clock::now();

        using Ms = std::chrono::duration<double, std::milli>;
        run.forward_ms = std::chrono::duration_cast<Ms>(forward_end - forward_start).count();
        run.traceback_ms = std::chrono::duration_cast<Ms>(traceback_end - traceback_start).count();
        return run;
    }

private:
    Problem problem_;
    std::uint64_t block_size_;
};

}  // namespace rux_dp
