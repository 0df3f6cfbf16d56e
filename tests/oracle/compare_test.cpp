#include "rux_dp/oracle/compare.hpp"

#include "rux_dp/oracle/solve.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "oracle/oracle_fixtures.hpp"

namespace rux_dp {
namespace {

using namespace oracle_test;

AlignmentRecord solved(SolveRequest request) {
    auto record = solve(std::move(request));
    EXPECT_TRUE(record.has_value()) << record.error();
    return record ? *record : AlignmentRecord{};
}

/// `base` with another alignment of the same pair.
AlignmentRecord realigned(AlignmentRecord base, std::string_view cigar, AlignmentSpan query_span,
                          AlignmentSpan target_span, std::int64_t value) {
    base.alignment.objective.value = value;
    base.alignment.trace = TraceRecord{.query_span = query_span,
                                       .target_span = target_span,
                                       .cigar = Cigar::parse(cigar).value(),
                                       .operations = std::nullopt};
    base.integrity.reset();
    return base;
}

Result<ComparisonReport> compare_pair(const AlignmentRecord& left, const AlignmentRecord& right,
                                      const std::string& query, const std::string& target) {
    return compare(left, right, query, target);
}

TEST(Compare, IdenticalOptimalRecords) {
    SolveRequest r = request_for(affine_problem(), "ACGTTACG", "ACGTACG");
    r.operations = true;
    r.integrity = true;
    const AlignmentRecord record = solved(r);
    const auto report = compare_pair(record, record, "ACGTTACG", "ACGTACG");
    ASSERT_TRUE(report.has_value()) << report.error();
    EXPECT_EQ(report->schema_version, "rux-align.v2");
    EXPECT_EQ(report->record_type, "comparison");
    EXPECT_EQ(report->inputs, (ComparisonInputs{.query = "ACGTTACG", .target = "ACGTACG"}));
    EXPECT_EQ(report->pair, record.pair);
    EXPECT_EQ(report->problem, record.problem);
    EXPECT_TRUE(report->objectives_equal);
    EXPECT_TRUE(report->traces_equal);
    EXPECT_TRUE(report->equivalent);
    EXPECT_TRUE(report->differences.empty());
    // The records as shown lose metrics, fingerprint and operation list, and nothing else.
    AlignmentRecord shown = record;
    shown.metrics.reset();
    shown.integrity.reset();
    shown.alignment.trace->operations.reset();
    EXPECT_EQ(report->left, shown);
    EXPECT_EQ(report->right, shown);
}

TEST(Compare, DifferenceTexts) {
    const AlignmentRecord edit = solved(request_for(edit_problem(), "AG", "GA"));
    const AlignmentRecord local =
        solved(request_for(linear_problem(AlignmentMode::local_linear), "ACGTTTACGT", "ACGT"));
    const AlignmentRecord linear = solved(
        request_for(linear_problem(AlignmentMode::global_linear, 2, 3, -1), "ACGTAC", "ACGTAC"));
    struct Case {
        std::string name;
        AlignmentRecord left, right;
        std::string query, target;
        bool objectives_equal, traces_equal, equivalent;
        std::vector<std::string> differences;
    };
    AlignmentRecord distance_as_score = realigned(edit, "1I1=1D", {0, 2}, {0, 2}, 2);
    distance_as_score.alignment.objective.kind = ObjectiveKind::score;
    AlignmentRecord without_trace = edit;
    without_trace.alignment.trace.reset();
    const std::vector<Case> cases = {
        {"CIGARs differ, spans and lengths agree",
         realigned(edit, "1I1=1D", {0, 2}, {0, 2}, 2),
         realigned(edit, "1D1=1I", {0, 2}, {0, 2}, 2),
         "AG",
         "GA",
         true,
         false,
         true,
         {"tie_breaking: different traces realize the same optimum"}},
        {"total CIGAR lengths differ",
         realigned(edit, "2X", {0, 2}, {0, 2}, 2),
         realigned(edit, "1I1=1D", {0, 2}, {0, 2}, 2),
         "AG",
         "GA",
         true,
         false,
         true,
         {"operation_count: left=2, right=3",
          "tie_breaking: different traces realize the same optimum"}},
        {"local spans differ",
         realigned(local, "4=", {0, 4}, {0, 4}, 8),
         realigned(local, "4=", {6, 10}, {0, 4}, 8),
         "ACGTTTACGT",
         "ACGT",
         true,
         false,
         true,
         {"coordinates: left=query AlignmentSpan { start: 0, end: 4 },target AlignmentSpan { "
          "start: 0, end: 4 }; right=query AlignmentSpan { start: 6, end: 10 },target "
          "AlignmentSpan { start: 0, end: 4 }",
          "tie_breaking: different traces realize the same optimum"}},
        {"suboptimal left",
         realigned(linear, "4=1I1D1=", {0, 6}, {0, 6}, 8),
         linear,
         "ACGTAC",
         "ACGTAC",
         false,
         false,
         false,
         {"objective: left=8, right=12", "left_invalid: reference_optimum"}},
        {"distance against score",
         edit,
         distance_as_score,
         "AG",
         "GA",
         false,
         false,
         false,
         {"objective: left=2, right=2", "right_invalid: objective_kind,realized_objective"}},
        {"one record without a trace",
         edit,
         without_trace,
         "AG",
         "GA",
         true,
         false,
         false,
         {"tie_breaking: different traces realize the same optimum",
          "right_invalid: trace_present"}},
        {"both invalid",
         realigned(edit, "2=", {0, 2}, {0, 2}, 0),
         realigned(edit, "2X", {0, 2}, {0, 2}, 3),
         "AG",
         "GA",
         false,
         false,
         false,
         {"objective: left=0, right=3", "left_invalid: realized_objective",
          "right_invalid: realized_objective"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto report = compare_pair(c.left, c.right, c.query, c.target);
        ASSERT_TRUE(report.has_value()) << report.error();
        EXPECT_EQ(report->objectives_equal, c.objectives_equal);
        EXPECT_EQ(report->traces_equal, c.traces_equal);
        EXPECT_EQ(report->equivalent, c.equivalent);
        EXPECT_EQ(report->differences, c.differences);
    }
}

TEST(Compare, OperationListAloneMakesTracesDiffer) {
    SolveRequest r =
        request_for(linear_problem(AlignmentMode::semiglobal_linear), "ACGT", "TTACGATT");
    const AlignmentRecord plain = solved(r);
    r.operations = true;
    const AlignmentRecord with_operations = solved(r);
    const auto report = compare_pair(plain, with_operations, r.query, r.target);
    ASSERT_TRUE(report.has_value()) << report.error();
    EXPECT_FALSE(report->traces_equal);
    EXPECT_TRUE(report->equivalent);
    EXPECT_EQ(
        report->differences,
        (std::vector<std::string>{"tie_breaking: different traces realize the same optimum"}));
    AlignmentRecord left = report->left;
    AlignmentRecord right = report->right;
    EXPECT_EQ(left.alignment, right.alignment);
}

TEST(Compare, Failures) {
    const AlignmentRecord edit = solved(request_for(edit_problem(), "AC", "AG"));
    AlignmentRecord other_mode =
        solved(request_for(linear_problem(AlignmentMode::global_linear), "AC", "AG"));
    AlignmentRecord other_pair = solved(request_for(edit_problem(), "AC", "AGG"));
    AlignmentRecord other_ids = edit;
    other_ids.pair.query.id = "elsewhere";
    other_ids.pair.target.length = 99;  // lengths are not compared here either
    const AlignmentRecord non_ascii = solved(request_for(edit_problem(), "A\xff", "A\xc3\xa9"));
    struct Case {
        std::string name;
        AlignmentRecord left, right;
        std::string query, target;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"different modes", edit, other_mode, "AC", "AG",
         "records use different problem definitions"},
        {"different gap", other_mode,
         solved(request_for(linear_problem(AlignmentMode::global_linear, 2, 3, -1), "AC", "AG")),
         "AC", "AG", "records use different problem definitions"},
        {"different target", edit, other_pair, "AC", "AG",
         "records refer to different sequence pairs"},
        {"query not UTF-8", non_ascii, non_ascii, "A\xff", "A\xc3\xa9",
         "comparison artifacts require ASCII/UTF-8 query sequences"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto report = compare_pair(c.left, c.right, c.query, c.target);
        ASSERT_FALSE(report.has_value());
        EXPECT_EQ(report.error(), c.message);
    }
    const AlignmentRecord bad_target = solved(request_for(edit_problem(), "A\xc3\xa9", "\xc3"));
    EXPECT_EQ(compare_pair(bad_target, bad_target, "A\xc3\xa9", "\xc3").error(),
              "comparison artifacts require ASCII/UTF-8 target sequences");
    // Equal digests with other ids: compared, and the pair is the left record's.
    const auto report = compare_pair(edit, other_ids, "AC", "AG");
    ASSERT_TRUE(report.has_value()) << report.error();
    EXPECT_EQ(report->pair, edit.pair);
    EXPECT_TRUE(report->objectives_equal);
    EXPECT_FALSE(report->equivalent);
    EXPECT_EQ(report->differences, (std::vector<std::string>{"right_invalid: target_length"}));
}

// Two aligners' optimal answers on random pairs are equivalent, whatever their tie-breaking.
TEST(Compare, OptimalRecordsFromDifferentBackendsAreEquivalent) {
    std::mt19937_64 rng(8080);
    for (const ProblemSpec& problem : every_mode()) {
        const std::vector<std::string> backends = alignment_backends(problem.mode);
        for (int round = 0; round < 10; ++round) {
            const auto [query, target] = random_pair(rng, 40);
            SCOPED_TRACE(std::string(mode_name(problem.mode)) + " " + pair_text(query, target));
            SolveRequest left = request_for(problem, query, target);
            left.backend = backends.back();
            left.band = 1000;
            left.block_size = 1 + rng() % 6;
            SolveRequest right = request_for(problem, query, target);
            right.operations = true;
            const auto report = compare_pair(solved(left), solved(right), query, target);
            ASSERT_TRUE(report.has_value()) << report.error();
            EXPECT_TRUE(report->equivalent) << testing::PrintToString(report->differences);
            EXPECT_FALSE(report->traces_equal);  // the right one has an operation list
        }
    }
}

}  // namespace
}  // namespace rux_dp
