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

/// The name of the reference computation in records.
inline constexpr std::string_view reference_backend_name = "baseline-rolling-v1";

}  // namespace rux_dp
