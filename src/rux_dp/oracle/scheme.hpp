#pragma once

#include <string_view>

#include "rux_dp/base/result.hpp"
#include "rux_dp/oracle/records.hpp"
#include "rux_dp/scoring/substitution.hpp"

namespace rux_dp {

/// The scoring model a record's substitution scheme stands for (match/mismatch, the built-in
/// BLOSUM62, or a validated user matrix).
[[nodiscard]] Result<SubstitutionScoring> substitution_internal(const SubstitutionScheme& scheme);

/// The "kind" name of a scoring scheme: "edit-distance", "linear" or "affine".
std::string_view scoring_kind_name(const ScoringScheme& scoring);

/// Whether the scoring variant fits the mode (edit distance, affine for global-affine, linear for
/// the three linear modes).
bool scoring_fits_mode(AlignmentMode mode, const ScoringScheme& scoring);

}  // namespace rux_dp
