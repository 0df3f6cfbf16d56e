#pragma once

#include "rux_dp/alignment/cigar.hpp"
#include "rux_dp/alignment/trace.hpp"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace rux_dp {

// Enumerations: the order is the index; the outward names live in one table each, below.

enum class AlignmentMode : std::uint8_t {
    edit_distance,
    global_linear,
    global_affine,
    local_linear,
    semiglobal_linear
};
enum class ObjectiveKind : std::uint8_t { score, distance };
enum class VerificationLevel : std::uint8_t { structure, score, optimal };
enum class VerificationStatus : std::uint8_t { verified, invalid, inconclusive, error };
enum class SolveScope : std::uint8_t { alignment, score };

/// JSON names, indexed by the enumerator's value.
inline constexpr std::array<std::string_view, 5> mode_names{
    "edit-distance", "global-linear", "global-affine", "local-linear", "semiglobal-linear"};
inline constexpr std::array<std::string_view, 2> objective_kind_names{"score", "distance"};
inline constexpr std::array<std::string_view, 3> level_names{"structure", "score", "optimal"};
inline constexpr std::array<std::string_view, 4> status_names{"verified", "invalid", "inconclusive",
                                                              "error"};

std::string_view mode_name(AlignmentMode mode);                    // "edit-distance", ...
std::string_view objective_kind_name(ObjectiveKind kind);          // "score", "distance"
std::string_view objective_kind_message_name(ObjectiveKind kind);  // "Score", "Distance"
std::string_view level_name(VerificationLevel level);              // "structure", ...
std::string_view status_name(VerificationStatus status);           // "verified", ...
std::string_view scope_message_name(SolveScope scope);             // "Alignment", "Score"
/// Exact (case-sensitive) lookups of JSON names; nothing for any other text.
std::optional<AlignmentMode> mode_from_name(std::string_view name);
std::optional<ObjectiveKind> objective_kind_from_name(std::string_view name);
std::optional<VerificationLevel> level_from_name(std::string_view name);
std::optional<VerificationStatus> status_from_name(std::string_view name);

// Substitution scheme as records carry it.
struct MatchMismatchScheme {
    std::int32_t match_score = 0;
    std::int32_t mismatch_penalty = 0;  // positive; subtracted
    bool operator==(const MatchMismatchScheme&) const = default;
};
struct Blosum62Scheme {
    bool operator==(const Blosum62Scheme&) const = default;
};
struct MatrixScheme {
    std::string name;
    std::vector<std::string> alphabet;  // one symbol each
    std::vector<std::vector<std::int32_t>> scores;
    std::optional<std::string> source_sha256;
    bool operator==(const MatrixScheme&) const = default;
};
using SubstitutionScheme = std::variant<MatchMismatchScheme, Blosum62Scheme, MatrixScheme>;

// Scoring scheme: gap values are added as given (penalties are negative).
struct EditDistanceScoring {
    bool operator==(const EditDistanceScoring&) const = default;
};
struct LinearScoring {
    SubstitutionScheme substitution;
    std::int32_t gap = 0;
    bool operator==(const LinearScoring&) const = default;
};
struct AffineScoring {
    SubstitutionScheme substitution;
    std::int32_t gap_open = 0;
    std::int32_t gap_extend = 0;
    bool operator==(const AffineScoring&) const = default;
};
using ScoringScheme = std::variant<EditDistanceScoring, LinearScoring, AffineScoring>;

struct AlignmentSpan {
    std::uint64_t start = 0;
    std::uint64_t end = 0;
    bool operator==(const AlignmentSpan&) const = default;
};
/// "AlignmentSpan { start: S, end: E }".
std::string span_text(const AlignmentSpan& span);

struct SequenceIdentity {
    std::string id;
    std::uint64_t length = 0;
    std::string sha256;
    bool operator==(const SequenceIdentity&) const = default;
};

struct PairIdentity {
    std::uint64_t index = 0;
    SequenceIdentity query;
    SequenceIdentity target;
    bool operator==(const PairIdentity&) const = default;
};

struct ProblemSpec {
    AlignmentMode mode = AlignmentMode::edit_distance;
    ScoringScheme scoring;
    bool operator==(const ProblemSpec&) const = default;
};

struct Producer {
    std::string name;
    std::string version;
    std::optional<std::string> commit;
    std::string backend;
    bool operator==(const Producer&) const = default;

    /// This program as producer: "rux-align", its version, the build commit, and `backend`.
    static Producer rux_align(std::string backend);
};

struct Objective {
    ObjectiveKind kind = ObjectiveKind::score;
    std::int64_t value = 0;
    bool operator==(const Objective&) const = default;
};

struct TraceRecord {
    AlignmentSpan query_span;
    AlignmentSpan target_span;
    Cigar cigar;
    std::optional<std::vector<AlignmentStep>> operations;
    bool operator==(const TraceRecord&) const = default;
};

struct AlignmentResult {
    Objective objective;
    std::optional<TraceRecord> trace;
    bool operator==(const AlignmentResult&) const = default;
};

struct CheckResult {
    std::string name;
    bool passed = false;
    std::optional<std::string> detail;  // present only on a failed check
    bool operator==(const CheckResult&) const = default;
};

struct VerificationSummary {
    VerificationLevel level = VerificationLevel::structure;
    VerificationStatus status = VerificationStatus::verified;
    std::vector<CheckResult> checks;
    std::optional<std::string> reference_backend;
    std::optional<std::string> reason;
    bool operator==(const VerificationSummary&) const = default;
};

struct Metrics {
    double elapsed_ms = 0.0;
    std::uint64_t work_cells = 0;
    bool operator==(const Metrics&) const = default;
};

struct IntegrityFingerprint {
    std::string version;
    std::string hash_algorithm;
    std::string deterministic_fields_sha256;
    bool operator==(const IntegrityFingerprint&) const = default;
};

struct AlignmentRecord {
    std::string schema_version;
    std::string record_type;
    Producer producer;
    PairIdentity pair;
    ProblemSpec problem;
    AlignmentResult alignment;
    VerificationSummary verification;
    std::optional<Metrics> metrics;
    std::optional<IntegrityFingerprint> integrity;
    bool operator==(const AlignmentRecord&) const = default;
};

struct VerificationReport {
    std::string schema_version;
    std::string record_type;
    PairIdentity pair;
    ProblemSpec problem;
    AlignmentResult submitted;
    VerificationSummary verification;
    Metrics metrics;
    bool operator==(const VerificationReport&) const = default;
};

struct ComparisonInputs {
    std::string query;
    std::string target;
    bool operator==(const ComparisonInputs&) const = default;
};

struct ComparisonReport {
    std::string schema_version;
    std::string record_type;
    ComparisonInputs inputs;
    PairIdentity pair;
    ProblemSpec problem;
    AlignmentRecord left;
    AlignmentRecord right;
    bool objectives_equal = false;
    bool traces_equal = false;
    bool equivalent = false;
    std::vector<std::string> differences;
    bool operator==(const ComparisonReport&) const = default;
};

/// Work cells of a pair: (m + 1) x (n + 1), saturating.
std::uint64_t work_cells(std::uint64_t query_length, std::uint64_t target_length);

}  // namespace rux_dp
