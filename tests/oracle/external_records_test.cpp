#include "rux_dp/oracle/external_records.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace rux_dp {
namespace {

constexpr std::uint64_t u64_max = std::numeric_limits<std::uint64_t>::max();

struct UsizeCase {
    std::string_view text;
    std::optional<std::uint64_t> value;  // nothing: rejected
};
constexpr UsizeCase usize_cases[] = {
    {"0", 0},
    {"42", 42},
    {"+7", 7},
    {"007", 7},
    {"18446744073709551615", u64_max},
    {"18446744073709551616", std::nullopt},
    {"", std::nullopt},
    {"+", std::nullopt},
    {"++1", std::nullopt},
    {"+-1", std::nullopt},
    {"-1", std::nullopt},
    {"-0", std::nullopt},
    {" 1", std::nullopt},
    {"1 ", std::nullopt},
    {"1.0", std::nullopt},
    {"0x10", std::nullopt},
};

TEST(ParseUsize, AcceptsPlainDecimalsOnly) {
    for (const auto& c : usize_cases) {
        SCOPED_TRACE(std::string(c.text));
        const auto result = parse_usize(c.text, "PAF query start");
        if (c.value) {
            ASSERT_TRUE(result.has_value()) << result.error();
            EXPECT_EQ(*result, *c.value);
        } else {
            ASSERT_FALSE(result.has_value());
            EXPECT_EQ(result.error(), "PAF query start is not a non-negative integer");
        }
    }
}

struct RawRunsCase {
    std::string_view text;
    std::vector<RawCigarRun> runs;
    std::string_view error;  // empty: accepted
};

TEST(RawCigarRuns, ReadsRunsAndRejectsMalformedText) {
    const RawRunsCase cases[] = {
        {"", {}, ""},
        {"*", {}, ""},
        {"10M2I", {{10, "M"}, {2, "I"}}, ""},
        {"3S5M2S", {{3, "S"}, {5, "M"}, {2, "S"}}, ""},
        {"01=", {{1, "="}}, ""},
        {"2\xC3\xA9", {{2, "\xC3\xA9"}}, ""},  // any non-digit character is an operation here
        {"M", {}, "invalid CIGAR run before 'M'"},
        {"0M", {}, "invalid CIGAR run before 'M'"},
        {"10M0I", {}, "invalid CIGAR run before 'I'"},
        {"5MM", {}, "invalid CIGAR run before 'M'"},
        {"\xC3\xA9", {}, "invalid CIGAR run before '\xC3\xA9'"},
        {"12", {}, "CIGAR ends with a length and no operation"},
        {"5M3", {}, "CIGAR ends with a length and no operation"},
        {"999999999999999999999M", {}, "CIGAR run length overflowed usize"},
        {"18446744073709551615M", {{u64_max, "M"}}, ""},
        {"18446744073709551616M", {}, "CIGAR run length overflowed usize"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.text));
        const auto result = raw_cigar_runs(c.text);
        if (c.error.empty()) {
            ASSERT_TRUE(result.has_value()) << result.error();
            EXPECT_EQ(*result, c.runs);
        } else {
            ASSERT_FALSE(result.has_value());
            EXPECT_EQ(result.error(), c.error);
        }
    }
}

