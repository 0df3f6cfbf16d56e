#pragma once

#include "rux_dp/alignment/trace.hpp"
#include "rux_dp/engine/rux_engine.hpp"
#include "rux_dp/problems/nw_align.hpp"
#include "rux_dp/scoring/substitution.hpp"

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace rux_dp {

/// One row of the semiglobal table with the row-0 start cell of each cell's best alignment.
struct SemiGlobalFrontier {
    std::vector<std::int32_t> H;
    std::vector<PathCell> origins;  // always on row 0
    bool operator==(const SemiGlobalFrontier&) const = default;
};

/// The selected alignment: from (0, start column) to (m, end column).
struct SemiGlobalSelection {
    PathCell start{0, 0};
    PathCell end{0, 0};
    std::int32_t score = 0;
    bool operator==(const SemiGlobalSelection&) const = default;
};

/// A cell on a row, with the selection once it is known.
struct SemiGlobalBoundary {
    std::optional<SemiGlobalSelection> selection;
    std::uint64_t row = 0;
    std::uint64_t col = 0;
    bool operator==(const SemiGlobalBoundary&) const = default;
};

struct SemiGlobalProblem;

/// The rows [start_row, end_row) of a `SemiGlobalProblem`; borrows the problem.
struct SemiGlobalSummary {
    const SemiGlobalProblem* problem = nullptr;
    std::uint64_t start_row = 0;
    std::uint64_t end_row = 0;

    SemiGlobalFrontier apply(const SemiGlobalFrontier& frontier) const;
};

/// The whole query against any contiguous part of the target, linear gaps: target symbols before
/// and after the aligned part are free, every query symbol is consumed.
struct SemiGlobalProblem {
    using Frontier = SemiGlobalFrontier;
    using Summary = SemiGlobalSummary;
    using Boundary = SemiGlobalBoundary;
    using PathElement = PathCell;

    SubstitutionScoring scoring;
    std::string_view query;   // borrowed for the run; rows
    std::string_view target;  // borrowed for the run; columns
    std::int32_t gap = 0;     // added per gap symbol as given (a penalty is negative)

    std::uint64_t query_length() const { return query.size(); }
    SemiGlobalFrontier init_frontier() const;
    SemiGlobalSummary summarize_block(std::uint64_t start_row, std::uint64_t end_row) const;
    SemiGlobalSummary merge_summary(const SemiGlobalSummary& left,
                                    const SemiGlobalSummary& right) const;
    SemiGlobalBoundary start_boundary() const { return {}; }
    SemiGlobalBoundary terminal_boundary(const SemiGlobalFrontier& frontier) const;
    std::int32_t terminal_score(const SemiGlobalFrontier& frontier,
                                const SemiGlobalBoundary& terminal) const;
    SemiGlobalBoundary choose_split(std::uint64_t interval_start_row, std::uint64_t split_row,
                                    std::uint64_t interval_end_row, const SemiGlobalBoundary& alpha,
                                    const SemiGlobalBoundary& beta, const SemiGlobalSummary& left,
                                    const SemiGlobalSummary& right) const;
    std::vector<PathCell> reconstruct_leaf(std::uint64_t start_row, std::uint64_t end_row,
                                           const SemiGlobalBoundary& alpha,
                                           const SemiGlobalBoundary& beta) const;

    /// As `NwProblem::score_path`.
    PathScore score_path(std::span<const PathCell> cells) const;
    /// The greatest value of the last row, by rolling rows over the whole table.
    std::int32_t full_table_score() const;
};

/// Row i of the semiglobal table from row i - 1 (`frontier`), for query symbol `query_symbol`.
SemiGlobalFrontier advance_semiglobal_row(char query_symbol, std::string_view target,
                                          const SubstitutionScoring& scoring, std::int32_t gap,
                                          const SemiGlobalFrontier& frontier);

extern template class RuxEngine<SemiGlobalProblem>;

}  // namespace rux_dp
