#pragma once

#include <string>

#include "rux_dp/base/result.hpp"
#include "rux_dp/oracle/records.hpp"

namespace rux_dp {

/// Decides whether two records of one pair are equivalent (same objective, both exactly optimal)
/// and lists their differences.
[[nodiscard]] Result<ComparisonReport> compare(AlignmentRecord left, AlignmentRecord right,
                                               std::string query, std::string target);

}  // namespace rux_dp