struct CanonicalCase {
    std::string_view cigar;
    std::uint64_t query_start, target_start;
    std::string_view query, target;
    std::string_view expected;  // canonical text, or the error
    bool ok;
};
constexpr CanonicalCase canonical_cases[] = {
    // "M" is resolved base by base against the sources.
    {"3M", 0, 0, "ACG", "AGG", "1=1X1=", true},
    {"4M", 0, 0, "ACGT", "TGCA", "4X", true},
    {"2M3M", 0, 0, "ACGTA", "ACGTA", "5=", true},
    {"2=1X1=", 0, 0, "ACGT", "ACTT", "2=1X1=", true},
    {"1M1I2M", 2, 1, "TTACGT", "GAGT", "1=1I2=", true},
    {"1I2I", 0, 0, "", "", "3I", true},
    {"", 3, 3, "ACG", "ACG", "", true},
    {"*", 0, 0, "", "", "", true},
    // "I" and "D" are not tested against the sequence ends.
    {"2M10I", 0, 0, "AC", "AC", "2=10I", true},
    {"1M5D", 0, 0, "A", "A", "1=5D", true},
    {"1X", 0, 0, "A", "A", "external CIGAR 'X' disagrees with source bases", false},
    {"1=", 0, 0, "A", "C", "external CIGAR '=' disagrees with source bases", false},
    {"2=1=", 0, 0, "ACG", "ACT", "external CIGAR '=' disagrees with source bases", false},
    {"5M", 2, 0, "ACGT", "ACGTACGTAC", "external CIGAR consumes query out of bounds", false},
    {"3M", 0, 1, "ACGT", "ACG", "external CIGAR consumes target out of bounds", false},
    {"1=", 0, 0, "", "", "external CIGAR consumes query out of bounds", false},
    {"10S5M", 0, 0, "ACGTACGTACGTACG", "ACGTA", "unsupported external CIGAR operation 'S'", false},
    {"5H5M", 0, 0, "ACGTA", "ACGTA", "unsupported external CIGAR operation 'H'", false},
    {"5M2N5M", 0, 0, "ACGTAACGTA", "ACGTAGGACGTA", "unsupported external CIGAR operation 'N'",
     false},
    {"1P", 0, 0, "A", "A", "unsupported external CIGAR operation 'P'", false},
    {"1m", 0, 0, "A", "A", "unsupported external CIGAR operation 'm'", false},
    {"1M", 0, 0, "A", "A", "1=", true},
    {"18446744073709551615I", 1, 0, "", "", "query coordinate overflow", false},
    {"18446744073709551615D", 0, 1, "", "", "target coordinate overflow", false},
    {"18446744073709551615I1I", 0, 0, "", "", "query coordinate overflow", false},
    {"M", 0, 0, "A", "A", "invalid CIGAR run before 'M'", false},
};

TEST(CanonicalizeExternalCigar, KnownCases) {
    for (const auto& c : canonical_cases) {
        SCOPED_TRACE(std::string(c.cigar) + " at " + std::to_string(c.query_start) + ","
                     + std::to_string(c.target_start) + " | " + std::string(c.query) + " | "
                     + std::string(c.target));
        const auto result =
            canonicalize_external_cigar(c.cigar, c.query_start, c.target_start, c.query, c.target);
        if (c.ok) {
            ASSERT_TRUE(result.has_value()) << result.error();
            EXPECT_EQ(result->text(), c.expected);
        } else {
            ASSERT_FALSE(result.has_value()) << result->text();
            EXPECT_EQ(result.error(), c.expected);
        }
    }
}

TEST(CanonicalizeExternalCigar, LongMatchRunBecomesFewRuns) {
    std::string query(100000, 'A');
    std::string target = query;
    target[50000] = 'C';
    const auto result = canonicalize_external_cigar("100000M", 0, 0, query, target);
    ASSERT_TRUE(result.has_value()) << result.error();
    EXPECT_EQ(result->text(), "50000=1X49999=");
}

TagMap tags_of(std::vector<std::string_view> fields) {
    auto tags = parse_tags(fields);
    EXPECT_TRUE(tags.has_value()) << tags.error();
    return tags.value_or(TagMap{});
}

TEST(ParseTags, SplitsAtTheFirstTwoColons) {
    const TagMap tags = tags_of({"XX:Z:a:b", "NM:i:", "AS:i:-12", "cg:Z:3=1X"});
    const TagMap expected = {
        {"XX", {'Z', "a:b"}}, {"NM", {'i', ""}}, {"AS", {'i', "-12"}}, {"cg", {'Z', "3=1X"}}};
    EXPECT_EQ(tags, expected);
    EXPECT_EQ(tags_of({}), TagMap{});
}

