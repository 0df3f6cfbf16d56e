#pragma once

#include "rux_dp/alignment/trace.hpp"
#include "rux_dp/engine/rux_engine.hpp"
#include "rux_dp/problems/nw_align.hpp"
#include "rux_dp/scoring/substitution.hpp"

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace rux_dp {

/// One row of the local table with the start cell of each cell's best alignment, and the best
/// cell of all rows so far (the first in row-major order to reach the maximum).
struct SwFrontier {
    std::vector<std::int32_t> H;  // never negative
    std::vector<PathCell> origins;
    PathCell best_start{0, 0};
    PathCell best_end{0, 0};
    std::int32_t best_score = 0;
    bool operator==(const SwFrontier&) const = default;
};

/// Where a row lies relative to the selected local alignment.
enum class SwState : std::uint8_t {
    before = 0,  // the alignment has not started by this row
    inside = 1,  // the alignment crosses this row at the boundary's column
    after = 2,   // the alignment has ended by this row
};

/// A cell on a row, with the selected alignment (start, end, score) carried across splits.
struct SwBoundary {
    std::uint64_t row = 0;
    std::uint64_t col = 0;
    PathCell start{0, 0};
    PathCell end{0, 0};
    std::int32_t score = 0;
    SwState state = SwState::before;
    bool operator==(const SwBoundary&) const = default;
};

struct SmithWatermanProblem;

/// The rows [start_row, end_row) of a `SmithWatermanProblem`; borrows the problem.
struct SwSummary {
    const SmithWatermanProblem* problem = nullptr;
    std::uint64_t start_row = 0;
    std::uint64_t end_row = 0;

    SwFrontier apply(const SwFrontier& frontier) const;
};

/// Local alignment with a linear gap score (Smith-Waterman 1981). The forward pass selects the
/// best local alignment's start and end cells; the path is a global linear path between them.
struct SmithWatermanProblem {
    using Frontier = SwFrontier;
    using Summary = SwSummary;
    using Boundary = SwBoundary;
    using PathElement = PathCell;

    SubstitutionScoring scoring;
    std::string_view query;   // borrowed for the run; rows
    std::string_view target;  // borrowed for the run; columns
    std::int32_t gap = 0;     // added per gap symbol as given (a penalty is negative)

    std::uint64_t query_length() const { return query.size(); }
    SwFrontier init_frontier() const;
    SwSummary summarize_block(std::uint64_t start_row, std::uint64_t end_row) const;
    SwSummary merge_summary(const SwSummary& left, const SwSummary& right) const;
    SwBoundary start_boundary() const { return {}; }
    SwBoundary terminal_boundary(const SwFrontier& frontier) const;
    std::int32_t terminal_score(const SwFrontier& frontier, const SwBoundary& terminal) const;
    SwBoundary choose_split(std::uint64_t interval_start_row, std::uint64_t split_row,
                            std::uint64_t interval_end_row, const SwBoundary& alpha,
                            const SwBoundary& beta, const SwSummary& left,
                            const SwSummary& right) const;
    /// The part of the selected alignment within these rows; empty when it does not cross them
    /// or nothing scores positive.
    std::vector<PathCell> reconstruct_leaf(std::uint64_t start_row, std::uint64_t end_row,
                                           const SwBoundary& alpha, const SwBoundary& beta) const;

    /// As `NwProblem::score_path`.
    PathScore score_path(std::span<const PathCell> cells) const;
    /// The best local score by rolling rows over the whole table (0 when nothing scores positive).
    std::int32_t full_table_score() const;
};

/// Row i of the local table from row i - 1 (`frontier`), for query symbol `query_symbol` at row i.
SwFrontier advance_sw_row(char query_symbol, std::uint64_t row, std::string_view target,
                          const SubstitutionScoring& scoring, std::int32_t gap,
                          const SwFrontier& frontier);

extern template class RuxEngine<SmithWatermanProblem>;

}  // namespace rux_dp
