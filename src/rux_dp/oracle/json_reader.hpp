#pragma once

#include "rux_dp/base/result.hpp"
#include "rux_dp/oracle/records.hpp"

#include <string_view>

namespace rux_dp {

/// Reads one `AlignmentRecord` from JSON text, strictly: members in any order, but every unknown,
/// duplicate or missing member, unknown enumerated value, out-of-range integer or malformed CIGAR
/// rejects the record. An explicit null for an optional member reads as absent. Nothing but
/// whitespace may follow the object. The message is one line; it starts with the JSON path of the
/// offending value, e.g. "alignment.trace.cigar: unsupported canonical CIGAR operation 'M'" (no
/// path for the top-level object).
[[nodiscard]] Result<AlignmentRecord> read_alignment_record(std::string_view json_text);

}  // namespace rux_dp