TEST(ParseTags, RejectsMalformedAndDuplicateTags) {
    const std::pair<std::vector<std::string_view>, std::string_view> cases[] = {
        {{"XYZ:i:1"}, "malformed optional tag 'XYZ:i:1'"},
        {{"N:i:1"}, "malformed optional tag 'N:i:1'"},
        {{"NM:ii:1"}, "malformed optional tag 'NM:ii:1'"},
        {{"NM::1"}, "malformed optional tag 'NM::1'"},
        {{"NM:i"}, "malformed optional tag 'NM:i'"},
        {{"NM"}, "malformed optional tag 'NM'"},
        {{""}, "malformed optional tag ''"},
        {{"AS:i:1", "NM:i:1", "AS:i:2"}, "duplicate optional tag 'AS'"},
        {{"AS:i:1", "AS:Z:x", "bad"}, "duplicate optional tag 'AS'"},
        {{"bad", "AS:i:1", "AS:i:1"}, "malformed optional tag 'bad'"},
    };
    for (const auto& [fields, message] : cases) {
        SCOPED_TRACE(std::string(message));
        const auto result = parse_tags(fields);
        ASSERT_FALSE(result.has_value());
        EXPECT_EQ(result.error(), message);
    }
}

TEST(IntegerTag, ReturnsTheUnparsedValueOfAnIntegerTag) {
    const TagMap tags = tags_of({"AS:i:+7", "NM:f:3"});
    const auto as = integer_tag(tags, "AS", 3, "PAF");
    ASSERT_TRUE(as.has_value()) << as.error();
    EXPECT_EQ(*as, "+7");
    EXPECT_EQ(integer_tag(tags, "NM", 2, "SAM").error(),
              "SAM line 2 tag NM must use integer type i");
    EXPECT_EQ(integer_tag(tags, "XS", 3, "PAF").error(), "PAF line 3 is missing XS:i");
}

struct NmCase {
    std::vector<std::string_view> fields;
    std::string_view error;  // empty: passes
};

TEST(ValidateNmTag, ComparesWithTheEditsOfTheCanonicalCigar) {
    // 2 mismatches and 1 inserted base: 3 edits.
    const auto cigar = Cigar::parse("2=1X1I3=1X");
    ASSERT_TRUE(cigar.has_value());
    const NmCase cases[] = {
        {{}, ""},
        {{"AS:i:4"}, ""},
        {{"NM:i:3"}, ""},
        {{"NM:i:+3"}, ""},
        {{"NM:i:2"}, "PAF line 4 reports NM:i:2 but CIGAR and sources imply 3"},
        {{"NM:i:4"}, "PAF line 4 reports NM:i:4 but CIGAR and sources imply 3"},
        {{"NM:i:"}, "PAF line 4 has invalid NM:i"},
        {{"NM:i:-1"}, "PAF line 4 has invalid NM:i"},
        {{"NM:i:3x"}, "PAF line 4 has invalid NM:i"},
        {{"NM:i:18446744073709551616"}, "PAF line 4 has invalid NM:i"},
        {{"NM:f:3"}, "PAF line 4 tag NM must use integer type i"},
        {{"NM:Z:3"}, "PAF line 4 tag NM must use integer type i"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fields.empty() ? "no tags" : std::string(c.fields[0]));
        const auto result = validate_nm_tag(tags_of(c.fields), *cigar, 4, "PAF");
        if (c.error.empty()) {
            EXPECT_TRUE(result.has_value()) << result.error();
        } else {
            ASSERT_FALSE(result.has_value());
            EXPECT_EQ(result.error(), c.error);
        }
    }
    EXPECT_TRUE(validate_nm_tag(tags_of({"NM:i:0"}), Cigar{}, 1, "SAM").has_value());
}

struct ObjectiveCase {
    std::vector<std::string_view> fields;
    std::optional<std::int64_t> distance;  // edit-distance mode: value, or nothing for `error`
    std::string_view distance_error;
    std::optional<std::int64_t> score;  // every other mode
    std::string_view score_error;
};

