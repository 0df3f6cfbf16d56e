#pragma once

#include "rux_dp/oracle/records.hpp"

#include <cstdint>
#include <limits>
#include <string>

namespace rux_dp::test {

/// A small edit-distance record without metrics, integrity or trace; its canonical JSON is
/// `minimal_record_json`.
inline AlignmentRecord minimal_record() {
    return AlignmentRecord{
        .schema_version = "rux-align.v2",
        .record_type = "alignment",
        .producer = Producer{.name = "rux-align",
                             .version = "0.2.0-alpha.2",
                             .commit = std::nullopt,
                             .backend = "bit-parallel"},
        .pair = PairIdentity{.index = 0,
                             .query = {.id = "q", .length = 2, .sha256 = "aa"},
                             .target = {.id = "t", .length = 1, .sha256 = "bb"}},
        .problem =
            ProblemSpec{.mode = AlignmentMode::edit_distance, .scoring = EditDistanceScoring{}},
        .alignment = AlignmentResult{.objective = {.kind = ObjectiveKind::distance, .value = 1},
                                     .trace = std::nullopt},
        .verification =
            VerificationSummary{
                .level = VerificationLevel::structure,
                .status = VerificationStatus::verified,
                .checks = {{.name = "structure", .passed = true, .detail = std::nullopt}},
                .reference_backend = std::nullopt,
                .reason = std::nullopt},
        .metrics = std::nullopt,
        .integrity = std::nullopt,
    };
}

inline constexpr std::string_view minimal_record_json =
    R"({"schema_version":"rux-align.v2","record_type":"alignment",)"
    R"("producer":{"name":"rux-align","version":"0.2.0-alpha.2","backend":"bit-parallel"},)"
    R"("pair":{"index":0,"query":{"id":"q","length":2,"sha256":"aa"},)"
    R"("target":{"id":"t","length":1,"sha256":"bb"}},)"
    R"("problem":{"mode":"edit-distance","scoring":{"kind":"edit-distance"}},)"
    R"("alignment":{"objective":{"kind":"distance","value":1}},)"
    R"("verification":{"level":"structure","status":"verified",)"
    R"("checks":[{"name":"structure","passed":true}]}})";

/// A record that uses every member, every optional member and awkward values: texts that need
/// escaping, extreme integers, all four step kinds, a custom matrix.
inline AlignmentRecord full_record() {
    MatrixScheme matrix{.name = "tiny \"matrix\"",
                        .alphabet = {"A", "C", "G", "T"},
                        .scores = {{2, -1, -1, -1},
                                   {-1, 2, -1, -1},
                                   {-1, -1, 2, -1},
                                   {-1, -1, -1, std::numeric_limits<std::int32_t>::min()}},
                        .source_sha256 = std::string(64, 'e')};
    TraceRecord trace{.query_span = {.start = 0, .end = 4},
                      .target_span = {.start = 0, .end = 4},
                      .cigar = *Cigar::parse("1=1I1X1D1="),
                      .operations = std::vector<AlignmentStep>{
                          {.op = AlignmentOpKind::match,
                           .query_pos = 0,
                           .target_pos = 0,
                           .query_base = U'A',
                           .target_base = U'A'},
                          {.op = AlignmentOpKind::insertion,
                           .query_pos = 1,
                           .target_pos = std::nullopt,
                           .query_base = U'C',
                           .target_base = std::nullopt},
                          {.op = AlignmentOpKind::mismatch,
                           .query_pos = 2,
                           .target_pos = 1,
                           .query_base = U'"',
                           .target_base = char32_t{0xFFFD}},
                          {.op = AlignmentOpKind::deletion,
                           .query_pos = std::nullopt,
                           .target_pos = 2,
                           .query_base = std::nullopt,
                           .target_base = U'\t'},
                          {.op = AlignmentOpKind::match,
                           .query_pos = 3,
                           .target_pos = 3,
                           .query_base = U'T',
                           .target_base = U'T'},
                      }};
    return AlignmentRecord{
        .schema_version = "rux-align.v2",
        .record_type = "alignment",
        .producer = Producer{.name = "rux-align",
                             .version = "0.2.0-alpha.2",
                             .commit = "0123456789abcdef0123456789abcdef01234567",
                             .backend = "rux-engine"},
        .pair =
            PairIdentity{
                .index = std::numeric_limits<std::uint64_t>::max(),
                .query = {.id = "q\t1 \"é\" \\ /", .length = 4, .sha256 = "11"},
                .target = {.id = std::string("t\0\x1f\x7f", 4), .length = 4, .sha256 = "22"}},
        .problem =
            ProblemSpec{
                .mode = AlignmentMode::global_affine,
                .scoring = AffineScoring{.substitution = matrix, .gap_open = -5, .gap_extend = -1}},
        .alignment =
            AlignmentResult{.objective = {.kind = ObjectiveKind::score,
                                          .value = std::numeric_limits<std::int64_t>::min()},
                            .trace = trace},
        .verification =
            VerificationSummary{
                .level = VerificationLevel::optimal,
                .status = VerificationStatus::inconclusive,
                .checks = {{.name = "cigar_spans", .passed = true, .detail = std::nullopt},
                           {.name = "score", .passed = false, .detail = "expected 3\nfound 4"}},
                .reference_backend = "nw-reference",
                .reason = "too many cells"},
        .metrics = Metrics{.elapsed_ms = 0.1 + 0.2,
                           .work_cells = std::numeric_limits<std::uint64_t>::max()},
        .integrity = IntegrityFingerprint{.version = "rux-align.integrity.v1",
                                          .hash_algorithm = "sha256",
                                          .deterministic_fields_sha256 = std::string(64, '0')},
    };
}

}  // namespace rux_dp::test
