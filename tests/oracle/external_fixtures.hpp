#pragma once

// Records and problems shared by the PAF and SAM conversion tests.

#include "rux_dp/alignment/cigar.hpp"
#include "rux_dp/oracle/records.hpp"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace rux_dp::testing {

inline ProblemSpec problem_for(AlignmentMode mode) {
    const MatchMismatchScheme mm{.match_score = 2, .mismatch_penalty = 3};
    switch (mode) {
        case AlignmentMode::edit_distance:
            return {.mode = mode, .scoring = EditDistanceScoring{}};
        case AlignmentMode::global_affine:
            return {.mode = mode,
                    .scoring = AffineScoring{.substitution = mm, .gap_open = -5, .gap_extend = -1}};
        case AlignmentMode::global_linear:
        case AlignmentMode::local_linear:
        case AlignmentMode::semiglobal_linear:
            break;
    }
    return {.mode = mode, .scoring = LinearScoring{.substitution = Blosum62Scheme{}, .gap = -2}};
}

inline Cigar cigar_of(std::string_view text) {
    auto cigar = Cigar::parse(text);
    EXPECT_TRUE(cigar.has_value()) << text;
    return cigar.value_or(Cigar{});
}

/// A record as `solve` would give it for the pair, with declared lengths = the sequence lengths.
/// The digests are left empty: the converters never read them.
inline AlignmentRecord solved_record(AlignmentMode mode, std::string_view query,
                                     std::string_view target, AlignmentSpan query_span,
                                     AlignmentSpan target_span, std::string_view cigar,
                                     std::int64_t value) {
    return AlignmentRecord{.schema_version = "rux-align.v2",
                           .record_type = "alignment",
                           .producer = Producer::rux_align("rux"),
                           .pair = {.index = 0,
                                    .query = {.id = "q1", .length = query.size(), .sha256 = ""},
                                    .target = {.id = "t1", .length = target.size(), .sha256 = ""}},
                           .problem = problem_for(mode),
                           .alignment = {.objective = {.kind = mode == AlignmentMode::edit_distance
                                                                   ? ObjectiveKind::distance
                                                                   : ObjectiveKind::score,
                                                       .value = value},
                                         .trace = TraceRecord{.query_span = query_span,
                                                              .target_span = target_span,
                                                              .cigar = cigar_of(cigar),
                                                              .operations = std::nullopt}},
                           .verification = {},
                           .metrics = std::nullopt,
                           .integrity = std::nullopt};
}

/// One alignment per mode (and the empty ones) that both formats must carry unchanged.
struct RoundTripCase {
    std::string_view name;
    AlignmentMode mode;
    std::string_view query, target;
    AlignmentSpan query_span, target_span;
    std::string_view cigar;
    std::int64_t value;
};
inline constexpr RoundTripCase round_trip_cases[] = {
    {"edit distance", AlignmentMode::edit_distance, "ACGT", "AGT", {0, 4}, {0, 3}, "1=1I2=", 1},
    {"edit distance with a deletion",
     AlignmentMode::edit_distance,
     "ACGT",
     "AGGTC",
     {0, 4},
     {0, 5},
     "1=1X2=1D",
     2},
    {"edit distance of empty sequences",
     AlignmentMode::edit_distance,
     "",
     "",
     {0, 0},
     {0, 0},
     "",
     0},
    {"global linear", AlignmentMode::global_linear, "ACGT", "ACTT", {0, 4}, {0, 4}, "2=1X1=", 5},
    {"global affine", AlignmentMode::global_affine, "ACGTTT", "ACGT", {0, 6}, {0, 4}, "4=2I", 2},
    {"local", AlignmentMode::local_linear, "TTACGTTT", "GACGAG", {2, 5}, {1, 4}, "3=", 12},
    {"local with gaps",
     AlignmentMode::local_linear,
     "GGACGTAC",
     "TACTGTACCC",
     {2, 8},
     {1, 8},
     "2=1X1D3=",
     -1},
    {"empty local at the query start",
     AlignmentMode::local_linear,
     "ACGT",
     "GG",
     {0, 0},
     {0, 0},
     "",
     0},
    {"empty local inside the query",
     AlignmentMode::local_linear,
     "ACGT",
     "GGG",
     {2, 2},
     {1, 1},
     "",
     0},
    {"semiglobal", AlignmentMode::semiglobal_linear, "ACG", "TTACGTT", {0, 3}, {2, 5}, "3=", 6},
};

}  // namespace rux_dp::testing
