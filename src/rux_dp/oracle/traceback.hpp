#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "rux_dp/alignment/trace.hpp"
#include "rux_dp/base/result.hpp"
#include "rux_dp/oracle/records.hpp"
#include "rux_dp/oracle/solve.hpp"

namespace rux_dp {

/// An optimal alignment with the backend that produced it and whether its independent rescore
/// realises the objective.
struct TracedSolution {
    std::string backend;
    TraceRecord trace;
    Objective objective;
    bool realized = false;
};

/// Computes an optimal alignment for the request's mode and backend.
[[nodiscard]] Result<TracedSolution> solve_trace(const SolveRequest& request);

/// The engine's default block size: 1 below two query symbols, else ceil(sqrt(m)).
std::uint64_t default_block_size(std::uint64_t query_length);

/// A trace as a record: spans, parsed CIGAR, and the steps when `include_operations`.
[[nodiscard]] Result<TraceRecord> trace_record(const AlignmentTrace& trace,
                                               bool include_operations);

/// The optimal objective computed a second way, by full-table rolling computations.
[[nodiscard]] Result<Objective> reference_objective(const ProblemSpec& problem,
                                                    std::string_view query,
                                                    std::string_view target);

struct NwAffineProblem;

/// The table size up to which global-affine "auto" widens its band before it runs the engine.
inline constexpr std::uint64_t banded_affine_budget_bytes = std::uint64_t{256} << 20;

/// The band "auto" tries after `band` did not certify (`banded_score`: its best score inside
/// the band, if any), or nothing when `band` covers the whole table or the next table would not
/// fit `budget_bytes`.
std::optional<std::uint64_t> widened_band(const NwAffineProblem& problem, std::uint64_t band,
                                          std::optional<std::int32_t> banded_score,
                                          std::uint64_t budget_bytes = banded_affine_budget_bytes);

/// Whether `banded_score`, the best score inside |i - j| <= band, is provably the optimum.
bool banded_affine_certified(const NwAffineProblem& problem, std::uint64_t band,
                             std::int32_t banded_score);

/// The name of the reference computation in records.
inline constexpr std::string_view reference_backend_name = "baseline-rolling-v1";

}  // namespace rux_dp
