#include "rux_dp/oracle/verify.hpp"

#include "rux_dp/oracle/integrity.hpp"
#include "rux_dp/oracle/solve.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "oracle/oracle_fixtures.hpp"

namespace rux_dp {
namespace {

using namespace oracle_test;

const std::vector<std::string> identity_checks = {
    "schema_version", "record_type",   "problem_semantics", "objective_kind",
    "query_length",   "target_length", "query_sha256",      "target_sha256"};

std::vector<std::string> joined(std::vector<std::string> head,
                                const std::vector<std::string>& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

/// A record built by hand: the pair's identity, the given alignment, no metrics.
AlignmentRecord hand_record(ProblemSpec problem, std::string_view query, std::string_view target,
                            std::string_view cigar, AlignmentSpan query_span,
                            AlignmentSpan target_span, Objective objective) {
    return AlignmentRecord{
        .schema_version = "rux-align.v2",
        .record_type = "alignment",
        .producer = Producer::rux_align("hand"),
        .pair = pair_identity(0, "q", "t", query, target),
        .problem = std::move(problem),
        .alignment = AlignmentResult{.objective = objective,
                                     .trace = TraceRecord{.query_span = query_span,
                                                          .target_span = target_span,
                                                          .cigar = Cigar::parse(cigar).value(),
                                                          .operations = std::nullopt}},
        .verification = VerificationSummary{},
        .metrics = std::nullopt,
        .integrity = std::nullopt,
    };
}

Objective score(std::int64_t v) {
    return Objective{.kind = ObjectiveKind::score, .value = v};
}

const CheckResult* find_check(const VerificationReport& report, std::string_view name) {
    for (const CheckResult& check : report.verification.checks) {
        if (check.name == name)
            return &check;
    }
    return nullptr;
}

AlignmentRecord solved(SolveRequest request) {
    auto record = solve(std::move(request));
    EXPECT_TRUE(record.has_value()) << record.error();
    return record ? *record : AlignmentRecord{};
}

TEST(AddCheck, DetailOnlyWhenFailed) {
    std::vector<CheckResult> checks;
    add_check(checks, "a", true, "ignored");
    add_check(checks, "b", false, "why");
    add_check(checks, "c", false);
    EXPECT_EQ(checks,
              (std::vector<CheckResult>{{.name = "a", .passed = true, .detail = std::nullopt},
                                        {.name = "b", .passed = false, .detail = "why"},
                                        {.name = "c", .passed = false, .detail = ""}}));
}

TEST(Verify, ReportCopiesTheRecord) {
    SolveRequest r = request_for(linear_problem(AlignmentMode::global_linear), "ACGTT", "ACTT");
    r.operations = true;
    r.pair_index = 3;
    const AlignmentRecord record = solved(r);
    const VerificationReport report = verify_record(record, "ACGTT", "ACTT");
    EXPECT_EQ(report.schema_version, "rux-align.v2");
    EXPECT_EQ(report.record_type, "verification");
    EXPECT_EQ(report.pair, record.pair);
    EXPECT_EQ(report.problem, record.problem);
    EXPECT_EQ(report.submitted, record.alignment);
    EXPECT_EQ(report.metrics.work_cells, 30u);
    EXPECT_EQ(report.verification.level, VerificationLevel::optimal);
    EXPECT_EQ(report.verification.status, VerificationStatus::verified);
    EXPECT_EQ(report.verification.reference_backend, "baseline-rolling-v1");
    EXPECT_FALSE(report.verification.reason.has_value());
    EXPECT_EQ(check_names(report.verification.checks),
              joined(identity_checks,
                     {"query_span_bounds", "target_span_bounds", "query_cigar_consumption",
                      "target_cigar_consumption", "global_query_span", "global_target_span",
                      "operations_match_cigar", "realized_objective", "reference_optimum"}));
}

struct ListCase {
    std::string name;
    ProblemSpec problem;
    std::string query, target;
    bool operations;
    bool integrity;
    VerificationLevel level;
    std::vector<std::string> tail;  // after the identity checks
};

TEST(Verify, CheckListsByModeLevelAndFlags) {
    using L = VerificationLevel;
    const std::vector<ListCase> cases = {
        {"global structure",
         linear_problem(AlignmentMode::global_linear),
         "ACGT",
         "AGT",
         false,
         false,
         L::structure,
         {"query_span_bounds", "target_span_bounds", "query_cigar_consumption",
          "target_cigar_consumption", "global_query_span", "global_target_span"}},
        {"edit score with operations",
         edit_problem(),
         "ACGT",
         "AGT",
         true,
         false,
         L::score,
         {"query_span_bounds", "target_span_bounds", "query_cigar_consumption",
          "target_cigar_consumption", "global_query_span", "global_target_span",
          "operations_match_cigar", "realized_objective"}},
        {"affine optimal fingerprinted",
         affine_problem(),
         "ACGT",
         "AGT",
         false,
         true,
         L::optimal,
         {"integrity_fingerprint", "query_span_bounds", "target_span_bounds",
          "query_cigar_consumption", "target_cigar_consumption", "global_query_span",
          "global_target_span", "realized_objective", "reference_optimum"}},
        {"semiglobal score",
         linear_problem(AlignmentMode::semiglobal_linear),
         "ACG",
         "TTACGTT",
         false,
         false,
         L::score,
         {"query_span_bounds", "target_span_bounds", "query_cigar_consumption",
          "target_cigar_consumption", "semiglobal_query_span", "realized_objective"}},
        {"local inside both sequences at structure",
         linear_problem(AlignmentMode::local_linear),
         "TTACGTT",
         "GGACGGG",
         false,
         false,
         L::structure,
         {"query_span_bounds", "target_span_bounds", "query_cigar_consumption",
          "target_cigar_consumption"}},
        {"local optimal",
         linear_problem(AlignmentMode::local_linear),
         "TTACGTT",
         "GGACGGG",
         true,
         false,
         L::optimal,
         {"query_span_bounds", "target_span_bounds", "query_cigar_consumption",
          "target_cigar_consumption", "operations_match_cigar", "realized_objective",
          "reference_optimum"}},
    };
    for (const ListCase& c : cases) {
        SCOPED_TRACE(c.name);
        SolveRequest r = request_for(c.problem, c.query, c.target);
        r.operations = c.operations;
        r.integrity = c.integrity;
        const AlignmentRecord record = solved(r);
        const VerificationReport report = verify_record(record, c.query, c.target, c.level);
        EXPECT_EQ(check_names(report.verification.checks), joined(identity_checks, c.tail));
        EXPECT_TRUE(failed_names(report.verification.checks).empty());
        EXPECT_EQ(report.verification.status, VerificationStatus::verified);
        EXPECT_EQ(report.verification.level, c.level);
        EXPECT_EQ(report.verification.reference_backend.has_value(), c.level == L::optimal);
    }
}

TEST(Verify, RecordWithoutTrace) {
    for (const bool integrity : {false, true}) {
        SolveRequest r = request_for(affine_problem(), "ACGT", "AGT");
        r.scope = SolveScope::score;
        r.integrity = integrity;
        const VerificationReport report = verify_record(solved(r), "ACGT", "AGT");
        std::vector<std::string> expected = identity_checks;
        if (integrity)
            expected.push_back("integrity_fingerprint");
        expected.push_back("trace_present");
        EXPECT_EQ(check_names(report.verification.checks), expected);
        EXPECT_EQ(report.verification.checks.back(),
                  (CheckResult{.name = "trace_present",
                               .passed = false,
                               .detail = "verification requires a traceback"}));
        EXPECT_EQ(report.verification.status, VerificationStatus::invalid);
        EXPECT_FALSE(report.verification.reference_backend.has_value());
    }
}

struct TamperCase {
    std::string name;
    std::function<void(AlignmentRecord&)> tamper;
    std::vector<std::string> failed;
    std::string first_detail;
};

// A solved record changed in one place fails the check that guards that place.
TEST(Verify, TamperedRecordsAreInvalid) {
    const std::string query = "ACGTTACGGATCCA";
    const std::string target = "ACGTACGGTATCA";
    const auto trace_of = [](AlignmentRecord& r) -> TraceRecord& { return *r.alignment.trace; };
    const auto first_run = [&](AlignmentRecord& r, CigarRun run) {
        std::vector<CigarRun> runs = trace_of(r).cigar.runs();
        runs.front() = run;
        trace_of(r).cigar = Cigar::make(runs).value();
    };
    const std::vector<TamperCase> cases = {
        {"objective up by one",
         [](AlignmentRecord& r) { ++r.alignment.objective.value; },
         {"integrity_fingerprint", "realized_objective"},
         ""},
        {"objective down by one",
         [](AlignmentRecord& r) { --r.alignment.objective.value; },
         {"integrity_fingerprint", "realized_objective"},
         ""},
        {"objective kind",
         [](AlignmentRecord& r) { r.alignment.objective.kind = ObjectiveKind::distance; },
         {"objective_kind", "integrity_fingerprint", "realized_objective"},
         "mode global-affine requires objective kind Score"},
        {"match run turned into mismatch run",
         [&](AlignmentRecord& r) { first_run(r, CigarRun{.length = 3, .op = CigarOp::mismatch}); },
         {"integrity_fingerprint", "operations_match_cigar", "realized_objective"},
         ""},
        {"first run one longer",
         [&](AlignmentRecord& r) { first_run(r, CigarRun{.length = 4, .op = CigarOp::match}); },
         {"integrity_fingerprint", "query_cigar_consumption", "target_cigar_consumption"},
         ""},
        {"query digest in upper case",
         [](AlignmentRecord& r) {
             for (char& c : r.pair.query.sha256)
                 c = static_cast<char>(std::toupper(c));
         },
         {"query_sha256", "integrity_fingerprint"},
         "query digest does not match source"},
        {"target digest",
         [](AlignmentRecord& r) { r.pair.target.sha256 = sha256_hex("ACGT"); },
         {"target_sha256", "integrity_fingerprint"},
         "target digest does not match source"},
        {"query length",
         [](AlignmentRecord& r) { r.pair.query.length = 15; },
         {"query_length", "integrity_fingerprint"},
         "record has 15, source has 14"},
        {"query span starts at 1",
         [&](AlignmentRecord& r) { trace_of(r).query_span.start = 1; },
         {"integrity_fingerprint", "query_cigar_consumption", "global_query_span"},
         ""},
        {"target span past the source",
         [&](AlignmentRecord& r) { trace_of(r).target_span.end = 14; },
         {"integrity_fingerprint", "target_span_bounds", "target_cigar_consumption",
          "global_target_span"},
         ""},
        {"fingerprint digit",
         [](AlignmentRecord& r) {
             char& c = r.integrity->deterministic_fields_sha256[10];
             c = c == '0' ? '1' : '0';
         },
         {"integrity_fingerprint"},
         "deterministic record fields do not match the integrity fingerprint"},
        {"fingerprint version",
         [](AlignmentRecord& r) { r.integrity->version = "rux-align.integrity.v0"; },
         {"integrity_fingerprint"},
         "unsupported integrity fingerprint version 'rux-align.integrity.v0'"},
        {"producer counts through the fingerprint",
         [](AlignmentRecord& r) { r.producer.backend = "rux"; },
         {"integrity_fingerprint"},
         "deterministic record fields do not match the integrity fingerprint"},
        {"schema version",
         [](AlignmentRecord& r) { r.schema_version = "rux-align.v1"; },
         {"schema_version", "integrity_fingerprint"},
         "expected rux-align.v2, found rux-align.v1"},
        {"record type",
         [](AlignmentRecord& r) { r.record_type = "verification"; },
         {"record_type"},
         "expected alignment, found verification"},
    };
    SolveRequest r = request_for(affine_problem(), query, target);
    r.operations = true;
    r.integrity = true;
    r.cross_check = true;
    const AlignmentRecord original = solved(r);
    ASSERT_EQ(original.alignment.trace->cigar.runs().front(),
              (CigarRun{.length = 3, .op = CigarOp::match}));
    ASSERT_EQ(verify_record(original, query, target).verification.status,
              VerificationStatus::verified);
    for (const TamperCase& c : cases) {
        SCOPED_TRACE(c.name);
        AlignmentRecord record = original;
        c.tamper(record);
        const VerificationReport report = verify_record(record, query, target);
        EXPECT_EQ(failed_names(report.verification.checks), c.failed);
        EXPECT_EQ(report.verification.status, VerificationStatus::invalid);
        EXPECT_FALSE(report.verification.reference_backend.has_value());
        EXPECT_EQ(find_check(report, "reference_optimum"), nullptr);
        if (!c.first_detail.empty()) {
            const CheckResult* first = find_check(report, c.failed.front());
            ASSERT_NE(first, nullptr);
            EXPECT_EQ(first->detail, c.first_detail);
        }
    }
}

TEST(Verify, RealizedObjectiveDetails) {
    const ProblemSpec linear = linear_problem(AlignmentMode::global_linear);
    {
        // Off by one: the rescore names both values.
        const AlignmentRecord record =
            hand_record(linear, "ACGT", "ACT", "2=1I1=", {0, 4}, {0, 3}, score(5));
        const VerificationReport report = verify_record(record, "ACGT", "ACT");
        EXPECT_EQ(find_check(report, "realized_objective")->detail,
                  "trace realizes 4, record claims 5");
    }
    {
        // "=" over two different bytes; the operation list follows the CIGAR and still matches.
        AlignmentRecord record = hand_record(linear, "AC", "AG", "2=", {0, 2}, {0, 2}, score(4));
        record.alignment.trace->operations =
            std::vector<AlignmentStep>{{.op = AlignmentOpKind::match,
                                        .query_pos = 0,
                                        .target_pos = 0,
                                        .query_base = U'A',
                                        .target_base = U'A'},
                                       {.op = AlignmentOpKind::match,
                                        .query_pos = 1,
                                        .target_pos = 1,
                                        .query_base = U'C',
                                        .target_base = U'G'}};
        const VerificationReport report = verify_record(record, "AC", "AG");
        EXPECT_EQ(failed_names(report.verification.checks),
                  (std::vector<std::string>{"realized_objective"}));
        EXPECT_EQ(find_check(report, "realized_objective")->detail,
                  "CIGAR = disagrees with bases at query 1, target 1");
        ASSERT_NE(find_check(report, "operations_match_cigar"), nullptr);
        EXPECT_TRUE(find_check(report, "operations_match_cigar")->passed);
    }
    {
        // "X" over equal bytes.
        const AlignmentRecord record =
            hand_record(linear, "GA", "GA", "1=1X", {0, 2}, {0, 2}, score(-1));
        EXPECT_EQ(find_check(verify_record(record, "GA", "GA"), "realized_objective")->detail,
                  "CIGAR X disagrees with bases at query 1, target 1");
    }
    {
        // Distance values that agree still fail on the kind.
        const AlignmentRecord record =
            hand_record(edit_problem(), "ACGT", "ACT", "2=1I1=", {0, 4}, {0, 3}, score(1));
        const VerificationReport report = verify_record(record, "ACGT", "ACT");
        EXPECT_EQ(failed_names(report.verification.checks),
                  (std::vector<std::string>{"objective_kind", "realized_objective"}));
        EXPECT_EQ(find_check(report, "objective_kind")->detail,
                  "mode edit-distance requires objective kind Distance");
        EXPECT_EQ(find_check(report, "realized_objective")->detail,
                  "trace realizes 1, record claims 1");
    }
    {
        // Operations that disagree with the CIGAR.
        SolveRequest r = request_for(affine_problem(), "ACGTA", "ACTA");
        r.operations = true;
        AlignmentRecord record = solved(r);
        record.alignment.trace->operations->back().target_base = U'C';
        const VerificationReport report = verify_record(record, "ACGTA", "ACTA");
        EXPECT_EQ(failed_names(report.verification.checks),
                  (std::vector<std::string>{"operations_match_cigar"}));
        EXPECT_EQ(find_check(report, "operations_match_cigar")->detail,
                  "expanded operations disagree with CIGAR, coordinates, or sequence bases");
    }
}

TEST(Verify, GlobalSpanFailureSkipsTheCostlyChecks) {
    const AlignmentRecord record = hand_record(linear_problem(AlignmentMode::global_linear), "ACGT",
                                               "CGT", "3=", {1, 4}, {0, 3}, score(6));
    const VerificationReport report = verify_record(record, "ACGT", "CGT");
    EXPECT_EQ(failed_names(report.verification.checks),
              (std::vector<std::string>{"global_query_span"}));
    EXPECT_EQ(find_check(report, "global_query_span")->detail,
              "global mode must consume the full query");
    EXPECT_EQ(report.verification.checks.back().name, "global_target_span");
    EXPECT_EQ(report.verification.status, VerificationStatus::invalid);
    // The same alignment is a valid local and semiglobal-breaking one.
    AlignmentRecord semiglobal = record;
    semiglobal.problem.mode = AlignmentMode::semiglobal_linear;
    const VerificationReport semi = verify_record(semiglobal, "ACGT", "CGT");
    EXPECT_EQ(failed_names(semi.verification.checks),
              (std::vector<std::string>{"semiglobal_query_span"}));
    EXPECT_EQ(find_check(semi, "semiglobal_query_span")->detail,
              "semi-global mode must consume the full query");
    AlignmentRecord local = record;
    local.problem.mode = AlignmentMode::local_linear;
    EXPECT_EQ(verify_record(local, "ACGT", "CGT").verification.status,
              VerificationStatus::verified);
}

TEST(Verify, SpanAndConsumptionDetails) {
    const AlignmentRecord record = hand_record(linear_problem(AlignmentMode::local_linear), "ACGT",
                                               "CGT", "3=", {3, 2}, {0, 5}, score(6));
    const VerificationReport report = verify_record(record, "ACGT", "CGT");
    EXPECT_EQ(failed_names(report.verification.checks),
              (std::vector<std::string>{"query_span_bounds", "target_span_bounds",
                                        "query_cigar_consumption", "target_cigar_consumption"}));
    EXPECT_EQ(find_check(report, "query_span_bounds")->detail,
              "query span is outside source sequence");
    EXPECT_EQ(find_check(report, "target_span_bounds")->detail,
              "target span is outside source sequence");
    EXPECT_EQ(find_check(report, "query_cigar_consumption")->detail,
              "CIGAR consumes 3, span covers 0");
    EXPECT_EQ(find_check(report, "target_cigar_consumption")->detail,
              "CIGAR consumes 3, span covers 5");
}

TEST(Verify, CellLimitAtLevelOptimal) {
    const std::string query = "ACGTACGTAC";
    const std::string target = "ACGTTCGTAC";
    const AlignmentRecord record = solved(request_for(edit_problem(), query, target));
    const VerificationReport limited =
        verify_record(record, query, target, VerificationLevel::optimal, 100);
    EXPECT_EQ(limited.verification.status, VerificationStatus::inconclusive);
    EXPECT_EQ(limited.verification.reason,
              "exact optimality requires 121 cells, exceeding --max-cells 100");
    EXPECT_FALSE(limited.verification.reference_backend.has_value());
    EXPECT_EQ(find_check(limited, "reference_optimum"), nullptr);
    for (const std::uint64_t max_cells : {std::uint64_t{121}, std::uint64_t{0}}) {
        const VerificationReport report =
            verify_record(record, query, target, VerificationLevel::optimal, max_cells);
        EXPECT_EQ(report.verification.status, VerificationStatus::verified);
        EXPECT_EQ(report.verification.checks.back().name, "reference_optimum");
    }
    // Only level optimal looks at the limit.
    EXPECT_EQ(verify_record(record, query, target, VerificationLevel::score, 1).verification.status,
              VerificationStatus::verified);
}

TEST(Verify, SuboptimalRecordFailsTheReference) {
    const AlignmentRecord record = hand_record(linear_problem(AlignmentMode::global_linear), "ACGT",
                                               "ACGT", "4I4D", {0, 4}, {0, 4}, score(-16));
    const VerificationReport report = verify_record(record, "ACGT", "ACGT");
    EXPECT_EQ(failed_names(report.verification.checks),
              (std::vector<std::string>{"reference_optimum"}));
    EXPECT_EQ(report.verification.checks.back().detail, "record objective -16, exact reference 8");
    EXPECT_EQ(report.verification.status, VerificationStatus::invalid);
    EXPECT_EQ(report.verification.reference_backend, "baseline-rolling-v1");
    // Below level optimal the same record passes.
    EXPECT_EQ(verify_record(record, "ACGT", "ACGT", VerificationLevel::score).verification.status,
              VerificationStatus::verified);
}

// A reference that cannot be computed exactly is an "error" status, not a verdict.
TEST(Verify, ReferenceOutOfRangeIsAnError) {
    const AlignmentRecord record =
        hand_record(linear_problem(AlignmentMode::global_linear, 1 << 27), "A", "A", "1=", {0, 1},
                    {0, 1}, score(1 << 27));
    const VerificationReport report = verify_record(record, "A", "A");
    EXPECT_TRUE(failed_names(report.verification.checks).empty());
    EXPECT_EQ(report.verification.status, VerificationStatus::error);
    EXPECT_EQ(report.verification.reason,
              "alignment scores of this pair could exceed the exact 32-bit kernel range; use "
              "smaller scoring values");
    EXPECT_EQ(report.verification.reference_backend, "baseline-rolling-v1");
}

// The rescore works in 64 bits: a penalty of INT32_MIN costs +2^31, not a wrapped score.
TEST(Verify, RescoreNegatesTheLargestPenaltyExactly) {
    const AlignmentRecord record = hand_record(
        linear_problem(AlignmentMode::global_linear, 0, std::numeric_limits<std::int32_t>::min()),
        "A", "C", "1X", {0, 1}, {0, 1}, score(std::int64_t{1} << 31));
    const VerificationReport report = verify_record(record, "A", "C", VerificationLevel::score);
    EXPECT_EQ(report.verification.status, VerificationStatus::verified);
}

// A source symbol outside the matrix stops the rescore with the membership text.
TEST(Verify, MatrixSymbolInsideARunStopsTheRescore) {
    const ProblemSpec blosum = blosum_problem(AlignmentMode::global_linear);
    struct Case {
        std::string query, target, cigar, detail;
    };
    const std::vector<Case> cases = {
        {"AJ", "AJ", "2=", "substitution matrix 'BLOSUM62' does not contain symbol 'J'"},
        {"AW", "A1", "1=1X", "substitution matrix 'BLOSUM62' does not contain symbol '1'"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.cigar);
        const AlignmentRecord record =
            hand_record(blosum, c.query, c.target, c.cigar, {0, 2}, {0, 2}, score(0));
        const VerificationReport report = verify_record(record, c.query, c.target);
        EXPECT_EQ(failed_names(report.verification.checks),
                  (std::vector<std::string>{"problem_semantics", "realized_objective"}));
        EXPECT_EQ(find_check(report, "problem_semantics")->detail,
                  (c.query == c.target ? "query: " : "target: ") + c.detail);
        EXPECT_EQ(find_check(report, "realized_objective")->detail, c.detail);
        EXPECT_EQ(report.verification.status, VerificationStatus::invalid);
    }
}

TEST(Verify, ProblemSemanticsDetail) {
    AlignmentRecord record =
        hand_record(affine_problem(), "AC", "AC", "2=", {0, 2}, {0, 2}, score(4));
    record.problem.mode = AlignmentMode::local_linear;
    const VerificationReport report =
        verify_record(record, "AC", "AC", VerificationLevel::structure);
    EXPECT_EQ(failed_names(report.verification.checks),
              (std::vector<std::string>{"problem_semantics"}));
    EXPECT_EQ(find_check(report, "problem_semantics")->detail,
              "scoring model 'affine' is incompatible with mode local-linear");
}

// Solve then verify: every mode, backend and several block sizes, on random pairs.
TEST(Verify, SolvedRecordsVerifyAtLevelOptimal) {
    std::mt19937_64 rng(424242);
    const std::optional<std::uint64_t> block_sizes[] = {std::nullopt, 1, 2, 3, 8, 64};
    for (const ProblemSpec& problem : every_mode()) {
        for (const std::string& backend : alignment_backends(problem.mode)) {
            for (const auto& block_size : block_sizes) {
                for (int round = 0; round < 6; ++round) {
                    auto [query, target] = random_pair(rng, round == 0 ? 150 : 40);
                    SolveRequest r = request_for(problem, query, target);
                    r.backend = backend;
                    r.block_size = block_size;
                    r.band = backend == "banded-affine" ? 1000 : rng() % 70;
                    r.operations = rng() % 2 == 0;
                    r.integrity = rng() % 2 == 0;
                    r.cross_check = rng() % 2 == 0;
                    SCOPED_TRACE(std::string(mode_name(problem.mode)) + " " + backend + " block "
                                 + std::to_string(block_size.value_or(0)) + " "
                                 + pair_text(query, target));
                    const AlignmentRecord record = solved(r);
                    EXPECT_EQ(record.verification.status, VerificationStatus::verified);
                    const VerificationReport report = verify_record(record, query, target);
                    EXPECT_EQ(report.verification.status, VerificationStatus::verified)
                        << testing::PrintToString(failed_names(report.verification.checks));
                }
            }
        }
    }
}

}  // namespace
}  // namespace rux_dp
