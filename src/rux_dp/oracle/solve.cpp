#include "rux_dp/oracle/solve.hpp"

#include <array>
#include <chrono>
#include <span>
#include <utility>

#include "rux_dp/base/version.hpp"
#include "rux_dp/oracle/integrity.hpp"
#include "rux_dp/oracle/scheme.hpp"
#include "rux_dp/oracle/traceback.hpp"
#include "rux_dp/oracle/verify.hpp"
#include "rux_dp/problems/edit_distance.hpp"

namespace rux_dp {

namespace {

Result<void> check_backend(const SolveRequest& request) {
    const auto allowed = allowed_backends(request.scope, request.problem.mode);
    for (const std::string_view name : allowed) {
        if (name == request.backend) return {};
    }
    std::string choices;
    for (const std::string_view name : allowed) {
        if (!choices.empty()) choices += ", ";
        choices += name;
    }
    return std::unexpected("backend '" + request.backend + "' is not supported for " +
                           std::string(mode_name(request.problem.mode)) + " with scope " +
                           std::string(scope_message_name(request.scope)) + "; choose " + choices);
}

}  // namespace

std::span<const std::string_view> allowed_backends(SolveScope scope, AlignmentMode mode) {
    static constexpr std::array<std::string_view, 1> score_only{"auto"};
    static constexpr std::array<std::string_view, 2> edit{"auto", "adaptive-banded"};
    static constexpr std::array<std::string_view, 2> linear{"auto", "rux"};
    static constexpr std::array<std::string_view, 3> affine{"auto", "rux", "banded-affine"};
    if (scope == SolveScope::score) return score_only;
    switch (mode) {
        case AlignmentMode::edit_distance:
            return edit;
        case AlignmentMode::global_affine:
            return affine;
        default:
            return linear;
    }
}

Result<void> check_scoring_fits(const ProblemSpec& problem) {
    if (scoring_fits_mode(problem.mode, problem.scoring)) return {};
    return std::unexpected("scoring model '" + std::string(scoring_kind_name(problem.scoring)) +
                           "' is incompatible with mode " + std::string(mode_name(problem.mode)));
}

Result<void> validate_sequences(const ProblemSpec& problem, std::string_view query,
                                std::string_view target) {
    const SubstitutionScheme* scheme = nullptr;
    if (const auto* linear = std::get_if<LinearScoring>(&problem.scoring)) {
        scheme = &linear->substitution;
    } else if (const auto* affine = std::get_if<AffineScoring>(&problem.scoring)) {
        scheme = &affine->substitution;
    }
    if (scheme == nullptr) return {};
    auto scoring = substitution_internal(*scheme);
    if (!scoring) return std::unexpected(std::move(scoring).error());
    if (const auto missing = scoring->first_missing(query))
        return std::unexpected("query: " + missing->text());
    if (const auto missing = scoring->first_missing(target))
        return std::unexpected("target: " + missing->text());
    return {};
}

PairIdentity pair_identity(std::uint64_t index, std::string_view query_id,
                           std::string_view target_id, std::string_view query,
                           std::string_view target) {
    return PairIdentity{
        .index = index,
        .query = SequenceIdentity{.id = std::string(query_id),
                                  .length = query.size(),
                                  .sha256 = sha256_hex(query)},
        .target = SequenceIdentity{.id = std::string(target_id),
                                   .length = target.size(),
                                   .sha256 = sha256_hex(target)},
    };
}

Result<AlignmentRecord> solve(SolveRequest request) {
    if (auto fits = check_scoring_fits(request.problem); !fits)
        return std::unexpected(std::move(fits).error());
    if (auto valid = validate_sequences(request.problem, request.query, request.target); !valid)
        return std::unexpected(std::move(valid).error());
    if (auto backend = check_backend(request); !backend)
        return std::unexpected(std::move(backend).error());

    const auto started = std::chrono::steady_clock::now();
    const std::uint64_t cells = work_cells(request.query.size(), request.target.size());

    std::vector<CheckResult> checks;
    std::string backend;
    Objective objective;
    std::optional<TraceRecord> trace;
    if (request.scope == SolveScope::score
        && request.problem.mode == AlignmentMode::edit_distance) {
        objective = Objective{.kind = ObjectiveKind::distance,
                              .value = distance_myers(request.query, request.target)};
        backend = "myers";
        add_check(checks, "objective_computed", true);
    } else {
        auto traced = solve_trace(request);
        if (!traced) return std::unexpected(std::move(traced).error());
        backend = std::move(traced->backend);
        objective = traced->objective;
        const bool alignment_scope = request.scope == SolveScope::alignment;
        if (alignment_scope) trace = std::move(traced->trace);
        add_check(checks, alignment_scope ? "path_rescore" : "backend_result_rescore",
                  traced->realized, "backend result does not realize the reported objective");
    }

    if (request.cross_check) {
        auto reference = reference_objective(request.problem, request.query, request.target);
        if (!reference) return std::unexpected(std::move(reference).error());
        add_check(checks, "reference_optimum",
                  reference->kind == objective.kind && reference->value == objective.value,
                  "reported objective " + std::to_string(objective.value) +
                      " differs from reference " + std::to_string(reference->value));
    }

    VerificationSummary summary;
    summary.status = VerificationStatus::verified;
    for (const CheckResult& check : checks) {
        if (!check.passed) summary.status = VerificationStatus::invalid;
    }
    summary.level = request.cross_check                    ? VerificationLevel::optimal
                    : request.scope == SolveScope::alignment ? VerificationLevel::score
                                                             : VerificationLevel::structure;
    if (request.cross_check) summary.reference_backend = std::string(reference_backend_name);
    summary.checks = std::move(checks);

    AlignmentRecord record{
        .schema_version = std::string(schema_version),
        .record_type = "alignment",
        .producer = Producer::rux_align(std::move(backend)),
        .pair = pair_identity(request.pair_index, request.query_id, request.target_id,
                              request.query, request.target),
        .problem = std::move(request.problem),
        .alignment = AlignmentResult{.objective = objective, .trace = std::move(trace)},
        .verification = std::move(summary),
        .metrics = std::nullopt,
        .integrity = std::nullopt,
    };
    record.metrics = Metrics{
        .elapsed_ms = std::chrono::duration<double, std::milli>(
                          std::chrono::steady_clock::now() - started)
                          .count(),
        .work_cells = cells};
    if (request.integrity) {
        auto fingerprint = integrity_for(record);
        if (!fingerprint) return std::unexpected(std::move(fingerprint).error());
        record.integrity = std::move(*fingerprint);
    }
    return record;
}

}  // namespace rux_dp
