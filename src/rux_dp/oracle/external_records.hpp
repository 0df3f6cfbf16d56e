#pragma once

#include "rux_dp/alignment/cigar.hpp"
#include "rux_dp/base/result.hpp"
#include "rux_dp/oracle/records.hpp"

#include <cstdint>
#include <functional>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace rux_dp {

/// One run of an external CIGAR as written: a positive length and an operation character, not yet
/// validated. `op` holds the whole character as UTF-8 (usually one byte).
struct RawCigarRun {
    std::uint64_t length = 0;
    std::string op;
    bool operator==(const RawCigarRun&) const = default;
};

/// The type character and the value text of one optional tag.
struct TagValue {
    char type = 'i';
    std::string value;
    bool operator==(const TagValue&) const = default;
};

/// Optional tags of one PAF or SAM line, by their two-byte name.
using TagMap = std::map<std::string, TagValue, std::less<>>;

/// Source sequences by id. The views point into sequences the caller keeps alive.
using SequenceMap = std::map<std::string, std::string_view, std::less<>>;

/// A decimal 64-bit unsigned value with at most one leading "+"; errors name `field`.
[[nodiscard]] Result<std::uint64_t> parse_usize(std::string_view text, std::string_view field);

/// The runs of an external CIGAR; "*" and "" give no runs. Operations are not checked here.
[[nodiscard]] Result<std::vector<RawCigarRun>> raw_cigar_runs(std::string_view text);

/// Canonical CIGAR of an external one: "M" becomes "=" or "X" base by base against the sources,
/// "=" and "X" are checked against them; "I" and "D" are taken as given (no bounds test).
/// The starts are 0-based positions in the full `query` and `target`.
[[nodiscard]] Result<Cigar> canonicalize_external_cigar(std::string_view cigar,
                                                        std::uint64_t query_start,
                                                        std::uint64_t target_start,
                                                        std::string_view query,
                                                        std::string_view target);

/// Tag map of `fields`, each NAME:TYPE:VALUE (VALUE may hold further ":" or be empty).
[[nodiscard]] Result<TagMap> parse_tags(std::span<const std::string_view> fields);

/// The value text of the integer tag `name`; it must be present with type "i".
[[nodiscard]] Result<std::string> integer_tag(const TagMap& tags, std::string_view name,
                                              std::uint64_t line, std::string_view format);

/// Checks a present NM tag against the edits (non-"=" bases) of the canonical `cigar`.
[[nodiscard]] Result<void> validate_nm_tag(const TagMap& tags, const Cigar& cigar,
                                           std::uint64_t line, std::string_view format);

/// The reported objective: NM as a distance in mode edit-distance, AS as a score otherwise.
[[nodiscard]] Result<Objective> external_objective(AlignmentMode mode, const TagMap& tags,
                                                   std::uint64_t line, std::string_view format);

/// Everything an external line contributes to its record.
struct ExternalRecordInputs {
    Cigar cigar;
    AlignmentSpan query_span;
    AlignmentSpan target_span;
    ProblemSpec problem;
    Objective objective;
    std::string query_id;
    std::string target_id;
    std::string_view query;
    std::string_view target;
    std::string_view format;  // "paf" or "sam"
    std::uint64_t pair_index = 0;
    std::uint64_t query_length = 0;   // as declared by the line
    std::uint64_t target_length = 0;  // as declared by the line
};

/// The not-yet-verified record of an external alignment. Digests are those of the actual
/// sequences; lengths are the declared ones.
AlignmentRecord external_record(const ExternalRecordInputs& inputs);

}  // namespace rux_dp
