#include "rux_dp/problems/semiglobal.hpp"

#include "rux_dp/base/invariant.hpp"
#include "rux_dp/problems/kernel_detail.hpp"
#include "rux_dp/problems/linear_rows_detail.hpp"

#include <algorithm>
#include <limits>
#include <utility>

namespace rux_dp {

using detail::wrap_add;

namespace {

// Row i from row i - 1; srow[j] = s(query[i - 1], target[j]). Ties give the origin of the
// horizontal candidate, then the vertical one, then the diagonal one.
void advance_semiglobal(const SemiGlobalFrontier& prev, SemiGlobalFrontier& next,
                        const std::int32_t* srow, std::size_t n, std::int32_t gap) {
    const std::int32_t* h_prev = prev.H.data();
    const PathCell* o_prev = prev.origins.data();
    std::int32_t* h_next = next.H.data();
    PathCell* o_next = next.origins.data();
    h_next[0] = wrap_add(h_prev[0], gap);
    o_next[0] = o_prev[0];
    for (std::size_t j = 1; j <= n; ++j) {
        const std::int32_t diagonal = wrap_add(h_prev[j - 1], srow[j - 1]);
        const std::int32_t vertical = wrap_add(h_prev[j], gap);
        const std::int32_t horizontal = wrap_add(h_next[j - 1], gap);
        h_next[j] = std::max(diagonal, std::max(vertical, horizontal));
        if (horizontal >= diagonal && horizontal >= vertical)
            o_next[j] = o_next[j - 1];
        else if (vertical >= diagonal)
            o_next[j] = o_prev[j];
        else
            o_next[j] = o_prev[j - 1];
    }
}

void check_semiglobal_width(const SemiGlobalFrontier& frontier, std::size_t n) {
    invariant(frontier.H.size() == n + 1, "semi-global frontier width mismatch");
    invariant(frontier.origins.size() == n + 1, "semi-global start width mismatch");
}

// Rows per vector pass of `advance_rows_vector`: their predecessor bits are kept at once.
constexpr std::uint64_t kVectorRows = 64;

// Advances `frontier` over rows [begin, end) with the AVX-512 passes while they can run them
// exactly, carrying the origins (columns on row 0) from the predecessor bits with the same ties as
// `advance_semiglobal`; returns the row reached, where the scalar rows take over.
std::uint64_t advance_rows_vector(SemiGlobalFrontier& frontier, const SemiGlobalProblem& p,
                                  std::uint64_t begin, std::uint64_t end) {
    const std::size_t n = p.target.size();
    if (begin == end || n >= std::numeric_limits<std::uint32_t>::max())
        return begin;
    thread_local std::vector<std::uint32_t> bits;
    std::vector<std::uint32_t> above(n + 1);
    std::vector<std::uint32_t> origins(n + 1);
    for (std::size_t j = 0; j <= n; ++j) {
        invariant(frontier.origins[j].first == 0, "semi-global origins must lie on row 0");
        origins[j] = static_cast<std::uint32_t>(frontier.origins[j].second);
    }
    const std::size_t words = detail::tight_words(n);
    std::uint64_t row = begin;
    while (row < end) {
        const std::uint64_t rows = std::min(kVectorRows, end - row);
        if (!detail::advance_linear_rows_tight(frontier.H, p.query.substr(row, rows), p.target,
                                               p.scoring, p.gap, detail::LinearStart::any_row,
                                               bits))
            break;
        for (std::uint64_t k = 0; k < rows; ++k) {
            std::swap(above, origins);
            const bool carried = detail::carry_linear_origins(bits.data() + k * 3 * words, n,
                                                              above.data(), origins.data());
            invariant(carried, "semi-global vector rows need AVX-512BW");
        }
        row += rows;
    }
    for (std::size_t j = 0; j <= n; ++j)
        frontier.origins[j] = {0, origins[j]};
    return row;
}

SemiGlobalFrontier advance_rows(SemiGlobalFrontier frontier, const SemiGlobalProblem& p,
                                std::uint64_t begin, std::uint64_t end) {
    const std::size_t n = p.target.size();
    check_semiglobal_width(frontier, n);
    begin = advance_rows_vector(frontier, p, begin, end);
    if (begin == end)
        return frontier;
    SemiGlobalFrontier next{.H = std::vector<std::int32_t>(n + 1),
                            .origins = std::vector<PathCell>(n + 1)};
    std::vector<std::int32_t> srow(n);
    const detail::SubstitutionRows rows(p.scoring, p.target);
    for (std::uint64_t i = begin; i < end; ++i) {
        rows.fill(p.query[i], srow.data());
        advance_semiglobal(frontier, next, srow.data(), n, p.gap);
        std::swap(frontier, next);
    }
    return frontier;
}

// The forward pass starts a path anywhere on row 0 and takes no gap step along it, so a region
// from row 0 must not either (which only a positive gap value would make worth it).
detail::ClosedEdges closed_edges(std::int32_t gap, std::uint64_t first_row) {
    return {.first_row = gap > 0 && first_row == 0};
}

// The target columns [left, right] of the region between two boundaries. A boundary without a
// selection on the selection's start row stands for the selected start column.
std::pair<std::uint64_t, std::uint64_t> region_columns(const SemiGlobalBoundary& alpha,
                                                       const SemiGlobalBoundary& beta) {
    const auto& chosen = beta.selection ? beta.selection : alpha.selection;
    invariant(chosen.has_value(), "semi-global reconstruction requires a selected interval");
    const SemiGlobalSelection& selection = *chosen;
    const std::uint64_t left =
        !alpha.selection && alpha.row == selection.start.first ? selection.start.second : alpha.col;
    const std::uint64_t right =
        !beta.selection && beta.row == selection.start.first ? selection.start.second : beta.col;
    return {left, right};
}

}  // namespace

SemiGlobalFrontier advance_semiglobal_row(char query_symbol, std::string_view target,
                                          const SubstitutionScoring& scoring, std::int32_t gap,
                                          const SemiGlobalFrontier& frontier) {
    const std::size_t n = target.size();
    check_semiglobal_width(frontier, n);
    SemiGlobalFrontier next{.H = std::vector<std::int32_t>(n + 1),
                            .origins = std::vector<PathCell>(n + 1)};
    std::vector<std::int32_t> srow(n);
    detail::SubstitutionRows(scoring, target).fill(query_symbol, srow.data());
    advance_semiglobal(frontier, next, srow.data(), n, gap);
    return next;
}

SemiGlobalFrontier SemiGlobalSummary::apply(const SemiGlobalFrontier& frontier) const {
    invariant(frontier.H.size() == problem->target.size() + 1,
              "semi-global frontier width mismatch");
    return advance_rows(frontier, *problem, start_row, end_row);
}

SemiGlobalFrontier SemiGlobalProblem::init_frontier() const {
    const std::size_t n = target.size();
    SemiGlobalFrontier frontier{.H = std::vector<std::int32_t>(n + 1, 0),
                                .origins = std::vector<PathCell>(n + 1)};
    for (std::size_t j = 0; j <= n; ++j)
        frontier.origins[j] = {0, j};
    return frontier;
}

SemiGlobalSummary SemiGlobalProblem::summarize_block(std::uint64_t start_row,
                                                     std::uint64_t end_row) const {
    invariant(start_row <= end_row && end_row <= query.size(), "invalid semi-global interval");
    return SemiGlobalSummary{.problem = this, .start_row = start_row, .end_row = end_row};
}

SemiGlobalSummary SemiGlobalProblem::merge_summary(const SemiGlobalSummary& left,
                                                   const SemiGlobalSummary& right) const {
    invariant(left.end_row == right.start_row, "semi-global summaries must be adjacent");
    const SemiGlobalProblem& l = *left.problem;
    const SemiGlobalProblem& r = *right.problem;
    invariant(l.query.data() == r.query.data() && l.query.size() == r.query.size()
                  && l.target.data() == r.target.data() && l.target.size() == r.target.size()
                  && l.gap == r.gap && detail::same_scoring(l.scoring, r.scoring),
              "semi-global summaries must belong to the same problem");
    return SemiGlobalSummary{
        .problem = left.problem, .start_row = left.start_row, .end_row = right.end_row};
}

SemiGlobalBoundary SemiGlobalProblem::terminal_boundary(const SemiGlobalFrontier& frontier) const {
    std::size_t end_col = 0;
    for (std::size_t j = 1; j < frontier.H.size(); ++j)
        if (frontier.H[j] > frontier.H[end_col])
            end_col = j;
    return SemiGlobalBoundary{.selection = SemiGlobalSelection{.start = frontier.origins[end_col],
                                                               .end = {query.size(), end_col},
                                                               .score = frontier.H[end_col]},
                              .row = query.size(),
                              .col = end_col};
}

std::int32_t SemiGlobalProblem::terminal_score(const SemiGlobalFrontier&,
                                               const SemiGlobalBoundary& terminal) const {
    invariant(terminal.selection.has_value(), "semi-global terminal boundary must carry selection");
    return terminal.selection->score;
}

SemiGlobalBoundary SemiGlobalProblem::choose_split(
    std::uint64_t interval_start_row, std::uint64_t split_row, std::uint64_t interval_end_row,
    const SemiGlobalBoundary& alpha, const SemiGlobalBoundary& beta, const SemiGlobalSummary&,
    const SemiGlobalSummary&) const {
    invariant(alpha.row == interval_start_row, "left boundary row must match interval start");
    invariant(beta.row == interval_end_row, "right boundary row must match interval end");
    invariant(interval_start_row <= split_row && split_row <= interval_end_row
                  && interval_end_row <= query.size(),
              "split must lie inside interval");
    const auto [left, right] = region_columns(alpha, beta);
    invariant(left <= right && right <= target.size(),
              "invalid semi-global selected target interval");
    return SemiGlobalBoundary{
        .selection = beta.selection ? beta.selection : alpha.selection,
        .row = split_row,
        .col = detail::linear_split_column(scoring, query, target, gap, interval_start_row,
                                           split_row, interval_end_row, left, right,
                                           closed_edges(gap, interval_start_row))};
}

std::vector<PathCell> SemiGlobalProblem::reconstruct_leaf(std::uint64_t start_row,
                                                          std::uint64_t end_row,
                                                          const SemiGlobalBoundary& alpha,
                                                          const SemiGlobalBoundary& beta) const {
    invariant(alpha.row == start_row, "leaf start row must match beta_a");
    invariant(beta.row == end_row, "leaf end row must match beta_b");
    const auto [left, right] = region_columns(alpha, beta);
    invariant(start_row <= end_row && left <= right, "semi-global leaf boundaries must be ordered");
    invariant(end_row <= query.size() && right <= target.size(),
              "semi-global endpoint out of bounds");
    return detail::linear_rectangle_path(scoring, query, target, gap, {start_row, left},
                                         {end_row, right},
                                         "semi-global traceback must have predecessor",
                                         closed_edges(gap, start_row));
}

PathScore SemiGlobalProblem::score_path(std::span<const PathCell> cells) const {
    return linear_score_path(scoring, query, target, gap, cells);
}

std::int32_t SemiGlobalProblem::full_table_score() const {
    // Scores only: the origins of the frontier play no part, so the plain linear rows from a row
    // of zeros give the same last row.
    std::vector<std::int32_t> row(target.size() + 1, 0);
    detail::advance_linear_rows(row, query, target, scoring, gap, detail::LinearStart::any_row);
    return *std::max_element(row.begin(), row.end());
}

template class RuxEngine<SemiGlobalProblem>;

}  // namespace rux_dp
