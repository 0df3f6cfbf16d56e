#pragma once

#include "rux_dp/alignment/cigar.hpp"
#include "rux_dp/alignment/trace.hpp"
#include "rux_dp/oracle/records.hpp"

#include <cstdint>
#include <string>
#include <string_view>

namespace rux_dp {

// Canonical compact JSON of the records: members in declared order, absent optional members left
// out, no whitespace, one rendering per number and text. Every writer appends to `out`; none fails.
// The integrity fingerprint hashes these bytes, so any change here changes every digest.

/// A JSON text: `"` and `\` escaped, \b \t \n \f \r, other controls as \u00xx (lower-case hex),
/// everything else unchanged. Bytes that are not valid UTF-8 become U+FFFD, so the output is
/// always valid JSON.
void write_json_string(std::string& out, std::string_view text);
void write_json_uint(std::string& out, std::uint64_t value);
void write_json_int(std::string& out, std::int64_t value);
/// The shortest text that reads back as the same double; null when not finite.
void write_json_double(std::string& out, double value);

void write_json(std::string& out, const Cigar& cigar);  // its text form, as a JSON text
void write_json(std::string& out, const AlignmentStep& step);
void write_json(std::string& out, const AlignmentSpan& span);
void write_json(std::string& out, const SequenceIdentity& identity);
void write_json(std::string& out, const PairIdentity& pair);
void write_json(std::string& out, const SubstitutionScheme& scheme);
void write_json(std::string& out, const ScoringScheme& scheme);
void write_json(std::string& out, const ProblemSpec& problem);
void write_json(std::string& out, const Producer& producer);
void write_json(std::string& out, const Objective& objective);
void write_json(std::string& out, const TraceRecord& trace);
void write_json(std::string& out, const AlignmentResult& result);
void write_json(std::string& out, const CheckResult& check);
void write_json(std::string& out, const VerificationSummary& summary);
void write_json(std::string& out, const Metrics& metrics);
void write_json(std::string& out, const IntegrityFingerprint& fingerprint);
void write_json(std::string& out, const AlignmentRecord& record);
void write_json(std::string& out, const VerificationReport& report);
void write_json(std::string& out, const ComparisonInputs& inputs);
void write_json(std::string& out, const ComparisonReport& report);

/// The canonical JSON of one value as a new string.
template <class T>
std::string json_text(const T& value) {
    std::string out;
    write_json(out, value);
    return out;
}

}  // namespace rux_dp
