#include "rux_dp/oracle/verify.hpp"

#include <chrono>
#include <limits>
#include <variant>

#include "rux_dp/base/version.hpp"
#include "rux_dp/oracle/integrity.hpp"
#include "rux_dp/oracle/scheme.hpp"
#include "rux_dp/oracle/solve.hpp"
#include "rux_dp/oracle/traceback.hpp"

namespace rux_dp {

namespace {

bool consumes_query(CigarOp op) { return op != CigarOp::deletion; }
bool consumes_target(CigarOp op) { return op != CigarOp::insertion; }

// Sum of the run lengths that satisfy `consumes`, saturating (a sum that cannot fit a span can
// never equal one).
template <class Pred>
std::uint64_t consumption(const Cigar& cigar, Pred consumes) {
    std::uint64_t total = 0;
    for (const CigarRun& run : cigar.runs()) {
        if (!consumes(run.op)) continue;
        total = run.length > std::numeric_limits<std::uint64_t>::max() - total
                    ? std::numeric_limits<std::uint64_t>::max()
                    : total + run.length;
    }
    return total;
}

// The steps a CIGAR stands for, starting at the trace's span starts; a stop text when it leaves
// the sequences.
Result<std::vector<AlignmentStep>> expand_cigar(const TraceRecord& trace, std::string_view query,
                                                std::string_view target) {
    std::vector<AlignmentStep> steps;
    std::uint64_t i = trace.query_span.start;
    std::uint64_t j = trace.target_span.start;
    for (const CigarRun& run : trace.cigar.runs()) {
        for (std::uint64_t k = 0; k < run.length; ++k) {
            AlignmentStep step;
            if (run.op == CigarOp::match || run.op == CigarOp::mismatch) {
                if (i >= query.size())
                    return std::unexpected("operation query coordinate is out of bounds");
                if (j >= target.size())
                    return std::unexpected("operation target coordinate is out of bounds");
                step.op = run.op == CigarOp::match ? AlignmentOpKind::match
                                                   : AlignmentOpKind::mismatch;
                step.query_pos = i;
                step.target_pos = j;
                step.query_base = step_base(query[i]);
                step.target_base = step_base(target[j]);
                ++i;
                ++j;
            } else if (run.op == CigarOp::insertion) {
                if (i >= query.size())
                    return std::unexpected("operation query coordinate is out of bounds");
                step.op = AlignmentOpKind::insertion;
                step.query_pos = i;
                step.query_base = step_base(query[i]);
                ++i;
            } else {
                if (j >= target.size())
                    return std::unexpected("operation target coordinate is out of bounds");
                step.op = AlignmentOpKind::deletion;
                step.target_pos = j;
                step.target_base = step_base(target[j]);
                ++j;
            }
            steps.push_back(step);
        }
    }
    return steps;
}

// A substitution score in 64 bits: a mismatch penalty of INT32_MIN negates to 2^31, which the
// kernels' 32-bit score would wrap.
std::int64_t pair_score(const SubstitutionScoring& scoring, std::uint8_t a, std::uint8_t b) {
    if (scoring.is_matrix()) return scoring.score(a, b);
    const auto& mm = scoring.match_mismatch_values();
    return a == b ? std::int64_t{mm.match_score} : -static_cast<std::int64_t>(mm.mismatch_penalty);
}

// The objective the trace realises under the record's problem.
Result<Objective> rescore(const ProblemSpec& problem, const TraceRecord& trace,
                          std::string_view query, std::string_view target) {
    const bool edit = problem.mode == AlignmentMode::edit_distance;
    std::optional<SubstitutionScoring> substitution;
    std::int64_t gap = 0;
    std::int64_t gap_open = 0;
    std::int64_t gap_extend = 0;
    bool affine = false;
    if (const auto* linear = std::get_if<LinearScoring>(&problem.scoring)) {
        auto converted = substitution_internal(linear->substitution);
        if (!converted) return std::unexpected(std::move(converted).error());
        substitution = std::move(*converted);
        gap = linear->gap;
    } else if (const auto* aff = std::get_if<AffineScoring>(&problem.scoring)) {
        auto converted = substitution_internal(aff->substitution);
        if (!converted) return std::unexpected(std::move(converted).error());
        substitution = std::move(*converted);
        gap_open = aff->gap_open;
        gap_extend = aff->gap_extend;
        affine = true;
    }
    // Gap runs are scored in 64-bit arithmetic; the run lengths of a trace that passed the span
    // checks are bounded by the sequence lengths, so the products cannot overflow.
    const auto gap_cost = [&](std::uint64_t length) -> std::int64_t {
        const auto l = static_cast<std::int64_t>(length);
        if (!substitution) return l;
        if (affine) return gap_open + l * gap_extend;
        return l * gap;
    };

    constexpr std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
    std::uint64_t i = trace.query_span.start;
    std::uint64_t j = trace.target_span.start;
    std::int64_t total = 0;
    for (const CigarRun& run : trace.cigar.runs()) {
        if (run.op == CigarOp::insertion) {
            if (run.length > max - i) return std::unexpected("query coordinate overflow");
            i += run.length;
            total += gap_cost(run.length);
        } else if (run.op == CigarOp::deletion) {
            if (run.length > max - j) return std::unexpected("target coordinate overflow");
            j += run.length;
            total += gap_cost(run.length);
        } else {
            const bool want_equal = run.op == CigarOp::match;
            for (std::uint64_t k = 0; k < run.length; ++k) {
                if (i >= query.size()) return std::unexpected("CIGAR consumes query out of bounds");
                if (j >= target.size())
                    return std::unexpected("CIGAR consumes target out of bounds");
                const char a = query[i];
                const char b = target[j];
                if ((a == b) != want_equal)
                    return std::unexpected(std::string("CIGAR ") + cigar_char(run.op) +
                                           " disagrees with bases at query " + std::to_string(i) +
                                           ", target " + std::to_string(j));
                if (!substitution) {
                    total += want_equal ? 0 : 1;
                } else {
                    const auto qa = static_cast<std::uint8_t>(a);
                    const auto tb = static_cast<std::uint8_t>(b);
                    // A source symbol outside the matrix was already reported by
                    // problem_semantics; stop here instead of scoring an undefined pair.
                    if (!substitution->contains(qa))
                        return std::unexpected(
                            MatrixSymbolError{substitution->matrix_ptr()->name, qa}.text());
                    if (!substitution->contains(tb))
                        return std::unexpected(
                            MatrixSymbolError{substitution->matrix_ptr()->name, tb}.text());
                    total += pair_score(*substitution, qa, tb);
                }
                ++i;
                ++j;
            }
        }
    }
    if (i != trace.query_span.end || j != trace.target_span.end)
        return std::unexpected("CIGAR endpoints do not match declared spans");
    return Objective{.kind = edit ? ObjectiveKind::distance : ObjectiveKind::score, .value = total};
}

}  // namespace

void add_check(std::vector<CheckResult>& checks, std::string_view name, bool passed,
               std::string detail) {
    CheckResult check{.name = std::string(name), .passed = passed, .detail = std::nullopt};
    if (!passed) check.detail = std::move(detail);
    checks.push_back(std::move(check));
}

VerificationReport verify(VerificationRequest request) {
    const auto started = std::chrono::steady_clock::now();
    const AlignmentRecord& r = request.record;
    const std::string_view q = request.query;
    const std::string_view t = request.target;
    const std::uint64_t cells = work_cells(q.size(), t.size());
    const AlignmentMode mode = r.problem.mode;
    std::vector<CheckResult> checks;

    add_check(checks, "schema_version", r.schema_version == schema_version,
              "expected " + std::string(schema_version) + ", found " + r.schema_version);
    add_check(checks, "record_type", r.record_type == "alignment",
              "expected alignment, found " + r.record_type);
    {
        Result<void> semantics = check_scoring_fits(r.problem);
        if (semantics) semantics = validate_sequences(r.problem, q, t);
        add_check(checks, "problem_semantics", semantics.has_value(),
                  semantics ? std::string() : semantics.error());
    }
    const ObjectiveKind required =
        mode == AlignmentMode::edit_distance ? ObjectiveKind::distance : ObjectiveKind::score;
    add_check(checks, "objective_kind", r.alignment.objective.kind == required,
              "mode " + std::string(mode_name(mode)) + " requires objective kind " +
                  std::string(objective_kind_message_name(required)));
    add_check(checks, "query_length", r.pair.query.length == q.size(),
              "record has " + std::to_string(r.pair.query.length) + ", source has " +
                  std::to_string(q.size()));
    add_check(checks, "target_length", r.pair.target.length == t.size(),
              "record has " + std::to_string(r.pair.target.length) + ", source has " +
                  std::to_string(t.size()));
    add_check(checks, "query_sha256", r.pair.query.sha256 == sha256_hex(q),
              "query digest does not match source");
    add_check(checks, "target_sha256", r.pair.target.sha256 == sha256_hex(t),
              "target digest does not match source");
    if (r.integrity) {
        const Result<bool> verdict = verify_integrity(r);
        if (verdict) {
            add_check(checks, "integrity_fingerprint", *verdict,
                      "deterministic record fields do not match the integrity fingerprint");
        } else {
            add_check(checks, "integrity_fingerprint", false, verdict.error());
        }
    }

    const auto any_failed = [&](std::size_t from) {
        for (std::size_t k = from; k < checks.size(); ++k) {
            if (!checks[k].passed) return true;
        }
        return false;
    };

    if (!r.alignment.trace) {
        add_check(checks, "trace_present", false, "verification requires a traceback");
    } else {
        const TraceRecord& trace = *r.alignment.trace;
        const std::uint64_t qs = trace.query_span.start, qe = trace.query_span.end;
        const std::uint64_t ts = trace.target_span.start, te = trace.target_span.end;
        const std::size_t structure_from = checks.size();
        add_check(checks, "query_span_bounds", qs <= qe && qe <= q.size(),
                  "query span is outside source sequence");
        add_check(checks, "target_span_bounds", ts <= te && te <= t.size(),
                  "target span is outside source sequence");
        const std::uint64_t q_used = consumption(trace.cigar, consumes_query);
        const std::uint64_t q_span = qe < qs ? 0 : qe - qs;
        add_check(checks, "query_cigar_consumption", q_used == q_span,
                  "CIGAR consumes " + std::to_string(q_used) + ", span covers " +
                      std::to_string(q_span));
        const std::uint64_t t_used = consumption(trace.cigar, consumes_target);
        const std::uint64_t t_span = te < ts ? 0 : te - ts;
        add_check(checks, "target_cigar_consumption", t_used == t_span,
                  "CIGAR consumes " + std::to_string(t_used) + ", span covers " +
                      std::to_string(t_span));
        switch (mode) {
            case AlignmentMode::edit_distance:
            case AlignmentMode::global_linear:
            case AlignmentMode::global_affine:
                add_check(checks, "global_query_span", qs == 0 && qe == q.size(),
                          "global mode must consume the full query");
                add_check(checks, "global_target_span", ts == 0 && te == t.size(),
                          "global mode must consume the full target");
                break;
            case AlignmentMode::semiglobal_linear:
                add_check(checks, "semiglobal_query_span", qs == 0 && qe == q.size(),
                          "semi-global mode must consume the full query");
                break;
            case AlignmentMode::local_linear:
                break;
        }

        if (!any_failed(structure_from) && request.level != VerificationLevel::structure) {
            if (trace.operations) {
                auto expanded = expand_cigar(trace, q, t);
                if (expanded) {
                    add_check(checks, "operations_match_cigar", *expanded == *trace.operations,
                              "expanded operations disagree with CIGAR, coordinates, or sequence "
                              "bases");
                } else {
                    add_check(checks, "operations_match_cigar", false, expanded.error());
                }
            }
            const Result<Objective> realized = rescore(r.problem, trace, q, t);
            if (realized) {
                add_check(checks, "realized_objective",
                          realized->value == r.alignment.objective.value
                              && realized->kind == r.alignment.objective.kind,
                          "trace realizes " + std::to_string(realized->value) +
                              ", record claims " + std::to_string(r.alignment.objective.value));
            } else {
                add_check(checks, "realized_objective", false, realized.error());
            }
        }
    }

    VerificationSummary summary{.level = request.level,
                                .status = VerificationStatus::verified,
                                .checks = {},
                                .reference_backend = std::nullopt,
                                .reason = std::nullopt};
    if (any_failed(0)) {
        summary.status = VerificationStatus::invalid;
    } else if (request.level == VerificationLevel::optimal) {
        if (request.max_cells != 0 && cells > request.max_cells) {
            summary.status = VerificationStatus::inconclusive;
            summary.reason = "exact optimality requires " + std::to_string(cells) +
                             " cells, exceeding --max-cells " + std::to_string(request.max_cells);
        } else {
            summary.reference_backend = std::string(reference_backend_name);
            const Result<Objective> reference = reference_objective(r.problem, q, t);
            if (!reference) {
                summary.status = VerificationStatus::error;
                summary.reason = reference.error();
            } else {
                const bool optimal = reference->kind == r.alignment.objective.kind
                                     && reference->value == r.alignment.objective.value;
                add_check(checks, "reference_optimum", optimal,
                          "record objective " + std::to_string(r.alignment.objective.value) +
                              ", exact reference " + std::to_string(reference->value));
                summary.status =
                    optimal ? VerificationStatus::verified : VerificationStatus::invalid;
            }
        }
    }
    summary.checks = std::move(checks);

    const double elapsed_ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started)
            .count();
    return VerificationReport{
        .schema_version = std::string(schema_version),
        .record_type = "verification",
        .pair = std::move(request.record.pair),
        .problem = std::move(request.record.problem),
        .submitted = std::move(request.record.alignment),
        .verification = std::move(summary),
        .metrics = Metrics{.elapsed_ms = elapsed_ms, .work_cells = cells},
    };
}

}  // namespace rux_dp
