#include "rux_dp/oracle/records.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <string_view>

namespace rux_dp {
namespace {

TEST(RecordNames, ModesReadBackExactly) {
    constexpr std::pair<AlignmentMode, std::string_view> modes[] = {
        {AlignmentMode::edit_distance, "edit-distance"},
        {AlignmentMode::global_linear, "global-linear"},
        {AlignmentMode::global_affine, "global-affine"},
        {AlignmentMode::local_linear, "local-linear"},
        {AlignmentMode::semiglobal_linear, "semiglobal-linear"},
    };
    for (const auto& [mode, name] : modes) {
        SCOPED_TRACE(std::string(name));
        EXPECT_EQ(mode_name(mode), name);
        EXPECT_EQ(mode_from_name(name), mode);
    }
    EXPECT_EQ(mode_from_name("Global-Linear"), std::nullopt);
    EXPECT_EQ(mode_from_name("global_linear"), std::nullopt);
    EXPECT_EQ(mode_from_name(""), std::nullopt);
}

TEST(RecordNames, OtherEnumerations) {
    EXPECT_EQ(objective_kind_name(ObjectiveKind::score), "score");
    EXPECT_EQ(objective_kind_name(ObjectiveKind::distance), "distance");
    EXPECT_EQ(objective_kind_message_name(ObjectiveKind::score), "Score");
    EXPECT_EQ(objective_kind_message_name(ObjectiveKind::distance), "Distance");
    EXPECT_EQ(objective_kind_from_name("distance"), ObjectiveKind::distance);
    EXPECT_EQ(objective_kind_from_name("Distance"), std::nullopt);

    EXPECT_EQ(level_name(VerificationLevel::structure), "structure");
    EXPECT_EQ(level_name(VerificationLevel::score), "score");
    EXPECT_EQ(level_name(VerificationLevel::optimal), "optimal");
    EXPECT_EQ(level_from_name("optimal"), VerificationLevel::optimal);
    EXPECT_EQ(level_from_name("OPTIMAL"), std::nullopt);

    EXPECT_EQ(status_name(VerificationStatus::verified), "verified");
    EXPECT_EQ(status_name(VerificationStatus::invalid), "invalid");
    EXPECT_EQ(status_name(VerificationStatus::inconclusive), "inconclusive");
    EXPECT_EQ(status_name(VerificationStatus::error), "error");
    EXPECT_EQ(status_from_name("inconclusive"), VerificationStatus::inconclusive);
    EXPECT_EQ(status_from_name("ok"), std::nullopt);

    EXPECT_EQ(scope_message_name(SolveScope::alignment), "Alignment");
    EXPECT_EQ(scope_message_name(SolveScope::score), "Score");
}

TEST(RecordNames, SpanText) {
    EXPECT_EQ(span_text(AlignmentSpan{.start = 0, .end = 0}), "AlignmentSpan { start: 0, end: 0 }");
    EXPECT_EQ(
        span_text(AlignmentSpan{.start = 2, .end = std::numeric_limits<std::uint64_t>::max()}),
        "AlignmentSpan { start: 2, end: 18446744073709551615 }");
}

TEST(RecordEquality, MatrixSchemesCompareTheirDigest) {
    MatrixScheme a{.name = "m", .alphabet = {"A"}, .scores = {{1}}, .source_sha256 = std::nullopt};
    MatrixScheme b = a;
    EXPECT_EQ(SubstitutionScheme(a), SubstitutionScheme(b));
    b.source_sha256 = "";
    EXPECT_NE(SubstitutionScheme(a), SubstitutionScheme(b));
    EXPECT_NE(SubstitutionScheme(Blosum62Scheme{}), SubstitutionScheme(MatchMismatchScheme{}));
}

}  // namespace
}  // namespace rux_dp
