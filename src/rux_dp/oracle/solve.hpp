#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "rux_dp/base/result.hpp"
#include "rux_dp/oracle/records.hpp"

namespace rux_dp {

/// One pair to solve, with the problem and the switches of the solve command.
struct SolveRequest {
    ProblemSpec problem;
    SolveScope scope = SolveScope::alignment;
    std::string backend = "auto";
    std::uint64_t band = 64;                  // diagonal half-band of the banded affine kernel
    std::optional<std::uint64_t> block_size;  // engine block size; at least 1 when present
    bool cross_check = false;
    bool operations = false;
    bool integrity = false;
    std::uint64_t pair_index = 0;
    std::string query_id;
    std::string target_id;
    std::string query;
    std::string target;
};

/// Solves one pair: the exact objective, in scope alignment an optimal alignment, self-checks, and
/// the record. Fails with one line of text; a failed check is a record with status "invalid".
[[nodiscard]] Result<AlignmentRecord> solve(SolveRequest request);

/// Checks the sequences against the problem's substitution model (matrix membership).
[[nodiscard]] Result<void> validate_sequences(const ProblemSpec& problem, std::string_view query,
                                              std::string_view target);

/// The pair's identity: index, ids, lengths and SHA-256 digests.
PairIdentity pair_identity(std::uint64_t index, std::string_view query_id,
                           std::string_view target_id, std::string_view query,
                           std::string_view target);

/// The backends a request may name for its scope and mode, in the order messages list them.
std::span<const std::string_view> allowed_backends(SolveScope scope, AlignmentMode mode);

/// "scoring model '{}' is incompatible with mode {}" when the scoring does not fit the mode.
[[nodiscard]] Result<void> check_scoring_fits(const ProblemSpec& problem);

}  // namespace rux_dp
