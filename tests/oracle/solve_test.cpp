#include "rux_dp/oracle/solve.hpp"

#include "rux_dp/base/invariant.hpp"
#include "rux_dp/oracle/integrity.hpp"
#include "rux_dp/oracle/traceback.hpp"
#include "rux_dp/oracle/verify.hpp"

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

constexpr std::string_view out_of_range =
    "alignment scores of this pair could exceed the exact 32-bit kernel range; use smaller "
    "scoring values";

struct FailureCase {
    std::string name;
    std::function<SolveRequest()> request;
    std::string message;
};

SolveRequest with_backend(ProblemSpec problem, SolveScope scope, std::string backend,
                          std::string query = "ACGT", std::string target = "AGT") {
    SolveRequest r = request_for(std::move(problem), std::move(query), std::move(target));
    r.scope = scope;
    r.backend = std::move(backend);
    return r;
}

ProblemSpec matrix_problem(std::vector<std::string> alphabet,
                           std::vector<std::vector<std::int32_t>> scores) {
    return ProblemSpec{
        .mode = AlignmentMode::global_linear,
        .scoring = LinearScoring{.substitution = MatrixScheme{.name = "custom",
                                                              .alphabet = std::move(alphabet),
                                                              .scores = std::move(scores),
                                                              .source_sha256 = std::nullopt},
                                 .gap = -1}};
}

TEST(Solve, PolicyFailuresInCheckOrder) {
    const auto alignment = SolveScope::alignment;
    const auto score = SolveScope::score;
    const std::vector<FailureCase> cases = {
        {"edit-distance rejects rux",
         [&] { return with_backend(edit_problem(), alignment, "rux"); },
         "backend 'rux' is not supported for edit-distance with scope Alignment; choose auto, "
         "adaptive-banded"},
        {"score scope allows only auto",
         [&] { return with_backend(affine_problem(), score, "banded-affine"); },
         "backend 'banded-affine' is not supported for global-affine with scope Score; choose "
         "auto"},
        {"score scope edit-distance",
         [&] { return with_backend(edit_problem(), score, "adaptive-banded"); },
         "backend 'adaptive-banded' is not supported for edit-distance with scope Score; choose "
         "auto"},
        {"backends are case-sensitive",
         [&] {
             return with_backend(linear_problem(AlignmentMode::global_linear), alignment, "Auto");
         },
         "backend 'Auto' is not supported for global-linear with scope Alignment; choose auto, "
         "rux"},
        {"local-linear has no banded backend",
         [&] {
             return with_backend(linear_problem(AlignmentMode::local_linear), alignment,
                                 "banded-affine");
         },
         "backend 'banded-affine' is not supported for local-linear with scope Alignment; choose "
         "auto, rux"},
        {"semiglobal-linear",
         [&] {
             return with_backend(linear_problem(AlignmentMode::semiglobal_linear), alignment,
                                 "adaptive-banded");
         },
         "backend 'adaptive-banded' is not supported for semiglobal-linear with scope Alignment; "
         "choose auto, rux"},
        {"producer names are not requests",
         [&] { return with_backend(affine_problem(), alignment, "rux-linear"); },
         "backend 'rux-linear' is not supported for global-affine with scope Alignment; choose "
         "auto, rux, banded-affine"},
        {"affine scoring in a linear mode",
         [&] {
             SolveRequest r = request_for(affine_problem(), "AC", "AC");
             r.problem.mode = AlignmentMode::global_linear;
             return r;
         },
         "scoring model 'affine' is incompatible with mode global-linear"},
        {"linear scoring for edit distance",
         [&] {
             SolveRequest r = request_for(linear_problem(AlignmentMode::local_linear), "AC", "AC");
             r.problem.mode = AlignmentMode::edit_distance;
             return r;
         },
         "scoring model 'linear' is incompatible with mode edit-distance"},
        {"edit scoring for global-affine",
         [&] {
             SolveRequest r = request_for(edit_problem(), "AC", "AC");
             r.problem.mode = AlignmentMode::global_affine;
             return r;
         },
         "scoring model 'edit-distance' is incompatible with mode global-affine"},
        {"query symbol outside BLOSUM62",
         [&] { return request_for(blosum_problem(AlignmentMode::global_linear), "ACJ", "ACW"); },
         "query: substitution matrix 'BLOSUM62' does not contain symbol 'J'"},
        {"target symbol outside BLOSUM62 shown as ?",
         [&] { return request_for(blosum_problem(AlignmentMode::local_linear), "ACW", "A C"); },
         "target: substitution matrix 'BLOSUM62' does not contain symbol '?'"},
        {"query checked before target",
         [&] { return request_for(blosum_problem(AlignmentMode::local_linear), "O", "U"); },
         "query: substitution matrix 'BLOSUM62' does not contain symbol 'O'"},
        {"compatibility before sequences before backend",
         [&] {
             SolveRequest r = with_backend(blosum_problem(AlignmentMode::global_linear), alignment,
                                           "nope", "J", "J");
             r.problem.mode = AlignmentMode::global_affine;
             return r;
         },
         "scoring model 'linear' is incompatible with mode global-affine"},
        {"sequences before backend",
         [&] {
             return with_backend(blosum_problem(AlignmentMode::global_linear), alignment, "nope",
                                 "J", "A");
         },
         "query: substitution matrix 'BLOSUM62' does not contain symbol 'J'"},
        {"matrix symbol of two letters",
         [&] {
             SolveRequest r = request_for(matrix_problem({"A", "CG"}, {{1, 0}, {0, 1}}), "A", "A");
             return r;
         },
         "matrix alphabet symbol 'CG' must be one ASCII character"},
        {"non-ASCII matrix symbol",
         [&] { return request_for(matrix_problem({"\xc3\xa9"}, {{1}}), "A", "A"); },
         "matrix alphabet symbol '\xc3\xa9' must be one ASCII character"},
        {"duplicate matrix symbol after upper-casing",
         [&] {
             return request_for(matrix_problem({"A", "a"}, {{1, 0}, {0, 1}}), "A", "A");
         },
         "duplicate substitution matrix symbol 'A'"},
        {"matrix with a row too many",
         [&] {
             return request_for(matrix_problem({"A", "C"}, {{1, 0}, {0, 1}, {0, 0}}), "A", "A");
         },
         "substitution matrix must have one row per alphabet symbol"},
        {"matrix not square",
         [&] {
             return request_for(matrix_problem({"A", "C"}, {{1, 0, 0}, {0, 1}}), "A", "A");
         },
         "substitution matrix must be square"},
        {"banded-affine outside its band",
         [&] {
             SolveRequest r =
                 with_backend(affine_problem(), alignment, "banded-affine", "ACGTACGTAC", "AC");
             r.band = 3;
             return r;
         },
         "banded-affine did not find an optimum inside band 3; use --backend auto or increase "
         "--band"},
        {"scores beyond the exact kernel range",
         [&] {
             return request_for(linear_problem(AlignmentMode::global_linear, 1 << 27), "A", "A");
         },
         std::string(out_of_range)},
        {"affine range counts open and extend",
         [&] { return request_for(affine_problem(-(1 << 26), -(1 << 26)), "AC", "AC"); },
         std::string(out_of_range)},
    };
    for (const FailureCase& c : cases) {
        SCOPED_TRACE(c.name);
        const Result<AlignmentRecord> record = solve(c.request());
        ASSERT_FALSE(record.has_value());
        EXPECT_EQ(record.error(), c.message);
    }
}

