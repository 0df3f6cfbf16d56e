#pragma once

#include "rux_dp/base/result.hpp"
#include "rux_dp/oracle/external_records.hpp"
#include "rux_dp/oracle/records.hpp"

#include <string>
#include <string_view>
#include <vector>

namespace rux_dp {

/// One mapped forward-strand SAM alignment line (ending in "\n"): bases outside the query span
/// become soft clips, SEQ is the whole `query` (the sequence the record's query id stands for),
/// then AS:i for scores and NM:i. A record without a trace cannot be written.
[[nodiscard]] Result<std::string> record_to_sam(const AlignmentRecord& record,
                                                std::string_view query);

/// The records of the alignment lines of `text` ("@" header lines and empty lines skipped), each
/// checked against its sequences and given `problem`; the first bad line fails the whole call.
/// Line numbers in messages count every line.
[[nodiscard]] Result<std::vector<AlignmentRecord>> records_from_sam(std::string_view text,
                                                                    const ProblemSpec& problem,
                                                                    const SequenceMap& queries,
                                                                    const SequenceMap& targets);

}  // namespace rux_dp
