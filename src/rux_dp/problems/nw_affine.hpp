#pragma once

#include "rux_dp/engine/rux_engine.hpp"
#include "rux_dp/problems/nw_align.hpp"
#include "rux_dp/scoring/substitution.hpp"

#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace rux_dp {

/// The DP layer of an affine cell, in its fixed order.
enum class AffineState : std::uint8_t {
    match = 0,     // entered by a diagonal step
    gap_in_t = 1,  // entered by a vertical step: a query symbol against a gap in the target
    gap_in_s = 2,  // entered by a horizontal step: a target symbol against a gap in the query
};

/// A set of affine states, one bit each: match 1, gap_in_t 2, gap_in_s 4.
using AffineStateSet = std::uint8_t;

inline constexpr AffineStateSet state_bit(AffineState state) {
    return static_cast<AffineStateSet>(1u << static_cast<unsigned>(state));
}
inline constexpr bool has_state(AffineStateSet set, AffineState state) {
    return (set & state_bit(state)) != 0;
}

/// Stands for an impossible state; any operand below `affine_usable_min` counts as impossible.
inline constexpr std::int32_t neg_inf = -536'870'912;
inline constexpr std::int32_t affine_usable_min = -268'435'455;

/// NEG_INF when either operand is impossible, else the sum saturated to 32 bits.
inline std::int32_t affine_add(std::int32_t x, std::int32_t y) {
    if (x < affine_usable_min || y < affine_usable_min)
        return neg_inf;
    const std::int64_t sum = static_cast<std::int64_t>(x) + y;
    if (sum > std::numeric_limits<std::int32_t>::max())
        return std::numeric_limits<std::int32_t>::max();
    if (sum < std::numeric_limits<std::int32_t>::min())
        return std::numeric_limits<std::int32_t>::min();
    return static_cast<std::int32_t>(sum);
}

/// NEG_INF for anything below NEG_INF + 1, else the value itself.
inline std::int32_t affine_normalise(std::int32_t v) {
    return v < neg_inf + 1 ? neg_inf : v;
}

/// An affine path element: a cell with its state.
struct AffineCell {
    std::uint64_t row = 0;
    std::uint64_t col = 0;
    AffineState state = AffineState::match;
    bool operator==(const AffineCell&) const = default;
};

/// Three rows of n + 1 scores, one per state.
struct NwAffineFrontier {
    std::vector<std::int32_t> match;
    std::vector<std::int32_t> gap_in_t;
    std::vector<std::int32_t> gap_in_s;

    /// All three rows `width` long and NEG_INF.
    static NwAffineFrontier filled(std::size_t width);
    bool operator==(const NwAffineFrontier&) const = default;
};

/// A cell on a row with the states a path may have there.
struct NwAffineBoundary {
    std::uint64_t row = 0;
    std::uint64_t col = 0;
    AffineStateSet states = 0;
    bool operator==(const NwAffineBoundary&) const = default;
};

struct NwAffineProblem;

/// The rows [start_row, end_row) of an `NwAffineProblem`; borrows the problem.
struct NwAffineSummary {
    const NwAffineProblem* problem = nullptr;
    std::uint64_t start_row = 0;
    std::uint64_t end_row = 0;

    NwAffineFrontier apply(const NwAffineFrontier& frontier) const;
};

/// Global alignment with affine gaps (Gotoh 1982): a run of k gap symbols on one side scores
/// gap_open + k * gap_extend. Three states per cell; a gap opens only from Match.
struct NwAffineProblem {
    using Frontier = NwAffineFrontier;
    using Summary = NwAffineSummary;
    using Boundary = NwAffineBoundary;
    using PathElement = AffineCell;

    SubstitutionScoring scoring;
    std::string_view query;       // borrowed for the run; rows
    std::string_view target;      // borrowed for the run; columns
    std::int32_t gap_open = 0;    // added once per gap run as given (a penalty is negative)
    std::int32_t gap_extend = 0;  // added per gap symbol as given (a penalty is negative)