TEST(Solve, LowerCaseProteinIsAcceptedByBlosum62) {
    const auto record =
        solve(request_for(blosum_problem(AlignmentMode::global_linear), "acw", "ACW"));
    ASSERT_TRUE(record.has_value()) << record.error();
    EXPECT_EQ(record->alignment.objective, (Objective{.kind = ObjectiveKind::score, .value = 24}));
    EXPECT_EQ(record->verification.status, VerificationStatus::verified);
}

TEST(Solve, EmptyEditDistanceInScopeScore) {
    SolveRequest r = request_for(edit_problem(), "", "");
    r.scope = SolveScope::score;
    const auto record = solve(r);
    ASSERT_TRUE(record.has_value()) << record.error();
    EXPECT_EQ(record->alignment.objective,
              (Objective{.kind = ObjectiveKind::distance, .value = 0}));
    EXPECT_FALSE(record->alignment.trace.has_value());
    EXPECT_EQ(record->producer.backend, "myers");
    EXPECT_EQ(record->verification.checks,
              (std::vector<CheckResult>{
                  {.name = "objective_computed", .passed = true, .detail = std::nullopt}}));
    EXPECT_EQ(record->verification.level, VerificationLevel::structure);
    EXPECT_EQ(record->verification.status, VerificationStatus::verified);
    EXPECT_FALSE(record->verification.reference_backend.has_value());
    EXPECT_FALSE(record->verification.reason.has_value());
    ASSERT_TRUE(record->metrics.has_value());
    EXPECT_EQ(record->metrics->work_cells, 1u);
    EXPECT_FALSE(record->integrity.has_value());
}

