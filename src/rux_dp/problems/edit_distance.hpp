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

/// Unit-cost global edit distance by Myers' bit-parallel algorithm (64-bit words, query as the
/// pattern). Bytes are compared exactly; an empty query gives the target length.
[[nodiscard]] std::uint32_t distance_myers(std::string_view query, std::string_view target);

/// The edit distance and an optimal path within |i - j| <= `band`, or nothing when the band
/// cannot certify the optimum (band < |m - n|, or the distance exceeds the band). Among optimal
/// paths the traceback prefers diagonal, then vertical, then horizontal moves.
[[nodiscard]] std::optional<BandedTrace> trace_banded(std::string_view query,
                                                      std::string_view target, std::uint64_t band);

/// `trace_banded` with bands |m - n|, then 1 (from 0) or 2 * band + 1, capped at max(m, n), until
/// one succeeds. Two empty sequences give the single cell (0, 0) at band 0.
[[nodiscard]] BandedTrace trace_adaptive_banded(std::string_view query, std::string_view target);

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
inline constexpr std::array<EditDistanceKernel, 3> edit_distance_kernels{{
    {"reference", &edit_distance_reference},
    {"myers", &distance_myers},
    {"adaptive_banded", &edit_distance_adaptive_banded},
}};

}  // namespace rux_dp
