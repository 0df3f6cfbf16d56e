#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "rux_dp/oracle/records.hpp"

namespace rux_dp {

/// A submitted record and the source sequences resolved for its ids.
struct VerificationRequest {
    AlignmentRecord record;
    std::string query;
    std::string target;
    std::uint64_t max_cells = 0;  // reference work-cell limit; 0 = unlimited
    VerificationLevel level = VerificationLevel::optimal;
};

/// Judges a record with the ordered checks, up to optimality at level "optimal". Never fails.
VerificationReport verify(VerificationRequest request);

/// Appends a check; the detail is kept only when the check failed.
void add_check(std::vector<CheckResult>& checks, std::string_view name, bool passed,
               std::string detail = {});

}  // namespace rux_dp