TEST(Solve, RecordCarriesIdentityProblemAndProducer) {
    SolveRequest r = request_for(linear_problem(AlignmentMode::global_linear), "abc", "");
    r.problem = linear_problem(AlignmentMode::global_linear);
    r.pair_index = 7;
    r.query_id = "read/1";
    r.target_id = "ref";
    const auto record = solve(r);
    ASSERT_TRUE(record.has_value()) << record.error();
    EXPECT_EQ(record->schema_version, "rux-align.v2");
    EXPECT_EQ(record->record_type, "alignment");
    EXPECT_EQ(record->producer.name, "rux-align");
    EXPECT_EQ(record->producer.version, "0.2.0-alpha.2");
    EXPECT_EQ(record->producer.backend, "rux");
    EXPECT_EQ(
        record->pair,
        (PairIdentity{
            .index = 7,
            .query = {.id = "read/1",
                      .length = 3,
                      .sha256 = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
            .target = {.id = "ref",
                       .length = 0,
                       .sha256 = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b78"
                                 "52b855"}}));
    EXPECT_EQ(record->pair, pair_identity(7, "read/1", "ref", "abc", ""));
    EXPECT_EQ(record->problem, linear_problem(AlignmentMode::global_linear));
    EXPECT_EQ(record->alignment.objective.value, -6);
    ASSERT_TRUE(record->metrics.has_value());
    EXPECT_EQ(record->metrics->work_cells, 4u);
    EXPECT_GE(record->metrics->elapsed_ms, 0.0);
}

struct LevelCase {
    ProblemSpec problem;
    SolveScope scope;
    bool cross_check;
    VerificationLevel level;
    std::vector<std::string> checks;
    bool has_trace;
};

TEST(Solve, LevelsAndChecksByScopeAndCrossCheck) {
    const auto alignment = SolveScope::alignment;
    const auto score = SolveScope::score;
    const auto linear = linear_problem(AlignmentMode::semiglobal_linear);
    const std::vector<LevelCase> cases = {
        {linear, alignment, false, VerificationLevel::score, {"path_rescore"}, true},
        {linear,
         alignment,
         true,
         VerificationLevel::optimal,
         {"path_rescore", "reference_optimum"},
         true},
        {linear, score, false, VerificationLevel::structure, {"backend_result_rescore"}, false},
        {linear,
         score,
         true,
         VerificationLevel::optimal,
         {"backend_result_rescore", "reference_optimum"},
         false},
        {affine_problem(),
         score,
         false,
         VerificationLevel::structure,
         {"backend_result_rescore"},
         false},
        {edit_problem(),
         score,
         true,
         VerificationLevel::optimal,
         {"objective_computed", "reference_optimum"},
         false},
        {edit_problem(), alignment, false, VerificationLevel::score, {"path_rescore"}, true},
    };
    for (const LevelCase& c : cases) {
        SCOPED_TRACE(std::string(mode_name(c.problem.mode)) + " scope "
                     + std::string(scope_message_name(c.scope)) + " cross-check "
                     + std::to_string(c.cross_check));
        SolveRequest r = request_for(c.problem, "ACGTTGCA", "ACGTGCA");
        r.scope = c.scope;
        r.cross_check = c.cross_check;
        const auto record = solve(r);
        ASSERT_TRUE(record.has_value()) << record.error();
        EXPECT_EQ(record->verification.level, c.level);
        EXPECT_EQ(check_names(record->verification.checks), c.checks);
        EXPECT_TRUE(failed_names(record->verification.checks).empty());
        EXPECT_EQ(record->verification.status, VerificationStatus::verified);
        EXPECT_EQ(record->verification.reference_backend,
                  c.cross_check ? std::optional<std::string>("baseline-rolling-v1") : std::nullopt);
        EXPECT_EQ(record->alignment.trace.has_value(), c.has_trace);
    }
}

struct BackendCase {
    ProblemSpec problem;
    SolveScope scope;
    std::string requested;
    std::string produced;
};

TEST(Solve, ProducerBackends) {
    const auto alignment = SolveScope::alignment;
    const auto score = SolveScope::score;
    const std::vector<BackendCase> cases = {
        {edit_problem(), score, "auto", "myers"},
        {edit_problem(), alignment, "auto", "adaptive-banded"},
        {edit_problem(), alignment, "adaptive-banded", "adaptive-banded"},
        {linear_problem(AlignmentMode::global_linear), alignment, "auto", "rux"},
        {linear_problem(AlignmentMode::local_linear), alignment, "rux", "rux"},
        {linear_problem(AlignmentMode::semiglobal_linear), score, "auto", "rux"},
        {affine_problem(), alignment, "auto", "banded-affine"},
        {affine_problem(), score, "auto", "banded-affine"},
        {affine_problem(), alignment, "rux", "rux"},
        {affine_problem(), alignment, "banded-affine", "banded-affine"},
    };
    for (const BackendCase& c : cases) {
        SCOPED_TRACE(std::string(mode_name(c.problem.mode)) + " " + c.requested);
        SolveRequest r = request_for(c.problem, "ACGTACGGTACCA", "ACGTACGTACCA");
        r.scope = c.scope;
        r.backend = c.requested;
        const auto record = solve(r);
        ASSERT_TRUE(record.has_value()) << record.error();
        EXPECT_EQ(record->producer.backend, c.produced);
    }
}

TEST(Solve, OperationsOnlyWhenAsked) {
    for (const bool operations : {false, true}) {
        SolveRequest r = request_for(affine_problem(), "ACGTTACGA", "ACTTACCGAT");
        r.operations = operations;
        const auto record = solve(r);
        ASSERT_TRUE(record.has_value()) << record.error();
        ASSERT_TRUE(record->alignment.trace.has_value());
        const TraceRecord& trace = *record->alignment.trace;
        ASSERT_EQ(trace.operations.has_value(), operations);
        if (!operations)
            continue;
        std::uint64_t columns = 0;
        for (const CigarRun& run : trace.cigar.runs())
            columns += run.length;
        EXPECT_EQ(trace.operations->size(), columns);
    }
}

TEST(Solve, IntegrityFingerprintMatchesTheRecord) {
    SolveRequest r = request_for(linear_problem(AlignmentMode::local_linear), "TTACGT", "ACGTAA");
    r.integrity = true;
    r.cross_check = true;
    const auto record = solve(r);
    ASSERT_TRUE(record.has_value()) << record.error();
    ASSERT_TRUE(record->integrity.has_value());
    EXPECT_EQ(record->integrity, integrity_for(*record).value());
    EXPECT_EQ(verify_integrity(*record), Result<bool>(true));
}

TEST(Solve, BlockSizeZeroIsAnInvariantViolation) {
    SolveRequest r = request_for(linear_problem(AlignmentMode::global_linear), "ACGT", "ACGT");
    r.block_size = 0;
    try {
        (void)solve(r);
        ADD_FAILURE() << "expected an invariant violation";
    } catch (const InvariantViolation& e) {
        EXPECT_STREQ(e.what(), "block size must be positive");
    }
}

TEST(Solve, WorkCellsSaturate) {
    EXPECT_EQ(work_cells(std::uint64_t{1} << 32, std::uint64_t{1} << 32),
              std::numeric_limits<std::uint64_t>::max());
    EXPECT_EQ(work_cells(0, 0), 1u);
    EXPECT_EQ(work_cells(9, 10), 110u);
}

// The bar: with default options every mode yields the exact optimum, and its record verifies.
TEST(Solve, DefaultOptionsGiveTheExactOptimum) {
    std::mt19937_64 rng(20261211);
    for (const ProblemSpec& problem : every_mode()) {
        for (int round = 0; round < 60; ++round) {
            const std::size_t max_length = round < 56 ? 60 : 400;
            const auto [query, target] = random_pair(rng, max_length);
            SCOPED_TRACE(std::string(mode_name(problem.mode)) + " round " + std::to_string(round)
                         + " " + pair_text(query, target));
            const auto record = solve(request_for(problem, query, target));
            ASSERT_TRUE(record.has_value()) << record.error();
            const auto reference = reference_objective(problem, query, target);
            ASSERT_TRUE(reference.has_value()) << reference.error();
            EXPECT_EQ(record->alignment.objective, *reference);
            EXPECT_EQ(record->verification.status, VerificationStatus::verified);
            const VerificationReport report = verify_record(*record, query, target);
            EXPECT_EQ(report.verification.status, VerificationStatus::verified)
                << testing::PrintToString(failed_names(report.verification.checks));
        }
    }
}

}  // namespace
}  // namespace rux_dp
