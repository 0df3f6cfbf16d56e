#include "rux_dp/problems/nw_align.hpp"

#include "rux_dp/base/invariant.hpp"
#include "rux_dp/problems/kernel_detail.hpp"
#include "rux_dp/problems/linear_rows_detail.hpp"

#include <algorithm>
#include <utility>

namespace rux_dp {

using detail::wrap_add;

std::vector<std::int32_t> nw_last_row_reference(std::string_view query, std::string_view target,
                                                const SubstitutionScoring& scoring,
                                                std::int32_t gap) {
    const std::size_t n = target.size();
    std::vector<std::int32_t> prev(n + 1);
    std::vector<std::int32_t> next(n + 1);
    std::vector<std::int32_t> srow(n);
    prev[0] = 0;
    for (std::size_t j = 1; j <= n; ++j)
        prev[j] = wrap_add(prev[j - 1], gap);
    const detail::SubstitutionRows rows(scoring, target);
    for (const char symbol : query) {
        rows.fill(symbol, srow.data());
        detail::advance_nw_row_reference(prev.data(), next.data(), srow.data(), n, gap);
        std::swap(prev, next);
    }
    return prev;
}

std::vector<std::int32_t> nw_last_row(std::string_view query, std::string_view target,
                                      const SubstitutionScoring& scoring, std::int32_t gap) {
    std::vector<std::int32_t> row(target.size() + 1);
    for (std::size_t j = 1; j < row.size(); ++j)
        row[j] = wrap_add(row[j - 1], gap);
    detail::advance_linear_rows(row, query, target, scoring, gap,
                                detail::LinearStart::global_origin);
    return row;
}

PathScore linear_score_path(const SubstitutionScoring& scoring, std::string_view query,
                            std::string_view target, std::int32_t gap,
                            std::span<const PathCell> cells) {
    PathScore result;
    for (std::size_t k = 1; k < cells.size(); ++k) {
        const auto [i0, j0] = cells[k - 1];
        const auto [i1, j1] = cells[k];
        // Unsigned differences: a move back wraps to a huge step and is rejected with the rest.
        const std::uint64_t di = i1 - i0;
        const std::uint64_t dj = j1 - j0;
        if (di == 1 && dj == 1) {
            if (i0 >= query.size() || j0 >= target.size()) {
                result.valid = false;
                return result;
            }
            result.score = wrap_add(result.score, scoring.score(query[i0], target[j0]));
        } else if ((di == 1 && dj == 0) || (di == 0 && dj == 1)) {
            result.score = wrap_add(result.score, gap);
        } else {
            result.valid = false;
            return result;
        }
    }
    return result;
}

NwFrontier NwSummary::apply(const NwFrontier& frontier) const {
    invariant(frontier.values.size() == problem->target.size() + 1, "NW frontier width mismatch");
    NwFrontier current = frontier;
    detail::advance_linear_rows(
        current.values, problem->query.substr(start_row, end_row - start_row), problem->target,
        problem->scoring, problem->gap, detail::LinearStart::any_row);
    return current;
}

NwFrontier NwProblem::init_frontier() const {
    NwFrontier frontier{std::vector<std::int32_t>(target.size() + 1)};
    for (std::size_t j = 1; j <= target.size(); ++j)
        frontier.values[j] = wrap_add(frontier.values[j - 1], gap);
    return frontier;
}

NwSummary NwProblem::summarize_block(std::uint64_t start_row, std::uint64_t end_row) const {
    invariant(start_row <= end_row && end_row <= query.size(), "invalid NW interval");
    return NwSummary{.problem = this, .start_row = start_row, .end_row = end_row};
}

NwSummary NwProblem::merge_summary(const NwSummary& left, const NwSummary& right) const {
    invariant(left.end_row == right.start_row, "NW summaries must be adjacent");
    const NwProblem& l = *left.problem;
    const NwProblem& r = *right.problem;
    invariant(l.query.data() == r.query.data() && l.query.size() == r.query.size()
                  && l.target.data() == r.target.data() && l.target.size() == r.target.size()
                  && l.gap == r.gap && detail::same_scoring(l.scoring, r.scoring),
              "NW summaries must belong to the same problem");
    return NwSummary{
        .problem = left.problem, .start_row = left.start_row, .end_row = right.end_row};
}

std::int32_t NwProblem::terminal_score(const NwFrontier& frontier, const PathCell&) const {
    return frontier.values.back();
}

PathCell NwProblem::choose_split(std::uint64_t interval_start_row, std::uint64_t split_row,
                                 std::uint64_t interval_end_row, const PathCell& alpha,
                                 const PathCell& beta, const NwSummary&, const NwSummary&) const {
    invariant(alpha.first == interval_start_row, "left boundary row must match interval start");
    invariant(beta.first == interval_end_row, "right boundary row must match interval end");
    invariant(interval_start_row <= split_row && split_row <= interval_end_row,
              "split must lie inside interval");
    invariant(alpha.second <= beta.second && beta.second <= target.size(),
              "invalid NW boundary columns");
    return {split_row,
            detail::linear_split_column(scoring, query, target, gap, interval_start_row, split_row,
                                        interval_end_row, alpha.second, beta.second)};
}

std::vector<PathCell> NwProblem::reconstruct_leaf(std::uint64_t start_row, std::uint64_t end_row,
                                                  const PathCell& alpha,
                                                  const PathCell& beta) const {
    invariant(alpha.first == start_row, "leaf start row must match beta_a");
    invariant(beta.first == end_row, "leaf end row must match beta_b");
    invariant(start_row <= end_row && end_row <= query.size(), "invalid NW interval");
    invariant(alpha.second <= beta.second && beta.second <= target.size(),
              "invalid NW leaf columns");
    return detail::linear_rectangle_path(scoring, query, target, gap, alpha, beta,
                                         "NW traceback must have a horizontal predecessor");
}

PathScore NwProblem::score_path(std::span<const PathCell> cells) const {
    return linear_score_path(scoring, query, target, gap, cells);
}

std::optional<EngineRun<PathCell>> nw_whole_table_run(const NwProblem& problem,
                                                      std::uint64_t block_size) {
    auto whole = detail::linear_whole_table_run(problem.scoring, problem.query, problem.target,
                                                problem.gap, block_size,
                                                "NW traceback must have a horizontal predecessor");
    if (!whole)
        return std::nullopt;
    EngineRun<PathCell> run;
    run.score = whole->score;
    run.path = std::move(whole->path);
    return run;
}

template class RuxEngine<NwProblem>;

}  // namespace rux_dp