TEST(ExternalObjective, NmForEditDistanceAsOtherwise) {
    const ObjectiveCase cases[] = {
        {{"NM:i:3", "AS:i:-12"}, 3, "", -12, ""},
        {{"AS:i:+7", "NM:i:0"}, 0, "", 7, ""},
        {{"NM:i:3"}, 3, "", std::nullopt, "SAM line 9 is missing AS:i"},
        {{"AS:i:5"}, std::nullopt, "SAM line 9 is missing NM:i", 5, ""},
        {{"NM:i:-1", "AS:i:-9223372036854775808"},
         -1,
         "",
         std::numeric_limits<std::int64_t>::min(),
         ""},
        {{"NM:i:x", "AS:i:9223372036854775808"},
         std::nullopt,
         "SAM line 9 has invalid NM:i",
         std::nullopt,
         "SAM line 9 has invalid AS:i"},
        {{"NM:i:", "AS:i:"},
         std::nullopt,
         "SAM line 9 has invalid NM:i",
         std::nullopt,
         "SAM line 9 has invalid AS:i"},
        {{"NM:i:+-1", "AS:i:--1"},
         std::nullopt,
         "SAM line 9 has invalid NM:i",
         std::nullopt,
         "SAM line 9 has invalid AS:i"},
        {{"NM:f:1", "AS:Z:1"},
         std::nullopt,
         "SAM line 9 tag NM must use integer type i",
         std::nullopt,
         "SAM line 9 tag AS must use integer type i"},
    };
    constexpr AlignmentMode score_modes[] = {
        AlignmentMode::global_linear, AlignmentMode::global_affine, AlignmentMode::local_linear,
        AlignmentMode::semiglobal_linear};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.fields[0]));
        const TagMap tags = tags_of(c.fields);
        const auto distance = external_objective(AlignmentMode::edit_distance, tags, 9, "SAM");
        if (c.distance) {
            ASSERT_TRUE(distance.has_value()) << distance.error();
            EXPECT_EQ(*distance, (Objective{ObjectiveKind::distance, *c.distance}));
        } else {
            ASSERT_FALSE(distance.has_value());
            EXPECT_EQ(distance.error(), c.distance_error);
        }
        for (const AlignmentMode mode : score_modes) {
            SCOPED_TRACE(static_cast<int>(mode));
            const auto score = external_objective(mode, tags, 9, "SAM");
            if (c.score) {
                ASSERT_TRUE(score.has_value()) << score.error();
                EXPECT_EQ(*score, (Objective{ObjectiveKind::score, *c.score}));
            } else {
                ASSERT_FALSE(score.has_value());
                EXPECT_EQ(score.error(), c.score_error);
            }
        }
    }
}

TEST(ExternalRecord, AssemblesAnUnverifiedRecord) {
    const auto cigar = Cigar::parse("1=1I2=");
    ASSERT_TRUE(cigar.has_value());
    const ProblemSpec problem{
        .mode = AlignmentMode::global_linear,
        .scoring = LinearScoring{.substitution = MatchMismatchScheme{1, 1}, .gap = -2}};
    const AlignmentRecord record = external_record({.cigar = *cigar,
                                                    .query_span = {0, 4},
                                                    .target_span = {0, 3},
                                                    .problem = problem,
                                                    .objective = {ObjectiveKind::score, 1},
                                                    .query_id = "read1",
                                                    .target_id = "chr1",
                                                    .query = "ACGT",
                                                    .target = "AGT",
                                                    .format = "sam",
                                                    .pair_index = 7,
                                                    .query_length = 40,
                                                    .target_length = 3});
    const AlignmentRecord expected{
        .schema_version = "rux-align.v2",
        .record_type = "alignment",
        .producer = {.name = "external-sam",
                     .version = "unknown",
                     .commit = std::nullopt,
                     .backend = "external"},
        .pair =
            {.index = 7,
             // The declared length stands; the digest is that of the actual sequence.
             .query = {.id = "read1",
                       .length = 40,
                       .sha256 =
                           "1dff3e84fe7877e0673b69bbddcf40124e396e3f9943dd890c91b6a09adb9af0"},
             .target = {.id = "chr1",
                        .length = 3,
                        .sha256 =
                            "cd1e20035ab6b16724a122f6c6d2d9b83cb868601d1f3df5d1fa46936ca1c395"}},
        .problem = problem,
        .alignment = {.objective = {ObjectiveKind::score, 1},
                      .trace = TraceRecord{.query_span = {0, 4},
                                           .target_span = {0, 3},
                                           .cigar = *cigar,
                                           .operations = std::nullopt}},
        .verification = {.level = VerificationLevel::structure,
                         .status = VerificationStatus::inconclusive,
                         .checks = {},
                         .reference_backend = std::nullopt,
                         .reason = "record has not yet been verified"},
        .metrics = std::nullopt,
        .integrity = std::nullopt};
    EXPECT_EQ(record, expected);
}

}  // namespace
}  // namespace rux_dp
