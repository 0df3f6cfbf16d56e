#include "rux_dp/problems/smith_waterman.hpp"

#include "rux_dp/base/invariant.hpp"
#include "rux_dp/problems/kernel_detail.hpp"
#include "rux_dp/problems/linear_rows_detail.hpp"
#include "rux_dp/problems/simd_dispatch.hpp"

#include <algorithm>
#include <limits>
#include <utility>

namespace rux_dp {

using detail::wrap_add;

namespace {

// Row `row` from the row above; srow[j] = s(query[row - 1], target[j]). Candidates that do not
// score positive are dropped; among equal positive candidates the later one (horizontal over
// vertical over diagonal) gives the origin.
void advance_sw(const SwFrontier& prev, SwFrontier& next, const std::int32_t* srow, std::size_t n,
                std::uint64_t row, std::int32_t gap) {
    next.best_start = prev.best_start;
    next.best_end = prev.best_end;
    next.best_score = prev.best_score;
    const std::int32_t* h_prev = prev.H.data();
    const PathCell* o_prev = prev.origins.data();
    std::int32_t* h_next = next.H.data();
    PathCell* o_next = next.origins.data();
    h_next[0] = 0;
    o_next[0] = {row, 0};
    for (std::size_t j = 1; j <= n; ++j) {
        const std::int32_t diagonal = wrap_add(h_prev[j - 1], srow[j - 1]);
        const std::int32_t vertical = wrap_add(h_prev[j], gap);
        const std::int32_t horizontal = wrap_add(h_next[j - 1], gap);
        std::int32_t value = 0;
        PathCell origin{row, j};
        if (diagonal > 0) {
            value = diagonal;
            origin = o_prev[j - 1];
        }
        if (vertical > 0 && vertical >= value) {
            value = vertical;
            origin = o_prev[j];
        }
        if (horizontal > 0 && horizontal >= value) {
            value = horizontal;
            origin = o_next[j - 1];
        }
        h_next[j] = value;
        o_next[j] = origin;
        // Strictly greater: the first cell in row-major order to reach the maximum stays selected.
        if (value > next.best_score) {
            next.best_start = origin;
            next.best_end = {row, j};
            next.best_score = value;
        }
    }
}

void check_sw_width(const SwFrontier& frontier, std::size_t n) {
    invariant(frontier.H.size() == n + 1, "SW frontier width mismatch");
    invariant(frontier.origins.size() == n + 1, "SW frontier start width mismatch");
}

// Rows per vector pass of `advance_rows_vector`: their predecessor bits are kept at once.
constexpr std::uint64_t kVectorRows = 64;

// Advances `frontier` over rows [begin, end) with the AVX-512 passes while they can run them
// exactly, carrying the origins (as cell numbers, of type Cell) from the predecessor bits with
// the ties of `advance_sw`, and the best cell from the rows that raise it; returns the row
// reached, where the scalar rows take over.
template <class Cell>
std::uint64_t advance_rows_vector(SwFrontier& frontier, const SmithWatermanProblem& p,
                                  std::uint64_t begin, std::uint64_t end) {
    const std::size_t n = p.target.size();
    const std::uint64_t width = n + 1;
    thread_local std::vector<std::uint32_t> bits;
    std::vector<Cell> above(width);
    std::vector<Cell> origins(width);
    for (std::size_t j = 0; j <= n; ++j)
        origins[j] = static_cast<Cell>(frontier.origins[j].first * width
                                       + frontier.origins[j].second);
    const std::size_t words = detail::tight_words(n);
    detail::LocalBestTrack track{.best = frontier.best_score, .events = {}};
    std::uint64_t row = begin;
    while (row < end) {
        const std::uint64_t rows = std::min(kVectorRows, end - row);
        track.events.clear();
        if (!detail::advance_local_rows_tight(frontier.H, p.query.substr(row, rows), p.target,
                                              p.scoring, p.gap, track, bits))
            break;
        std::size_t event = 0;
        for (std::uint64_t k = 0; k < rows; ++k) {
            const std::uint64_t i = row + k + 1;  // the table row formed
            std::swap(above, origins);
            const bool carried =
                detail::carry_local_origins(bits.data() + k * 3 * words, n, above.data(),
                                            origins.data(), static_cast<Cell>(i * width));
            invariant(carried, "SW vector rows need AVX-512BW");
            if (event < track.events.size() && track.events[event].row == k) {
                const detail::LocalBestEvent& best = track.events[event++];
                const std::uint64_t start = origins[best.col];
                frontier.best_start = {start / width, start % width};
                frontier.best_end = {i, best.col};
                frontier.best_score = best.score;
            }
        }
        row += rows;
    }
    for (std::size_t j = 0; j <= n; ++j)
        frontier.origins[j] = {origins[j] / width, origins[j] % width};
    return row;
}

// `advance_rows_vector` with the narrowest cell numbers the table allows.
std::uint64_t advance_rows_vector(SwFrontier& frontier, const SmithWatermanProblem& p,
                                  std::uint64_t begin, std::uint64_t end) {
    const std::uint64_t width = p.target.size() + 1;
    const std::uint64_t height = p.query.size() + 1;
    if (begin == end || simd::active_isa() != simd::Isa::avx512bw
        || height > std::numeric_limits<std::uint64_t>::max() / width)
        return begin;
    if (height * width <= std::uint64_t{1} << 32)
        return advance_rows_vector<std::uint32_t>(frontier, p, begin, end);
    return advance_rows_vector<std::uint64_t>(frontier, p, begin, end);
}

// The frontier advanced over rows [begin, end).
SwFrontier advance_rows(SwFrontier frontier, const SmithWatermanProblem& p, std::uint64_t begin,
                        std::uint64_t end) {
    const std::size_t n = p.target.size();
    check_sw_width(frontier, n);
    begin = advance_rows_vector(frontier, p, begin, end);
    if (begin == end)
        return frontier;
    SwFrontier next{.H = std::vector<std::int32_t>(n + 1), .origins = std::vector<PathCell>(n + 1)};
    std::vector<std::int32_t> srow(n);
    const detail::SubstitutionRows rows(p.scoring, p.target);
    for (std::uint64_t i = begin; i < end; ++i) {
        rows.fill(p.query[i], srow.data());
        advance_sw(frontier, next, srow.data(), n, i + 1, p.gap);
        std::swap(frontier, next);
    }
    return frontier;
}

// The selection a split or leaf works with: beta's once it carries a positive one, else alpha's.
const SwBoundary& selection_of(const SwBoundary& alpha, const SwBoundary& beta) {
    return beta.score >= 1 ? beta : alpha;
}

// The forward pass holds row 0 and column 0 at 0 and takes no gap step along them (a path starts
// anywhere there instead), so a region from one of them must not either; only a positive gap
// value makes such a step worth it. With one, every path starts there: no other cell falls to 0.
detail::ClosedEdges closed_edges(std::int32_t gap, PathCell from) {
    return {.first_row = gap > 0 && from.first == 0, .first_column = gap > 0 && from.second == 0};
}

}  // namespace

SwFrontier advance_sw_row(char query_symbol, std::uint64_t row, std::string_view target,
                          const SubstitutionScoring& scoring, std::int32_t gap,
                          const SwFrontier& frontier) {
    const std::size_t n = target.size();
    check_sw_width(frontier, n);
    SwFrontier next{.H = std::vector<std::int32_t>(n + 1), .origins = std::vector<PathCell>(n + 1)};
    std::vector<std::int32_t> srow(n);
    detail::SubstitutionRows(scoring, target).fill(query_symbol, srow.data());
    advance_sw(frontier, next, srow.data(), n, row, gap);
    return next;
}

SwFrontier SwSummary::apply(const SwFrontier& frontier) const {
    invariant(frontier.H.size() == problem->target.size() + 1, "SW frontier width mismatch");
    return advance_rows(frontier, *problem, start_row, end_row);
}

SwFrontier SmithWatermanProblem::init_frontier() const {
    const std::size_t n = target.size();
    SwFrontier frontier{.H = std::vector<std::int32_t>(n + 1, 0),
                        .origins = std::vector<PathCell>(n + 1)};
    for (std::size_t j = 0; j <= n; ++j)
        frontier.origins[j] = {0, j};
    return frontier;
}

SwSummary SmithWatermanProblem::summarize_block(std::uint64_t start_row,
                                                std::uint64_t end_row) const {
    invariant(start_row <= end_row && end_row <= query.size(), "invalid SW interval");
    return SwSummary{.problem = this, .start_row = start_row, .end_row = end_row};
}

SwSummary SmithWatermanProblem::merge_summary(const SwSummary& left, const SwSummary& right) const {
    invariant(left.end_row == right.start_row, "SW summaries must be adjacent");
    const SmithWatermanProblem& l = *left.problem;
    const SmithWatermanProblem& r = *right.problem;
    invariant(l.query.data() == r.query.data() && l.query.size() == r.query.size()
                  && l.target.data() == r.target.data() && l.target.size() == r.target.size()
                  && l.gap == r.gap && detail::same_scoring(l.scoring, r.scoring),
              "SW summaries must belong to the same problem");
    return SwSummary{
        .problem = left.problem, .start_row = left.start_row, .end_row = right.end_row};
}

SwBoundary SmithWatermanProblem::terminal_boundary(const SwFrontier& frontier) const {
    SwBoundary terminal{.row = query.size(),
                        .col = 0,
                        .start = frontier.best_start,
                        .end = frontier.best_end,
                        .score = frontier.best_score,
                        .state = SwState::before};
    if (frontier.best_score > 0) {
        terminal.state = SwState::after;
        terminal.col = frontier.best_end.second;
    }
    return terminal;
}

std::int32_t SmithWatermanProblem::terminal_score(const SwFrontier& frontier,
                                                  const SwBoundary&) const {
    return frontier.best_score;
}

SwBoundary SmithWatermanProblem::choose_split(std::uint64_t interval_start_row,
                                              std::uint64_t split_row,
                                              std::uint64_t interval_end_row,
                                              const SwBoundary& alpha, const SwBoundary& beta,
                                              const SwSummary&, const SwSummary&) const {
    invariant(alpha.row == interval_start_row, "left boundary row must match interval start");
    invariant(beta.row == interval_end_row, "right boundary row must match interval end");
    invariant(interval_start_row <= split_row && split_row <= interval_end_row
                  && interval_end_row <= query.size(),
              "split must lie inside interval");
    const SwBoundary& selection = selection_of(alpha, beta);
    SwBoundary split{.row = split_row,
                     .col = 0,
                     .start = selection.start,
                     .end = selection.end,
                     .score = selection.score,
                     .state = SwState::before};
    if (selection.score < 1)
        return split;
    if (beta.state == SwState::before) {
        split.col = selection.start.second;
        return split;
    }
    if (alpha.state == SwState::after) {
        split.state = SwState::after;
        split.col = selection.end.second;
        return split;
    }
    const PathCell from =
        alpha.state == SwState::before ? selection.start : PathCell{alpha.row, alpha.col};
    const PathCell to = beta.state == SwState::after ? selection.end : PathCell{beta.row, beta.col};
    if (split_row < from.first) {
        split.col = selection.start.second;
        return split;
    }
    if (to.first < split_row) {
        split.state = SwState::after;
        split.col = selection.end.second;
        return split;
    }
    invariant(from.second <= to.second && to.second <= target.size(),
              "invalid SW selected target interval");
    split.state = SwState::inside;
    split.col =
        detail::linear_split_column(scoring, query, target, gap, from.first, split_row, to.first,
                                    from.second, to.second, closed_edges(gap, from));
    return split;
}

std::vector<PathCell> SmithWatermanProblem::reconstruct_leaf(std::uint64_t start_row,
                                                             std::uint64_t end_row,
                                                             const SwBoundary& alpha,
                                                             const SwBoundary& beta) const {
    invariant(alpha.row == start_row, "leaf start row must match beta_a");
    invariant(beta.row == end_row, "leaf end row must match beta_b");
    const SwBoundary& selection = beta.score > 0 ? beta : alpha;
    if (selection.score <= 0)
        return {};
    if (beta.state == SwState::before)
        return {};
    PathCell from;
    if (alpha.state == SwState::before)
        from = selection.start;
    else if (alpha.state == SwState::inside)
        from = {alpha.row, alpha.col};
    else
        return {};
    const PathCell to = beta.state == SwState::after ? selection.end : PathCell{beta.row, beta.col};
    invariant(from.first <= to.first && from.second <= to.second && to.first <= query.size()
                  && to.second <= target.size(),
              "SW endpoint out of bounds");
    return detail::linear_rectangle_path(scoring, query, target, gap, from, to,
                                         "SW traceback must have a horizontal predecessor",
                                         closed_edges(gap, from));
}

PathScore SmithWatermanProblem::score_path(std::span<const PathCell> cells) const {
    return linear_score_path(scoring, query, target, gap, cells);
}

std::int32_t SmithWatermanProblem::full_table_score() const {
    // Scores only: the best cell's value does not depend on the origins or the tie rules.
    return detail::local_linear_best(query, target, scoring, gap);
}

template class RuxEngine<SmithWatermanProblem>;

}  // namespace rux_dp
