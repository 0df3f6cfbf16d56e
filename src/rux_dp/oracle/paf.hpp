#pragma once

#include "rux_dp/base/result.hpp"
#include "rux_dp/oracle/external_records.hpp"
#include "rux_dp/oracle/records.hpp"

#include <string>
#include <string_view>
#include <vector>

namespace rux_dp {

/// One forward-strand PAF line (ending in "\n") with cg:Z, NM:i and, for scores, AS:i tags.
/// A record without a trace cannot be written.
[[nodiscard]] Result<std::string> record_to_paf(const AlignmentRecord& record);

/// The records of every non-blank line of `text`, each checked against its sequences and given
/// `problem`; the first bad line fails the whole call. Line numbers in messages count non-blank
/// lines only, and the k-th record gets pair index k.
[[nodiscard]] Result<std::vector<AlignmentRecord>> records_from_paf(std::string_view text,
                                                                    const ProblemSpec& problem,
                                                                    const SequenceMap& queries,
                                                                    const SequenceMap& targets);

}  // namespace rux_dp
