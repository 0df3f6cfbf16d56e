#pragma once

#include <concepts>
#include <cstdint>
#include <vector>

namespace rux_dp {

/// A block summary that recomputes its rows: given the frontier of its first row it returns the
/// frontier after its last row.
template <class S, class F>
concept SummaryApply = requires(const S& summary, const F& frontier) {
    { summary.apply(frontier) } -> std::same_as<F>;
};

/// A score-based alignment problem that the summary-tree engine can solve. Rows are query
/// positions 0..m; every row number passed in lies in [0, m].
///
/// - `init_frontier`: the DP state of row 0;
/// - `summarize_block(start_row, end_row)`: the summary of rows [start_row, end_row);
/// - `merge_summary(left, right)`: the summary of two adjacent summaries;
/// - `start_boundary` / `terminal_boundary(final_frontier)`: where every path starts / the optimal
///   path ends; `terminal_score(final_frontier, terminal)`: the optimal score;
/// - `choose_split(a, mid, c, alpha, beta, left, right)`: a boundary on row `mid` through which an
///   optimal path from `alpha` (row a) to `beta` (row c) passes;
/// - `reconstruct_leaf(a, b, alpha, beta)`: an optimal path from `alpha` to `beta`, both included.
template <class P>
concept RuxProblem = requires(const P& problem, const typename P::Frontier& frontier,
                              const typename P::Summary& summary,
                              const typename P::Boundary& boundary, std::uint64_t row) {
    typename P::Frontier;
    typename P::Summary;
    typename P::Boundary;
    typename P::PathElement;
    requires SummaryApply<typename P::Summary, typename P::Frontier>;
    requires std::equality_comparable<typename P::PathElement>;
    { problem.query_length() } -> std::same_as<std::uint64_t>;
    { problem.init_frontier() } -> std::same_as<typename P::Frontier>;
    { problem.summarize_block(row, row) } -> std::same_as<typename P::Summary>;
    { problem.merge_summary(summary, summary) } -> std::same_as<typename P::Summary>;
    { problem.start_boundary() } -> std::same_as<typename P::Boundary>;
    { problem.terminal_boundary(frontier) } -> std::same_as<typename P::Boundary>;
    { problem.terminal_score(frontier, boundary) } -> std::same_as<std::int32_t>;
    {
        problem.choose_split(row, row, row, boundary, boundary, summary, summary)
        } -> std::same_as<typename P::Boundary>;
    {
        problem.reconstruct_leaf(row, row, boundary, boundary)
        } -> std::same_as<std::vector<typename P::PathElement>>;
};

}  // namespace rux_dp
