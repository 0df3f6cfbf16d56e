#pragma once

#include "rux_dp/alignment/trace.hpp"
#include "rux_dp/engine/rux_engine.hpp"
#include "rux_dp/scoring/substitution.hpp"

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace rux_dp {

/// The score of a path, and whether every step of it was a legal move.
struct PathScore {
    bool valid = true;
    std::int32_t score = 0;
    bool operator==(const PathScore&) const = default;
};

/// One row of the global linear table: n + 1 scores.
struct NwFrontier {
    std::vector<std::int32_t> values;
    bool operator==(const NwFrontier&) const = default;
};

struct NwProblem;

/// The rows [start_row, end_row) of an `NwProblem`. Borrows the problem (its sequences and scoring
/// model are shared, not copied), so it must not outlive it.
struct NwSummary {
    const NwProblem* problem = nullptr;
    std::uint64_t start_row = 0;
    std::uint64_t end_row = 0;

    /// The frontier after these rows, given the frontier of `start_row`.
    NwFrontier apply(const NwFrontier& frontier) const;
};

/// Global alignment with a linear gap score (Needleman-Wunsch 1970):
/// D(i, j) = max(D(i-1, j-1) + s, D(i-1, j) + gap, D(i, j-1) + gap), gap-accumulating borders.
struct NwProblem {
    using Frontier = NwFrontier;
    using Summary = NwSummary;
    using Boundary = PathCell;  // (row, column)
    using PathElement = PathCell;

    SubstitutionScoring scoring;
    std::string_view query;   // borrowed for the run; rows
    std::string_view target;  // borrowed for the run; columns
    std::int32_t gap = 0;     // added per gap symbol as given (a penalty is negative)

    std::uint64_t query_length() const { return query.size(); }
    NwFrontier init_frontier() const;
    NwSummary summarize_block(std::uint64_t start_row, std::uint64_t end_row) const;
    NwSummary merge_summary(const NwSummary& left, const NwSummary& right) const;
    PathCell start_boundary() const { return {0, 0}; }
    PathCell terminal_boundary(const NwFrontier&) const { return {query.size(), target.size()}; }
    std::int32_t terminal_score(const NwFrontier& frontier, const PathCell& terminal) const;
    PathCell choose_split(std::uint64_t interval_start_row, std::uint64_t split_row,
                          std::uint64_t interval_end_row, const PathCell& alpha,
                          const PathCell& beta, const NwSummary& left,
                          const NwSummary& right) const;
    std::vector<PathCell> reconstruct_leaf(std::uint64_t start_row, std::uint64_t end_row,
                                           const PathCell& alpha, const PathCell& beta) const;

    /// The score of `cells` walked in order: diagonals add s of the cell they leave, gap steps add
    /// `gap`. Any other move, or a diagonal outside the sequences, stops the walk as invalid.
    PathScore score_path(std::span<const PathCell> cells) const;
};

/// Row m of the global linear table of `query` x `target` (n + 1 values), with two rolling rows;
/// vector kernels where a bound shows them exact, so the values are those of the reference.
std::vector<std::int32_t> nw_last_row(std::string_view query, std::string_view target,
                                      const SubstitutionScoring& scoring, std::int32_t gap);

/// `nw_last_row` as written: two rolling rows of plain 32-bit arithmetic, one cell at a time.
std::vector<std::int32_t> nw_last_row_reference(std::string_view query, std::string_view target,
                                                const SubstitutionScoring& scoring,
                                                std::int32_t gap);

/// The linear last row shared by the local and semiglobal problems: `nw_last_row`.
inline std::vector<std::int32_t> linear_last_row(std::string_view query, std::string_view target,
                                                 const SubstitutionScoring& scoring,
                                                 std::int32_t gap) {
    return nw_last_row(query, target, scoring, gap);
}

/// `score_path` of a linear problem: shared by the global, local and semiglobal problems.
PathScore linear_score_path(const SubstitutionScoring& scoring, std::string_view query,
                            std::string_view target, std::int32_t gap,
                            std::span<const PathCell> cells);

/// The run of `RuxEngine<NwProblem>` with `block_size` (the same score and path), computed from
/// one whole table and the leaves when the problem is small enough to keep its table; nothing
/// otherwise, and then the engine itself runs.
std::optional<EngineRun<PathCell>> nw_whole_table_run(const NwProblem& problem,
                                                      std::uint64_t block_size);

extern template class RuxEngine<NwProblem>;

}  // namespace rux_dp