    std::uint64_t query_length() const { return query.size(); }
    NwAffineFrontier init_frontier() const;
    NwAffineSummary summarize_block(std::uint64_t start_row, std::uint64_t end_row) const;
    NwAffineSummary merge_summary(const NwAffineSummary& left, const NwAffineSummary& right) const;
    NwAffineBoundary start_boundary() const {
        return {.row = 0, .col = 0, .states = state_bit(AffineState::match)};
    }
    NwAffineBoundary terminal_boundary(const NwAffineFrontier& frontier) const;
    std::int32_t terminal_score(const NwAffineFrontier& frontier,
                                const NwAffineBoundary& terminal) const;
    NwAffineBoundary choose_split(std::uint64_t interval_start_row, std::uint64_t split_row,
                                  std::uint64_t interval_end_row, const NwAffineBoundary& alpha,
                                  const NwAffineBoundary& beta, const NwAffineSummary& left,
                                  const NwAffineSummary& right) const;
    std::vector<AffineCell> reconstruct_leaf(std::uint64_t start_row, std::uint64_t end_row,
                                             const NwAffineBoundary& alpha,
                                             const NwAffineBoundary& beta) const;

    /// The score of a path of (row, column, state): diagonals into Match add s, a vertical into
    /// GapInT or a horizontal into GapInS adds gap_extend after the same state and
    /// gap_open + gap_extend after Match. Any other step stops the walk as invalid.
    PathScore score_path(std::span<const AffineCell> path) const;
    /// The optimum by rolling rows over the whole table, without a path.
    std::int32_t full_table_score() const;
};

/// Row 0 of a table `width` columns wide whose start cell may be in any of `start_states`: those
/// states are 0 at column 0, and the row continues in GapInS.
NwAffineFrontier constrained_start_frontier(std::size_t width, AffineStateSet start_states,
                                            std::int32_t gap_open, std::int32_t gap_extend);

/// The next row of the affine table for `query_symbol` against `target` (the frontier's columns).
NwAffineFrontier advance_affine_row(char query_symbol, std::string_view target,
                                    const SubstitutionScoring& scoring, std::int32_t gap_open,
                                    std::int32_t gap_extend, const NwAffineFrontier& frontier);

/// The best global affine alignment that stays within |i - j| <= band.
struct BandedAffineTrace {
    std::vector<AffineCell> path;  // (0, 0, Match) to (m, n, end state)
    std::int32_t score = 0;
    bool operator==(const BandedAffineTrace&) const = default;
};

/// Bytes a whole traceback table of this band would take (one byte per stored offset,
/// 2 band + 1 of them per row), saturating: the measure of a band's cost, however it is traced.
std::uint64_t banded_affine_table_bytes(std::uint64_t m, std::uint64_t n, std::uint64_t band);

/// Bytes of the tables `trace_banded_affine` actually keeps for this problem and band (0 when the
/// band cannot hold an alignment): the whole table of codes when it is small, else checkpoints and
/// the codes of one block of rows or anti-diagonals.
std::uint64_t banded_affine_trace_bytes(const NwAffineProblem& problem, std::uint64_t band);

/// The problem aligned inside the diagonal band |i - j| <= band with a full traceback of the band;
/// nothing when no complete alignment fits inside it (band < |m - n| among others).
std::optional<BandedAffineTrace> trace_banded_affine(const NwAffineProblem& problem,
                                                     std::uint64_t band);

namespace detail {
/// `trace_banded_affine` traced from checkpoints every `block_rows` rows (or anti-diagonals, when
/// the band is swept by anti-diagonals; at least 1), whatever the table size: the same result as
/// the whole table.
std::optional<BandedAffineTrace> trace_banded_affine_in_blocks(const NwAffineProblem& problem,
                                                               std::uint64_t band,
                                                               std::uint64_t block_rows);
}  // namespace detail

/// The same result from the plain cell-by-cell fill that records each predecessor state: the
/// reference the kernel above is tested against.
std::optional<BandedAffineTrace> trace_banded_affine_reference(const NwAffineProblem& problem,
                                                               std::uint64_t band);

extern template class RuxEngine<NwAffineProblem>;

}  // namespace rux_dp
