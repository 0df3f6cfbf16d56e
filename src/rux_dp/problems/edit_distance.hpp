#pragma once

#include "rux_dp/alignment/trace.hpp"

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace rux_dp {

/// An optimal unit-cost global edit path and the band that certified it.
struct BandedTrace {
    std::vector<PathCell> cells;  // (0, 0) to (m, n) inclusive, unit moves
    std::uint64_t band = 0;       // half-width: the largest |i - j| the table allowed
    std::uint32_t distance = 0;

    bool operator==(const BandedTrace&) const = default;
};

/// Unit-cost global edit distance. Queries or targets of at most 64 bytes take Myers' one-word
/// bit-parallel algorithm. Otherwise a pruned diagonal-transition pass first finds an upper bound
/// (the cost of a path); with it, small distances are found by exact diagonal transition over the
/// diagonals a path within the bound can use, larger ones by Myers' algorithm on the blocks such
/// a path can reach. Vector kernels are chosen at run time and give the same results. Bytes are
/// compared exactly; an empty query gives the target length.
[[nodiscard]] std::uint32_t distance_myers(std::string_view query, std::string_view target);

/// The same distance by Myers' algorithm over the whole table, query as the pattern: the plain
/// kernel `distance_myers` is checked against.
[[nodiscard]] std::uint32_t distance_myers_full(std::string_view query, std::string_view target);

/// The edit distance and an optimal path within |i - j| <= `band`, or nothing when the band
/// cannot certify the optimum (band < |m - n|, or the distance exceeds the band). Among optimal
/// paths the traceback prefers diagonal, then vertical, then horizontal moves. The table is held
/// as diagonal-transition wavefronts for small distances, else as bit-parallel vertical
/// differences over the blocks a path within an upper bound on the distance can reach, so time
/// and memory grow with the distance, not with `band`. Cells, band and distance equal those of
/// `trace_banded_reference`.
[[nodiscard]] std::optional<BandedTrace> trace_banded(std::string_view query,
                                                      std::string_view target, std::uint64_t band);

/// `trace_banded` by the plain banded recurrence, one 32-bit value per cell of the band: the
/// reference the fast kernels are checked against.
[[nodiscard]] std::optional<BandedTrace> trace_banded_reference(std::string_view query,
                                                                std::string_view target,
                                                                std::uint64_t band);

/// The first of the bands |m - n|, then 1 (from 0) or 2 * band + 1, capped at max(m, n), with
/// which `trace_banded` succeeds, and its result. Two empty sequences give the single cell (0, 0)
/// at band 0. A band succeeds exactly when it holds the distance, so a bound on the distance is
/// found first and the table is built once.
[[nodiscard]] BandedTrace trace_adaptive_banded(std::string_view query, std::string_view target);

/// `trace_adaptive_banded` by calling `trace_banded_reference` band after band.
[[nodiscard]] BandedTrace trace_adaptive_banded_reference(std::string_view query,
                                                          std::string_view target);

/// Row m of the full edit-distance table (n + 1 values), by the plain two-row recurrence.
[[nodiscard]] std::vector<std::uint32_t> edit_last_row(std::string_view query,
                                                       std::string_view target);

/// The last entry of `edit_last_row`: the reference the fast kernels are checked against.
[[nodiscard]] std::uint32_t edit_distance_reference(std::string_view query,
                                                    std::string_view target);

/// The distance found by `trace_adaptive_banded`.
[[nodiscard]] std::uint32_t edit_distance_adaptive_banded(std::string_view query,
                                                          std::string_view target);

/// One edit-distance kernel, by technique.
struct EditDistanceKernel {
    std::string_view name;
    std::uint32_t (*run)(std::string_view query, std::string_view target);
};

/// Every edit-distance kernel, the reference first.
inline constexpr std::array<EditDistanceKernel, 4> edit_distance_kernels{{
    {"reference", &edit_distance_reference},
    {"myers", &distance_myers},
    {"myers_full", &distance_myers_full},
    {"adaptive_banded", &edit_distance_adaptive_banded},
}};

}  // namespace rux_dp
